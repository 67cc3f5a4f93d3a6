// Packet helpers for the runtime tests.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/packet.h"
#include "runtime/packet_quota.h"

namespace vbtest {

inline std::string bytes(std::initializer_list<int> list)
{
    std::string s;
    for (int b : list)
        s += static_cast<char>(b);
    return s;
}

// A packet holding the given bytes after headroom bytes of room.
inline Packet make_packet(const std::string& content, int headroom = 0)
{
    Packet p;
    p.reserve_head(headroom);
    for (char c : content)
        p.put(static_cast<uint8_t>(c));
    return p;
}

inline std::string content(const Packet& p)
{
    return p.null() ? std::string() : std::string(reinterpret_cast<const char*>(p.get()->data), p.length());
}

// Holds every free buffer of the pool, the reserve too, while it lives.
struct PoolDrain {
    std::vector<Packet> held;
    PoolDrain()
    {
        PacketQuota::ReserveAccess access;
        while (Packet_pool::available())
            held.push_back(make_packet(""));
    }
    void give_back(size_t n) { held.resize(held.size() - n); }
};

} // namespace vbtest
