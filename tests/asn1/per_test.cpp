// Aligned (and unaligned) PER: exact octets in both directions.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>

#include "asn1/per_decoder.h"
#include "asn1/per_encoder.h"
#include "tests/asn1/octets.h"
#include "tests/asn1/sample_types.h"

using namespace ASN1;
using asn1test::codes_as;
using asn1test::decode;
using asn1test::encoded;
using asn1test::hex;
using asn1test::octets;
using Sample::ping;

namespace {

// Encodes a leading 1 bit and then what write adds, so that alignment shows.
template <class Write>
std::string after_one_bit(Write write)
{
    std::vector<char> out;
    PEREncoder encoder(out);
    encoder.encodeSingleBit(true);
    if (!write(encoder))
        return "failed";
    return hex(out);
}

// Decodes from hexText after its leading bit.
template <class Read>
bool read_after_one_bit(std::string const& hexText, Read read)
{
    std::vector<char> in = octets(hexText);
    PERDecoder decoder(in.data(), in.data() + in.size(), nullptr);
    bool bit = false;
    return decoder.decodeSingleBit(bit) && read(decoder);
}

struct RangeCase {
    int lower;
    unsigned upper;
    unsigned value;
    char const* octets;
};

} // namespace

TEST(PerEnvelope, MessagesInBothDirections)
{
    EXPECT_TRUE(codes_as(ping(true), "C0 01 01 00 05 18"));
    EXPECT_TRUE(codes_as(ping(false), "06 00"));
    // The unaligned variant: slot in 10 bits, no octet forms.
    EXPECT_TRUE(codes_as(ping(true), "C0 01 01 01 46 00", CoderEnv::per_Unaligned));

    // The decoded selection is of its real class; octets after the value are
    // not looked at.
    Sample::Message in;
    ASSERT_TRUE(decode("C0 01 01 00 05 18 FF FF", in));
    EXPECT_EQ(0, in.compare(ping(true)));
    EXPECT_EQ(Sample::Command::e_ping, Sample::selection_as<Sample::Command>(in.get_pdu()).currentSelection());
}

TEST(PerEnvelope, UnknownAlternativesSkippedAndRootRangesChecked)
{
    Sample::TonecCode done;
    done.select(Sample::TonecCode::e_dtmfDone);
    EXPECT_TRUE(codes_as(done, "80 01 00"));

    // An alternative this side does not know is skipped, and reading goes on
    // after it.
    std::vector<char> input = octets("80 01 00 FF");
    PERDecoder decoder(input.data(), input.data() + input.size(), nullptr);
    Sample::Command command;
    ASSERT_TRUE(command.accept(decoder));
    EXPECT_EQ(CHOICE::unknownSelection, command.currentSelection());
    EXPECT_EQ(input.data() + 3, decoder.getPosition());

    // The same inside a message: 08 00 carries the bits 0000 1 0000000.
    Sample::Message msg;
    EXPECT_TRUE(decode("08 00 01 00", msg));
    EXPECT_EQ(CHOICE::unknownSelection, Sample::selection_as<Sample::Command>(msg.get_pdu()).currentSelection());
    EXPECT_FALSE(decode("08 00 02 00", msg));
    // Root values beyond their range: pdu index 3 of 0..2, slot 1024 of 0..1023.
    EXPECT_FALSE(decode("30 00", msg));
    EXPECT_FALSE(decode("C0 01 01 04 00 18", msg));
    EXPECT_TRUE(decode("C0 01 01 03 FF 18", msg));
    // seq holds 64 bits: eight octets are read, nine fail the message.
    EXPECT_TRUE(decode("80 08 80 00 00 00 00 00 00 00 18", msg));
    EXPECT_EQ(INT64_MIN, msg.get_seq().getValue());
    EXPECT_FALSE(decode("80 09 00 80 00 00 00 00 00 00 00 18", msg));
}

