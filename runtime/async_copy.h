// Copying from one descriptor to another inside the event loop.
//
// ASync::Copy reads a chunk from the source, writes all of it to the
// destination, and repeats, advancing only when poll() reports readiness;
// after the end of the source it waits for the destination's flush events,
// at most kFlushBoundMs, and reports the end once through its completion
// handler.
#pragma once

#include <poll.h>

#include <memory>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"

namespace ASync {

class Copy {
public:
    struct EventsParams {
        int src = POLLIN;
        int dst = POLLOUT;
        // 0: no flush step, completion right after the last write.
        int flush = POLLWRNORM;
    };

    struct Status {
        enum Type {
            Idle = 0,
            Running = 1,
            // The source ended (or Stop) while read data is still being written.
            Draining = 2,
            // Everything is written; waiting for the flush events.
            Flushing = 3,
            Failed = 4,
            Completed = 5,
            // Events or buffer size changed while the copy was active.
            Reconfigured = 6,
        };
    };

    class Handler {
    public:
        virtual ~Handler() = default;
        virtual void Invoke(Status::Type status) = 0;
    };

    template <class T>
    class THandler : public Handler {
    public:
        typedef void (T::*Action)(Status::Type status);
        THandler(Action action, T* object) : mAction(action), mObject(object) {}
        void Invoke(Status::Type status) override { (mObject->*mAction)(status); }

    private:
        Action mAction;
        T* mObject;
    };

    static constexpr unsigned kDefaultBufSize = 1024;
    // Bytes moved per loop callback at most, so that a source and a sink
    // that are always ready (files, /dev/null) cannot starve the loop.
    static constexpr unsigned kBytesPerCallback = 64 * 1024;
    // How long the flush step waits at most: what a board channel's full
    // transmit buffer and a frame taken whole beyond it (12 KiB) take to
    // leave at a time slot's 8000 octets a second, with room for a busy
    // loop. A line that does not move then fails the copy as a write that
    // failed (ETIMEDOUT).
    static constexpr unsigned kFlushBoundMs = 1800;

    Copy();
    ~Copy();
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    void Bind(Handler* handler);
    template <class T>
    void Bind(typename THandler<T>::Action action, T* object)
    {
        Bind(new THandler<T>(action, object));
    }
    void UnBind();

    // Copies from duplicates of src and dst; may complete before returning.
    void Start(Fd src, Fd dst);
    // Ends the reading side as if the source had ended.
    void Stop();
    void set_events(const EventsParams& events);
    // 0 returns to the default size at the next Start.
    void set_bufsize(unsigned size);

    Status::Type status() const { return mStatus; }
    int error() const { return mError; }
    unsigned total() const { return mTotal; }
    unsigned bufsize() const { return mBufSize; }
    const EventsParams& events() const { return mEvents; }

private:
    typedef bool (Copy::*Step)();

    bool SrcReady();
    bool DstReady();
    bool NotReady() { return false; }
    bool GoReading();
    bool GoWriting();
    bool GoFlush();
    bool GoFlushDst();
    bool CheckBuffer();
    void Progress();
    // Gives the loop a turn; false when no event would call back.
    bool Yield();
    bool Complete(Status::Type status);
    bool active() const;
    // The flush events did not come within kFlushBoundMs.
    void FlushTimedOut();

    void OnSrcEvent(int fd, short revents);
    void OnDstEvent(int fd, short revents);

    Fd mSrc;
    Fd mDst;
    EventsParams mEvents;
    unsigned mBufSize = 0;
    int mError = 0;
    Step mStep = &Copy::NotReady;
    Handler* mHandler = nullptr;
    Event mSrcEvent;
    Event mDstEvent;
    unsigned mTotal = 0;
    char* mWritePos = nullptr;
    char* mEndPos = nullptr;
    Status::Type mStatus = Status::Idle;
    std::unique_ptr<char[]> mBuffer;
    Timer mFlushBound;
};

} // namespace ASync
