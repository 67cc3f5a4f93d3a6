// A counted string of bits, as PER writes presence maps and BIT STRINGs.
#pragma once

#include <vector>

namespace ASN1 {

// Bit i sits in byte i / 8 at mask 0x80 >> (i % 8), the order in which PER
// writes presence bits.
class BitMap {
public:
    unsigned size() const { return mCount; }
    // New bits are clear; bits beyond a smaller size are dropped.
    void resize(unsigned bits);
    // A bit beyond the size reads as clear.
    bool test(unsigned i) const { return i < mCount && (mBytes[i / 8] & (0x80 >> (i % 8))) != 0; }
    // i must be below size().
    void set(unsigned i, bool on = true);
    bool any() const;
    std::vector<char> const& bytes() const { return mBytes; }
    std::vector<char>& bytes() { return mBytes; }
    void swap(BitMap& other);

private:
    unsigned mCount = 0;
    std::vector<char> mBytes;
};

} // namespace ASN1
