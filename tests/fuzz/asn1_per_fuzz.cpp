// libFuzzer target for the PER and BER decoders (scripts/fuzz.sh). The first
// octet picks the type and the rule; the rest is the input. A value that decodes
// must encode again to octets that decode to an equal value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "tests/asn1/sample_types.h"

namespace {

ASN1::DataInfo const* const types[] = {
    &Sample::Message::theInfo, &Sample::Extended::theInfo, &Sample::ExtendedRoot::theInfo,
    &Sample::Example::theInfo, &Sample::TonecCode::theInfo, &Sample::integerListInfo, &Sample::Kinds::theInfo,
    &Sample::Carrier::theInfo,
};
int const rules[] = {ASN1::CoderEnv::per_Aligned, ASN1::CoderEnv::per_Unaligned, ASN1::CoderEnv::ber};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const* data, std::size_t size)
{
    if (size == 0)
        return 0;
    ASN1::DataInfo const* type = types[(data[0] & 0x1F) % (sizeof types / sizeof types[0])];
    int rule = rules[(data[0] >> 5) % 3];
    char const* first = reinterpret_cast<char const*>(data + 1);
    char const* last = first + (size - 1);

    ASN1::CoderEnv env(rule);
    std::unique_ptr<ASN1::AbstractData> value(ASN1::create_from(type));
    if (!ASN1::decode(first, last, &env, *value, true))
        return 0;
    value->asValueNotation();
    std::vector<char> again;
    if (!ASN1::encode(*value, &env, std::back_inserter(again)))
        return 0;
    std::unique_ptr<ASN1::AbstractData> second(ASN1::create_from(type));
    if (!ASN1::decode(again.data(), again.data() + again.size(), &env, *second, true) ||
        second->compare(*value) != 0)
        std::abort();
    return 0;
}
