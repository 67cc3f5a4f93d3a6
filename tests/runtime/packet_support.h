// Packet helpers for the runtime tests.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/packet.h"

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
    if (p.null())
        return std::string();
    return std::string(reinterpret_cast<const char*>(p.get()->data), static_cast<size_t>(p.length()));
}

// Holds every free buffer of the pool while it lives.
class PoolDrain {
public:
    PoolDrain()
    {
        while (Packet_pool::available()) {
            Packet p;
            p.reserve_head(0);
            mHeld.push_back(p);
        }
    }
    void give_back(size_t n)
    {
        while (n-- && !mHeld.empty())
            mHeld.pop_back();
    }

private:
    std::vector<Packet> mHeld;
};

} // namespace vbtest
