// Value notation reading: the grammar's edge cases, and printed random values
// of every sample type read back equal.
#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "tests/asn1/octets.h"
#include "tests/schema/random_value.h"
#include "tests/asn1/sample_types.h"

using namespace ASN1;

namespace {

// SEQUENCE { a INTEGER, b INTEGER OPTIONAL, c INTEGER OPTIONAL }
DataInfo const* const abcFields[] = {&INTEGER::theInfo, &INTEGER::theInfo, &INTEGER::theInfo};
unsigned const abcIds[] = {MandatoryField, 0, 1};
char const* const abcNames[] = {"a", "b", "c"};
SequenceInfo const abcInfo = {{&SEQUENCE::create, 16}, false, abcFields, abcIds, 3, 0, 2, nullptr, nullptr, abcNames};

// The value's text after reading text into a fresh value, or "failed".
std::string read_as(DataInfo const* info, std::string const& text)
{
    std::unique_ptr<AbstractData> value(create_from(info));
    if (!value->setFromValueNotation(text))
        return "failed";
    return value->asValueNotation();
}

} // namespace

TEST(AvnReading, SequenceFieldsInOrder)
{
    struct Case {
        char const* text;
        char const* read;
    } const cases[] = {
        {"{ }", "{\n  a 0\n}"}, // mandatory fields after the brace are not asked for
        {"{ a 1 }", "{\n  a 1\n}"},
        {"{a 1,c 2}", "{\n  a 1,\n  c 2\n}"},
        {"{ a 1, b 3, c 2 }", "{\n  a 1,\n  b 3,\n  c 2\n}"},
        {"{ a 1, }", "{\n  a 1\n}"},
        {"{ c 2 }", "failed"},
        {"{ a 1, c 2, b 3 }", "failed"},
        {"{ a 1 b 2 }", "failed"},
        {"{ a 1, d 2 }", "failed"},
        {"{ a x }", "failed"},
        {"{ a 1", "failed"},
        {"a 1 }", "failed"},
    };
    for (Case const& c : cases)
        EXPECT_EQ(c.read, read_as(&abcInfo, c.text)) << c.text;
}

TEST(AvnReading, SimpleValues)
{
    typedef Constrained_INTEGER<FixedConstraint, 0, 0xFFFFFFFFu> Big;
    struct Case {
        DataInfo const* info;
        char const* text;
        char const* read;
    } const cases[] = {
        {&Null::theInfo, " NULL", "NULL"},
        {&Null::theInfo, "NUL", "failed"},
        {&BOOLEAN::theInfo, "TRUE,", "TRUE"},
        {&BOOLEAN::theInfo, "true", "failed"},
        {&INTEGER::theInfo, "-2147483648", "-2147483648"},
        {&INTEGER::theInfo, "2147483648", "failed"},
        {&Big::theInfo, "4294967295", "4294967295"},
        {&Big::theInfo, "-1", "failed"},
        {&Sample::StandbyCommand::theInfo, "standby", "standby"},
        {&Sample::StandbyCommand::theInfo, "8", "failed"},
        {&OBJECT_IDENTIFIER::theInfo, "{ iso(1) 2 840 }", "{ 1 2 840 }"},
        {&OBJECT_IDENTIFIER::theInfo, "{ 1 x }", "failed"},
        {&OBJECT_IDENTIFIER::theInfo, "{ 1 4294967296 }", "failed"},
        {&OBJECT_IDENTIFIER::theInfo, "{ 1 2", "failed"},
        {&OCTET_STRING::theInfo, "'01 0a FF'H", "'01 0a ff'H"},
        {&OCTET_STRING::theInfo, "'ABC'H", "'ab c0'H"},
        {&OCTET_STRING::theInfo, "'1g'H", "failed"},
        {&OCTET_STRING::theInfo, "'0x'H", "failed"},
        {&OCTET_STRING::theInfo, "'01'X", "failed"},
        {&OCTET_STRING::theInfo, "'01", "failed"},
        {&BIT_STRING::theInfo, "'101'B", "'101'B"},
        {&BIT_STRING::theInfo, "'A'H", "'1010'B"},
        {&BIT_STRING::theInfo, "'102'B", "failed"},
        {&IA5String::theInfo, "\"say \"\"hi\"\"\"", "\"say \"\"hi\"\"\""},
        {&IA5String::theInfo, "\"open", "failed"},
        {&BMPString::theInfo, "\"AB\"", "\"AB\""},
        {&GeneralizedTime::theInfo, "\"20240102030405.5Z\"", "\"20240102030405.500Z\""},
        {&GeneralizedTime::theInfo, "\"2024\"", "failed"},
        {&OpenData::theInfo, "'00'H", "failed"},
        {&Sample::integerListInfo, "{ }", "{\n}"},
        {&Sample::integerListInfo, "{1,2}", "{\n  1,\n  2\n}"},
        {&Sample::integerListInfo, "{1;2}", "failed"},
    };
    for (Case const& c : cases)
        EXPECT_EQ(c.read, read_as(c.info, c.text)) << c.text;

    BIT_STRING bits;
    ASSERT_TRUE(bits.setFromValueNotation("'101'B"));
    EXPECT_EQ(3u, bits.size());
    EXPECT_EQ("A0", asn1test::hex(bits.getData()));
}

