#include "asn1/bit_map.h"

#include <algorithm>
#include <cstring>

namespace ASN1 {

BitMap::BitMap(BitMap const& other)
{
    *this = other;
}

BitMap& BitMap::operator=(BitMap const& other)
{
    if (this != &other) {
        mCount = 0;
        resize(other.mCount);
        std::memcpy(bytes(), other.bytes(), bits::octets(mCount));
    }
    return *this;
}

void BitMap::resize(unsigned count)
{
    unsigned kept = std::min(count, mCount);
    unsigned need = bits::octets(count);
    if (need > mCapacity) {
        std::unique_ptr<char[]> grown(new char[need]);
        std::memcpy(grown.get(), bytes(), bits::octets(kept));
        mHeap.swap(grown);
        mCapacity = need;
    }
    char* data = bytes();
    bits::clear_tail(data, kept);
    if (need > bits::octets(kept))
        std::memset(data + bits::octets(kept), 0, need - bits::octets(kept));
    mCount = count;
}

bool BitMap::any() const
{
    char const* data = bytes();
    return std::any_of(data, data + bits::octets(mCount), [](char c) { return c != 0; });
}

void BitMap::swap(BitMap& other)
{
    std::swap(mCount, other.mCount);
    std::swap(mCapacity, other.mCapacity);
    std::swap(mInline, other.mInline);
    mHeap.swap(other.mHeap);
}

} // namespace ASN1
