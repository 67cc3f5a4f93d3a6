// Value notation: the printer's layout and stream states, and the reader's
// grammar edge cases.
#include <gtest/gtest.h>

#include <clocale>
#include <memory>
#include <sstream>
#include <string>

#include "tests/asn1/octets.h"
#include "tests/asn1/sample_types.h"

using namespace ASN1;

namespace {

// SEQUENCE { a INTEGER, b INTEGER OPTIONAL, c INTEGER OPTIONAL }
DataInfo const* const abcFields[] = {&INTEGER::theInfo, &INTEGER::theInfo, &INTEGER::theInfo};
unsigned const abcIds[] = {MandatoryField, 0, 1};
char const* const abcNames[] = {"a", "b", "c"};
SequenceInfo const abcInfo = {{&SEQUENCE::create, 16}, false, abcFields, abcIds, 3, 0, 2, nullptr, nullptr, abcNames};
// The same without the mandatory field.
SequenceInfo const bcInfo = {{&SEQUENCE::create, 16}, false, abcFields + 1, abcIds + 1, 2, 0, 2, nullptr, nullptr,
                             abcNames + 1};

// The value's text after reading text into a fresh value, or "failed".
std::string read_as(DataInfo const* info, std::string const& text)
{
    std::unique_ptr<AbstractData> value(create_from(info));
    if (!value->setFromValueNotation(text))
        return "failed";
    return value->asValueNotation();
}

// Switches LC_CTYPE for one test.
class ScopedCtype {
public:
    explicit ScopedCtype(char const* name) : mOld(std::setlocale(LC_CTYPE, nullptr))
    {
        mOk = std::setlocale(LC_CTYPE, name) != nullptr;
    }
    ~ScopedCtype() { std::setlocale(LC_CTYPE, mOld.c_str()); }
    bool ok() const { return mOk; }

private:
    std::string mOld;
    bool mOk;
};

} // namespace

TEST(AvnPrinting, NestedValuesIndentByTwo)
{
    Sample::Example example;
    example.get_a().setValue(5);
    example.get_b().push_back(INTEGER(1));
    example.get_b().push_back(INTEGER(2));
    example.get_c().select(Sample::XY::e_x);
    EXPECT_EQ("{\n"
              "  a 5,\n"
              "  b {\n"
              "    1,\n"
              "    2\n"
              "  },\n"
              "  c x : NULL\n"
              "}",
              example.asValueNotation());

    Sample::Message msg;
    msg.set_seq(1);
    Sample::Command& command = msg.get_pdu().select_command();
    command.select(Sample::Command::e_trunkCfg);
    Sample::TrunkCfg& cfg = Sample::selection_as<Sample::TrunkCfg>(command);
    cfg.get_trunk().setValue(3);
    cfg.get_mode().setValue(1);
    EXPECT_EQ("{\n"
              "  seq 1,\n"
              "  pdu command : trunkCfg : {\n"
              "    trunk 3,\n"
              "    mode master\n"
              "  }\n"
              "}",
              msg.asValueNotation());

    Sample::IntegerList empty(&Sample::integerListInfo);
    EXPECT_EQ("{\n}", empty.asValueNotation());
    SEQUENCE nothing(&bcInfo);
    EXPECT_EQ("{\n}", nothing.asValueNotation());
}

TEST(AvnPrinting, NamesOfEnumerationsAndNumbers)
{
    NamedNumber const names[] = {{0, "zero"}, {1, "one"}};
    EnumInfo const info = {{&ENUMERATED::create, 10}, false, 5, names, 2};
    EXPECT_EQ("4", ENUMERATED(4, &info).asValueNotation()); // allowed, but has no name
    EXPECT_EQ("-3", ENUMERATED(-3, &info).asValueNotation());
    EXPECT_EQ("one", ENUMERATED(1, &info).asValueNotation());

    IntegerWithNamedNumberInfo const numbered = {{{&IntegerWithNamedNumber::create, 2}, Unconstrained, 0, NoUpperLimit},
                                                 names, 2};
    EXPECT_EQ("one", IntegerWithNamedNumber(1, &numbered).asValueNotation());
    EXPECT_EQ("7", IntegerWithNamedNumber(7, &numbered).asValueNotation());
    EXPECT_EQ("-5", (Constrained_INTEGER<FixedConstraint, -10, 10>(unsigned(-5))).asValueNotation());
}

