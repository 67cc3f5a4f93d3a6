// The console: standard input's modes when it is a terminal, and the
// standard output and error of a server in the foreground, which may be
// a terminal, a pipe or a serial line that takes text slowly.
#pragma once

#include <cstddef>
#include <memory>

#include "runtime/fd.h"
#include "runtime/log_streams.h"
#include "runtime/whole_records.h"

namespace Console {

// Raw keystrokes without echo (signals from the keyboard still work);
// the result of tcsetattr. Failures are written to std::cerr.
int SwitchToBinaryMode();
// Non-blocking reads from standard input; the result of the ioctl.
int SwitchToNonBlockMode();

// What the console may keep the loop waiting, all its writes of one loop
// pass together: what it does not take by then is dropped.
constexpr int kPassWaitMs = 300;

// One console file (descriptors 1 and 2 share one when they name the same
// file). Lines reach it whole, in order, or not at all: a line it took
// the start of goes on before anything else, and the lines it did not take
// within the pass's wait are dropped, counted in one line ahead of the
// next that it takes. Once it drops, it is not waited for again until it
// has taken all that was owed: a console that stays slow costs a pass
// nothing.
class Output {
public:
    // fd stays open: it is the process's own descriptor.
    explicit Output(int fd);
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Text of whole lines; the last may be the start of a line too long to
    // collect, whose rest comes next.
    void write(const char* p, const char* end);
    unsigned long dropped() const { return mOwed.dropped(); }

private:
    enum class Kind { file, own, socket, shared };
    ssize_t send_now(const char* p, size_t length);
    // Waits for room within what is left of the pass's wait.
    bool wait_room();
    // Sends the rest of a cut line and the report: false when it could not.
    bool send_owed();
    void drop(const char* p, const char* end);

    int mFd;
    Fd mOwn;
    Kind mKind;
    WholeRecords mOwed;
    // The console has the start of a line whose end has not gone yet; the
    // start of the line being written was dropped.
    bool mMidLine = false;
    bool mSkipping = false;
    bool mBehind = false;
};

// A stream buffer that collects lines for an Output.
class StreamBuf : public LogStreamBuf {
public:
    explicit StreamBuf(std::shared_ptr<Output> output);

protected:
    int sync() override;

private:
    std::shared_ptr<Output> mOutput;
};

// In the foreground: std::cout on descriptor 1, std::cerr and std::clog on
// descriptor 2, each through a StreamBuf, for the rest of the process.
void Install();

} // namespace Console
