// Seeded random values of any schema type, built from the descriptors: every
// field, alternative, list and constrained number within what its type allows,
// with the edges of each range drawn more often than chance would.
#pragma once

#include <random>
#include <string>
#include <vector>

#include "asn1/asn1.h"

namespace RandomValue {

class Filler {
public:
    explicit Filler(unsigned seed) : mRng(seed) {}

    // Replaces the contents of value by a random value of its type.
    void fill(ASN1::AbstractData& value, unsigned depth = 0);
    // Selects alternative id of choice and fills it.
    void fill_choice(ASN1::CHOICE& choice, int id, unsigned depth = 0);

    unsigned below(unsigned n) { return n ? static_cast<unsigned>(mRng() % n) : 0; }
    bool coin() { return below(2) == 0; }

private:
    void fill_sequence(ASN1::SEQUENCE& seq, unsigned depth);
    void fill_list(ASN1::SEQUENCE_OF_Base& list, unsigned depth);
    void fill_integer(ASN1::INTEGER& value);
    void fill_integer64(ASN1::INTEGER64& value);
    // BMPString, BIT STRING, OBJECT IDENTIFIER, GeneralizedTime.
    void fill_other(ASN1::AbstractData& value);
    unsigned length(ASN1::ConstrainedObject const& object, unsigned usual);

    std::mt19937 mRng;
};

// The octets as lower-case hexadecimal without separators, and back.
std::string hex(std::vector<char> const& octets);
std::vector<char> unhex(std::string const& text);

// The aligned PER encoding (false when the value cannot be encoded).
bool encode(ASN1::AbstractData const& value, std::vector<char>& octets);
// Fills value from octets in aligned PER.
bool decode(std::vector<char> const& octets, ASN1::AbstractData& value);

} // namespace RandomValue
