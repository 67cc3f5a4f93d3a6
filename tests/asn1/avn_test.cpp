// Value notation printing.
#include <gtest/gtest.h>

#include <clocale>
#include <sstream>
#include <string>

#include "tests/asn1/octets.h"
#include "tests/asn1/sample_types.h"

using namespace ASN1;

namespace {

// A SEQUENCE of two optional INTEGER fields.
DataInfo const* const optionalFields[] = {&INTEGER::theInfo, &INTEGER::theInfo};
unsigned const optionalIds[] = {0, 1};
char const* const optionalNames[] = {"p", "q"};
SequenceInfo const allOptional = {
    {&SEQUENCE::create, 16}, false, optionalFields, optionalIds, 2, 0, 2, nullptr, nullptr, optionalNames};

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
    SEQUENCE nothing(&allOptional);
    EXPECT_EQ("{\n}", nothing.asValueNotation());
}

TEST(AvnPrinting, SimpleValues)
{
    EXPECT_EQ("NULL", Null().asValueNotation());
    EXPECT_EQ("TRUE", BOOLEAN(true).asValueNotation());
    EXPECT_EQ("-1", INTEGER(-1).asValueNotation());
    EXPECT_EQ("4294967295",
              (Constrained_INTEGER<FixedConstraint, 0, 0xFFFFFFFFu>(0xFFFFFFFFu)).asValueNotation());
    EXPECT_EQ("-5", (Constrained_INTEGER<FixedConstraint, -10, 10>(unsigned(-5))).asValueNotation());

    OBJECT_IDENTIFIER oid;
    EXPECT_EQ("{ }", oid.asValueNotation());
    oid.append(1);
    oid.append(3);
    oid.append(6);
    EXPECT_EQ("{ 1 3 6 }", oid.asValueNotation());

    BIT_STRING bits;
    EXPECT_EQ("''B", bits.asValueNotation());
    bits.resize(10);
    bits.set(0);
    bits.set(9);
    EXPECT_EQ("'1000000001'B", bits.asValueNotation());

    EXPECT_EQ("''H", OCTET_STRING().asValueNotation());
    EXPECT_EQ("'01 0a ff'H", OCTET_STRING(asn1test::octets("01 0A FF")).asValueNotation());
    EXPECT_EQ("\"a b\"", IA5String("a b").asValueNotation());
    EXPECT_EQ("\"20240102030405.500Z\"", GeneralizedTime("20240102030405.5Z").asValueNotation());
}

TEST(AvnPrinting, NamesOfEnumerationsAndNumbers)
{
    Sample::StandbyCommand standby;
    standby.setValue(8);
    EXPECT_EQ("standby", standby.asValueNotation());

    NamedNumber const names[] = {{0, "zero"}, {1, "one"}};
    EnumInfo const info = {{&ENUMERATED::create, 10}, false, 5, names, 2};
    EXPECT_EQ("4", ENUMERATED(4, &info).asValueNotation()); // allowed, but has no name
    EXPECT_EQ("-3", ENUMERATED(-3, &info).asValueNotation());
    EXPECT_EQ("one", ENUMERATED(1, &info).asValueNotation());

    IntegerWithNamedNumberInfo const numbered = {{{&IntegerWithNamedNumber::create, 2}, Unconstrained, 0, NoUpperLimit},
                                                 names, 2};
    EXPECT_EQ("one", IntegerWithNamedNumber(1, &numbered).asValueNotation());
    EXPECT_EQ("7", IntegerWithNamedNumber(7, &numbered).asValueNotation());
}

TEST(AvnPrinting, OctetStringsLeaveTheStreamDecimal)
{
    std::ostringstream os;
    os << OCTET_STRING(asn1test::octets("0B")) << ' ' << INTEGER(12);
    EXPECT_EQ("'0b'H 12", os.str());
}

TEST(AvnPrinting, UnselectedChoiceStopsThePrintAndFailsTheStream)
{
    Sample::Message msg;
    msg.set_seq(7);
    EXPECT_EQ("{\n  seq 7,\n  pdu ", msg.asValueNotation());

    std::ostringstream os;
    os << msg;
    EXPECT_TRUE(os.fail());
    os << INTEGER(1);
    EXPECT_EQ("{\n  seq 7,\n  pdu ", os.str());

    // A stream already failed is returned untouched.
    std::ostringstream failed;
    failed.setstate(std::ios_base::failbit);
    failed << INTEGER(5);
    EXPECT_EQ("", failed.str());

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
}

TEST(AvnPrinting, OpenTypes)
{
    OpenData open;
    std::ostringstream os;
    EXPECT_EQ(std::ios_base::failbit, open.print_on(os));
    EXPECT_EQ("", os.str());
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
