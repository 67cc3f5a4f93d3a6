// Bit-level output and input of the packed encoding rules (X.691): bit-fields
// most significant bit first, octet alignment, octet blocks and bit maps.
#pragma once

#include <algorithm>
#include <cstddef>
#include <vector>

namespace ASN1 {

class BitOutput {
public:
    explicit BitOutput(std::vector<char>& out) : mOutput(&out) {}

    std::vector<char>& output() { return *mOutput; }
    // Bits still free in the last octet, 1..8; 8: the next bit starts an octet.
    unsigned short bitsLeft() const { return mBitsLeft; }

    void encodeSingleBit(bool bit)
    {
        if (mBitsLeft == 8)
            mOutput->push_back(0);
        --mBitsLeft;
        if (bit)
            mOutput->back() = static_cast<char>(mOutput->back() | (1 << mBitsLeft));
        if (mBitsLeft == 0)
            mBitsLeft = 8;
    }
    // The low n bits of value, n <= 32.
    void encodeMultiBit(unsigned value, unsigned n);
    // Unused low bits of the current octet stay 0.
    void align() { mBitsLeft = 8; }
    void encodeByte(unsigned value)
    {
        align();
        mOutput->push_back(static_cast<char>(value));
    }
    // Aligns and appends n octets; nothing at all for n = 0.
    void encodeBlock(char const* data, unsigned n);
    // The first n bits of a bit map of held octets: whole octets, then the top
    // bits of the next; bits past the held octets are written as 0.
    void encodeBitMap(char const* map, std::size_t held, unsigned n)
    {
        // Most presence maps fit one octet.
        if (n > 8)
            return encodeLongBitMap(map, held, n);
        if (n > 0)
            encodeMultiBit(held > 0 ? static_cast<unsigned char>(map[0]) >> (8 - n) : 0u, n);
    }

private:
    void encodeLongBitMap(char const* map, std::size_t held, unsigned n);

    std::vector<char>* mOutput;
    unsigned short mBitsLeft = 8;
};

// Reads [first, last) in place. Every read fails rather than run past the end.
class BitInput {
public:
    BitInput(char const* first, char const* last) : mPosition(first), mEnd(last) {}

    char const* getPosition() const { return mPosition; }
    char const* getEnd() const { return mEnd; }
    // Unread bits in the octet at the position, 1..8.
    unsigned short bitsLeftInOctet() const { return mBitsLeft; }
    std::size_t getBitsLeft() const { return std::size_t(mEnd - mPosition) * 8 + mBitsLeft - 8; }
    // Whole octets from the position on; meaningful when aligned.
    std::size_t octetsLeft() const { return std::size_t(mEnd - mPosition); }
    bool atEnd() const { return mPosition == mEnd; }

    bool decodeSingleBit(bool& bit)
    {
        if (mPosition == mEnd)
            return false;
        --mBitsLeft;
        bit = (static_cast<unsigned char>(*mPosition) >> mBitsLeft) & 1;
        if (mBitsLeft == 0) {
            ++mPosition;
            mBitsLeft = 8;
        }
        return true;
    }
    // n bits into v, n <= 32; n = 0 gives 0.
    bool decodeMultiBit(unsigned n, unsigned& v);
    void byteAlign()
    {
        if (mBitsLeft != 8) {
            ++mPosition;
            mBitsLeft = 8;
        }
    }
    // Moves to p (at most the end), at an octet boundary.
    void setPosition(char const* p)
    {
        mPosition = std::min(p, mEnd);
        mBitsLeft = 8;
    }
    // Aligns and copies the smaller of n and the remaining octets; returns
    // the count copied. n = 0 does nothing.
    unsigned decodeBlock(char* out, unsigned n);
    // n bits into a map of held octets; fails unless it holds ceil(n / 8).
    bool decodeBitMap(char* map, std::size_t held, unsigned n)
    {
        if (n > 8 || (n > 0 && held == 0))
            return decodeLongBitMap(map, held, n);
        unsigned v = 0;
        if (n > 0) {
            if (!decodeMultiBit(n, v))
                return false;
            map[0] = static_cast<char>(v << (8 - n));
        }
        return true;
    }

private:
    bool decodeLongBitMap(char* map, std::size_t held, unsigned n);

    char const* mPosition;
    char const* mEnd;
    unsigned short mBitsLeft = 8;
};

// The bit-fields are inline: most are a few bits of a known width, and a
// call each costs more than the work.

inline void BitOutput::encodeMultiBit(unsigned value, unsigned n)
{
    std::vector<char>& out = *mOutput;
    if (n == 0)
        return;
    if (n <= mBitsLeft) {
        // Within the current octet: the usual presence bits and indices.
        if (mBitsLeft == 8)
            out.push_back(0);
        mBitsLeft = static_cast<unsigned short>(mBitsLeft - n);
        out.back() = static_cast<char>(out.back() | ((value & ((1u << n) - 1)) << mBitsLeft));
        if (mBitsLeft == 0)
            mBitsLeft = 8;
        return;
    }
    if (mBitsLeft != 8) {
        // The rest of the current octet first.
        unsigned take = std::min<unsigned>(n, mBitsLeft);
        n -= take;
        mBitsLeft = static_cast<unsigned short>(mBitsLeft - take);
        out.back() = static_cast<char>(out.back() | (((value >> n) & ((1u << take) - 1)) << mBitsLeft));
        if (mBitsLeft == 0)
            mBitsLeft = 8;
        if (n == 0)
            return;
    }
    for (; n >= 8; n -= 8)
        out.push_back(static_cast<char>(value >> (n - 8)));
    if (n > 0) {
        // Bits of value above the low n fall off the octet.
        out.push_back(static_cast<char>(value << (8 - n)));
        mBitsLeft = static_cast<unsigned short>(8 - n);
    }
}

inline bool BitInput::decodeMultiBit(unsigned n, unsigned& v)
{
    if (n > 32 || n > getBitsLeft())
        return false;
    if (n == 0) {
        v = 0;
        return true;
    }
    if (n <= mBitsLeft) {
        mBitsLeft = static_cast<unsigned short>(mBitsLeft - n);
        v = (static_cast<unsigned char>(*mPosition) >> mBitsLeft) & ((1u << n) - 1);
        if (mBitsLeft == 0) {
            ++mPosition;
            mBitsLeft = 8;
        }
        return true;
    }
    unsigned char const* p = reinterpret_cast<unsigned char const*>(mPosition);
    // The unread rest of the current octet, then whole octets, then the top
    // of the last one.
    unsigned take = std::min<unsigned>(n, mBitsLeft);
    n -= take;
    mBitsLeft = static_cast<unsigned short>(mBitsLeft - take);
    unsigned value = (*p >> mBitsLeft) & ((1u << take) - 1);
    if (mBitsLeft == 0) {
        ++p;
        mBitsLeft = 8;
    }
    for (; n >= 8; n -= 8)
        value = (value << 8) | *p++;
    if (n > 0) {
        mBitsLeft = static_cast<unsigned short>(8 - n);
        value = (value << n) | (*p >> mBitsLeft);
    }
    mPosition = reinterpret_cast<char const*>(p);
    v = value;
    return true;
}

} // namespace ASN1