// A value read whole past its range is told with its field and range: a
// slot leaves the rest read, so a CHOICE index past its alternatives
// after it is what stopped the decode; input at fault tells nothing.
TEST(PerEnvelope, WhatStoppedADecodeIsToldWithItsField)
{
    struct {
        char const* octets;
        DecodeBound bound;
        char const* name;
        std::int64_t value, upper;
        DataInfo const* type;
    } const cases[] = {
        {"30 00", DecodeBound::alternative, "pdu", 3, 2, &Sample::PDU::theInfo},
        {"C0 01 01 04 00 18", DecodeBound::range, "slot", 1024, 1023, &Sample::SlotNumber::theInfo},
        {"C0 01 01 04 00 C0", DecodeBound::alternative, "pdu", 3, 2, &Sample::PDU::theInfo},
        {"C0 01 01 04 00", DecodeBound::none, "", 0, 0, nullptr},
    };
    for (auto const& c : cases) {
        std::vector<char> in = octets(c.octets);
        Sample::Message msg;
        CoderEnv env;
        EXPECT_FALSE(env.decode(in.data(), in.data() + in.size(), msg, true)) << c.octets;
        DecodeOutcome const& why = env.outcome();
        EXPECT_TRUE(why.bound == c.bound && std::string(why.name) == c.name && why.type == c.type) << c.octets;
        EXPECT_EQ(why.value, c.value) << c.octets;
        EXPECT_EQ(why.upper, c.upper) << c.octets;
    }
}

TEST(PerBuildingBlocks, ConstrainedWholeNumbersByRangeSize)
{
    RangeCase const cases[] = {
        {0, 254, 0, "80 00"},                 // 255 values: a bit-field, no alignment
        {0, 254, 254, "FF 00"},
        {10, 264, 264, "FF 00"},
        {0, 255, 0, "80 00"},                 // 256 values: one aligned octet
        {0, 255, 255, "80 FF"},
        {-128, 127, unsigned(-1), "80 7F"},
        {-128, 127, unsigned(-128), "80 00"},
        {0, 256, 0, "80 00 00"},              // 257 to 65536 values: two aligned octets
        {0, 256, 256, "80 01 00"},
        {0, 65535, 65535, "80 FF FF"},
        {0, 65536, 0, "80 00"},               // more: octet count in a bit-field, then the octets
        {0, 65536, 255, "80 FF"},
        {0, 65536, 256, "A0 01 00"},
        {0, 65536, 65536, "C0 01 00 00"},
        {0, 0xFFFFFFFFu, 0, "80 00"},
        {0, 0xFFFFFFFFu, 0x1000000, "E0 01 00 00 00"},
        {0, 0xFFFFFFFFu, 0xFFFFFFFFu, "E0 FF FF FF FF"},
        {1000, 1000, 1000, "80"},             // one value: nothing at all
    };
    for (RangeCase const& c : cases) {
        unsigned lower = unsigned(c.lower);
        EXPECT_EQ(c.octets, after_one_bit([&](PEREncoder& e) { return e.encodeUnsigned(c.value, lower, c.upper); }))
            << c.lower << ".." << c.upper << " " << c.value;
        unsigned v = 0;
        EXPECT_TRUE(read_after_one_bit(c.octets, [&](PERDecoder& d) { return d.decodeUnsigned(lower, c.upper, v); }));
        EXPECT_EQ(c.value, v) << c.lower << ".." << c.upper;
        if (c.value == c.upper && c.upper != 0xFFFFFFFFu) {
            EXPECT_EQ("failed", after_one_bit([&](PEREncoder& e) { return e.encodeUnsigned(c.value + 1, lower, c.upper); }));
        }
        if (c.value == lower && c.lower != 0) {
            EXPECT_EQ("failed", after_one_bit([&](PEREncoder& e) { return e.encodeUnsigned(c.value - 1, lower, c.upper); }));
        }
    }
}

