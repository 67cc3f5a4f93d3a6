#include "server/switch/handed_channels.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <iostream>

#include "runtime/mux_time.h"

// ------------------------------------------------------------ HandedChannel

HandedChannel::HandedChannel()
{
    mWatch.Bind("HandedChannel::OnEnd", &HandedChannel::OnEnd, this);
}

// Watched first: a copy that cannot be had leaves nobody's hold ended.
bool HandedChannel::Take(ChannelHolder& holder, int channel, const Fd& fd, Event* reader, bool watched)
{
    Release();
    // Only the end is asked for: hang-ups and errors come whatever the events.
    if (watched && !mWatch.Schedule(fd, 0))
        return false;
    mHolder = &holder;
    mReader = reader;
    HandedChannelIndex::instance().Claim(channel, *this);
    mChannel = channel < 0 ? -1 : channel;
    return true;
}

void HandedChannel::Release()
{
    DrainWatcher* watcher = EndingWatcher();
    LetGo();
    if (watcher)
        watcher->IDrainEnded(this);
}

void HandedChannel::LetGo()
{
    if (mChannel >= 0)
        HandedChannelIndex::instance().Leave(mChannel, *this);
    mChannel = -1;
    mHolder = nullptr;
    mReader = nullptr;
    mWatch.Release();
    mDraining = false;
    mOwed = 0;
    mWatcher = nullptr;
    mDrainBound.reset();
    mTaken.clear();
    mTakenOctets = 0;
}

DrainWatcher* HandedChannel::EndingWatcher()
{
    return mDraining ? mWatcher : nullptr;
}

bool HandedChannel::ServePending()
{
    return mReader && mReader->ServeInput();
}

int HandedChannel::EndFd() const
{
    return watched() ? mWatch.fd.get() : mReader ? mReader->fd.get() : -1;
}

template <class Keep>
void HandedChannel::ServeAllPending(Keep keep)
{
    for (unsigned reads = 0; keep() && reads < HandedChannelIndex::kMaxPendingReads && ServePending(); ++reads) {
    }
}

bool HandedChannel::EndPending()
{
    ServeAllPending([this] { return held(); });
    if (!held())
        return true;
    Device::End end = Device::end_now(EndFd());
    if (end)
        Lost(end);
    return static_cast<bool>(end);
}

// The holder, then the watcher: the holder may end itself, handle
// included, so nothing of the handle is touched after it.
template <class Tell>
void HandedChannel::Ended(Tell tell)
{
    ChannelHolder* holder = mHolder;
    DrainWatcher* watcher = EndingWatcher();
    LetGo();
    if (holder)
        tell(*holder);
    if (watcher)
        watcher->IDrainEnded(this);
}

void HandedChannel::Lost(const Device::End& end)
{
    Ended([&](ChannelHolder& holder) { holder.IChannelLost(end); });
}

bool HandedChannel::Drain(DrainWatcher* watcher)
{
    if (mDraining) {
        mWatcher = watcher ? watcher : mWatcher;
        return true;
    }
    if (!held())
        return false;
    int fd = EndFd();
    if (fd < 0 || Flushed(fd))
        return false;
    // The watched copy asks for the flush event from now on; a holder
    // that reads its end itself lends its descriptor for a copy.
    if (watched())
        mWatch.SetEvents(POLLWRNORM);
    else if (!mWatch.Schedule(mReader->fd, POLLWRNORM))
        return false;
    // Nothing is read unless the holder hears it (Hear): what comes now
    // is not waited for. What the holder has to write now is all the
    // drain takes of it, unless it writes through.
    mReader = nullptr;
    mOwed = mHolder->IUnwritten();
    mDraining = true;
    mWatcher = watcher;
    ArmBound();
    return true;
}

void HandedChannel::Hear(Event* reader)
{
    if (mDraining)
        mReader = reader;
}

void HandedChannel::EndDrain()
{
    if (mDraining)
        Cut("at the controller's going");
}

int HandedChannel::WriteFd() const
{
    return mReader ? mReader->fd.get() : mWatch.fd.get();
}

bool HandedChannel::takes(size_t size) const
{
    return held() && (!mDraining || mHolder->IWritesThrough() || size <= mOwed);
}

ssize_t HandedChannel::Write(const void* data, size_t size)
{
    if (!held() || WriteFd() < 0) {
        errno = EBADF;
        return -1;
    }
    if (!takes(size)) {
        errno = ENOBUFS;
        return -1;
    }
    ssize_t n;
    do
        n = Device::write(WriteFd(), data, size);
    while (n < 0 && errno == EINTR);
    const int err = errno;
    if (n > 0) {
        mOwed -= std::min(static_cast<size_t>(n), mOwed);
        Took(static_cast<size_t>(n));
    } else if (mDraining && !(n < 0 && (err == EAGAIN || err == EWOULDBLOCK))) {
        // A drain waits for nothing more of the holder's: the rest could
        // only hold it until its bound.
        mOwed = 0;
    }
    errno = err;
    return n;
}

size_t HandedChannel::unwritten() const
{
    if (!held())
        return 0;
    const size_t queued = mHolder->IUnwritten();
    return mDraining && !mHolder->IWritesThrough() ? std::min(queued, mOwed) : queued;
}

