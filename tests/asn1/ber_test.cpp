// BER: known octets both ways, tag tables, and the decoder's reading of
// malformed input.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <memory>

#include "asn1/ber_decoder.h"
#include "tests/asn1/octets.h"
#include "tests/asn1/sample_types.h"

using namespace ASN1;
using asn1test::codes_as;
using asn1test::encoded;

namespace {

const int Ber = CoderEnv::ber;

typedef Constrained_INTEGER<FixedConstraint, 0, 0xFFFFFFFFu> Big;

// SEQUENCE { p [0] INTEGER OPTIONAL, q [1] INTEGER OPTIONAL }
DataInfo const* const pairFields[] = {&INTEGER::theInfo, &INTEGER::theInfo};
unsigned const pairIds[] = {0, 1};
unsigned const highTags[] = {0x80001F, 0x8000C8};
char const* const pairNames[] = {"p", "q"};
SequenceInfo const optionalPair = {{&SEQUENCE::create, 16}, false, pairFields, pairIds, 2, 0, 2, nullptr, nullptr, pairNames};
// The same with field tags [31] and [200], and with the fields' own tags.
SequenceInfo const highTagged = {{&SEQUENCE::create, 16}, false, pairFields, pairIds, 2, 0, 2, nullptr, highTags, pairNames};
SequenceInfo const ownTagged = {
    {&SEQUENCE::create, 16}, false, pairFields, pairIds, 2, 0, 2, nullptr, SEQUENCE::defaultTag, pairNames};

// CHOICE { Sample.XY, [5] INTEGER }: alternative 0 is untagged, so the tags
// of XY's alternatives select it.
DataInfo const* const nestedInfos[] = {&Sample::XY::theInfo, &INTEGER::theInfo};
unsigned const nestedTags[] = {0, 0x800005};
ChoiceInfo const nested = {{&CHOICE::create, 0}, false, nestedInfos, 2, 2, nestedTags, nullptr};
// CHOICE { INTEGER, OCTET STRING } under their universal tags.
DataInfo const* const universalInfos[] = {&INTEGER::theInfo, &OCTET_STRING::theInfo};
unsigned const universalTags[] = {2, 4};
ChoiceInfo const universal = {{&CHOICE::create, 0}, false, universalInfos, 2, 2, universalTags, nullptr};

// SEQUENCE { open [0] open type, typed [1] open type of BOOLEAN }
TypeConstrainedOpenInfo const openBoolean = {{&TypeConstrainedOpenData::create, 0}, &BOOLEAN::theInfo};
DataInfo const* const openFields[] = {&OpenData::theInfo, &openBoolean};
unsigned const openIds[] = {MandatoryField, MandatoryField};
SequenceInfo const openSeq = {{&SEQUENCE::create, 16}, false, openFields, openIds, 2, 0, 0, nullptr, nullptr, nullptr};

SEQUENCE pair(SequenceInfo const& info, char const* text)
{
    SEQUENCE seq(&info);
    EXPECT_TRUE(seq.setFromValueNotation(text));
    return seq;
}

bool ber_decode(std::string const& hex, AbstractData& value)
{
    return asn1test::decode(hex, value, Ber);
}

} // namespace

TEST(BerEncoding, SimpleValuesBothWays)
{
    struct Case {
        int value;
        char const* octets;
    } const integers[] = {{0, "02 01 00"},    {127, "02 01 7F"},     {128, "02 02 00 80"},
                          {-128, "02 01 80"}, {-129, "02 02 FF 7F"}, {INT_MIN, "02 04 80 00 00 00"}};
    for (Case const& c : integers)
        EXPECT_TRUE(codes_as(INTEGER(c.value), c.octets, Ber));
    // Unsigned 32-bit numbers stay positive: a leading zero octet.
    EXPECT_TRUE(codes_as(Big(0x80000000u), "02 05 00 80 00 00 00", Ber));
    EXPECT_TRUE(codes_as(Big(0xFFFFFFFFu), "02 05 00 FF FF FF FF", Ber));
    // Held in 64 bits: up to eight octets.
    EXPECT_TRUE(codes_as(INTEGER64(0x80000000), "02 05 00 80 00 00 00", Ber));
    EXPECT_TRUE(codes_as(INTEGER64(INT64_MIN), "02 08 80 00 00 00 00 00 00 00", Ber));
    INTEGER64 nine;
    EXPECT_FALSE(ber_decode("02 09 00 80 00 00 00 00 00 00 00", nine));
    EXPECT_TRUE(codes_as(ENUMERATED(16, &Sample::StandbyCommand::theInfo), "0A 01 10", Ber));
    EXPECT_TRUE(codes_as(ENUMERATED(-1, &Sample::R1Code::theInfo), "0A 01 FF", Ber));
    EXPECT_TRUE(codes_as(BOOLEAN(true), "01 01 FF", Ber));
    EXPECT_TRUE(codes_as(Null(), "05 00", Ber));

    BIT_STRING bits;
    EXPECT_TRUE(codes_as(bits, "03 01 00", Ber));
    bits.resize(3);
    bits.set(0);
    bits.set(2);
    EXPECT_TRUE(codes_as(bits, "03 02 05 A0", Ber));
    bits.resize(8);
    bits.set(7);
    EXPECT_TRUE(codes_as(bits, "03 02 00 A1", Ber));

    OBJECT_IDENTIFIER oid;
    for (unsigned arc : {1u, 2u, 840u})
        oid.append(arc);
    EXPECT_TRUE(codes_as(oid, "06 03 2A 86 48", Ber));
    EXPECT_TRUE(codes_as(BMPString(L"A\u4E2D"), "1E 04 00 41 4E 2D", Ber));
    EXPECT_TRUE(codes_as(GeneralizedTime("20240102030405Z"), "18 0F 32 30 32 34 30 31 30 32 30 33 30 34 30 35 5A", Ber));
}

