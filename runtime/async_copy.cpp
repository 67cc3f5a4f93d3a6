#include "runtime/async_copy.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace ASync {

namespace {
const short kPollTrouble = POLLERR | POLLHUP | POLLNVAL;
}

Copy::Copy()
{
    // Bound once: the handlers stay valid while a completion handler
    // restarts the copy from inside one of them.
    mSrcEvent.Bind("Copy::OnSrcEvent", &Copy::OnSrcEvent, this);
    mDstEvent.Bind("Copy::OnDstEvent", &Copy::OnDstEvent, this);
}

Copy::~Copy()
{
    delete mHandler;
}

void Copy::Bind(Handler* handler)
{
    if (handler != mHandler) {
        delete mHandler;
        mHandler = handler;
    }
}

void Copy::UnBind()
{
    delete mHandler;
    mHandler = nullptr;
}

bool Copy::active() const
{
    return mStatus == Status::Running || mStatus == Status::Draining || mStatus == Status::Flushing;
}

void Copy::Start(Fd src, Fd dst)
{
    mStatus = Status::Running;
    mSrc = std::move(src);
    mDst = std::move(dst);
    mSrcEvent.Release();
    mDstEvent.Release();
    CheckBuffer();
    mSrcEvent.Schedule(mSrc, 0);
    mDstEvent.Schedule(mDst, 0);
    mError = 0;
    mTotal = 0;
    mWritePos = mEndPos = mBuffer.get();
    mStep = &Copy::SrcReady;
    // Without both watchers nothing would ever call the engine back.
    if (!mSrc || !mDst || !mSrcEvent.fd || !mDstEvent.fd) {
        mError = (mSrc && mDst) ? errno : EBADF;
        Complete(Status::Failed);
        return;
    }
    Progress();
}

void Copy::Stop()
{
    if (mStatus == Status::Running)
        GoFlush();
}

void Copy::set_events(const EventsParams& events)
{
    mEvents = events;
    Complete(Status::Reconfigured);
}

void Copy::set_bufsize(unsigned size)
{
    mBufSize = size;
    mBuffer.reset(size ? new char[size] : nullptr);
    Complete(Status::Reconfigured);
}

bool Copy::CheckBuffer()
{
    if (!mBuffer) {
        mBufSize = kDefaultBufSize;
        mBuffer.reset(new char[mBufSize]);
    }
    return true;
}

void Copy::Progress()
{
    const unsigned first = mTotal;
    // A step that completed returned false: the handler may have destroyed
    // this object, so nothing is touched after a false.
    while ((this->*mStep)()) {
        if (mTotal - first >= kBytesPerCallback && Yield())
            return;
    }
}

bool Copy::Yield()
{
    if (mStep == &Copy::SrcReady && mSrcEvent.fd)
        return GoReading();
    if (mStep == &Copy::DstReady && mDstEvent.fd)
        return GoWriting();
    return false;
}

bool Copy::GoReading()
{
    mSrcEvent.SetEvents(static_cast<short>(mEvents.src));
    mDstEvent.SetEvents(0);
    mStep = &Copy::SrcReady;
    return true;
}

bool Copy::GoWriting()
{
    mSrcEvent.SetEvents(0);
    mDstEvent.SetEvents(static_cast<short>(mEvents.dst));
    mStep = &Copy::DstReady;
    return true;
}

bool Copy::SrcReady()
{
    errno = 0;
    ssize_t n = ::read(mSrc.get(), mBuffer.get(), mBufSize);
    if (n > 0) {
        mWritePos = mBuffer.get();
        mEndPos = mWritePos + n;
        return GoWriting();
    }
    if (n == 0)
        return GoFlush();
    if (errno == EINTR)
        return true;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // After a hang-up the source is no longer watched: nothing more comes.
        if (!mSrcEvent.fd)
            return GoFlush();
        GoReading(); // wait for the source
        return false;
    }
    // Data already copied does not make a broken source a complete one.
    mError = errno;
    return Complete(Status::Failed);
}

bool Copy::DstReady()
{
    ssize_t n = ::write(mDst.get(), mWritePos, static_cast<size_t>(mEndPos - mWritePos));
    if (n < 0) {
        if (errno == EINTR)
            return true;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            GoWriting(); // wait for the destination
            return false;
        }
        mError = errno;
        return Complete(Status::Failed);
    }
    if (n == 0) {
        mError = 0;
        return Complete(Status::Failed);
    }
    mTotal += static_cast<unsigned>(n);
    mWritePos += n;
    if (mWritePos < mEndPos)
        return true;
    if (mStatus == Status::Draining)
        return GoFlushDst();
    return GoReading();
}

bool Copy::GoFlush()
{
    mSrcEvent.Release();
    mSrc.reset();
    if (mStep == &Copy::DstReady) {
        mStatus = Status::Draining;
        return true;
    }
    return GoFlushDst();
}

bool Copy::GoFlushDst()
{
    if (mEvents.flush) {
        mDstEvent.SetEvents(static_cast<short>(mEvents.flush));
        mStep = &Copy::NotReady;
        mStatus = Status::Flushing;
        mFlushBound.set(kFlushBoundMs, &Copy::FlushTimedOut, this);
        return true;
    }
    return Complete(Status::Completed);
}

bool Copy::Complete(Status::Type status)
{
    if (!active())
        return false;
    mStatus = status;
    mFlushBound.reset();
    mSrcEvent.Release();
    mDstEvent.Release();
    mSrc.reset();
    mDst.reset();
    mStep = &Copy::NotReady;
    mWritePos = mEndPos = nullptr;
    // Last action: the handler may restart the copy or destroy its owner.
    if (mHandler)
        mHandler->Invoke(status);
    return false;
}

void Copy::FlushTimedOut()
{
    mError = ETIMEDOUT;
    Complete(Status::Failed);
}

void Copy::OnSrcEvent(int, short revents)
{
    if (revents & mEvents.src) {
        Progress();
    } else if (revents & kPollTrouble) {
        // Stop watching (a hang-up would be reported on every pass); the
        // read then sees the end or the error.
        mSrcEvent.Release();
        Progress();
    }
}

void Copy::OnDstEvent(int, short revents)
{
    if (revents & kPollTrouble) {
        mError = 0;
        Complete(Status::Failed);
        return;
    }
    switch (mStatus) {
    case Status::Running:
    case Status::Draining:
        if (revents & mEvents.dst)
            Progress();
        break;
    case Status::Flushing:
        if (revents & mEvents.flush)
            Complete(Status::Completed);
        break;
    default:
        break;
    }
}

} // namespace ASync
