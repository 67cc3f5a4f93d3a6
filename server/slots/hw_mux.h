// The board's TDM time-slot switch on "/dev/hal". Every output channel
// carries one input channel, sends a fixed byte, or is disabled.
//
// Channels (signed; negative = none): 0..8191 local channels (E1 time slots,
// BRI channels, echo-canceller and MCC channels), 8192..10239 the shared
// backplane bus, 8192 + 128 * bus + channel. The outputs of the shared bus
// are also driven by the other boards on the backplane, so every one this
// board has not given a use is kept disabled: a shadow remembers what each
// was last told, and a deferred call disables the disabled ones again,
// a slice per loop pass.
//
// A request that finds the device gone lets its descriptor go; the next
// operation opens the device again.
//
// The paths that the slot table joins are held: what each output was asked
// to carry, beside the descriptor that was told it. An open disables the
// shared bus, so a device opened again is told every held path again; a
// path the table let go while the device refused (or could not be reached)
// is released as soon as the device takes it. While the device owes either,
// it is tried again once a second and at every operation.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <vector>

#include "board/failure_runs.h"
#include "board/held.h"
#include "runtime/fd.h"
#include "runtime/timer.h"

class HwMux {
public:
    static constexpr int kBusFirst = 8192;
    static constexpr int kBusChannels = 2048;
    // Channels of one bus; the buses follow each other from kBusFirst.
    static constexpr int kBusWidth = 128;
    // Shadow entries besides a source channel number.
    static constexpr uint16_t kFixedByte = 0xFFFE;
    static constexpr uint16_t kDisabled = 0xFFFF;
    static constexpr unsigned char kIdleByte = 0xD5;
    // Between two tries to tell the device what it owes.
    static constexpr unsigned kRetryMs = 1000;

    // What an output is asked to carry: the input it hears, -1 for none;
    // or, on the shared bus, the idle byte of a disconnection (an open
    // disables the bus, so the byte is sent again).
    struct Path {
        int32_t source = -1;
        bool idle = false;
        bool operator==(const Path& o) const { return source == o.source && idle == o.idle; }
    };

    // The one switch of the process, built (and opened, if it can be) on first use.
    static HwMux* instance();

    HwMux();
    ~HwMux();
    HwMux(const HwMux&) = delete;
    HwMux& operator=(const HwMux&) = delete;

    // Opens the device unless it is open, and tells it what it owes. An
    // open disables every shared-bus output, and then connects the held
    // paths again.
    bool IsOpened();
    // Output destination carries input source. Every operation that changes
    // an output takes the place of a path held there.
    bool Connect(int source, int destination);
    // The output sends the idle byte; held on the shared bus.
    bool Disconnect(int channel);
    bool Disable(int channel);
    // The output sends a fixed byte.
    bool Write(int channel, unsigned char value);
    // The byte received on the channel; 255 on failure.
    unsigned char Read(int channel);
    void Reset() {}

    // A path of the slot table: Connect, held once the device took it.
    bool Join(int source, int destination);
    // The table lets a held path go although the device did not take its
    // disconnection: the device owes its release.
    void LetGo(int source, int destination);
    bool Holds(int source, int destination) const;
    // Whether the device carries a held path, told again first when it may not.
    bool Carries(int source, int destination);

    void OnDPC();
    void PutHeader(std::ostream& out) const;

    // Read access for the status dump and tests.
    int fd() const { return mFd.get(); }
    uint16_t shadow(int index) const { return mShadow[static_cast<size_t>(index)]; }
    unsigned cursor() const { return mCursor; }
    // What the table asked of an output, null when nothing is held there.
    const Device::Held<Path>* held(int destination) const;
    uint64_t present() const { return mNames.present(static_cast<bool>(mFd)); }

    class Scoped;

private:
    // What a pass of telling the device made again.
    struct Told {
        unsigned long connected = 0;
        unsigned long idle = 0;
        unsigned long released = 0;
    };

    // quiet: a retry writes no line for a failed open, it only counts it.
    bool Open(bool quiet);
    // The shadow entry of a shared-bus channel, null for any other number.
    uint16_t* entry(int channel);
    // The requests of the operations, with their lines, on an open device.
    bool RequestConnect(int source, int destination);
    bool RequestIdle(int channel);
    // 0, or the failed request's errno. what names the operation's runs of
    // failures: its line is written only when a run starts (mRuns), and a
    // success ends the run.
    int Request(unsigned long request, void* record, const char* what = nullptr);
    void Lost();
    void RefreshChannel(unsigned index);

    // The output took another request: nothing held there is carried.
    void Overridden(int destination);
    // A descriptor opened: releases owed on the shared bus were made by
    // the open; the local ones are owed to the new descriptor.
    void Reowe();
    // Tells the present descriptor every held path it does not carry.
    Told Restore();
    bool Owed() const;
    // Arms the retry while the device owes something, or when wanted (an
    // operation found a device that only the retry opens).
    void RetryLater(bool wanted = false);
    void OnRetry();
    // The line of a pass that made something again; back: the one of an
    // open after a loss, always written.
    void Report(const Told& told, bool back);

    Fd mFd;
    std::vector<uint16_t> mShadow;
    unsigned mCursor = 0;
    Dpc mDpc;
    Device::Descriptors mNames;
    Device::FailureRuns mRuns;
    std::map<int, Device::Held<Path>> mPaths;
    // Something held may be untold on the open device.
    bool mOwed = false;
    // A descriptor went since the last open.
    bool mLost = false;
    // The open's own requests are under way.
    bool mOpening = false;
    // The last open went before it held: only the retry opens again.
    bool mOnlyRetryOpens = false;
    // Opens that failed since the last one that held.
    unsigned long mFailedOpens = 0;
    Timer mRetry;
};

// Makes HwMux::instance() return a switch of its own while it lives, so a
// test gets a fresh switch on the board it installed.
class HwMux::Scoped {
public:
    Scoped();
    ~Scoped();
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    HwMux& mux() { return mMux; }

private:
    HwMux mMux;
    HwMux* mOld;
};
