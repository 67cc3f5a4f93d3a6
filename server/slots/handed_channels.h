// The channels that the board's drivers handed out, and who holds each (a
// slot, or a signalling link's HDLC channel). A driver hands out only a
// free channel: whoever still names a channel it hands again has lost it,
// although its end may still wait to be read on its descriptor. The new
// holder's claim ends the old hold first, so the old holder can never
// release what the new one sets up, and its end read later is no news.
#pragma once

#include <cstddef>
#include <unordered_map>

#include "board/device.h"

class ChannelHolder {
public:
    // One wake-up of the holder's reader, when input waits on its
    // descriptor now: true when the reader ran. What reached the holder
    // before its end is its own, read as the loop would have read it; the
    // reader may end the hold, or the holder itself.
    virtual bool IServePending() = 0;
    // The channel went to another holder and nothing waits to be read:
    // the holder lets it go as at the end of its descriptor.
    virtual void IChannelTaken() = 0;

protected:
    ~ChannelHolder() = default;
};

class HandedChannels {
public:
    // At most this many wake-ups of a stale holder's reader in one claim:
    // a descriptor that never runs dry cannot hold the claim.
    static constexpr unsigned kMaxPendingReads = 4096;

    // The index of the process.
    static HandedChannels& instance();

    // holder was handed channel (nothing for a negative one): whoever else
    // still holds it reads what waits, then loses it, before the holder
    // is entered.
    void Claim(int channel, ChannelHolder& holder);
    // holder no longer holds channel (nothing when another holds it now).
    void Leave(int channel, const ChannelHolder& holder);
    ChannelHolder* HolderOf(int channel) const;
    // Why a stale holder's channel ended: what its descriptor's poll says
    // now, as the loop would have read it, else that it was handed on.
    static Device::End EndOf(int fd);
    size_t size() const { return mHolders.size(); }

private:
    std::unordered_map<int, ChannelHolder*> mHolders;
};
