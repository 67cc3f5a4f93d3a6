// Every generated type, filled with seeded random values, through aligned
// PER and back, and through the value-notation printer.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "tests/schema/random_value.h"
#include "tests/schema/type_index.h"

namespace {

using Value = std::unique_ptr<ASN1::AbstractData>;

Value make(ASN1::DataInfo const* info) { return Value(ASN1::create_from(info)); }

TEST(SchemaRoundTrip, EveryTypeThroughPerAndBack)
{
    const unsigned rounds = 40;
    unsigned checked = 0;
    for (unsigned t = 0; t < TypeIndex::count; ++t) {
        TypeIndex::Entry const& entry = TypeIndex::entries[t];
        RandomValue::Filler filler(1000 + t);
        for (unsigned round = 0; round < rounds; ++round) {
            Value original = make(entry.info);
            ASSERT_TRUE(original) << entry.name;
            filler.fill(*original);

            std::vector<char> octets;
            ASSERT_TRUE(RandomValue::encode(*original, octets))
                << entry.name << " does not encode:\n" << original->asValueNotation();

            Value decoded = make(entry.info);
            ASSERT_TRUE(RandomValue::decode(octets, *decoded))
                << entry.name << " does not decode " << RandomValue::hex(octets);
            EXPECT_EQ(original->compare(*decoded), 0)
                << entry.name << " " << RandomValue::hex(octets) << "\nsent:\n"
                << original->asValueNotation() << "\nreceived:\n" << decoded->asValueNotation();

            std::vector<char> again;
            ASSERT_TRUE(RandomValue::encode(*decoded, again)) << entry.name;
            EXPECT_EQ(RandomValue::hex(again), RandomValue::hex(octets)) << entry.name;

            // The printer shows what travelled: equal values print equal text.
            std::string text = original->asValueNotation();
            EXPECT_FALSE(text.empty()) << entry.name;
            EXPECT_EQ(decoded->asValueNotation(), text) << entry.name;
            ++checked;
        }
    }
    EXPECT_EQ(checked, TypeIndex::count * rounds);
}

TEST(SchemaRoundTrip, CopiesAreDeepAndCompareEqual)
{
    for (unsigned t = 0; t < TypeIndex::count; ++t) {
        TypeIndex::Entry const& entry = TypeIndex::entries[t];
        RandomValue::Filler filler(7 + t);
        Value original = make(entry.info);
        filler.fill(*original);
        Value copy(original->clone());
        ASSERT_EQ(copy->info(), original->info()) << entry.name;
        EXPECT_EQ(copy->compare(*original), 0) << entry.name;
        EXPECT_EQ(copy->asValueNotation(), original->asValueNotation()) << entry.name;
        // The clone is of the generated class: it builds from the same descriptor.
        ASN1::AbstractData& made = *copy;
        ASN1::AbstractData& source = *original;
        EXPECT_EQ(typeid(made), typeid(source)) << entry.name;
        original.reset();
        std::vector<char> octets;
        EXPECT_TRUE(RandomValue::encode(*copy, octets)) << entry.name;
    }
}

} // namespace
