// The sockets the server listens on or connects from, when descriptors
// run short. A socket that cannot be made, or a connection that cannot be
// accepted, is one run of failures in the log (a line when it starts, one
// with its count when it ends) and is tried again on a timer: a listener
// never polls a waiting client in a busy loop, and a passing shortage
// never stops a link for good.
#pragma once

#include <functional>
#include <iosfwd>

#include "board/failure_runs.h"
#include "runtime/fd.h"
#include "runtime/inet4_addr.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"

namespace Control {

class SocketRetry {
public:
    // A socket that could not be made is tried again after this.
    static constexpr unsigned make_retry_ms = 5000;
    // A listener that could not accept is looked at again after this.
    static constexpr unsigned accept_pause_ms = 100;

    // retry makes the owner's socket again; the lines start with the
    // owner's tag and go to the error stream, none when not verbose.
    template <class Owner>
    SocketRetry(Owner* owner, void (Owner::*retry)(), bool verbose = true)
        : SocketRetry([owner](std::ostream& o) { owner->PutHeader(o); }, [owner, retry] { (owner->*retry)(); },
                      verbose)
    {
    }
    SocketRetry(std::function<void(std::ostream&)> header, std::function<void()> retry, bool verbose);

    // A TCP socket with close-on-exec; empty, with the retry armed, when
    // none can be made.
    Fd Make();
    // Watches sock through event. The loop watches a copy of it: when no
    // copy can be had, the socket counts as one that could not be made;
    // false, the retry armed, and the owner closes the socket.
    bool Watch(Event& event, const Fd& sock, short events);
    // One connection waiting on the socket that listen watches, with
    // close-on-exec; empty when none was taken. Out of descriptors or
    // memory, the listener is not watched for a while.
    Fd Accept(Event& listen, INet4::Addr& peer);
    // Cancels the retry or the pause, and ends the runs.
    void Stop();

private:
    // The socket is tried again; errno stays err.
    void NotMade(int err);
    void Failed(const char* what, const char* line, int err);
    void Again() { mRetry(); }
    void Resume();

    std::function<void(std::ostream&)> mHeader;
    std::function<void()> mRetry;
    bool mVerbose;
    Device::FailureRuns mRuns;
    Timer mTimer;
    bool mWatchFailing = false;
    Event* mPaused = nullptr;
    short mPausedEvents = 0;
};

} // namespace Control
