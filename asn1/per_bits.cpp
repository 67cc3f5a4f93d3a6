#include "asn1/per_bits.h"

#include <algorithm>
#include <cstring>

namespace ASN1 {

// BitOutput

void BitOutput::encodeBlock(char const* data, unsigned n)
{
    if (n == 0)
        return;
    align();
    mOutput->insert(mOutput->end(), data, data + n);
}

void BitOutput::encodeLongBitMap(char const* map, std::size_t held, unsigned n)
{
    auto octet = [map, held](unsigned i) { return i < held ? static_cast<unsigned char>(map[i]) : 0u; };
    unsigned whole = n / 8;
    for (unsigned i = 0; i < whole; ++i)
        encodeMultiBit(octet(i), 8);
    if (unsigned rest = n % 8)
        encodeMultiBit(octet(whole) >> (8 - rest), rest);
}

// BitInput

unsigned BitInput::decodeBlock(char* out, unsigned n)
{
    if (n == 0)
        return 0;
    byteAlign();
    unsigned count = static_cast<unsigned>(std::min<std::size_t>(n, octetsLeft()));
    std::memcpy(out, mPosition, count);
    mPosition += count;
    return count;
}

bool BitInput::decodeLongBitMap(char* map, std::size_t held, unsigned n)
{
    if (n > getBitsLeft() || held < (std::size_t(n) + 7) / 8)
        return false;
    unsigned whole = n / 8;
    unsigned v = 0;
    for (unsigned i = 0; i < whole; ++i) {
        decodeMultiBit(8, v);
        map[i] = static_cast<char>(v);
    }
    if (unsigned rest = n % 8) {
        decodeMultiBit(rest, v);
        map[whole] = static_cast<char>(v << (8 - rest));
    }
    return true;
}

} // namespace ASN1
