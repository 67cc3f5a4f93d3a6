#include "asn1/coder_env.h"

#include <sstream>

#include "asn1/avn_decoder.h"
#include "asn1/avn_encoder.h"
#include "asn1/ber_decoder.h"
#include "asn1/ber_encoder.h"
#include "asn1/per_decoder.h"
#include "asn1/per_encoder.h"

namespace ASN1 {

namespace {

// The vector behind a back-insert iterator (a protected member, reached
// through a class derived from the iterator).
struct VectorOf : std::back_insert_iterator<std::vector<char>> {
    static std::vector<char>& of(std::back_insert_iterator<std::vector<char>> const& out)
    {
        return *(out.*&VectorOf::container);
    }
};

} // namespace

bool CoderEnv::encode(AbstractData const& value, std::back_insert_iterator<std::vector<char>> out)
{
    return appendOctets(value, VectorOf::of(out));
}

bool CoderEnv::appendOctets(AbstractData const& value, std::vector<char>& octets)
{
    std::size_t start = octets.size();
    bool ok = false;
    if (mEncodingRule == per_Aligned || mEncodingRule == per_Unaligned) {
        if (octets.capacity() == 0)
            octets.reserve(256); // most messages fit: no growing on the way
        PEREncoder encoder(octets, mEncodingRule == per_Aligned);
        ok = value.accept(encoder);
    } else {
        std::vector<char> other;
        ok = encodeOctets(value, other);
        octets.insert(octets.end(), other.begin(), other.end());
    }
    if (!ok)
        octets.resize(start);
    return ok;
}

bool CoderEnv::encodeOctets(AbstractData const& value, std::vector<char>& octets)
{
    octets.clear();
    switch (mEncodingRule) {
    case per_Aligned:
    case per_Unaligned:
        return appendOctets(value, octets);
    case ber:
        return encodeBEROctets(value, octets);
    case avn: {
        std::string text;
        if (!encodeText(value, text))
            return false;
        octets.assign(text.begin(), text.end());
        return true;
    }
    default:
        return false;
    }
}

bool CoderEnv::encodeText(AbstractData const& value, std::string& text)
{
    std::ostringstream os;
    AVNEncoder encoder(os);
    if (!value.accept(encoder))
        return false;
    text = os.str();
    return true;
}

bool CoderEnv::encodeBEROctets(AbstractData const& value, std::vector<char>& octets)
{
    octets.clear();
    octets.reserve(256);
    BEREncoder encoder(octets);
    if (value.accept(encoder))
        return true;
    octets.clear();
    return false;
}

bool CoderEnv::decode(char const* first, char const* last, AbstractData& value, bool withoutEnv)
{
    mOutcome = DecodeOutcome();
    if (!first != !last || last < first)
        return false;
    switch (mEncodingRule) {
    case per_Aligned:
    case per_Unaligned: {
        PERDecoder decoder(first, last, withoutEnv ? nullptr : this, mEncodingRule == per_Aligned);
        bool whole = value.accept(decoder);
        if (whole && decoder.bound() == DecodeBound::none)
            return true;
        if (whole || decoder.stopped())
            mOutcome = decoder.outcome();
        return false;
    }
    case ber: {
        BERDecoder decoder(first, last, withoutEnv ? nullptr : this);
        return value.accept(decoder);
    }
    case avn: {
        std::istringstream is(std::string(first, last));
        AVNDecoder decoder(is);
        return value.accept(decoder);
    }
    default:
        return false;
    }
}

char const* describe(DecodeBound bound)
{
    static_assert(MaximumArraySize == 128 && MaximumStringSize == 16384, "the texts name the bounds");
    switch (bound) {
    case DecodeBound::none:
        break;
    case DecodeBound::elements:
        return "more than 128 elements in a SEQUENCE OF";
    case DecodeBound::length:
        return "a length of 16384 or more";
    case DecodeBound::extensions:
        return "more than 128 extension additions in a SEQUENCE";
    case DecodeBound::integer32:
        return "an INTEGER of more than 4 octets";
    case DecodeBound::integer64:
        return "an INTEGER of more than 8 octets";
    case DecodeBound::range:
        return "an INTEGER above its range";
    case DecodeBound::enumeration:
        return "an ENUMERATED above its range";
    case DecodeBound::alternative:
        return "a CHOICE index past its alternatives";
    }
    return "no bound";
}

} // namespace ASN1
