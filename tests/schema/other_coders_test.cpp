// Every generated type, filled with seeded random values, printed and read
// back, and through BER and back; every value the filler makes meets its
// type's constraints.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/schema/random_value.h"
#include "tests/schema/type_index.h"

namespace {

using Value = std::unique_ptr<ASN1::AbstractData>;

bool ber(ASN1::AbstractData const& value, std::vector<char>& octets)
{
    ASN1::CoderEnv env(ASN1::CoderEnv::ber);
    return env.encodeOctets(value, octets);
}

bool from_ber(std::vector<char> const& octets, std::size_t n, ASN1::AbstractData& value)
{
    ASN1::CoderEnv env(ASN1::CoderEnv::ber);
    return ASN1::decode(octets.data(), octets.data() + n, &env, value, true);
}

TEST(SchemaCoders, EveryTypePrintedAndReadBack)
{
    for (unsigned t = 0; t < TypeIndex::count; ++t) {
        TypeIndex::Entry const& entry = TypeIndex::entries[t];
        RandomValue::Filler filler(2000 + t);
        for (unsigned round = 0; round < 20; ++round) {
            Value original(ASN1::create_from(entry.info));
            filler.fill(*original);
            ASSERT_TRUE(original->isValid()) << entry.name << "\n" << original->asValueNotation();
            std::string text = original->asValueNotation();
            Value read(ASN1::create_from(entry.info));
            ASSERT_TRUE(read->setFromValueNotation(text)) << entry.name << ":\n" << text;
            EXPECT_EQ(0, read->compare(*original)) << entry.name << ":\n" << text << "\nread as\n"
                                                   << read->asValueNotation();
        }
    }
}

TEST(SchemaCoders, EveryTypeThroughBerAndBack)
{
    for (unsigned t = 0; t < TypeIndex::count; ++t) {
        TypeIndex::Entry const& entry = TypeIndex::entries[t];
        RandomValue::Filler filler(3000 + t);
        for (unsigned round = 0; round < 20; ++round) {
            Value original(ASN1::create_from(entry.info));
            filler.fill(*original);
            std::vector<char> octets, again;
            ASSERT_TRUE(ber(*original, octets)) << entry.name << "\n" << original->asValueNotation();
            Value decoded(ASN1::create_from(entry.info));
            ASSERT_TRUE(from_ber(octets, octets.size(), *decoded)) << entry.name << " " << RandomValue::hex(octets);
            EXPECT_EQ(0, decoded->compare(*original)) << entry.name << " " << RandomValue::hex(octets);
            ASSERT_TRUE(ber(*decoded, again));
            EXPECT_EQ(RandomValue::hex(octets), RandomValue::hex(again)) << entry.name;
            // Cut anywhere, the encoding no longer reads.
            if (round == 0) {
                for (std::size_t cut = 0; cut < octets.size(); ++cut) {
                    Value part(ASN1::create_from(entry.info));
                    EXPECT_FALSE(from_ber(octets, cut, *part)) << entry.name << " cut at " << cut;
                }
            }
        }
    }
}

} // namespace
