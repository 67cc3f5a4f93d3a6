#include "server/slots/handed_channels.h"

#include <poll.h>

#include <cerrno>

HandedChannels& HandedChannels::instance()
{
    static HandedChannels index;
    return index;
}

// The stale holder's hooks may end it, or anyone: the index is looked up
// afresh after each.
void HandedChannels::Claim(int channel, ChannelHolder& holder)
{
    if (channel < 0)
        return;
    unsigned reads = 0;
    for (;;) {
        auto it = mHolders.find(channel);
        if (it == mHolders.end() || it->second == &holder)
            break;
        ChannelHolder* stale = it->second;
        if (reads < kMaxPendingReads && stale->IServePending()) {
            ++reads;
            continue;
        }
        // Out first, so that the end it reads now leaves nothing here.
        mHolders.erase(it);
        stale->IChannelTaken();
    }
    mHolders[channel] = &holder;
}

void HandedChannels::Leave(int channel, const ChannelHolder& holder)
{
    auto it = mHolders.find(channel);
    if (it != mHolders.end() && it->second == &holder)
        mHolders.erase(it);
}

ChannelHolder* HandedChannels::HolderOf(int channel) const
{
    auto it = mHolders.find(channel);
    return it == mHolders.end() ? nullptr : it->second;
}

Device::End HandedChannels::EndOf(int fd)
{
    Device::End end;
    pollfd p{fd, 0, 0};
    if (fd >= 0 && ::poll(&p, 1, 0) == 1)
        end = Device::poll_end(p.revents);
    return end ? end : Device::End{"channel given to another slot", ENODEV};
}
