// Every generated type, filled with seeded random values, through aligned PER,
// BER and the value notation and back; every value the filler makes meets its
// type's constraints, and copies are deep and of the generated class.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
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

TEST(SchemaRoundTrip, EveryTypeThroughEveryCoder)
{
    for (unsigned t = 0; t < TypeIndex::count; ++t) {
        TypeIndex::Entry const& entry = TypeIndex::entries[t];
        RandomValue::Filler filler(1000 + t);
        for (unsigned round = 0; round < 30; ++round) {
            Value original(ASN1::create_from(entry.info));
            filler.fill(*original);
            std::string const text = original->asValueNotation();
            ASSERT_TRUE(original->isValid()) << entry.name << "\n" << text;
            // The rest works on a copy that outlives its source.
            Value value(original->clone());
            ASN1::AbstractData &copy = *value, &source = *original;
            ASSERT_EQ(typeid(copy), typeid(source)) << entry.name;
            original.reset();

            std::vector<char> octets, again;
            ASSERT_TRUE(RandomValue::encode(*value, octets)) << entry.name << " does not encode:\n" << text;
            Value decoded(ASN1::create_from(entry.info));
            ASSERT_TRUE(RandomValue::decode(octets, *decoded)) << entry.name << " " << RandomValue::hex(octets);
            EXPECT_EQ(0, value->compare(*decoded)) << entry.name << " " << RandomValue::hex(octets) << "\nsent:\n"
                                                   << text << "\nreceived:\n" << decoded->asValueNotation();
            ASSERT_TRUE(RandomValue::encode(*decoded, again)) << entry.name;
            EXPECT_EQ(RandomValue::hex(again), RandomValue::hex(octets)) << entry.name;
            EXPECT_EQ(decoded->asValueNotation(), text) << entry.name;

            Value read(ASN1::create_from(entry.info));
            ASSERT_TRUE(read->setFromValueNotation(text)) << entry.name << ":\n" << text;
            EXPECT_EQ(0, read->compare(*value)) << entry.name << ":\n" << text << "\nread as\n"
                                                << read->asValueNotation();

            octets.clear();
            again.clear();
            ASSERT_TRUE(ber(*value, octets)) << entry.name << "\n" << text;
            decoded.reset(ASN1::create_from(entry.info));
            ASSERT_TRUE(from_ber(octets, octets.size(), *decoded)) << entry.name << " " << RandomValue::hex(octets);
            EXPECT_EQ(0, decoded->compare(*value)) << entry.name << " " << RandomValue::hex(octets);
            ASSERT_TRUE(ber(*decoded, again));
            EXPECT_EQ(RandomValue::hex(octets), RandomValue::hex(again)) << entry.name;
            // Cut anywhere, the encoding no longer reads.
            for (std::size_t cut = 0; round == 0 && cut < octets.size(); ++cut) {
                Value part(ASN1::create_from(entry.info));
                EXPECT_FALSE(from_ber(octets, cut, *part)) << entry.name << " cut at " << cut;
            }
        }
    }
}

} // namespace
