// How the packet pool is shared out.
//
// The controller must always find a buffer for its answers and signals, or
// it sees a dead gateway and drops every slot: a reserve of the pool is
// kept for the controller link alone. The buffers that queues keep for long
// (messages waiting for a link, frames kept for retransmission) are bounded
// all together, so that a command which would queue past that bound is
// refused up front, and what is left of the pool serves the frames in
// flight: frames read from the channels, acknowledgements, copies.
//
// Of the 1024 buffers: 32 for the controller link, at most 896 queued, so
// at least 96 for everything else.
#pragma once

#include "runtime/packet.h"

namespace PacketQuota {

// Buffers that only allocations under a ReserveAccess may take.
constexpr unsigned reserve = 32;
// Packets that all queues together may hold.
constexpr unsigned queue_limit = 896;

static_assert(reserve + queue_limit < 1024, "the pool must keep room for frames in flight");

// Packets held by every counting queue together.
unsigned queued();
// Whether n more packets may be queued.
inline bool room(unsigned n = 1)
{
    return n <= queue_limit && queued() <= queue_limit - n;
}

// The queues' bookkeeping.
void hold(unsigned n = 1);
void release(unsigned n = 1);

// Whether an allocation now may take one of the last `reserve` buffers.
bool reserve_open();

// While one with `open` true lives, allocations may take the reserve:
// scoped tightly around the controller link's own allocations.
class ReserveAccess {
public:
    explicit ReserveAccess(bool open = true);
    ~ReserveAccess();
    ReserveAccess(const ReserveAccess&) = delete;
    ReserveAccess& operator=(const ReserveAccess&) = delete;

private:
    bool mOpen;
};

// A packet handle counted as queued while it holds a packet: a slot of a
// queue that is not a CleanQueue.
class Held {
public:
    Held() = default;
    ~Held() { reset(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    Held& operator=(const Packet& p)
    {
        if (p.null()) {
            reset();
            return *this;
        }
        if (mPacket.null())
            hold();
        mPacket = p;
        return *this;
    }
    void reset()
    {
        if (mPacket.null())
            return;
        mPacket = Packet();
        release();
    }
    operator const Packet&() const { return mPacket; }

private:
    Packet mPacket;
};

} // namespace PacketQuota
