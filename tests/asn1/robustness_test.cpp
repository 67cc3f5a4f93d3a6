// Seeded random values of every sample type through aligned PER, unaligned
// PER, BER and value notation; and untrusted input: every truncation of their
// encodings fails, and bit-flipped or random octets decode to a clean failure
// or to a value that survives another round trip.
#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "tests/asn1/octets.h"
#include "tests/asn1/sample_types.h"
#include "tests/schema/random_value.h"

using namespace ASN1;

namespace {

typedef std::unique_ptr<AbstractData> Value;

int const rules[] = {CoderEnv::per_Aligned, CoderEnv::per_Unaligned, CoderEnv::ber};
char const* const ruleNames[] = {"aligned", "unaligned", "BER"};
unsigned const ruleCount = 3;

struct Case {
    std::string name;
    Value value;
    std::vector<char> octets[ruleCount];
};

std::vector<Case> build_cases()
{
    std::vector<Case> cases;
    RandomValue::Filler filler(81);
    for (unsigned t = 0; t < Sample::allTypeCount; ++t) {
        for (unsigned round = 0; round < 20; ++round) {
            Case c;
            c.name = Sample::allTypes[t].name;
            c.value.reset(create_from(Sample::allTypes[t].info));
            filler.fill(*c.value);
            for (unsigned r = 0; r < ruleCount; ++r) {
                CoderEnv env(rules[r]);
                EXPECT_TRUE(ASN1::encode(*c.value, &env, std::back_inserter(c.octets[r])))
                    << c.name << " in " << ruleNames[r] << ":\n" << c.value->asValueNotation();
            }
            cases.push_back(std::move(c));
        }
    }
    return cases;
}

std::vector<Case> const& cases()
{
    static std::vector<Case> const all = build_cases();
    return all;
}

// Decodes from an exactly sized heap copy, so that any read past the input
// is a sanitizer finding.
bool decode_exact(std::vector<char> const& input, std::size_t length, AbstractData& value, int rule)
{
    std::unique_ptr<char[]> copy(new char[length ? length : 1]);
    std::copy(input.begin(), input.begin() + length, copy.get());
    CoderEnv env(rule);
    return ASN1::decode(copy.get(), copy.get() + length, &env, value, true);
}

// A value that decoded must encode again to octets that decode to it.
void expect_stable(AbstractData const& value, int rule, std::string const& what)
{
    CoderEnv env(rule);
    std::vector<char> again;
    if (!ASN1::encode(value, &env, std::back_inserter(again)))
        return; // e.g. an alternative only the sender knows
    Value second(create_from(value.info()));
    ASSERT_TRUE(decode_exact(again, again.size(), *second, rule)) << what;
    EXPECT_EQ(0, second->compare(value)) << what;
}

} // namespace

// Each encoding decodes to an equal value and encodes again to the same
// octets; cut anywhere, it no longer decodes.
TEST(Robustness, RandomValuesThroughEveryCoder)
{
    for (Case const& c : cases()) {
        std::string text = c.value->asValueNotation();
        Value read(create_from(c.value->info()));
        ASSERT_TRUE(read->setFromValueNotation(text)) << c.name << ":\n" << text;
        EXPECT_EQ(0, read->compare(*c.value)) << text << "\nread as\n" << read->asValueNotation();
        for (unsigned r = 0; r < ruleCount; ++r) {
            std::vector<char> const& octets = c.octets[r];
            std::string what = c.name + " in " + ruleNames[r] + ": " + asn1test::hex(octets);
            for (std::size_t length = 0; length < octets.size(); ++length) {
                Value cut(create_from(c.value->info()));
                EXPECT_FALSE(decode_exact(octets, length, *cut, rules[r])) << what << " cut to " << length;
            }
            Value back(create_from(c.value->info()));
            ASSERT_TRUE(decode_exact(octets, octets.size(), *back, rules[r])) << what;
            EXPECT_EQ(0, back->compare(*c.value)) << what << "\n" << back->asValueNotation();
            EXPECT_EQ(asn1test::hex(octets), asn1test::encoded(*back, rules[r])) << what;
        }
    }
}

TEST(Robustness, FlippedBitsAndRandomOctetsDecodeCleanly)
{
    std::vector<Case> const& all = cases();
    std::mt19937 random(20240611);
    unsigned decoded = 0;
    unsigned const rounds = 100000;
    for (unsigned round = 0; round < rounds + 20000; ++round) {
        Case const& c = all[random() % all.size()];
        unsigned r = round % ruleCount;
        std::vector<char> input = c.octets[r];
        if (round < rounds) {
            for (int flips = 1 + int(random() % 3); flips > 0; --flips) {
                std::size_t bit = random() % (input.size() * 8);
                input[bit / 8] = static_cast<char>(input[bit / 8] ^ (0x80 >> (bit % 8)));
            }
        } else {
            input.resize(random() % 48);
            for (char& o : input)
                o = static_cast<char>(random());
        }
        Value value(create_from(c.value->info()));
        if (!decode_exact(input, input.size(), *value, rules[r]))
            continue;
        decoded += round < rounds;
        expect_stable(*value, rules[r], c.name + " in " + ruleNames[r] + " from " + asn1test::hex(input));
        if (HasFailure())
            return;
    }
    // Some flips land in values and still decode; most break the structure.
    EXPECT_GT(decoded, 0u);
    EXPECT_LT(decoded, rounds);
}