TEST(PerBuildingBlocks, DecodedNumbersAboveTheUpperBoundAreRejected)
{
    RangeCase const cases[] = {
        {0, 254, 0, "FF 80"},            // 255
        {0, 256, 0, "80 01 01"},         // 257
        {0, 65536, 0, "C0 01 00 01"},    // 65537
        {0, 65536, 0, "E0 00 00 00 00"}, // four octets where three are the most
        {-128, 126, 0, "FF 80"},         // 127
    };
    for (RangeCase const& c : cases) {
        unsigned v = 0;
        EXPECT_FALSE(read_after_one_bit(c.octets, [&](PERDecoder& d) {
            return d.decodeUnsigned(unsigned(c.lower), c.upper, v);
        })) << c.octets;
    }
}

TEST(PerBuildingBlocks, UnconstrainedIntegers)
{
    struct {
        int value;
        char const* octets;
    } const cases[] = {
        {0, "01 00"},       {127, "01 7F"},       {128, "02 00 80"},          {-1, "01 FF"},
        {-128, "01 80"},    {-129, "02 FF 7F"},   {32767, "02 7F FF"},        {32768, "03 00 80 00"},
        {-8388609, "04 FF 7F FF FF"},             {INT_MAX, "04 7F FF FF FF"}, {INT_MIN, "04 80 00 00 00"},
    };
    for (auto const& c : cases)
        EXPECT_TRUE(codes_as(INTEGER(c.value), c.octets)) << c.value;
    INTEGER in(42);
    EXPECT_TRUE(decode("00", in));
    EXPECT_EQ(0, in.getValue());
    EXPECT_FALSE(decode("05 01 02 03 04 05", in));
    EXPECT_FALSE(decode("02 01", in));

    // Held in 64 bits: up to eight octets, in both variants.
    struct {
        std::int64_t value;
        char const* octets;
    } const wide[] = {
        {-1, "01 FF"},
        {INT_MIN, "04 80 00 00 00"},
        {std::int64_t(INT_MAX) + 1, "05 00 80 00 00 00"},
        {std::int64_t(UINT_MAX), "05 00 FF FF FF FF"},
        {std::int64_t(INT_MIN) - 1, "05 FF 7F FF FF FF"},
        {std::int64_t(1) << 40, "06 01 00 00 00 00 00"},
        {INT64_MAX, "08 7F FF FF FF FF FF FF FF"},
        {INT64_MIN, "08 80 00 00 00 00 00 00 00"},
    };
    for (auto const& c : wide) {
        EXPECT_TRUE(codes_as(INTEGER64(c.value), c.octets)) << c.value;
        EXPECT_TRUE(codes_as(INTEGER64(c.value), c.octets, CoderEnv::per_Unaligned)) << c.value;
    }
    INTEGER64 in64(42);
    EXPECT_FALSE(decode("09 00 80 00 00 00 00 00 00 00", in64));
    EXPECT_FALSE(decode("09 00 80 00 00 00 00 00 00 00", in64, CoderEnv::per_Unaligned));
    EXPECT_FALSE(decode("08 01 02 03 04 05 06 07", in64));
}

TEST(PerBuildingBlocks, LengthDeterminants)
{
    struct {
        unsigned length;
        char const* octets;
    } const cases[] = {{0, "00"}, {127, "7F"}, {128, "80 80"}, {200, "80 C8"}, {16383, "BF FF"}};
    for (auto const& c : cases) {
        std::vector<char> out;
        PEREncoder encoder(out);
        ASSERT_TRUE(encoder.encodeLength(c.length, 0, UnboundedLength));
        EXPECT_EQ(c.octets, hex(out));
        std::vector<char> in = octets(c.octets);
        PERDecoder decoder(in.data(), in.data() + in.size(), nullptr);
        unsigned length = 1;
        EXPECT_TRUE(decoder.decodeLength(0, UnboundedLength, length));
        EXPECT_EQ(c.length, length);
    }
    std::vector<char> out;
    PEREncoder encoder(out);
    EXPECT_FALSE(encoder.encodeLength(16384, 0, UnboundedLength));
    EXPECT_TRUE(out.empty());

    for (char const* bad : {"C0 00", "FF", "80", ""}) {
        std::vector<char> in = octets(bad);
        PERDecoder decoder(in.data(), in.data() + in.size(), nullptr);
        unsigned length = 0;
        EXPECT_FALSE(decoder.decodeLength(0, UnboundedLength, length)) << bad;
    }
}

