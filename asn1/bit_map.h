// A counted string of bits, as PER writes presence maps and BIT STRINGs.
#pragma once

#include <memory>

namespace ASN1 {

// Bit i sits in byte i / 8 at mask 0x80 >> (i % 8), the order in which PER
// writes presence bits.
namespace bits {

inline unsigned octets(unsigned count) { return (count + 7) / 8; }
inline bool test(char const* bytes, unsigned i) { return (bytes[i / 8] & (0x80 >> (i % 8))) != 0; }
inline void set(char* bytes, unsigned i, bool on)
{
    char mask = static_cast<char>(0x80 >> (i % 8));
    bytes[i / 8] = static_cast<char>(on ? bytes[i / 8] | mask : bytes[i / 8] & ~mask);
}
// Clears the bits past the first count in the octet that holds bit count - 1.
inline void clear_tail(char* bytes, unsigned count)
{
    if (count % 8)
        bytes[count / 8] = static_cast<char>(bytes[count / 8] & (0xFF00 >> (count % 8)));
}

} // namespace bits

// The presence maps of a SEQUENCE: the bits of every map the schema has fit
// in the map itself, so building and decoding a value does not allocate; a
// longer map (an extension map of many unknown additions) goes to the heap.
class BitMap {
public:
    BitMap() = default;
    BitMap(BitMap const& other);
    BitMap& operator=(BitMap const& other);

    unsigned size() const { return mCount; }
    // New bits are clear; bits beyond a smaller size are dropped.
    void resize(unsigned count)
    {
        // Bits past the size are kept clear, so growing within the storage
        // only moves the count.
        if (count < mCount || bits::octets(count) > mCapacity)
            change_size(count);
        else
            mCount = count;
    }
    // A bit beyond the size reads as clear.
    bool test(unsigned i) const { return i < mCount && bits::test(bytes(), i); }
    // i must be below size().
    void set(unsigned i, bool on = true) { bits::set(bytes(), i, on); }
    bool any() const;
    // ceil(size() / 8) octets.
    char const* bytes() const { return mHeap ? mHeap.get() : mInline; }
    char* bytes() { return mHeap ? mHeap.get() : mInline; }
    void swap(BitMap& other);

private:
    enum : unsigned { InlineOctets = 8 };
    void change_size(unsigned count);
    unsigned mCount = 0;
    unsigned mCapacity = InlineOctets; // octets
    char mInline[InlineOctets] = {};
    std::unique_ptr<char[]> mHeap;
};

} // namespace ASN1
