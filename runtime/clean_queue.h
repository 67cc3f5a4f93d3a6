// Fixed-capacity ring queues of packets for transmit and retransmission.
#pragma once

#include <cstdint>

#include "runtime/packet_quota.h"

// A ring of N handles. A queued packet keeps its buffer out of the pool
// until it leaves the queue; every queue counts what it holds in the
// pool's shared queue bound (PacketQuota), which those who queue for the
// controller consult before they do.
template <class T, unsigned N>
class CleanQueue {
public:
    CleanQueue() = default;
    CleanQueue(const CleanQueue&) = delete;
    CleanQueue& operator=(const CleanQueue&) = delete;
    ~CleanQueue()
    {
        for (unsigned i = N; i-- > 0;)
            mSlots[i] = T();
        PacketQuota::release(mCount);
    }

    unsigned size() const { return N; }
    unsigned count() const { return mCount; }
    bool empty() const { return mCount == 0; }

    // False when full: nothing is stored and nothing dropped.
    bool put(const T& p)
    {
        if (mCount == N)
            return false;
        mSlots[mWrite] = p;
        mWrite = inc_index(mWrite);
        ++mCount;
        PacketQuota::hold();
        return true;
    }

    // The oldest packet.
    bool get(T& out)
    {
        if (mCount == 0)
            return false;
        out = mSlots[mRead];
        mSlots[mRead] = T();
        mRead = inc_index(mRead);
        --mCount;
        PacketQuota::release();
        return true;
    }
    bool get(T* out) { return get(*out); }

    // The newest packet.
    bool get_last(T* out)
    {
        if (mCount == 0)
            return false;
        mWrite = dec_index(mWrite);
        *out = mSlots[mWrite];
        mSlots[mWrite] = T();
        --mCount;
        PacketQuota::release();
        return true;
    }

    // Puts p in front of the oldest packet: the next get returns it.
    bool append(const T& p)
    {
        if (mCount == N)
            return false;
        mRead = dec_index(mRead);
        mSlots[mRead] = p;
        ++mCount;
        PacketQuota::hold();
        return true;
    }

    // A shared copy of the oldest packet, which stays queued. A null out
    // only asks whether there is one.
    bool preview(T* out) const
    {
        if (mCount == 0)
            return false;
        if (out)
            *out = mSlots[mRead];
        return true;
    }

    // Empties the queue and gives the buffers back at once.
    void clear()
    {
        for (unsigned i = 0; i < N; ++i)
            mSlots[i] = T();
        PacketQuota::release(mCount);
        mRead = mWrite = mCount = 0;
    }

    static unsigned inc_index(unsigned i) { return i == N - 1 ? 0 : i + 1; }
    static unsigned dec_index(unsigned i) { return i == 0 ? N - 1 : i - 1; }

private:
    T mSlots[N];
    uint32_t mRead = 0;
    uint32_t mWrite = 0;
    uint32_t mCount = 0;
};