TEST(AvnPrinting, StreamStates)
{
    std::ostringstream decimal;
    decimal << OCTET_STRING(asn1test::octets("0B")) << ' ' << INTEGER(12);
    EXPECT_EQ("'0b'H 12", decimal.str());

    // An unselected CHOICE stops the print after the field's name and fails
    // the stream; later insertions print nothing.
    Sample::Message msg;
    msg.set_seq(7);
    EXPECT_EQ("{\n  seq 7,\n  pdu ", msg.asValueNotation());
    std::ostringstream os;
    os << msg;
    EXPECT_TRUE(os.fail());
    os << INTEGER(1);
    EXPECT_EQ("{\n  seq 7,\n  pdu ", os.str());

    // With failbit in the exception mask the failure is thrown.
    std::ostringstream throwing;
    throwing.exceptions(std::ios_base::failbit);
    EXPECT_THROW(throwing << msg, std::ios_base::failure);
    std::ostringstream badOnly;
    badOnly.exceptions(std::ios_base::badbit);
    EXPECT_NO_THROW(badOnly << msg);
    EXPECT_TRUE(badOnly.fail());

    // Rule 0 of the coder writes nothing on failure.
    CoderEnv env(CoderEnv::avn);
    std::string out = "kept";
    EXPECT_FALSE(env.encodeAVN(msg, std::back_inserter(out)));
    EXPECT_EQ("kept", out);

    OpenData open;
    std::ostringstream none;
    EXPECT_EQ(std::ios_base::failbit, open.print_on(none));
    open.set_buf(asn1test::octets("01 02"));
    EXPECT_EQ("'01 02'H", open.asValueNotation());
    open.set_data(new BOOLEAN(false));
    EXPECT_EQ("FALSE", open.asValueNotation());
}

TEST(AvnPrinting, WideStringsInTheLocaleOrAsQuadruples)
{
    BMPString text(L"A\u4E2D");
    {
        ScopedCtype ascii("C");
        EXPECT_EQ("\"AB\"", BMPString(L"AB").asValueNotation());
        EXPECT_EQ("{{ 0, 0, 0, 65}, { 0, 0, 78, 45}}", text.asValueNotation());
    }
    ScopedCtype utf8("C.UTF-8");
    if (!utf8.ok())
        GTEST_SKIP() << "no C.UTF-8 locale";
    // Three bytes for one character: the whole text, terminated.
    EXPECT_EQ("\"A\xE4\xB8\xAD\"", text.asValueNotation());
}

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

TEST(AvnReading, SimpleValuesReadAndPrintedAgain)
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
        {&INTEGER64::theInfo, "-9223372036854775808", "-9223372036854775808"},
        {&INTEGER64::theInfo, "9223372036854775808", "failed"},
        {&Big::theInfo, "4294967295", "4294967295"},
        {&Big::theInfo, "-1", "failed"},
        {&Sample::StandbyCommand::theInfo, "standby", "standby"},
        {&Sample::StandbyCommand::theInfo, "8", "failed"},
        {&Sample::StandbyCommand::theInfo, "idle", "failed"},
        {&OBJECT_IDENTIFIER::theInfo, "{ iso(1) 2 840 }", "{ 1 2 840 }"},
        {&OBJECT_IDENTIFIER::theInfo, "{ }", "failed"},
        {&OBJECT_IDENTIFIER::theInfo, "{ 1 x }", "failed"},
        {&OBJECT_IDENTIFIER::theInfo, "{ 1 4294967296 }", "failed"},
        {&OBJECT_IDENTIFIER::theInfo, "{ 1 2", "failed"},
        {&OCTET_STRING::theInfo, "'01 0a FF'H", "'01 0a ff'H"},
        {&OCTET_STRING::theInfo, "''H", "''H"},
        {&OCTET_STRING::theInfo, "'ABC'H", "'ab c0'H"},
        {&OCTET_STRING::theInfo, "'1g'H", "failed"},
        {&OCTET_STRING::theInfo, "'0x'H", "failed"},
        {&OCTET_STRING::theInfo, "'01'X", "failed"},
        {&OCTET_STRING::theInfo, "'01", "failed"},
        {&BIT_STRING::theInfo, "'1000000001'B", "'1000000001'B"},
        {&BIT_STRING::theInfo, "''B", "''B"},
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
        // Choices need a colon of its own; extension alternatives read by name.
        {&Sample::XY::theInfo, "x : NULL", "x : NULL"},
        {&Sample::XY::theInfo, " y :-4", "y : -4"},
        {&Sample::XY::theInfo, "x: NULL", "failed"},
        {&Sample::XY::theInfo, "z : NULL", "failed"},
        {&Sample::TonecCode::theInfo, "dtmfDone : NULL", "dtmfDone : NULL"},
    };
    for (Case const& c : cases)
        EXPECT_EQ(c.read, read_as(c.info, c.text)) << c.text;

    BIT_STRING bits;
    ASSERT_TRUE(bits.setFromValueNotation("'101'B"));
    EXPECT_EQ(3u, bits.size());
    EXPECT_EQ("A0", asn1test::hex(bits.getData()));
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
