// The channels that the board's drivers handed out, and who holds each (a
// slot, or a signalling link's HDLC channel). A driver hands out only a
// free channel: whoever still names a channel it hands again has lost it,
// although its end may still wait to be read on its descriptor. The new
// holder's claim ends the old hold first, so the old holder can never
// release what the new one sets up, and its end read later is no news.
//
// A holder holds its channel through one HandedChannel: made from what the
// driver handed out (the channel, its descriptor, the holder's reader of
// it), it is in the index from its Take to its release or destruction.
// It is the channel's one write path: what the channel took is recorded
// where it is written, so a drain follows the line whatever the kind.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>

#include "board/device.h"
#include "runtime/async_copy.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"

class HandedChannel;

class ChannelHolder {
public:
    // The channel ended: its descriptor's end, or the driver handed it to
    // another holder. Called once, after the handle let go of it; the
    // holder may end itself, handle included.
    virtual void IChannelLost(const Device::End& end) = 0;
    // An orderly end (HandedChannel::Drain) is over without a loss: what
    // was written on the channel left, or the bound passed, or whoever
    // watches the drain ended it; the handle let go of the channel.
    virtual void IChannelDrained() {}
    // Octets the holder still has to write on the channel: a drain waits
    // for those it had when it began as for what the channel holds, and
    // its bound grows by their time on the line.
    virtual size_t IUnwritten() const { return 0; }
    // What the holder writes while its channel drains leaves too: a layer
    // that speaks on its channel until the channel goes. Otherwise a drain
    // takes only the octets the holder had unwritten when it began; what
    // comes later is for a channel to come.
    virtual bool IWritesThrough() const { return false; }

protected:
    ~ChannelHolder() = default;
};

// Who waits for a drain besides the holder (the slot table, whose slot
// goes once its channel drained).
class DrainWatcher {
public:
    // The drain of handle is over, however it ended; the handle let go of
    // the channel and its holder heard. handle is a name only: the holder
    // may have gone with it.
    virtual void IDrainEnded(const HandedChannel* handle) = 0;

protected:
    ~DrainWatcher() = default;
};

class HandedChannel {
public:
    // How long a drain waits at most for a line that does not move, the
    // bound of a copy's flush step too.
    static constexpr unsigned kDrainBoundMs = ASync::Copy::kFlushBoundMs;
    // A time slot's rate.
    static constexpr size_t kOctetsPerMs = 8;
    // What a channel's transmit buffer holds: it takes a frame, whole,
    // while less than this waits behind the one on the line.
    static constexpr size_t kChannelBuffer = 8192;

    HandedChannel();
    // Goes with its holder, whose end a drain's watcher already saw to:
    // nobody is told.
    ~HandedChannel()
    {
        *mAlive = false;
        LetGo();
    }
    HandedChannel(const HandedChannel&) = delete;
    HandedChannel& operator=(const HandedChannel&) = delete;

    // holder holds channel (-1: none that the index names), which the
    // driver handed with fd. reader is the holder's own reader of fd, if
    // it has one: a claim serves it before the loss, so that nothing that
    // came before the end is dropped. With watched, a copy of fd is
    // watched for its end (a holder that reads the end itself needs
    // none). Whoever else still holds channel loses it before this
    // returns. False, holding nothing, when the copy cannot be had. What
    // was held before is let go first.
    bool Take(ChannelHolder& holder, int channel, const Fd& fd, Event* reader, bool watched);
    // Out of the index and no longer watched; the holder is not told. A
    // drain ends so when the holder opens the channel again or its line
    // goes: its watcher hears of it.
    void Release();
    // Before the holder lets go: what waits for its reader is served, as a
    // claim serves a stale holder, and an end that the descriptor shows
    // then is the holder's loss, told as any other. True when the hold
    // ended so (the reader may have read the end itself); false, nothing
    // let go, when the channel still runs. The holder's hooks must leave
    // the handle in place.
    bool EndPending();
    // Writes size octets of data on the channel in one write (again when
    // interrupted); the write's result, errno as it left it. What the
    // channel took leaves behind what it took before, a frame taking its
    // time on the line whole: a drain waits for it at the line's rate,
    // however long it is, and counts it when it is cut. Refused with
    // EBADF when nothing is held, and with ENOBUFS while a drain takes
    // nothing more of the holder's (takes()).
    ssize_t Write(const void* data, size_t size);
    // A write of size octets would be taken now: the channel is held, and
    // runs, or drains and still takes them (of what the holder had
    // unwritten when the drain began, or anything while it writes
    // through).
    bool takes(size_t size = 1) const;
    // An orderly end: the channel stays held on a copy of its descriptor
    // (so the driver keeps it), nothing read unless the holder hears it
    // (Hear), until the driver reports
    // that what was written on it left (its flush event), checked again
    // against what the holder still has to write of what it had then
    // (IUnwritten, IWritesThrough). It ends at once at a hang-up or any
    // other end of the descriptor (the holder's loss), when the holder
    // lets go (Release: it opens the channel again, or its line went), by
    // EndDrain, or at its bound: kDrainBoundMs after the line, carrying at
    // a time slot's rate, would have carried what the channel took and
    // what the holder still has to write; each block the channel takes
    // meanwhile moves the bound on. A drain that is cut says how many
    // octets did not leave. The holder hears IChannelLost or
    // IChannelDrained, then watcher (when given) hears IDrainEnded. On a
    // drain that runs already, watcher takes over watching it. False,
    // nothing changed, when nothing is held, what was written left
    // already, or no copy can be had.
    bool Drain(DrainWatcher* watcher = nullptr);
    // Whoever watches the drain cannot wait for it any longer (the
    // controller went): it is cut as at its bound.
    void EndDrain();
    // The holder reads the draining channel with reader (its own reader
    // of it), or no longer (null): a holder that lives on and still wants
    // what arrives, such as a link that restarts. A claim serves the
    // reader as before the drain, and what waits for it is served before
    // the drain ends without a loss.
    void Hear(Event* reader);
    bool draining() const { return mDraining; }
    // Octets of the holder's that the channel still takes: all it has to
    // write, or while it drains those it had when the drain began.
    size_t unwritten() const;

