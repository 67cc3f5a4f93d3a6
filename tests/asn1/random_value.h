// Seeded random values of any runtime type, built from its descriptor: every
// kind of value, within what its constraints allow, edges drawn often.
#pragma once

#include <random>

#include "asn1/asn1.h"

namespace asn1test {

class RandomFiller {
public:
    explicit RandomFiller(unsigned seed) : mRng(seed) {}

    // Replaces the contents of value by a random valid value of its type.
    void fill(ASN1::AbstractData& value, unsigned depth = 0);

    unsigned below(unsigned n) { return n ? static_cast<unsigned>(mRng() % n) : 0; }

private:
    void fill_sequence(ASN1::SEQUENCE& seq, unsigned depth);
    void fill_integer(ASN1::INTEGER& value);
    void fill_time(ASN1::GeneralizedTime& value);
    void fill_oid(ASN1::OBJECT_IDENTIFIER& value);
    unsigned size(ASN1::ConstrainedObject const& value, unsigned usual);

    std::mt19937 mRng;
};

} // namespace asn1test