TEST(PerBuildingBlocks, BitPositionsAcrossFieldsAndAlignment)
{
    std::vector<char> out;
    PEREncoder encoder(out);
    encoder.encodeSingleBit(true);
    encoder.encodeMultiBit(5, 3);                       // 1 101
    EXPECT_EQ(4, encoder.bitsLeft());
    encoder.encodeByte(0xAB);                           // aligns first
    encoder.encodeMultiBit(0x3FF, 10);
    EXPECT_EQ(6, encoder.bitsLeft());
    encoder.encodeSmallUnsigned(64);                    // 1, then an aligned count and octet
    encoder.encodeMultiBit(0, 0);
    EXPECT_EQ("D0 AB FF E0 01 40", hex(out));

    PERDecoder decoder(out.data(), out.data() + out.size(), nullptr);
    unsigned v = 0;
    bool bit = false;
    ASSERT_TRUE(decoder.decodeSingleBit(bit));
    ASSERT_TRUE(decoder.decodeMultiBit(3, v));
    EXPECT_EQ(5u, v);
    EXPECT_EQ(4, decoder.bitsLeftInOctet());
    decoder.byteAlign();
    ASSERT_TRUE(decoder.decodeMultiBit(8, v));
    EXPECT_EQ(0xABu, v);
    ASSERT_TRUE(decoder.decodeMultiBit(10, v));
    EXPECT_EQ(0x3FFu, v);
    ASSERT_TRUE(decoder.decodeSmallUnsigned(v));
    EXPECT_EQ(64u, v);
    EXPECT_EQ(0u, decoder.getBitsLeft());
    EXPECT_FALSE(decoder.decodeSingleBit(bit));
    EXPECT_FALSE(decoder.decodeMultiBit(1, v));
}

TEST(PerTypes, OctetStringsShortOnesStayUnaligned)
{
    ConstrainedInfo const sized = {{&OCTET_STRING::create, 4}, FixedConstraint, 0, 7};
    auto write = [&](std::vector<char> const& content) {
        return after_one_bit([&](PEREncoder& e) { return OCTET_STRING(content, &sized).accept(e); });
    };
    EXPECT_EQ("AA BA B0", write({'\xAB', '\xAB'}));          // 1 010 then 16 bits, no alignment
    EXPECT_EQ("B0 AB AB AB", write({'\xAB', '\xAB', '\xAB'}));  // 1 011, then aligned octets
    EXPECT_EQ("failed", write(std::vector<char>(8, 'x')));

    OCTET_STRING in(&sized);
    EXPECT_TRUE(read_after_one_bit("AA BA B0", [&](PERDecoder& d) { return in.accept(d); }));
    EXPECT_EQ(std::vector<char>({'\xAB', '\xAB'}), static_cast<std::vector<char>&>(in));

    std::string longest = "BF FF";
    for (unsigned i = 0; i < 16383; ++i)
        longest += " 7A";
    EXPECT_TRUE(codes_as(OCTET_STRING(16383, 'z'), longest));
    EXPECT_EQ("failed", encoded(OCTET_STRING(16384, 'z')));
}

