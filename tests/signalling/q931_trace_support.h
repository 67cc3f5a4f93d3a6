// Frames for the decoder's tests and its independent check.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "signalling/q931_trace.h"

namespace vbtest {

using Octets = std::vector<uint8_t>;

inline Octets octets(std::initializer_list<int> list)
{
    Octets o;
    for (int b : list)
        o.push_back(static_cast<uint8_t>(b));
    return o;
}

// The text of one frame. The frame lives in a buffer of exactly its size,
// so a read past it is caught by the address sanitizer.
inline std::string decode(const Octets& frame, int direction = 0, size_t size = ISDN::kLogbufSize)
{
    std::vector<uint8_t> exact(frame);
    exact.shrink_to_fit();
    std::vector<char> out(size, '\x7f');
    ISDN::dlogframe(exact.empty() ? nullptr : exact.data(), static_cast<int>(exact.size()), direction, out.data(),
                    size);
    return out[0] == '\x7f' ? std::string("<untouched>") : std::string(out.data());
}

} // namespace vbtest
