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
        resize(0);
        resize(other.mCount);
        std::memcpy(bytes(), other.bytes(), bits::octets(mCount));
    }
    return *this;
}

void BitMap::change_size(unsigned count)
{
    unsigned need = bits::octets(count);
    if (need > mCapacity) {
        std::unique_ptr<char[]> grown(new char[need]());
        std::memcpy(grown.get(), bytes(), bits::octets(mCount));
        mHeap.swap(grown);
        mCapacity = need;
    }
    if (count < mCount) {
        char* data = bytes();
        bits::clear_tail(data, count);
        std::memset(data + need, 0, bits::octets(mCount) - need);
    }
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