TEST(PerTypes, RestrictedStrings)
{
    EXPECT_TRUE(codes_as(IA5String("abc"), "03 61 62 63"));

    // Up to 10 characters: the length is a bit-field, then the text aligns.
    StringInfo const upTo10 = {{{&IA5String::create, 22}, FixedConstraint, 0, 10}, IA5String::theInfo.characterSet,
                               128, 7, 7, 8};
    EXPECT_EQ("98 61 62 63", after_one_bit([&](PEREncoder& e) { return IA5String("abc", &upTo10).accept(e); }));
    // Up to 2 characters (16 bits): no alignment at all.
    StringInfo const upTo2 = {{{&IA5String::create, 22}, FixedConstraint, 0, 2}, IA5String::theInfo.characterSet,
                              128, 7, 7, 8};
    EXPECT_EQ("CC 2C 40", after_one_bit([&](PEREncoder& e) { return IA5String("ab", &upTo2).accept(e); }));
    IA5String two(&upTo2);
    EXPECT_TRUE(read_after_one_bit("CC 2C 40", [&](PERDecoder& d) { return two.accept(d); }));
    EXPECT_EQ("ab", static_cast<std::string&>(two));

    // Characters coded by their index in the permitted set.
    AbstractString digits(&NumericString::theInfo, "12 ");
    EXPECT_TRUE(codes_as(digits, "03 23 00"));
    EXPECT_EQ("failed", encoded(AbstractString(&NumericString::theInfo, "1a")));
    EXPECT_FALSE(decode("01 B0", digits)); // index 11 of 11 characters

    // An octet above 127 has no 7-bit IA5 code.
    EXPECT_EQ("01 E9", encoded(IA5String("\xE9")));
    EXPECT_EQ("failed", encoded(IA5String("\xE9"), CoderEnv::per_Unaligned));

    EXPECT_TRUE(codes_as(BMPString(L"A\u00E9"), "02 00 41 00 E9"));
    EXPECT_EQ("failed", encoded(BMPString(std::wstring(1, wchar_t(0x10000)))));
}

TEST(PerTypes, EnumerationsTravelAsTheirValue)
{
    Sample::StandbyCommand standby;
    standby.setValue(Sample::StandbyCommand::standby);
    EXPECT_TRUE(codes_as(standby, "40")); // 01000 in 5 bits
    Sample::StandbyCommand in;
    EXPECT_FALSE(decode("88", in)); // 17 above the maximum 16
    standby.setValue(17);
    EXPECT_EQ("failed", encoded(standby));
    standby.setValue(-1);
    EXPECT_EQ("failed", encoded(standby));

    NamedNumber const names[] = {{0, "a"}, {1, "b"}, {2, "c"}, {3, "d"}};
    EnumInfo const extendable = {{&ENUMERATED::create, 10}, true, 3, names, 4};
    EXPECT_TRUE(codes_as(ENUMERATED(5, &extendable), "86 A0")); // 1, 0 000110, 101

    Sample::ErrorCause cause;
    cause.setValue(Sample::ErrorCause::destroyInProgress);
    EXPECT_EQ("60", encoded(cause));
    EXPECT_FALSE(decode("68", cause)); // root value 13 above 12
    cause.setValue(13);
    EXPECT_TRUE(codes_as(cause, "8E D0"));
    EXPECT_FALSE(decode("80", cause)); // extension value 0 - 1
}

TEST(PerTypes, BitStringsObjectIdentifiersAndTimes)
{
    BIT_STRING three;
    three.resize(3);
    three.set(0);
    three.set(2);
    EXPECT_TRUE(codes_as(three, "03 A0"));

    // More than 16 bits: whole octets, the unused tail cleared on reading.
    BIT_STRING seventeen;
    ASSERT_TRUE(decode("11 FF FF FF", seventeen));
    EXPECT_EQ(17u, seventeen.size());
    EXPECT_EQ("FF FF 80", hex(seventeen.getData()));
    EXPECT_TRUE(codes_as(seventeen, "11 FF FF 80"));
    EXPECT_TRUE(codes_as(seventeen, "11 FF FF 80", CoderEnv::per_Unaligned));

    OBJECT_IDENTIFIER oid;
    oid.append(1);
    oid.append(2);
    oid.append(840);
    EXPECT_TRUE(codes_as(oid, "03 2A 86 48"));
    EXPECT_FALSE(decode("03 2A 86", oid));
    // No arcs: neither written nor read.
    EXPECT_EQ("failed", encoded(OBJECT_IDENTIFIER()));
    EXPECT_FALSE(decode("00", oid));

    GeneralizedTime t("20240102030405.5Z");
    EXPECT_TRUE(codes_as(t, "13 32 30 32 34 30 31 30 32 30 33 30 34 30 35 2E 35 30 30 5A"));
    EXPECT_FALSE(decode("03 31 32 33", t));
}

