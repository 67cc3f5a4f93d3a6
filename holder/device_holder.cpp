#include "holder/device_holder.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "board/device.h"

namespace Device {

// ------------------------------------------------------------------ tally

void Tally::count(const char* what, unsigned long n, bool always)
{
    for (Count& c : mCounts)
        if (std::strcmp(c.what, what) == 0) {
            c.n += n;
            c.always = c.always || always;
            return;
        }
    mCounts.push_back(Count{what, n, always});
}

bool Tally::any() const
{
    return total() > 0;
}

unsigned long Tally::total() const
{
    unsigned long n = 0;
    for (const Count& c : mCounts)
        n += c.n;
    return n;
}

void Tally::put(std::ostream& out, bool comma) const
{
    for (const Count& c : mCounts) {
        if (!c.n && !c.always)
            continue;
        out << (comma ? ", " : "") << c.n << ' ' << c.what;
        comma = true;
    }
}

// ----------------------------------------------------------------- holder

Holder::Holder(std::function<void(std::ostream&)> header, const Setup& setup)
    : mHeader(std::move(header)), mSetup(setup), mLog(setup.log ? *setup.log : std::cerr), mRuns(mHeader, &mLog)
{
}

Holder::~Holder() = default;

void Holder::attach(State& state)
{
    mStates.push_back(&state);
}

void Holder::detach(State& state)
{
    mStates.erase(std::remove(mStates.begin(), mStates.end(), &state), mStates.end());
}

void Holder::watch(const std::string& event, const std::string& name, std::function<End(int, short)> handler)
{
    mWatchName = name;
    mInput = std::move(handler);
    mEvent.Bind(event, &Holder::OnEvent, this);
}

void Holder::OnEvent(int fd, short revents)
{
    if (End end = mInput(fd, revents))
        lost(end.why);
}

void Holder::adopt(const Fd& fd)
{
    mFd.reset(fd.dup());
    mNames.renew();
    changed();
}

int Holder::device()
{
    if (!mSetup.transient && !mFd) {
        if (!mSetup.path)
            return -1;
        if (mOnlyRetryOpens)
            retry_later();
        else
            open();
        return fd();
    }
    if (mDirty && !mReconciling) {
        Tally made;
        reconcile(made);
        if (made.any() && (mSetup.transient || mFd) && !mUnproven) {
            mHeader(mLog);
            made.put(mLog, false);
            mLog << std::endl;
        }
    }
    return mSetup.transient ? 0 : fd();
}

// A device that stays away costs one line a run; the open that brings it
// back says how often it failed.
bool Holder::open()
{
    int fd = Device::open(mSetup.path, mSetup.flags | O_CLOEXEC);
    if (fd < 0) {
        open_failed(errno);
        return false;
    }
    mFd.reset(fd);
    mNames.renew();
    if (mInput)
        mEvent.Schedule(mFd, POLLIN);
    mOpening = true;
    mWorked = false;
    mUnproven = true;
    mFreshRefused = mFresh && !mFresh();
    Tally made;
    if (mFd) {
        mDirty = true;
        reconcile(made);
    }
    mOpening = false;
    // Gone again under its own first requests: one more open that did not
    // hold, and only the retry opens it again.
    if (!mFd)
        return false;
    if (mWorked)
        back(made);
    return true;
}

void Holder::open_failed(int error)
{
    ++mFailedOpens;
    mAway = true;
    // Every failed open is one failure of the run, whatever its error; a
    // holder without a named run says how many in its return line only.
    if (mSetup.openRun ? mRuns.failed(mSetup.openRun, 0) : !mOpenLine) {
        mOpenLine = true;
        mHeader(mLog);
        mLog << mSetup.openFailure;
        if (mSetup.openError)
            mLog << std::strerror(error);
        mLog << std::endl;
    }
    // Nothing asked is carried now: whatever is held keeps the retry going.
    mDirty = true;
    retry_later();
}

bool Holder::reconcile(Tally& made)
{
    mReconciling = true;
    // A state may detach itself (a slot that goes) while told: walk a copy.
    std::vector<State*> states = mStates;
    for (State* s : states)
        if (std::find(mStates.begin(), mStates.end(), s) != mStates.end())
            s->reconcile(made);
    mReconciling = false;
    mDirty = untold();
    if (mBackOwed && !mDirty) {
        back(made);
        made = Tally();
    }
    retry_later();
    return mDirty;
}

bool Holder::untold()
{
    uint64_t now = present();
    return std::any_of(mStates.begin(), mStates.end(), [now](State* s) { return s->untold(now); });
}

int Holder::ioctl(unsigned long number, void* arg)
{
    return request([&](int fd) { return Device::ioctl(fd, number, arg); });
}

int Holder::ioctl_value(unsigned long number, unsigned long value)
{
    return request([&](int fd) { return Device::ioctl_value(fd, number, value); });
}

int Holder::request(const std::function<int(int)>& call)
{
    mRefusal = 0;
    mNoDevice = false;
    if (mSetup.transient && mSetup.path)
        return transient_request(call);
    if (!mFd) {
        mNoDevice = true;
        errno = EBADF;
        return -1;
    }
    return result(call(mFd.get()));
}

// The device is opened for this request alone; its errno survives the close.
int Holder::transient_request(const std::function<int(int)>& call)
{
    int fd = Device::open(mSetup.path, mSetup.flags | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        open_failed(error);
        mNoDevice = true;
        errno = error;
        return -1;
    }
    mUnproven = mAway;
    int r = call(fd);
    int error = errno;
    Device::close(fd);
    if (r < 0) {
        mRefusal = error;
        mDirty = true;
        retry_later();
    } else
        proven();
    errno = error;
    return r;
}

int Holder::result(int r)
{
    if (r >= 0) {
        mWorked = true;
        if (!mOpening)
            proven();
        return r;
    }
    int error = errno;
    mRefusal = error;
    // A refused request may leave a state untold.
    mDirty = true;
    if (End gone = request_end(error)) {
        if (mSetup.lostLine && !mUnproven && !mOpening) {
            mHeader(mLog);
            mLog << "device lost: " << gone.why << std::endl;
        }
        lost();
    } else
        retry_later();
    errno = error;
    return -1;
}

void Holder::proven()
{
    if (!mUnproven)
        return;
    back(Tally());
}

void Holder::back(const Tally& made)
{
    mUnproven = false;
    mOnlyRetryOpens = false;
    mBackOwed = mSetup.backWhenTold && mAway && !mFreshRefused && untold();
    if (mBackOwed)
        return;
    if (mAway && !mFreshRefused) {
        mHeader(mLog);
        mLog << "device back";
        if (mFailedOpens)
            mLog << " after " << mFailedOpens << " failed open(s)";
        made.put(mLog, true);
        mLog << std::endl;
    } else if (made.any()) {
        mHeader(mLog);
        made.put(mLog, false);
        mLog << std::endl;
    }
    mAway = false;
    mOpenLine = false;
    mFailedOpens = 0;
    mRuns.end_all();
}

// Closed, not only unwatched: the next open is a fresh descriptor, which
// the driver knows nothing about.
void Holder::lost(const char* why)
{
    if (!mFd)
        return;
    if (why) {
        mHeader(mLog);
        mLog << "fail to read from " << mWatchName << ": " << why << std::endl;
    }
    mEvent.Release();
    mFd.close();
    mNames.renew();
    mAway = true;
    mBackOwed = false;
    mDirty = true;
    // An open that did not hold until a request worked on it.
    if (mUnproven) {
        ++mFailedOpens;
        mUnproven = false;
        mOnlyRetryOpens = true;
    }
    retry_later();
}

void Holder::close()
{
    mRetry.reset();
    mEvent.Release();
    mFd.close();
}

void Holder::changed()
{
    mDirty = true;
    retry_later();
}

void Holder::retry_later()
{
    if (mRetry.pending() || mReconciling)
        return;
    if (mOnlyRetryOpens || (mDirty && untold()))
        mRetry.set(mSetup.retryMs ? mSetup.retryMs() : kRetryMs, &Holder::OnRetry, this);
    else
        mDirty = false;
}

void Holder::OnRetry()
{
    if (!mSetup.transient && !mFd && mSetup.path) {
        mOnlyRetryOpens = false;
        open();
    } else
        device();
    retry_later();
}

} // namespace Device
