#include "asn1/ber_decoder.h"

#include <climits>
#include <cstring>
#include <string>

#include "asn1/ber_encoder.h"
#include "asn1/generalized_time.h"
#include "asn1/primitives.h"
#include "asn1/strings.h"

namespace ASN1 {

namespace {

unsigned octet(char c)
{
    return static_cast<unsigned char>(c);
}

} // namespace

void BERDecoder::restore(Mark const& m)
{
    mCursor = m.cursor;
    mEnd = m.end;
    mEnds.resize(m.depth);
    mTag = ber::OwnTag;
}

unsigned BERDecoder::takeTag(AbstractData const& value)
{
    unsigned tag = ber::resolve(mTag, value);
    mTag = ber::OwnTag;
    return tag;
}

bool BERDecoder::decodeHeader(unsigned& tag, bool& primitive, unsigned& length)
{
    char const* p = mCursor;
    if (p == mEnd)
        return false;
    unsigned first = octet(*p++);
    primitive = (first & ber::ConstructedBit) == 0;
    unsigned number = first & 0x1F;
    if (number == 0x1F) {
        // X.690 8.1.2.4: base-128 groups; tag words hold 16-bit numbers.
        number = 0;
        unsigned next;
        do {
            if (p == mEnd)
                return false;
            next = octet(*p++);
            number = (number << 7) | (next & 0x7F);
            if (number > 0xFFFF)
                return false;
        } while (next & 0x80);
    }
    tag = ((first & 0xC0) << 16) | number;
    if (p == mEnd)
        return false;
    unsigned n = octet(*p++);
    if (n & 0x80) {
        // X.690 8.1.3.5; the indefinite form (n = 0) is not supported.
        n &= 0x7F;
        if (n == 0 || n > 4 || unsigned(mEnd - p) < n)
            return false;
        unsigned long long value = 0;
        while (n-- > 0)
            value = (value << 8) | octet(*p++);
        if (value > UINT_MAX)
            return false;
        n = static_cast<unsigned>(value);
    }
    if (n > std::size_t(mEnd - p))
        return false;
    length = n;
    mCursor = p;
    return true;
}

bool BERDecoder::decodeHeader(AbstractData& value, unsigned& length)
{
    char const* start = mCursor;
    unsigned expected = takeTag(value);
    unsigned tag = 0;
    bool primitive = false;
    PrimitiveChecker checker;
    if (decodeHeader(tag, primitive, length) && tag == expected && primitive == value.accept(checker))
        return true;
    mCursor = start;
    return false;
}

unsigned BERDecoder::decodeBlock(char* destination, unsigned n)
{
    unsigned count = std::min<std::size_t>(n, std::size_t(mEnd - mCursor));
    if (count)
        std::memcpy(destination, mCursor, count);
    mCursor += count;
    return count;
}

bool BERDecoder::decodeContent(AbstractData& value, char const*& content, unsigned& length)
{
    if (!decodeHeader(value, length))
        return false;
    content = mCursor;
    mCursor += length;
    return true;
}

bool BERDecoder::decodeSigned(AbstractData& value, long long& number)
{
    char const* content = nullptr;
    unsigned length = 0;
    // X.690 8.3: two's complement, at least one octet; more than eight
    // cannot hold a number of this runtime.
    if (!decodeContent(value, content, length) || length == 0 || length > 8)
        return false;
    number = static_cast<signed char>(content[0]);
    for (unsigned i = 1; i < length; ++i)
        number = static_cast<long long>(static_cast<unsigned long long>(number) << 8) | octet(content[i]);
    return true;
}

bool BERDecoder::do_visit(Null& value)
{
    char const* content = nullptr;
    unsigned length = 0;
    return decodeContent(value, content, length);
}

bool BERDecoder::do_visit(BOOLEAN& value)
{
    char const* content = nullptr;
    unsigned length = 0;
    if (!decodeContent(value, content, length) || length == 0)
        return false;
    value.setValue(content[length - 1] != 0);
    return true;
}

bool BERDecoder::do_visit(INTEGER& value)
{
    long long number = 0;
    if (!decodeSigned(value, number))
        return false;
    // The number must fit the 32 bits as the type reads them.
    if (value.isUnsigned() ? number < 0 || number > UINT_MAX : number < INT_MIN || number > INT_MAX)
        return false;
    value.setValue(static_cast<int>(static_cast<unsigned>(number)));
    return true;
}

bool BERDecoder::do_visit(INTEGER64& value)
{
    long long number = 0;
    if (!decodeSigned(value, number))
        return false;
    value.setValue(number);
    return true;
}

bool BERDecoder::do_visit(ENUMERATED& value)
{
    long long number = 0;
    if (!decodeSigned(value, number) || number < INT_MIN || number > INT_MAX)
        return false;
    value.setValue(static_cast<int>(number));
    return true;
}

bool BERDecoder::do_visit(OBJECT_IDENTIFIER& value)
{
    char const* content = nullptr;
    unsigned length = 0;
    return decodeContent(value, content, length) && value.decodeCommon(content, length);
}

bool BERDecoder::do_visit(BIT_STRING& value)
{
    char const* content = nullptr;
    unsigned length = 0;
    if (!decodeContent(value, content, length) || length == 0)
        return false;
    // X.690 8.6.2: the unused bits of the last octet, none without octets.
    unsigned unused = octet(content[0]);
    if (unused > 7 || (length == 1 && unused != 0))
        return false;
    unsigned octets = length - 1;
    value.resize(octets * 8 - unused);
    if (octets)
        std::memcpy(value.getData().data(), content + 1, octets);
    value.resize(octets * 8 - unused); // clears the unused bits
    return true;
}

bool BERDecoder::do_visit(OCTET_STRING& value)
{
    char const* content = nullptr;
    unsigned length = 0;
    if (!decodeContent(value, content, length))
        return false;
    value.assign(content, content + length);
    return true;
}

bool BERDecoder::do_visit(AbstractString& value)
{
    char const* content = nullptr;
    unsigned length = 0;
    if (!decodeContent(value, content, length))
        return false;
    value.assign(content, length);
    return true;
}

bool BERDecoder::do_visit(BMPString& value)
{
    char const* content = nullptr;
    unsigned length = 0;
    if (!decodeContent(value, content, length) || length % 2 != 0)
        return false;
    value.resize(length / 2);
    for (unsigned i = 0; i < length / 2; ++i)
        value[i] = static_cast<wchar_t>(octet(content[2 * i]) << 8 | octet(content[2 * i + 1]));
    return true;
}

bool BERDecoder::do_visit(GeneralizedTime& value)
{
    char const* content = nullptr;
    unsigned length = 0;
    if (!decodeContent(value, content, length))
        return false;
    std::string text(content, length);
    return text.find('\0') == std::string::npos && value.set(text.c_str());
}

} // namespace ASN1