TEST(PerTypes, SequenceExtensions)
{
    Sample::Extended ext;
    static_cast<INTEGER&>(*ext.getField(Sample::Extended::f_a)).setValue(5);
    EXPECT_EQ("00 05", encoded(ext));

    // Included then removed: the extension bit stays 0.
    ext.includeOptionalField(Sample::Extended::e_e, Sample::Extended::f_e);
    ext.removeOptionalField(Sample::Extended::e_e);
    EXPECT_EQ("00 05", encoded(ext));

    Sample::Extended fresh;
    static_cast<INTEGER&>(*fresh.getField(Sample::Extended::f_a)).setValue(5);
    fresh.includeOptionalField(Sample::Extended::e_d, Sample::Extended::f_d);
    static_cast<INTEGER&>(*fresh.getField(Sample::Extended::f_d)).setValue(128);
    EXPECT_TRUE(codes_as(fresh, "80 05 01 03 02 00 80"));
    // The map keeps the size it grew to: two bits, 10.
    ext.includeOptionalField(Sample::Extended::e_d, Sample::Extended::f_d);
    static_cast<INTEGER&>(*ext.getField(Sample::Extended::f_d)).setValue(128);
    EXPECT_TRUE(codes_as(ext, "80 05 03 00 03 02 00 80"));
    Sample::Extended back;

    // An open type's content cannot reach past its stated length, nor the
    // length past the input.
    EXPECT_FALSE(decode("80 05 01 01 02 00 80", back));
    EXPECT_FALSE(decode("80 05 01 09 02 00 80", back));

    // An older peer skips additions it does not know, also as the last thing.
    ext.includeOptionalField(Sample::Extended::e_e, Sample::Extended::f_e);
    static_cast<OCTET_STRING&>(*ext.getField(Sample::Extended::f_e)) = std::string("xyz");
    std::vector<char> full = octets(encoded(ext));
    Sample::ExtendedRoot old;
    ASSERT_TRUE(decode(full, old));
    EXPECT_EQ(5, static_cast<INTEGER&>(*old.getField(0)).getValue());
    full.pop_back();
    EXPECT_FALSE(decode(full, old));
}

TEST(PerTypes, ListsAndOpenTypes)
{
    Sample::IntegerList list(&Sample::integerListInfo);
    list.resize(128);
    std::string text = encoded(list);
    Sample::IntegerList in(&Sample::integerListInfo);
    ASSERT_TRUE(decode(text, in));
    EXPECT_EQ(128u, in.size());
    list.resize(129);
    EXPECT_EQ("failed", encoded(list));
    EXPECT_FALSE(decode("80 81 " + text.substr(6), in));
    // The bound that stopped it is told from within an open type too.
    TypeConstrainedOpenInfo const listInfo = {{&TypeConstrainedOpenData::create, 0}, &Sample::integerListInfo};
    TypeConstrainedOpenData wrapped(&listInfo);
    std::vector<char> input = octets("02 80 81");
    CoderEnv env;
    EXPECT_FALSE(env.decode(input.data(), input.data() + input.size(), wrapped, true));
    EXPECT_EQ(DecodeBound::elements, env.bound());

    OpenData open;
    EXPECT_EQ("01 00", encoded(open));
    open.set_data(new INTEGER(5));
    EXPECT_EQ("02 01 05", encoded(open));
    OpenData raw;
    ASSERT_TRUE(decode("02 01 05", raw));
    ASSERT_TRUE(raw.has_buf());
    EXPECT_FALSE(raw.has_data());
    EXPECT_EQ("02 01 05", encoded(raw)); // sent on as received
    raw.set_data(new INTEGER);
    PERDecoder reader(nullptr, nullptr, nullptr);
    ASSERT_TRUE(reader.do_revisit(raw));
    EXPECT_EQ(5, static_cast<INTEGER*>(raw.get_data())->getValue());

    TypeConstrainedOpenInfo const boolInfo = {{&TypeConstrainedOpenData::create, 0}, &BOOLEAN::theInfo};
    TypeConstrainedOpenData typed(&boolInfo);
    static_cast<BOOLEAN*>(typed.get_data())->setValue(true);
    EXPECT_TRUE(codes_as(typed, "01 80"));
    EXPECT_FALSE(decode("00", typed));
}