    bool held() const { return mHolder != nullptr; }
    // The channel in the index, -1 for none.
    int channel() const { return mChannel; }
    bool watched() const { return static_cast<bool>(mWatch.fd); }

private:
    friend class HandedChannelIndex;
    // One wake-up of the reader, when input waits: true when it ran (it
    // may have ended the handle).
    bool ServePending();
    // Wake-ups of the reader while input waits and keep() holds, as many
    // as a claim serves at most: keep() is asked first each time, as the
    // reader may have ended the handle.
    template <class Keep>
    void ServeAllPending(Keep keep);
    // The descriptor that shows the channel's end: the watched copy, else
    // the reader's; -1 for none.
    int EndFd() const;
    // Let go, then the holder hears of the end, then the drain's watcher.
    void Lost(const Device::End& end);
    // Out of the index and no longer watched; nobody is told.
    void LetGo();
    void OnEnd(int fd, short revents);
    // Nothing written waits, on fd or with the holder.
    bool Flushed(int fd) const;
    // The drain is over without a loss: let go, then the holder hears of
    // it, then the watcher.
    void Drained();
    // The drain's bound passed.
    void BoundPassed();
    // (Re)sets the drain's bound by what the line still has to carry.
    void ArmBound();
    // The drain ends short (when says how): Drained, with a line for
    // what is dropped unless the last octet left meanwhile.
    void Cut(const char* when);
    // The channel took octets that the holder wrote.
    void Took(size_t octets);
    // Octets that did not leave by now: what the line had no time for of
    // what the channel took (fd, the channel, tells whether it still holds
    // any), and what the holder has not written.
    size_t Unsent(int fd) const;
    // The descriptor the holder writes on: its reader's, else the copy.
    int WriteFd() const;
    void DropOldest();
    static uint64_t LineUs(size_t octets) { return octets * 1000 / kOctetsPerMs; }
    // The watcher of a drain that ends now, null for none.
    DrainWatcher* EndingWatcher();
    // Let go, then tell(holder), then the drain's watcher: the holder may
    // end itself, handle included, so nothing of the handle is touched
    // between.
    template <class Tell>
    void Ended(Tell tell);

    ChannelHolder* mHolder = nullptr;
    Event* mReader = nullptr;
    int mChannel = -1;
    Event mWatch;
    bool mDraining = false;
    // Of what the holder had unwritten when the drain began, the octets
    // it has not written yet.
    size_t mOwed = 0;
    DrainWatcher* mWatcher = nullptr;
    Timer mDrainBound;
    // A block the channel took, and when the line, carrying at a time
    // slot's rate behind what it took before, is through with it.
    struct Block {
        uint64_t leftUs;
        size_t octets;
    };
    // What the channel may still hold, oldest first.
    std::deque<Block> mTaken;
    size_t mTakenOctets = 0;
    // What the drain's end looks at after the holder's reader ran, which
    // may have destroyed the holder and the handle with it.
    std::shared_ptr<bool> mAlive = std::make_shared<bool>(true);
};

class HandedChannelIndex {
public:
    // At most this many wake-ups of a stale holder's reader in one claim:
    // a descriptor that never runs dry cannot hold the claim.
    static constexpr unsigned kMaxPendingReads = 4096;

    // The index of the process.
    static HandedChannelIndex& instance();

    // handle was handed channel (nothing for a negative one): whoever else
    // still holds it reads what waits, then loses it, before the handle is
    // entered.
    void Claim(int channel, HandedChannel& handle);
    // handle no longer holds channel (nothing when another holds it now).
    void Leave(int channel, const HandedChannel& handle);
    HandedChannel* HolderOf(int channel) const;
    // Why a stale holder's channel ended: what its descriptor's poll says
    // now, as the loop would have read it, else that it was handed on.
    static Device::End EndOf(int fd);
    size_t size() const { return mHolders.size(); }

private:
    std::unordered_map<int, HandedChannel*> mHolders;
};