TEST(AvnReading, ChoicesNeedASeparateColon)
{
    EXPECT_EQ("x : NULL", read_as(&Sample::XY::theInfo, "x : NULL"));
    EXPECT_EQ("y : -4", read_as(&Sample::XY::theInfo, " y :-4"));
    EXPECT_EQ("failed", read_as(&Sample::XY::theInfo, "x: NULL"));
    EXPECT_EQ("failed", read_as(&Sample::XY::theInfo, "z : NULL"));
    // Extension alternatives are read by name too.
    EXPECT_EQ("dtmfDone : NULL", read_as(&Sample::TonecCode::theInfo, "dtmfDone : NULL"));
}

TEST(AvnReading, UnknownEnumerationNameFails)
{
    Sample::StandbyCommand value;
    EXPECT_FALSE(value.setFromValueNotation("idle"));
    EXPECT_EQ(17, value.getValue());
}

TEST(AvnReading, ReadingReplacesWhatTheValueHeld)
{
    OCTET_STRING octets(asn1test::octets("01 02"));
    ASSERT_TRUE(octets.setFromValueNotation("'ff'H"));
    EXPECT_EQ("'ff'H", octets.asValueNotation());
    OBJECT_IDENTIFIER oid;
    oid.append(1);
    ASSERT_TRUE(oid.setFromValueNotation("{ 2 5 }"));
    EXPECT_EQ("{ 2 5 }", oid.asValueNotation());
    BIT_STRING bits;
    bits.resize(12);
    bits.set(11);
    ASSERT_TRUE(bits.setFromValueNotation("'1'B"));
    EXPECT_EQ("'1'B", bits.asValueNotation());
    Sample::IntegerList list(&Sample::integerListInfo);
    list.push_back(INTEGER(9));
    ASSERT_TRUE(list.setFromValueNotation("{ 3 }"));
    EXPECT_EQ("{\n  3\n}", list.asValueNotation());
}

TEST(AvnReading, StreamExtractionSetsTheState)
{
    std::istringstream in("{ a 5 } x : NULL  y : oops");
    SEQUENCE seq(&abcInfo);
    Sample::XY first, second;
    in >> seq >> first;
    EXPECT_TRUE(in.good());
    EXPECT_EQ("{\n  a 5\n}", seq.asValueNotation());
    in >> second;
    EXPECT_TRUE(in.fail());
    in >> first; // a failed stream is left alone
    EXPECT_EQ(Sample::XY::e_x, first.currentSelection());

    CoderEnv env(CoderEnv::avn);
    std::string text = "y : 12";
    Sample::XY decoded;
    EXPECT_TRUE(decode(text.data(), text.data() + text.size(), &env, decoded, true));
    EXPECT_EQ("y : 12", decoded.asValueNotation());
}

TEST(AvnReading, PrintedRandomValuesReadBackEqual)
{
    RandomValue::Filler filler(107);
    for (unsigned t = 0; t < Sample::allTypeCount; ++t) {
        for (unsigned round = 0; round < 60; ++round) {
            std::unique_ptr<AbstractData> value(create_from(Sample::allTypes[t].info));
            filler.fill(*value);
            std::string text = value->asValueNotation();
            std::unique_ptr<AbstractData> back(create_from(value->info()));
            ASSERT_TRUE(back->setFromValueNotation(text)) << Sample::allTypes[t].name << ":\n" << text;
            EXPECT_EQ(0, back->compare(*value)) << text << "\nread as\n" << back->asValueNotation();
        }
    }
}