// Open-type contents take the aligned form in both variants: 4 in INTEGER
// (0..1023) is 00 04 in every open type below, where the unaligned form
// would be 01 00.
TEST(PerTypes, OpenTypeContentsAlignedInBothVariants)
{
    Sample::Target alternative;
    alternative.select(Sample::Target::e_slot);
    Sample::selection_as<Sample::SlotNumber>(alternative) = 4;

    Sample::Carrier inCarrier;
    inCarrier.get_target().select(Sample::Target::e_slot);
    Sample::selection_as<Sample::SlotNumber>(inCarrier.get_target()) = 4;
    inCarrier.get_held() = 5;

    Sample::Carrier typed;
    typed.get_target().select(Sample::Target::e_none);
    typed.get_held() = 4;

    Sample::Carrier addition;
    addition.get_target().select(Sample::Target::e_none);
    addition.set_slot(4);

    struct Case {
        char const* name;
        AbstractData const& value;
        char const* octets;
    } const cases[] = {
        {"extension alternative", alternative, "80 02 00 04"},
        {"extension alternative in a sequence", inCarrier, "40 00 02 00 04 02 00 05"},
        {"type-constrained open type", typed, "00 02 00 04"},
        {"extension addition", addition, "80 02 00 00 01 02 00 04"},
    };
    for (Case const& c : cases) {
        EXPECT_TRUE(codes_as(c.value, c.octets, CoderEnv::per_Unaligned)) << c.name;
        EXPECT_TRUE(codes_as(c.value, c.octets, CoderEnv::per_Aligned)) << c.name;
        // 1024 in its place: read whole, and told from the inner decoder.
        std::string past = c.octets;
        std::vector<char> in = octets(past.replace(past.find("00 04"), 5, "04 00"));
        std::unique_ptr<AbstractData> back(create_from(c.value.info()));
        CoderEnv env(CoderEnv::per_Unaligned);
        EXPECT_FALSE(env.decode(in.data(), in.data() + in.size(), *back, true)) << c.name;
        EXPECT_TRUE(env.bound() == DecodeBound::range && env.outcome().value == 1024) << c.name;
    }
}

TEST(PerCoderEnv, RulesAndUntouchedOutput)
{
    std::vector<char> out{'x', 'y'};
    CoderEnv bad(7);
    EXPECT_FALSE(ASN1::encode(ping(true), &bad, std::back_inserter(out)));
    EXPECT_EQ(2u, out.size());
    std::vector<char> in = octets("06 00");
    Sample::Message msg;
    EXPECT_FALSE(ASN1::decode(in.data(), in.data() + in.size(), &bad, msg, true));

    // Fails half-way: seq and slot encode, the unselected pdu does not.
    Sample::Message half;
    half.set_seq(1);
    CoderEnv env;
    EXPECT_FALSE(ASN1::encode(half, &env, std::back_inserter(out)));
    EXPECT_EQ(2u, out.size());

    CoderEnv text(CoderEnv::avn);
    std::string printed;
    ASSERT_TRUE(ASN1::encode(INTEGER(-3), &text, std::back_inserter(printed)));
    EXPECT_EQ("-3", printed);
    EXPECT_FALSE(text.decode(in.data(), in.data() + in.size(), msg, true));
}
