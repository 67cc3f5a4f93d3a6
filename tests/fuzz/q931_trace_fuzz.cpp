// libFuzzer target: the D-channel frame decoder of the traces. The first
// octet picks the direction and the size of the text buffer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "signalling/q931_trace.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t room = 1 + (data[0] & 0x7f) * 16;
    std::vector<char> out(room);
    std::vector<uint8_t> frame(data + 1, data + size);
    ISDN::dlogframe(frame.data(), static_cast<int>(frame.size()), data[0] >> 7, out.data(), room);
    if (frame.size() >= 3 && !std::memchr(out.data(), '\0', room))
        __builtin_trap();
    return 0;
}
