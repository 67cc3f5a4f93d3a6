#include "asn1/ber_encoder.h"

#include <string>

#include "asn1/generalized_time.h"
#include "asn1/primitives.h"
#include "asn1/strings.h"

namespace ASN1 {

namespace {

// Base-128 groups of a tag number above 30 (X.690 8.1.2.4).
unsigned tag_number_octets(unsigned number)
{
    unsigned n = 1;
    while (number >> (7 * n))
        ++n;
    return n;
}

// Octets of the long form's length value (X.690 8.1.3.5).
unsigned length_value_octets(unsigned length)
{
    unsigned n = 1;
    while (n < 4 && (length >> (8 * n)))
        ++n;
    return n;
}

unsigned header_length(unsigned tag, unsigned length)
{
    unsigned number = ber::tag_number(tag);
    unsigned identifier = number < 31 ? 1 : 1 + tag_number_octets(number);
    return identifier + (length < 128 ? 1 : 1 + length_value_octets(length));
}

// The bit string's octets with the bits past its size cleared (X.690 11.2.1
// for DER; harmless for BER).
std::vector<char> bit_string_content(BIT_STRING const& value)
{
    unsigned bits = value.size();
    std::vector<char> content(1 + (bits + 7) / 8, 0);
    content[0] = static_cast<char>((8 - bits % 8) % 8);
    std::vector<char> const& data = value.getData();
    for (unsigned i = 0; i < (bits + 7) / 8 && i < data.size(); ++i)
        content[1 + i] = data[i];
    if (bits % 8)
        content.back() = static_cast<char>(content.back() & (0xFF00 >> (bits % 8)));
    return content;
}

} // namespace

unsigned getIntegerDataLength(std::int64_t value)
{
    unsigned n = 1;
    while (n < 8) {
        std::int64_t limit = std::int64_t(1) << (8 * n - 1);
        if (value >= -limit && value < limit)
            break;
        ++n;
    }
    return n;
}

unsigned getDataLength(AbstractData const& value)
{
    DataLengthCounter counter;
    value.accept(counter);
    return counter.length();
}

unsigned getObjectLength(AbstractData const& value, unsigned tag)
{
    unsigned length = getDataLength(value);
    tag = ber::resolve(tag, value);
    return tag == 0 ? length : length + header_length(tag, length);
}

// BEREncoder: headers and primitive values

unsigned BEREncoder::takeTag(AbstractData const& value)
{
    unsigned tag = ber::resolve(mTag, value);
    mTag = ber::OwnTag;
    return tag;
}

void BEREncoder::writeHeader(unsigned tag, bool constructed, unsigned length)
{
    unsigned number = ber::tag_number(tag);
    unsigned first = ber::tag_class(tag) | (constructed ? ber::ConstructedBit : 0);
    if (number < 31) {
        mOut.push_back(static_cast<char>(first | number));
    } else {
        mOut.push_back(static_cast<char>(first | 0x1F));
        for (unsigned g = tag_number_octets(number); g-- > 0;)
            mOut.push_back(static_cast<char>(((number >> (7 * g)) & 0x7F) | (g ? 0x80 : 0)));
    }
    if (length < 128) {
        mOut.push_back(static_cast<char>(length));
        return;
    }
    unsigned n = length_value_octets(length);
    mOut.push_back(static_cast<char>(0x80 | n));
    for (unsigned i = n; i-- > 0;)
        mOut.push_back(static_cast<char>(length >> (8 * i)));
}

void BEREncoder::encodeHeader(AbstractData const& value)
{
    PrimitiveChecker checker;
    bool primitive = value.accept(checker);
    unsigned tag = takeTag(value);
    writeHeader(tag, !primitive, getDataLength(value));
}

bool BEREncoder::writePrimitive(AbstractData const& value, char const* data, std::size_t n)
{
    unsigned tag = takeTag(value);
    if (tag != 0)
        writeHeader(tag, false, static_cast<unsigned>(n));
    mOut.insert(mOut.end(), data, data + n);
    return true;
}

bool BEREncoder::writeInteger(AbstractData const& value, std::int64_t number)
{
    char content[8];
    unsigned n = getIntegerDataLength(number);
    for (unsigned i = 0; i < n; ++i)
        content[i] = static_cast<char>(number >> (8 * (n - 1 - i)));
    return writePrimitive(value, content, n);
}

bool BEREncoder::do_visit(Null const& value)
{
    return writePrimitive(value, nullptr, 0);
}

bool BEREncoder::do_visit(BOOLEAN const& value)
{
    char content = value.getValue() ? '\xFF' : '\0';
    return writePrimitive(value, &content, 1);
}

bool BEREncoder::do_visit(INTEGER const& value)
{
    return writeInteger(value, ber::integer_value(value));
}

bool BEREncoder::do_visit(INTEGER64 const& value)
{
    return writeInteger(value, value.getValue());
}

bool BEREncoder::do_visit(ENUMERATED const& value)
{
    return writeInteger(value, value.getValue());
}

bool BEREncoder::do_visit(OBJECT_IDENTIFIER const& value)
{
    std::vector<char> content;
    return value.encodeCommon(content) && writePrimitive(value, content.data(), content.size());
}

bool BEREncoder::do_visit(BIT_STRING const& value)
{
    std::vector<char> content = bit_string_content(value);
    return writePrimitive(value, content.data(), content.size());
}

bool BEREncoder::do_visit(OCTET_STRING const& value)
{
    return writePrimitive(value, value.data(), value.size());
}

bool BEREncoder::do_visit(AbstractString const& value)
{
    return writePrimitive(value, value.data(), value.size());
}

bool BEREncoder::do_visit(BMPString const& value)
{
    std::vector<char> content;
    content.reserve(2 * value.size());
    for (wchar_t c : value) {
        // Two octets per character: a code beyond them cannot travel.
        if (static_cast<unsigned long>(c) > 0xFFFF)
            return false;
        content.push_back(static_cast<char>(c >> 8));
        content.push_back(static_cast<char>(c));
    }
    return writePrimitive(value, content.data(), content.size());
}

bool BEREncoder::do_visit(GeneralizedTime const& value)
{
    std::string text = value.get();
    return writePrimitive(value, text.data(), text.size());
}

// DataLengthCounter: primitive values

bool DataLengthCounter::add(std::size_t n)
{
    mLength += static_cast<unsigned>(n);
    return true;
}

bool DataLengthCounter::do_visit(Null const&) { return true; }
bool DataLengthCounter::do_visit(BOOLEAN const&) { return add(1); }
bool DataLengthCounter::do_visit(INTEGER const& value) { return add(getIntegerDataLength(ber::integer_value(value))); }
bool DataLengthCounter::do_visit(INTEGER64 const& value) { return add(getIntegerDataLength(value.getValue())); }
bool DataLengthCounter::do_visit(ENUMERATED const& value) { return add(getIntegerDataLength(value.getValue())); }

bool DataLengthCounter::do_visit(OBJECT_IDENTIFIER const& value)
{
    std::vector<char> content;
    return value.encodeCommon(content) && add(content.size());
}

bool DataLengthCounter::do_visit(BIT_STRING const& value) { return add((value.size() + 7) / 8 + 1); }
bool DataLengthCounter::do_visit(OCTET_STRING const& value) { return add(value.size()); }
bool DataLengthCounter::do_visit(AbstractString const& value) { return add(value.size()); }
bool DataLengthCounter::do_visit(BMPString const& value) { return add(2 * value.size()); }
bool DataLengthCounter::do_visit(GeneralizedTime const& value) { return add(value.get().size()); }

// PrimitiveChecker

bool PrimitiveChecker::do_visit(AbstractData const&) { return true; }
bool PrimitiveChecker::do_visit(CHOICE const&) { return false; }
bool PrimitiveChecker::do_visit(OpenData const&) { return false; }
bool PrimitiveChecker::do_visit(SEQUENCE_OF_Base const&) { return false; }
bool PrimitiveChecker::preVisitExtensionRoots(SEQUENCE const&) { return false; }

} // namespace ASN1