// Blocks whose time on the line had passed when the channel took the
// next one count as gone: the line moves. And the channel took it with
// less than its buffer waiting behind one frame on the line: anything
// older has left too.
void HandedChannel::Took(size_t octets)
{
    const uint64_t now = Mux::clock().monotonic_us();
    while (!mTaken.empty() && mTaken.front().leftUs <= now)
        DropOldest();
    // A line faster than a time slot is not waited for beyond what the
    // channel may hold.
    uint64_t from = now;
    if (!mTaken.empty())
        from = std::min(std::max(now, mTaken.back().leftUs), now + LineUs(mTakenOctets));
    mTaken.push_back(Block{from + LineUs(octets), octets});
    mTakenOctets += octets;
    while (mTaken.size() > 2 && mTakenOctets - mTaken.front().octets - octets >= kChannelBuffer)
        DropOldest();
    if (mDraining)
        ArmBound();
}

void HandedChannel::DropOldest()
{
    mTakenOctets -= mTaken.front().octets;
    mTaken.pop_front();
}

void HandedChannel::ArmBound()
{
    const uint64_t now = Mux::clock().monotonic_us();
    const uint64_t line = mTaken.empty() || mTaken.back().leftUs <= now ? 0 : (mTaken.back().leftUs - now + 999) / 1000;
    const uint64_t unwritten = this->unwritten() / kOctetsPerMs;
    mDrainBound.set(static_cast<unsigned>(kDrainBoundMs + line + unwritten), &HandedChannel::BoundPassed, this);
}

// A block counts by what the line, carrying at a time slot's rate, had no
// time for by now. A channel that still holds what the line had time for
// is on a slower line, which the handle cannot follow: it counts the
// block the channel took last, which the line has not left behind.
size_t HandedChannel::Unsent(int fd) const
{
    const uint64_t now = Mux::clock().monotonic_us();
    size_t onLine = 0;
    for (const Block& block : mTaken)
        if (block.leftUs > now)
            onLine += static_cast<size_t>(
                std::min<uint64_t>(block.octets, ((block.leftUs - now) * kOctetsPerMs + 999) / 1000));
    if (onLine == 0 && !mTaken.empty() && !Device::flushed_now(fd))
        onLine = mTaken.back().octets;
    return onLine + unwritten();
}

bool HandedChannel::Flushed(int fd) const
{
    return unwritten() == 0 && Device::flushed_now(fd);
}

// What arrived before the end is the holder's if it still reads: its
// reader may end the drain meanwhile, or the holder with the handle.
void HandedChannel::Drained()
{
    std::shared_ptr<bool> living = mAlive;
    ServeAllPending([&] { return *living && mDraining; });
    if (*living && mDraining)
        Ended([](ChannelHolder& holder) { holder.IChannelDrained(); });
}

void HandedChannel::BoundPassed()
{
    Cut("at its bound");
}

// What had not left is dropped with the channel: said as a lost channel
// says it.
void HandedChannel::Cut(const char* when)
{
    if (!Flushed(mWatch.fd.get()))
        std::cerr << "channel " << mChannel << ": drain cut " << when << ", " << Unsent(mWatch.fd.get())
                  << " bytes unsent" << std::endl;
    Drained();
}

void HandedChannel::OnEnd(int, short revents)
{
    if (Device::End end = Device::poll_end(revents))
        Lost(end);
    // The flush event was read at the start of the loop's pass: the holder
    // may have written since, or still has to.
    else if (mDraining && (revents & POLLWRNORM) && Flushed(mWatch.fd.get()))
        Drained();
}

// ----------------------------------------------------------- HandedChannelIndex

HandedChannelIndex& HandedChannelIndex::instance()
{
    static HandedChannelIndex index;
    return index;
}

// The stale holder's hooks may end it, or anyone: the index is looked up
// afresh after each.
void HandedChannelIndex::Claim(int channel, HandedChannel& handle)
{
    if (channel < 0)
        return;
    unsigned reads = 0;
    for (;;) {
        auto it = mHolders.find(channel);
        if (it == mHolders.end() || it->second == &handle)
            break;
        HandedChannel* stale = it->second;
        if (reads < kMaxPendingReads && stale->ServePending()) {
            ++reads;
            continue;
        }
        // Out first, so that the end it reads now leaves nothing here.
        mHolders.erase(it);
        stale->mChannel = -1;
        stale->Lost(EndOf(stale->EndFd()));
    }
    mHolders[channel] = &handle;
}

void HandedChannelIndex::Leave(int channel, const HandedChannel& handle)
{
    auto it = mHolders.find(channel);
    if (it != mHolders.end() && it->second == &handle)
        mHolders.erase(it);
}

HandedChannel* HandedChannelIndex::HolderOf(int channel) const
{
    auto it = mHolders.find(channel);
    return it == mHolders.end() ? nullptr : it->second;
}

Device::End HandedChannelIndex::EndOf(int fd)
{
    Device::End end = Device::end_now(fd);
    return end ? end : Device::End{"channel given to another slot", ENODEV};
}
