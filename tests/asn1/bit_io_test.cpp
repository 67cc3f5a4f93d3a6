// Bit-fields and presence maps: the fast paths for fields within one octet
// and for whole octets must agree bit for bit with writing one bit at a time,
// and a map keeps its bits clear past its size whatever its storage.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "asn1/bit_map.h"
#include "asn1/per_bits.h"

using namespace ASN1;

namespace {

struct Field {
    unsigned value;
    unsigned width; // 0..32; 99: align
};

// The reference: one bit at a time, most significant first.
std::vector<char> bit_by_bit(std::vector<Field> const& fields)
{
    std::vector<char> out;
    unsigned used = 8;
    for (Field const& f : fields) {
        if (f.width == 99) {
            used = 8;
            continue;
        }
        for (unsigned i = f.width; i-- > 0;) {
            if (used == 8) {
                out.push_back(0);
                used = 0;
            }
            if ((f.value >> i) & 1)
                out.back() = static_cast<char>(out.back() | (0x80 >> used));
            ++used;
        }
    }
    return out;
}

std::vector<Field> random_fields(std::mt19937& rng)
{
    std::vector<Field> fields(1 + rng() % 12);
    for (Field& f : fields) {
        unsigned pick = rng() % 10;
        f.width = pick == 0 ? 99 : pick < 4 ? 1 + rng() % 7 : pick < 7 ? 8 * (1 + rng() % 4) : rng() % 33;
        f.value = static_cast<unsigned>(rng());
        if (f.width < 32 && f.width != 99)
            f.value &= (1u << f.width) - 1;
    }
    return fields;
}

TEST(Asn1BitIo, FieldsOfAnyWidthWriteAndReadLikeSingleBits)
{
    std::mt19937 rng(4242);
    for (int round = 0; round < 2000; ++round) {
        std::vector<Field> fields = random_fields(rng);
        std::vector<char> out;
        BitOutput writer(out);
        for (Field const& f : fields) {
            if (f.width == 99)
                writer.align();
            else if (f.width == 1 && rng() % 2)
                writer.encodeSingleBit(f.value != 0);
            else
                writer.encodeMultiBit(f.value, f.width);
        }
        ASSERT_EQ(bit_by_bit(fields), out) << "round " << round;

        BitInput reader(out.data(), out.data() + out.size());
        for (Field const& f : fields) {
            if (f.width == 99) {
                reader.byteAlign();
                continue;
            }
            unsigned v = ~0u;
            ASSERT_TRUE(reader.decodeMultiBit(f.width, v)) << "round " << round;
            EXPECT_EQ(f.value, v) << "round " << round << " width " << f.width;
        }
        EXPECT_LT(reader.getBitsLeft(), 8u);
    }
}

TEST(Asn1BitIo, HighBitsBeyondTheWidthAreNotWritten)
{
    std::vector<char> out;
    BitOutput writer(out);
    writer.encodeMultiBit(0xFFFFFFF5u, 3); // 101
    writer.encodeMultiBit(0xFFFFFF00u, 5); // 00000
    writer.encodeMultiBit(0xABCD1234u, 12);
    EXPECT_EQ((std::vector<char>{'\xA0', '\x23', '\x40'}), out);
}

TEST(Asn1BitIo, ReadsStopAtTheEndOfTheInput)
{
    char const in[2] = {'\xFF', '\x01'};
    BitInput reader(in, in + 2);
    unsigned v = 0;
    ASSERT_TRUE(reader.decodeMultiBit(3, v));
    EXPECT_EQ(7u, v);
    EXPECT_FALSE(reader.decodeMultiBit(14, v));
    ASSERT_TRUE(reader.decodeMultiBit(13, v));
    EXPECT_EQ(0x1F01u, v);
    bool bit = false;
    EXPECT_FALSE(reader.decodeSingleBit(bit));
    EXPECT_FALSE(reader.decodeMultiBit(1, v));
    EXPECT_FALSE(reader.decodeMultiBit(33, v));
}

// Set bits of a map of size bits.
std::vector<unsigned> set_bits(BitMap const& map)
{
    std::vector<unsigned> on;
    for (unsigned i = 0; i < map.size() + 16; ++i) {
        if (map.test(i))
            on.push_back(i);
    }
    return on;
}

TEST(Asn1BitMap, BitsPastTheSizeStayClearThroughShrinkAndGrowth)
{
    struct Step {
        unsigned resize;
        std::vector<unsigned> set;
        std::vector<unsigned> expected;
    };
    // Small maps live in the map, more than 64 bits on the heap.
    const std::vector<Step> steps = {
        {10, {0, 3, 9}, {0, 3, 9}},
        {4, {}, {0, 3}},
        {12, {}, {0, 3}},           // 9 was dropped by the shrink
        {70, {65, 69}, {0, 3, 65, 69}},
        {200, {199}, {0, 3, 65, 69, 199}},
        {66, {}, {0, 3, 65}},
        {3, {}, {0}},
        {130, {}, {0}},             // nothing comes back from the heap octets
        {0, {}, {}},
        {9, {8}, {8}},
    };
    BitMap map;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        map.resize(steps[i].resize);
        for (unsigned bit : steps[i].set)
            map.set(bit);
        EXPECT_EQ(steps[i].resize, map.size()) << "step " << i;
        EXPECT_EQ(steps[i].expected, set_bits(map)) << "step " << i;
        EXPECT_EQ(!steps[i].expected.empty(), map.any()) << "step " << i;
    }
}

TEST(Asn1BitMap, CopiesAndSwapsAcrossBothStorages)
{
    BitMap small, large;
    small.resize(5);
    small.set(4);
    large.resize(150);
    large.set(1);
    large.set(149);

    BitMap copy(large);
    large.set(1, false);
    EXPECT_EQ((std::vector<unsigned>{1, 149}), set_bits(copy));

    copy = small;
    EXPECT_EQ(5u, copy.size());
    EXPECT_EQ((std::vector<unsigned>{4}), set_bits(copy));
    copy.resize(150); // the heap octets it had are clear again
    EXPECT_EQ((std::vector<unsigned>{4}), set_bits(copy));

    small.swap(large);
    EXPECT_EQ(150u, small.size());
    EXPECT_EQ((std::vector<unsigned>{149}), set_bits(small));
    EXPECT_EQ((std::vector<unsigned>{4}), set_bits(large));
}

} // namespace
