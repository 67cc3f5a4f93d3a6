// Decisions that the PER encoder and decoder must take alike.
#pragma once

#include <cstdint>

#include "asn1/descriptors.h"

namespace ASN1 {
namespace per {

// Bits per character of a string type in the chosen variant.
template <class Info>
unsigned char_bits(Info const* info, bool aligned)
{
    return aligned ? info->alignedCharSize : info->unalignedCharSize;
}

// X.691 27.5: in the ALIGNED variant the characters start on an octet
// when the string may take more than 16 bits.
inline bool chars_octet_aligned(ConstrainedInfo const* info, unsigned bits)
{
    return info->type == Unconstrained || std::uint64_t(info->upperLimit) * bits > 16;
}

// The characters of a string coded by their own code: the canonical width
// fits the field width.
inline bool chars_by_code(StringInfo const* info, unsigned bits)
{
    return info->canonicalCharSize > 4 && info->canonicalCharSize <= bits;
}

} // namespace per
} // namespace ASN1
