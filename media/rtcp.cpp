#include "media/rtcp.h"

#include <algorithm>
#include <cstring>

namespace RTPC {

namespace {

const unsigned kHeader = 4;
const unsigned kSsrc = 4;
const size_t kMaxText = 255; // one length octet

unsigned round_down4(unsigned n)
{
    return n & ~3u;
}

unsigned round_up4(unsigned n)
{
    return (n + 3) & ~3u;
}

void put32(char* at, uint32_t v)
{
    at[0] = static_cast<char>(v >> 24);
    at[1] = static_cast<char>(v >> 16);
    at[2] = static_cast<char>(v >> 8);
    at[3] = static_cast<char>(v);
}

// Zeros from `from` up to the next multiple of 4; the new length.
unsigned pad(char* body, unsigned from)
{
    unsigned end = round_up4(from);
    std::memset(body + from, 0, end - from);
    return end;
}

} // namespace

// Every length is kept to whole 32-bit words of the room, so no write can
// pass the end of a buffer whose size is not a multiple of 4.
unsigned Msg::encode(char* buf, unsigned size) const
{
    unsigned room = round_down4(size);
    if (room < kHeader + kSsrc)
        return 0;
    unsigned body = encode_body(buf + kHeader, room - kHeader);
    if (body == 0)
        return 0;
    unsigned length = kHeader + body;
    buf[0] = static_cast<char>(0x80 | (count() & 0x1F)); // version 2, no padding
    buf[1] = static_cast<char>(pt());
    unsigned words = length / 4 - 1;
    buf[2] = static_cast<char>(words >> 8);
    buf[3] = static_cast<char>(words);
    return length;
}

// RFC 3550 6.5: a chunk's item list ends with at least one null octet and
// is padded to a 32-bit boundary.
unsigned SDES::encode_body(char* body, unsigned room) const
{
    room = round_down4(room);
    if (room < kSsrc + 4)
        return 0;
    put32(body, ssrc);
    unsigned at = kSsrc;
    for (const Item& item : items) {
        unsigned n = static_cast<unsigned>(std::min(item.text.size(), kMaxText));
        // The item, and after it the null octet and padding.
        if (round_up4(at + 2 + n + 1) > room)
            break;
        body[at] = static_cast<char>(item.type);
        body[at + 1] = static_cast<char>(n);
        std::memcpy(body + at + 2, item.text.data(), n);
        at += 2 + n;
    }
    body[at] = 0;
    return pad(body, at + 1);
}

// RFC 3550 6.6: an optional reason, a length octet and the text, padded.
unsigned BYE::encode_body(char* body, unsigned room) const
{
    room = round_down4(room);
    if (room < kSsrc)
        return 0;
    put32(body, ssrc);
    if (reason.empty() || room == kSsrc)
        return kSsrc;
    unsigned n = static_cast<unsigned>(std::min<size_t>({reason.size(), kMaxText, room - kSsrc - 1}));
    body[kSsrc] = static_cast<char>(n);
    std::memcpy(body + kSsrc + 1, reason.data(), n);
    return pad(body, kSsrc + 1 + n);
}

} // namespace RTPC
