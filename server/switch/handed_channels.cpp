#include "server/switch/handed_channels.h"

#include <poll.h>

#include <cerrno>

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
    if (mChannel >= 0)
        HandedChannelIndex::instance().Leave(mChannel, *this);
    mChannel = -1;
    mHolder = nullptr;
    mReader = nullptr;
    mWatch.Release();
    mDraining = false;
    mDrainBound.reset();
}

bool HandedChannel::ServePending()
{
    return mReader && mReader->ServeInput();
}

int HandedChannel::EndFd() const
{
    return watched() ? mWatch.fd.get() : mReader ? mReader->fd.get() : -1;
}

bool HandedChannel::EndPending()
{
    for (unsigned reads = 0; held() && reads < HandedChannelIndex::kMaxPendingReads && ServePending(); ++reads) {
    }
    if (!held())
        return true;
    Device::End end = Device::end_now(EndFd());
    if (end)
        Lost(end);
    return static_cast<bool>(end);
}

void HandedChannel::Lost(const Device::End& end)
{
    ChannelHolder* holder = mHolder;
    Release();
    if (holder)
        holder->IChannelLost(end);
}

bool HandedChannel::Drain(const Fd& fd, size_t waiting)
{
    if (!held() || Flushed(fd.get()) || !mWatch.Schedule(fd, POLLWRNORM))
        return false;
    // Nothing is read any more: what comes now is not waited for.
    mReader = nullptr;
    mDraining = true;
    mDrainBound.set(kDrainBoundMs + static_cast<unsigned>(waiting / kOctetsPerMs), &HandedChannel::Drained, this);
    return true;
}

bool HandedChannel::Flushed(int fd) const
{
    return !mHolder->IWriting() && Device::flushed_now(fd);
}

void HandedChannel::Drained()
{
    ChannelHolder* holder = mHolder;
    Release();
    if (holder)
        holder->IChannelDrained();
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
