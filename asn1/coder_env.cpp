#include "asn1/coder_env.h"

#include <sstream>

#include "asn1/avn_decoder.h"
#include "asn1/avn_encoder.h"
#include "asn1/ber_decoder.h"
#include "asn1/ber_encoder.h"
#include "asn1/per_decoder.h"
#include "asn1/per_encoder.h"

namespace ASN1 {

bool CoderEnv::encodeOctets(AbstractData const& value, std::vector<char>& octets)
{
    octets.clear();
    switch (mEncodingRule) {
    case per_Aligned:
    case per_Unaligned: {
        octets.reserve(256);
        PEREncoder encoder(octets, mEncodingRule == per_Aligned);
        if (value.accept(encoder))
            return true;
        octets.clear();
        return false;
    }
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
    if (!first != !last || last < first)
        return false;
    switch (mEncodingRule) {
    case per_Aligned:
    case per_Unaligned: {
        PERDecoder decoder(first, last, withoutEnv ? nullptr : this, mEncodingRule == per_Aligned);
        return value.accept(decoder);
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

} // namespace ASN1
