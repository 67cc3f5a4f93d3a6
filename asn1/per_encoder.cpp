#include "asn1/per_encoder.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "asn1/primitives.h"
#include "asn1/strings.h"
#include "asn1/generalized_time.h"
#include "asn1/per_rules.h"

namespace ASN1 {

namespace {

bool in_range(unsigned value, unsigned lower, unsigned upper)
{
    if (static_cast<int>(lower) < 0)
        return static_cast<int>(value) >= static_cast<int>(lower) && static_cast<int>(value) <= static_cast<int>(upper);
    return value >= lower && value <= upper;
}

// Octets of the shortest two's-complement form of value, 1..4.
unsigned integer_octets(int value)
{
    unsigned magnitude = value < 0 ? ~static_cast<unsigned>(value) : static_cast<unsigned>(value);
    unsigned bits = (magnitude ? 32 - __builtin_clz(magnitude) : 0) + 1;
    return bits > 24 ? 4 : (bits + 7) / 8;
}

// The same for a 64-bit value, 1..8.
unsigned integer_octets(std::int64_t value)
{
    std::uint64_t magnitude = value < 0 ? ~static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    unsigned bits = (magnitude ? 64 - __builtin_clzll(magnitude) : 0) + 1;
    return (bits + 7) / 8;
}

// X.691 10.9: the unconstrained length in one or two octets; fragmentation
// (16384 and more) is not supported by either side, and gives 0 octets.
unsigned length_octets(std::size_t length, char (&octets)[2])
{
    if (length <= 127) {
        octets[0] = static_cast<char>(length);
        return 1;
    }
    if (length <= 16383) {
        octets[0] = static_cast<char>(0x80 | (length >> 8));
        octets[1] = static_cast<char>(length & 0xFF);
        return 2;
    }
    return 0;
}

} // namespace

bool PEREncoder::encodeWideUnsigned(unsigned value, unsigned lower, unsigned upper)
{
    if (!in_range(value, lower, upper))
        return false;
    if (lower == upper)
        return true;
    unsigned span = upper - lower;
    unsigned offset = value - lower;
    unsigned n = CountBits(span + 1);
    if (mAligned && span >= 255) {
        if (n > 16) {
            // X.691 10.5.7.4: octet count as a bit-field, then the octets.
            unsigned octets = offset == 0 ? 1 : (CountBits(offset + 1) + 7) / 8;
            if (!encodeLength(octets, 1, (n + 7) / 8))
                return false;
            n = 8 * octets;
        } else if (n > 8) {
            n = 16; // X.691 10.5.7.3: two octets
        }
        // X.691 10.5.7.2 to 10.5.7.4: the value's octets start on an octet.
        align();
    }
    encodeMultiBit(offset, n);
    return true;
}

bool PEREncoder::encodeLength(unsigned length, unsigned lower, unsigned upper)
{
    if (length < lower || length > upper)
        return false;
    if (!mAligned && upper != UnboundedLength) {
        encodeMultiBit(length - lower, CountBits(upper - lower + 1));
        return true;
    }
    if (upper <= 65535)
        return encodeUnsigned(length, lower, upper); // a constrained whole number
    char octets[2];
    unsigned n = length_octets(length, octets);
    for (unsigned i = 0; i < n; ++i)
        encodeByte(static_cast<unsigned char>(octets[i]));
    return n > 0;
}

void PEREncoder::encodeSmallUnsigned(unsigned n)
{
    // X.691 10.6
    if (n <= 63) {
        encodeSingleBit(false);
        encodeMultiBit(n, 6);
        return;
    }
    encodeSingleBit(true);
    unsigned octets = n < 0x100 ? 1 : n < 0x10000 ? 2 : n <= 0xFFFFFF ? 3 : 4;
    encodeLength(octets, 0, UnboundedLength);
    align();
    encodeMultiBit(n, 8 * octets);
}

bool PEREncoder::encodeConstraint(ConstrainedObject const& object, unsigned value)
{
    switch (object.constraintType()) {
    case ExtendableConstraint: {
        bool outside = !in_range(value, static_cast<unsigned>(object.getLowerLimit()), object.getUpperLimit());
        encodeSingleBit(outside);
        return outside;
    }
    case FixedConstraint:
        return false;
    default:
        return true;
    }
}

bool PEREncoder::encodeConstrainedLength(ConstrainedObject const& object, unsigned length)
{
    if (encodeConstraint(object, length))
        return encodeLength(length, 0, UnboundedLength);
    return encodeLength(length, static_cast<unsigned>(object.getLowerLimit()), object.getUpperLimit());
}

bool PEREncoder::encodeOpenOctets(char const* data, unsigned n)
{
    static char const empty = 0;
    if (n == 0) {
        // X.691 10.1.3: an empty encoding travels as one zero octet.
        data = &empty;
        n = 1;
    }
    if (!encodeLength(n, 0, UnboundedLength))
        return false;
    encodeBlock(data, n);
    return true;
}

bool PEREncoder::encodeAnyType(AbstractData const* value)
{
    // Encoded in place after the current octet, then its length is put in
    // front: no buffer of its own for every open type and extension.
    align();
    std::vector<char>& out = output();
    std::size_t start = out.size();
    if (value) {
        PEREncoder inner(out, true);
        if (!value->accept(inner))
            return false;
    }
    if (out.size() == start)
        out.push_back(0); // X.691 10.1.3: an empty encoding travels as one zero octet
    char octets[2];
    unsigned header = length_octets(out.size() - start, octets);
    if (header == 0)
        return false;
    out.insert(out.begin() + static_cast<std::ptrdiff_t>(start), octets, octets + header);
    return true;
}

inline bool PEREncoder::encodeWholeNumber(std::uint64_t bits, unsigned octets)
{
    if (mAligned) {
        // The count in one aligned octet (X.691 10.9.3.6), then the octets.
        align();
        std::vector<char>& out = output();
        out.push_back(static_cast<char>(octets));
        for (unsigned i = octets; i-- > 0;)
            out.push_back(static_cast<char>(bits >> (8 * i)));
        return true;
    }
    if (!encodeLength(octets, 0, UnboundedLength))
        return false;
    for (unsigned i = octets; i-- > 0;)
        encodeMultiBit(static_cast<unsigned>(bits >> (8 * i)) & 0xFF, 8);
    return true;
}

bool PEREncoder::do_visit(Null const&)
{
    return true;
}

bool PEREncoder::do_visit(BOOLEAN const& value)
{
    encodeSingleBit(value.getValue());
    return true;
}

bool PEREncoder::do_visit(INTEGER const& value)
{
    unsigned bits = static_cast<unsigned>(value.getValue());
    if (!encodeConstraint(value, bits))
        return encodeUnsigned(bits, static_cast<unsigned>(value.getLowerLimit()), value.getUpperLimit());
    // X.691 10.8: unconstrained whole number, two's complement.
    return encodeWholeNumber(bits, integer_octets(value.getValue()));
}

bool PEREncoder::do_visit(INTEGER64 const& value)
{
    std::int64_t number = value.getValue();
    return encodeWholeNumber(static_cast<std::uint64_t>(number), integer_octets(number));
}

bool PEREncoder::do_visit(ENUMERATED const& value)
{
    // The protocol codes the enumeration value itself, not its index.
    int v = value.getValue();
    int max = value.getMaximum();
    if (max < 0)
        return false;
    if (value.extendable()) {
        bool extension = v > max;
        encodeSingleBit(extension);
        if (extension) {
            encodeSmallUnsigned(static_cast<unsigned>(v) + 1);
            return encodeUnsigned(static_cast<unsigned>(v), 0, static_cast<unsigned>(v));
        }
    }
    return encodeUnsigned(static_cast<unsigned>(v), 0, static_cast<unsigned>(max));
}

bool PEREncoder::do_visit(OBJECT_IDENTIFIER const& value)
{
    std::vector<char> contents;
    if (!value.encodeCommon(contents))
        return false;
    unsigned n = static_cast<unsigned>(contents.size());
    if (!encodeLength(n, 0, 255))
        return false;
    encodeBlock(contents.data(), n);
    return true;
}

bool PEREncoder::do_visit(BIT_STRING const& value)
{
    unsigned bits = value.size();
    if (bits > MaximumStringSize || !encodeConstrainedLength(value, bits))
        return false;
    if (bits == 0)
        return true;
    if (mAligned && bits > 16) {
        encodeBlock(value.getData().data(), (bits + 7) / 8);
        return true;
    }
    encodeBitMap(value.getData().data(), value.getData().size(), bits);
    return true;
}

bool PEREncoder::do_visit(OCTET_STRING const& value)
{
    unsigned n = static_cast<unsigned>(value.size());
    if (n > MaximumStringSize || !encodeConstrainedLength(value, n))
        return false;
    if (n <= 2) {
        // The protocol leaves one and two octets unaligned.
        for (unsigned i = 0; i < n; ++i)
            encodeMultiBit(static_cast<unsigned char>(value[i]), 8);
        return true;
    }
    encodeBlock(value.data(), n);
    return true;
}

bool PEREncoder::encodeCharacter(unsigned code, unsigned bits)
{
    if (bits < 32 && (code >> bits) != 0)
        return false;
    encodeMultiBit(code, bits);
    return true;
}

bool PEREncoder::do_visit(AbstractString const& value)
{
    StringInfo const* info = value.info();
    unsigned n = static_cast<unsigned>(value.size());
    if (n > MaximumStringSize || !encodeConstrainedLength(value, n))
        return false;
    unsigned b = per::char_bits(info, mAligned);
    if (n == 0)
        return true;
    if (mAligned && per::chars_octet_aligned(info, b)) {
        if (b == 8) {
            encodeBlock(value.data(), n);
            return true;
        }
        align();
    }
    bool byCode = per::chars_by_code(info, b);
    for (unsigned i = 0; i < n; ++i) {
        unsigned code = static_cast<unsigned char>(value[i]);
        if (!byCode) {
            void const* found = info->characterSet ? std::memchr(info->characterSet, value[i], info->characterSetSize)
                                                   : nullptr;
            if (!found)
                return false;
            code = static_cast<unsigned>(static_cast<char const*>(found) - info->characterSet);
        }
        if (!encodeCharacter(code, b))
            return false;
    }
    return true;
}

bool PEREncoder::do_visit(BMPString const& value)
{
    BMPStringInfo const* info = value.info();
    unsigned n = static_cast<unsigned>(value.size());
    if (n > MaximumStringSize || !encodeConstrainedLength(value, n))
        return false;
    unsigned b = per::char_bits(info, mAligned);
    if (n > 0 && mAligned && per::chars_octet_aligned(info, b))
        align();
    for (unsigned i = 0; i < n; ++i) {
        unsigned code = static_cast<unsigned>(value[i]);
        if (code < info->firstChar || code > info->lastChar || !encodeCharacter(code - info->firstChar, b))
            return false;
    }
    return true;
}

bool PEREncoder::do_visit(GeneralizedTime const& value)
{
    std::string text = value.get();
    unsigned n = static_cast<unsigned>(text.size());
    if (!encodeLength(n, 0, UnboundedLength))
        return false;
    encodeBlock(text.data(), n);
    return true;
}

} // namespace ASN1