TEST(BerEncoding, LengthForms)
{
    std::pair<unsigned, std::string> const cases[] = {{0, "04 00"},    {127, "04 7F"},       {128, "04 81 80"},
                                                      {255, "04 81 FF"}, {256, "04 82 01 00"}, {70000, "04 83 01 11 70"}};
    for (auto const& c : cases) {
        std::string octets = c.second;
        for (unsigned i = 0; i < c.first; ++i)
            octets += " 78";
        EXPECT_TRUE(codes_as(OCTET_STRING(c.first, 'x'), octets, Ber)) << c.first;
    }
}

TEST(BerEncoding, FieldAndAlternativeTags)
{
    EXPECT_TRUE(codes_as(pair(optionalPair, "{ p 1, q 2 }"), "30 06 80 01 01 81 01 02", Ber));
    EXPECT_TRUE(codes_as(pair(highTagged, "{ p 1, q 2 }"), "30 09 9F 1F 01 01 9F 81 48 01 02", Ber));
    EXPECT_TRUE(codes_as(pair(ownTagged, "{ p 5, q -1 }"), "30 06 02 01 05 02 01 FF", Ber));

    // A CHOICE field: an explicit, constructed tag around the alternative.
    Sample::Example example;
    example.get_a().setValue(1);
    example.get_c().select(Sample::XY::e_y);
    static_cast<INTEGER&>(*example.get_c().getSelection()).setValue(5);
    EXPECT_TRUE(codes_as(example, "30 0A 80 01 01 A1 00 A2 03 81 01 05", Ber));

    EXPECT_TRUE(codes_as(Sample::ping(true), "30 0C 80 01 01 81 01 05 A2 04 A0 02 8C 00", Ber));

    CHOICE byUniversal(&universal);
    byUniversal.select(1);
    EXPECT_TRUE(codes_as(byUniversal, "04 00", Ber));
    CHOICE throughNested(&nested);
    throughNested.select(0);
    Sample::XY& xy = static_cast<Sample::XY&>(*throughNested.getSelection());
    xy.select(Sample::XY::e_y);
    static_cast<INTEGER&>(*xy.getSelection()).setValue(7);
    EXPECT_TRUE(codes_as(throughNested, "81 01 07", Ber));
    throughNested.select(1);
    EXPECT_TRUE(codes_as(throughNested, "85 01 00", Ber));
}

TEST(BerEncoding, OpenTypesCarryCompleteEncodings)
{
    SEQUENCE seq(&openSeq);
    OpenData& open = static_cast<OpenData&>(*seq.getField(0));
    open.set_data(new BOOLEAN(true));
    static_cast<BOOLEAN&>(*static_cast<OpenData&>(*seq.getField(1)).get_data()).setValue(true);
    EXPECT_EQ("30 0A A0 03 01 01 FF A1 03 01 01 FF", encoded(seq, Ber));

    SEQUENCE back(&openSeq);
    ASSERT_TRUE(ber_decode("30 0A A0 03 01 01 FF A1 03 01 01 FF", back));
    OpenData& kept = static_cast<OpenData&>(*back.getField(0));
    ASSERT_TRUE(kept.has_buf());
    EXPECT_EQ("01 01 FF", asn1test::hex(*kept.get_buf()));
    kept.set_data(new BOOLEAN(false));
    BERDecoder revisit(nullptr, nullptr, nullptr);
    EXPECT_TRUE(revisit.do_revisit(kept));
    EXPECT_EQ(0, back.compare(seq));

    // Octets never decoded travel as they are; nothing at all fails.
    open.set_data(nullptr);
    open.set_buf(asn1test::octets("05 00"));
    EXPECT_EQ("30 09 A0 02 05 00 A1 03 01 01 FF", encoded(seq, Ber));
    EXPECT_EQ("failed", encoded(OpenData(), Ber));
    EXPECT_EQ("failed", encoded(Sample::Message(), Ber));
    EXPECT_EQ("failed", encoded(BMPString(std::wstring(1, wchar_t(0x10000))), Ber));
}

