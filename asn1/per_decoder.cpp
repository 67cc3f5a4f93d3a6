#include "asn1/per_decoder.h"

#include <climits>
#include <cstdint>
#include <string>

#include "asn1/generalized_time.h"
#include "asn1/per_rules.h"
#include "asn1/primitives.h"
#include "asn1/strings.h"

namespace ASN1 {

bool PERDecoder::decodeWideOffset(unsigned span, unsigned& offset)
{
    if (atEnd())
        return false;
    unsigned n = CountBits(span + 1);
    if (mAligned) {
        if (n > 16) {
            unsigned octets = 0;
            if (!decodeLength(1, (n + 7) / 8, octets))
                return false;
            n = 8 * octets;
        } else if (n > 8) {
            n = 16;
        }
        byteAlign();
    }
    return decodeMultiBit(n, offset);
}

void PERDecoder::noteOverrun(DecodeBound bound, DataInfo const* type, std::int64_t value, std::int64_t lower,
                             std::int64_t upper)
{
    if (mOutcome.bound != DecodeBound::none)
        return;
    mOutcome.bound = bound;
    mOutcome.type = type;
    mOutcome.value = value;
    mOutcome.lower = lower;
    mOutcome.upper = upper;
    mUnplaced = true;
}

void PERDecoder::placeOutcome(DataInfo const* holder, char const* const* names, unsigned index)
{
    mUnplaced = false;
    mOutcome.holder = holder;
    mOutcome.field = index;
    mOutcome.name = names ? names[index] : "";
}

inline bool PERDecoder::decodeWholeNumber(unsigned maxOctets, std::int64_t& value)
{
    // X.691 10.8: an octet count (10.9 octet form), then the octets.
    unsigned octets = 0;
    std::uint64_t bits = 0;
    if (mAligned) {
        byteAlign();
        unsigned char const* p = reinterpret_cast<unsigned char const*>(getPosition());
        // The short count sits before them.
        if (octetsLeft() == 0)
            return false;
        if (p[0] > maxOctets)
            return stopAt(maxOctets > 4 ? DecodeBound::integer64 : DecodeBound::integer32);
        if (p[0] >= octetsLeft())
            return false;
        octets = p[0];
        for (unsigned i = 1; i <= octets; ++i)
            bits = (bits << 8) | p[i];
        setPosition(getPosition() + 1 + octets);
    } else {
        if (!decodeLength(0, UnboundedLength, octets))
            return false;
        if (octets > maxOctets)
            return stopAt(maxOctets > 4 ? DecodeBound::integer64 : DecodeBound::integer32);
        for (unsigned i = 0; i < octets; ++i) {
            unsigned octet = 0;
            if (!decodeMultiBit(8, octet))
                return false;
            bits = (bits << 8) | octet;
        }
    }
    // The encoder writes two's complement whatever the constraint.
    if (octets > 0 && octets < 8 && (bits >> (8 * octets - 1)) & 1)
        bits |= ~std::uint64_t(0) << (8 * octets);
    value = static_cast<std::int64_t>(bits);
    return true;
}

bool PERDecoder::decodeLength(unsigned lower, unsigned upper, unsigned& length)
{
    if (!mAligned && upper != UnboundedLength) {
        unsigned offset = 0;
        if (!decodeMultiBit(CountBits(upper - lower + 1), offset) || offset > upper - lower)
            return false;
        length = lower + offset;
        return true;
    }
    if (upper <= 65535)
        return decodeUnsigned(lower, upper, length);
    byteAlign();
    unsigned first = 0;
    if (!decodeMultiBit(8, first))
        return false;
    if ((first & 0x80) == 0) {
        length = first;
    } else if ((first & 0xC0) == 0x80) {
        unsigned second = 0;
        if (!decodeMultiBit(8, second))
            return false;
        length = ((first & 0x3F) << 8) | second;
    } else {
        return stopAt(DecodeBound::length); // fragmented form (X.691 10.9) is not supported
    }
    return length >= lower && length <= upper;
}

bool PERDecoder::decodeSmallUnsigned(unsigned& n)
{
    bool large = false;
    if (!decodeSingleBit(large))
        return false;
    if (!large)
        return decodeMultiBit(6, n);
    unsigned octets = 0;
    if (!decodeLength(0, UnboundedLength, octets) || octets > 4)
        return false;
    byteAlign();
    return decodeMultiBit(8 * octets, n);
}

bool PERDecoder::decodeConstrainedLength(ConstrainedObject const& object, unsigned& length)
{
    ConstraintType type = object.constraintType();
    if (type == ExtendableConstraint) {
        bool extension = false;
        if (!decodeSingleBit(extension))
            return false;
        if (extension)
            return decodeLength(0, UnboundedLength, length);
    } else if (type != FixedConstraint) {
        return decodeLength(0, UnboundedLength, length);
    }
    return decodeLength(static_cast<unsigned>(object.getLowerLimit()), object.getUpperLimit(), length);
}

bool PERDecoder::do_visit(Null&)
{
    return true;
}

bool PERDecoder::do_visit(BOOLEAN& value)
{
    bool bit = false;
    if (!decodeSingleBit(bit))
        return false;
    value.setValue(bit);
    return true;
}

bool PERDecoder::do_visit(INTEGER& value)
{
    ConstraintType type = value.constraintType();
    bool unconstrained = type == Unconstrained || type == PartiallyConstrained;
    if (type == ExtendableConstraint && !decodeSingleBit(unconstrained))
        return false;
    if (!unconstrained) {
        unsigned lower = static_cast<unsigned>(value.getLowerLimit());
        unsigned offset = 0;
        if (!decodeOffset(value.getUpperLimit() - lower, offset))
            return false;
        if (offset > value.getUpperLimit() - lower) {
            std::int64_t first = value.getLowerLimit();
            noteOverrun(DecodeBound::range, value.info(), first + offset, first,
                        first + (value.getUpperLimit() - lower));
        }
        value.setValue(static_cast<int>(lower + offset));
        return true;
    }
    // Four octets at most: a longer number does not fit this type.
    std::int64_t number = 0;
    if (!decodeWholeNumber(4, number))
        return false;
    value.setValue(static_cast<int>(number));
    return true;
}

bool PERDecoder::do_visit(INTEGER64& value)
{
    std::int64_t number = 0;
    if (!decodeWholeNumber(8, number))
        return false;
    value.setValue(number);
    return true;
}

bool PERDecoder::do_visit(ENUMERATED& value)
{
    if (value.extendable()) {
        bool extension = false;
        if (!decodeSingleBit(extension))
            return false;
        if (extension) {
            unsigned m = 0;
            unsigned v = 0;
            if (!decodeSmallUnsigned(m) || m < 1 || !decodeUnsigned(0, m - 1, v) || v > unsigned(INT_MAX))
                return false;
            value.setValue(static_cast<int>(v));
            return true;
        }
    }
    int max = value.getMaximum();
    unsigned v = 0;
    if (max < 0 || !decodeOffset(static_cast<unsigned>(max), v))
        return false;
    if (v > unsigned(max))
        noteOverrun(DecodeBound::enumeration, value.info(), v, 0, max);
    value.setValue(static_cast<int>(v));
    return true;
}

bool PERDecoder::do_visit(OBJECT_IDENTIFIER& value)
{
    unsigned n = 0;
    if (!decodeLength(0, 255, n))
        return false;
    if (n == 0)
        return value.decodeCommon(nullptr, 0);
    byteAlign();
    if (n > octetsLeft())
        return false;
    char const* contents = getPosition();
    setPosition(contents + n);
    return value.decodeCommon(contents, n);
}

bool PERDecoder::do_visit(BIT_STRING& value)
{
    unsigned bits = 0;
    if (!decodeConstrainedLength(value, bits) || !withinStringBound(bits) || bits > getBitsLeft())
        return false;
    value.resize(bits);
    if (bits == 0)
        return true;
    std::vector<char>& data = value.getData();
    if (mAligned && bits > 16) {
        unsigned octets = (bits + 7) / 8;
        if (decodeBlock(data.data(), octets) != octets)
            return false;
        value.resize(bits); // clears what the last octet holds past the end
        return true;
    }
    return decodeBitMap(data.data(), data.size(), bits);
}

bool PERDecoder::do_visit(OCTET_STRING& value)
{
    unsigned n = 0;
    if (!decodeConstrainedLength(value, n) || !withinStringBound(n) || std::size_t(n) * 8 > getBitsLeft())
        return false;
    value.resize(n);
    if (n == 0)
        return true;
    if (n <= 2) {
        for (unsigned i = 0; i < n; ++i) {
            unsigned octet = 0;
            if (!decodeMultiBit(8, octet))
                return false;
            value[i] = static_cast<char>(octet);
        }
        return true;
    }
    return decodeBlock(value.data(), n) == n;
}

bool PERDecoder::decodeCharacterCount(ConstrainedObject const& value, unsigned bits, unsigned& n)
{
    return decodeConstrainedLength(value, n) && withinStringBound(n) && std::uint64_t(n) * bits <= getBitsLeft();
}

bool PERDecoder::do_visit(AbstractString& value)
{
    StringInfo const* info = value.info();
    unsigned b = per::char_bits(info, mAligned);
    unsigned n = 0;
    if (!decodeCharacterCount(value, b, n))
        return false;
    value.resize(n);
    if (n == 0)
        return true;
    if (mAligned && per::chars_octet_aligned(info, b)) {
        if (b == 8) {
            if (decodeBlock(&value[0], n) == n)
                return true;
            value.clear();
            return false;
        }
        byteAlign();
    }
    bool byCode = per::chars_by_code(info, b);
    for (unsigned i = 0; i < n; ++i) {
        unsigned code = 0;
        if (!decodeMultiBit(b, code))
            return false;
        if (!byCode) {
            if (!info->characterSet || code >= info->characterSetSize)
                return false;
            value[i] = info->characterSet[code];
        } else {
            value[i] = static_cast<char>(code);
        }
    }
    return true;
}

bool PERDecoder::do_visit(BMPString& value)
{
    BMPStringInfo const* info = value.info();
    unsigned b = per::char_bits(info, mAligned);
    unsigned n = 0;
    if (!decodeCharacterCount(value, b, n))
        return false;
    value.resize(n);
    if (n > 0 && mAligned && per::chars_octet_aligned(info, b))
        byteAlign();
    for (unsigned i = 0; i < n; ++i) {
        unsigned code = 0;
        if (!decodeMultiBit(b, code) || code > info->lastChar - info->firstChar)
            return false;
        value[i] = static_cast<wchar_t>(info->firstChar + code);
    }
    return true;
}

bool PERDecoder::do_visit(GeneralizedTime& value)
{
    unsigned n = 0;
    if (!decodeLength(0, UnboundedLength, n) || n > octetsLeft())
        return false;
    std::string text(n, '\0');
    if (decodeBlock(&text[0], n) != n || text.find('\0') != std::string::npos)
        return false;
    return value.set(text.c_str());
}

} // namespace ASN1
