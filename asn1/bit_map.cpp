#include "asn1/bit_map.h"

#include <algorithm>

namespace ASN1 {

void BitMap::resize(unsigned bits)
{
    mBytes.resize((std::size_t(bits) + 7) / 8, 0);
    if (bits % 8)
        mBytes.back() = static_cast<char>(mBytes.back() & (0xFF00 >> (bits % 8)));
    mCount = bits;
}

void BitMap::set(unsigned i, bool on)
{
    char mask = static_cast<char>(0x80 >> (i % 8));
    if (on)
        mBytes[i / 8] |= mask;
    else
        mBytes[i / 8] &= static_cast<char>(~mask);
}

bool BitMap::any() const
{
    return std::any_of(mBytes.begin(), mBytes.end(), [](char c) { return c != 0; });
}

void BitMap::swap(BitMap& other)
{
    std::swap(mCount, other.mCount);
    mBytes.swap(other.mBytes);
}

} // namespace ASN1