TEST(BerDecoding, FormsTheDecoderReads)
{
    BOOLEAN b;
    EXPECT_TRUE(ber_decode("01 02 00 01", b));
    EXPECT_TRUE(b.getValue());
    BIT_STRING bits;
    EXPECT_TRUE(ber_decode("03 02 05 A7", bits));
    EXPECT_EQ("'101'B", bits.asValueNotation());
    INTEGER i;
    EXPECT_TRUE(ber_decode("02 01 05 FF FF", i)) << "octets after the value are ignored";

    // Every field optional: an empty sequence, also at the end of the input.
    SEQUENCE seq(&optionalPair);
    EXPECT_TRUE(ber_decode("30 00", seq));
    EXPECT_TRUE(ber_decode("30 03 81 01 07", seq));
    EXPECT_FALSE(seq.hasOptionalField(0));
    EXPECT_EQ("{\n  q 7\n}", seq.asValueNotation());

    // Additions unknown to the reader are skipped.
    Sample::ExtendedRoot root;
    EXPECT_TRUE(ber_decode("30 09 80 01 05 83 01 09 89 01 00", root));
    EXPECT_EQ("{\n  a 5\n}", root.asValueNotation());
    Sample::Extended extended;
    EXPECT_TRUE(ber_decode("30 06 80 01 05 83 01 09", extended));
    EXPECT_EQ("{\n  a 5,\n  d 9\n}", extended.asValueNotation());
}

TEST(BerDecoding, MalformedInputFails)
{
    struct Case {
        char const* hex;
        std::function<AbstractData*()> make;
        char const* why;
    } const cases[] = {
        {"02 00", [] { return new INTEGER; }, "INTEGER without content"},
        {"02 09 01 00 00 00 00 00 00 00 00", [] { return new INTEGER; }, "more than 64 bits"},
        {"02 05 01 00 00 00 00", [] { return new Big; }, "beyond 32 bits"},
        {"02 01 FF", [] { return new Big; }, "negative for an unsigned type"},
        {"02 05 00 80 00 00 00", [] { return new INTEGER; }, "beyond a signed 32-bit type"},
        {"01 00", [] { return new BOOLEAN; }, "BOOLEAN without content"},
        {"04 80", [] { return new OCTET_STRING; }, "indefinite length"},
        {"04 84 FF FF FF FF", [] { return new OCTET_STRING; }, "length past the input"},
        {"04 85 01 00 00 00 00", [] { return new OCTET_STRING; }, "five length octets"},
        {"04 82 01", [] { return new OCTET_STRING; }, "length octets cut"},
        {"1F 83 84 85 06 00", [] { return new OCTET_STRING; }, "tag number beyond 16 bits"},
        {"1F 81", [] { return new OCTET_STRING; }, "tag number cut"},
        {"24 00", [] { return new OCTET_STRING; }, "constructed string"},
        {"03 01 07", [] { return new BIT_STRING; }, "unused bits without octets"},
        {"03 02 08 00", [] { return new BIT_STRING; }, "eight unused bits"},
        {"03 00", [] { return new BIT_STRING; }, "BIT STRING without content"},
        {"1E 03 00 41 00", [] { return new BMPString; }, "half a character"},
        {"06 01 81", [] { return new OBJECT_IDENTIFIER; }, "subidentifier cut"},
        {"06 00", [] { return new OBJECT_IDENTIFIER; }, "OBJECT IDENTIFIER without arcs"},
        {"30 00", [] { return new Sample::TrunkCfg; }, "mandatory fields missing"},
        {"30 03 81 01 01", [] { return new Sample::TrunkCfg; }, "first mandatory field missing"},
        {"10 00", [] { return new Sample::TrunkCfg; }, "primitive SEQUENCE"},
        {"30 06 80 01 01 81 02 00", [] { return new Sample::TrunkCfg; }, "field past its sequence"},
        {"30 08 A2 06 80 04 8C 00 00 00", [] { return new Sample::Message; }, "primitive explicit tag"},
        {"30 04 A2 02 85 00", [] { return new Sample::Message; }, "unknown alternative tag"},
        {"30 05 A2 03 A0 01 8C", [] { return new Sample::Message; }, "alternative past its tag"},
        {"30 02 A1 00", [] { return new Sample::Example; }, "list before the field it follows"},
        {"31 02 05 00", [] { return new Sample::IntegerList(&Sample::integerListInfo); }, "SET for SEQUENCE OF"},
        {"01 00", [] { return new TypeConstrainedOpenData(&openBoolean); }, "open type holding bad content"},
    };
    for (Case const& c : cases) {
        std::unique_ptr<AbstractData> value(c.make());
        EXPECT_FALSE(ber_decode(c.hex, *value)) << c.why << ": " << c.hex;
    }
}
