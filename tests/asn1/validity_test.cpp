// Constraint checks at both edges of every kind of bound, and the tracer's
// texts and paths.
#include <gtest/gtest.h>

#include <climits>
#include <memory>
#include <sstream>

#include "tests/asn1/octets.h"
#include "tests/asn1/sample_types.h"

using namespace ASN1;

namespace {

// "valid strict" flags and what the tracer says: "1 0| text".
std::string verdict(AbstractData const& value)
{
    std::ostringstream os;
    trace_invalid(os, "|", value);
    std::string trace = os.str();
    if (!trace.empty())
        trace.pop_back(); // the line end
    return std::string(value.isValid() ? "1" : "0") + (value.isStrictlyValid() ? " 1" : " 0") +
           (trace.empty() ? "|" : trace);
}

template <ConstraintType type, int lower, unsigned upper>
std::string integer(int v)
{
    return verdict(Constrained_INTEGER<type, lower, upper>(static_cast<unsigned>(v)));
}

const ConstrainedInfo octets2to4 = {{&OCTET_STRING::create, 4}, FixedConstraint, 2, 4};
const ConstrainedInfo octets2to4ext = {{&OCTET_STRING::create, 4}, ExtendableConstraint, 2, 4};
const ConstrainedInfo bits1to3 = {{&BIT_STRING::create, 3}, FixedConstraint, 1, 3};
const StringInfo printable1to8 = {{{&AbstractString::create, 19}, FixedConstraint, 1, 8},
                                  PrintableString::theInfo.characterSet, 74, 7, 7, 8};
const BMPStringInfo lowerCase = {{{&BMPString::create, 30}, Unconstrained, 0, NoUpperLimit}, 'a', 'z', 5, 8};
const SequenceOfInfo oneOrTwo = {{{&SEQUENCE_OF_Base::create, 16}, FixedConstraint, 1, 2}, &INTEGER::theInfo};

// SEQUENCE { port INTEGER (0..1023), note IA5String OPTIONAL }
typedef Constrained_INTEGER<FixedConstraint, 0, 1023> Port;
DataInfo const* const entryFields[] = {&Port::theInfo, &IA5String::theInfo};
unsigned const entryIds[] = {MandatoryField, 0};
char const* const entryNames[] = {"port", "note"};
const SequenceInfo entryInfo = {{&SEQUENCE::create, 16}, false, entryFields, entryIds, 2, 0, 1, nullptr, nullptr, entryNames};
// SEQUENCE { list SEQUENCE OF entry }
const SequenceOfInfo entryListInfo = {{{&SEQUENCE_OF_Base::create, 16}, Unconstrained, 0, NoUpperLimit}, &entryInfo};
DataInfo const* const tableFields[] = {&entryListInfo};
unsigned const tableIds[] = {MandatoryField};
char const* const tableNames[] = {"list"};
const SequenceInfo tableInfo = {{&SEQUENCE::create, 16}, false, tableFields, tableIds, 1, 0, 0, nullptr, nullptr, tableNames};

} // namespace

TEST(Validity, IntegerRanges)
{
    EXPECT_EQ("1 1|", verdict(INTEGER(INT_MIN)));
    EXPECT_EQ("1 1|", (integer<FixedConstraint, 0, 0xFFFFFFFFu>(-1)));
    EXPECT_EQ("1 1|", (integer<FixedConstraint, -10, 10>(-10)));
    EXPECT_EQ("1 1|", (integer<FixedConstraint, -10, 10>(10)));
    EXPECT_EQ("0 0| The INTEGER value -11 is smaller than lower bound -10", (integer<FixedConstraint, -10, 10>(-11)));
    EXPECT_EQ("0 0| The INTEGER value 11 is greater than upper bound 10", (integer<FixedConstraint, -10, 10>(11)));
    EXPECT_EQ("1 1|", (integer<FixedConstraint, 1, 21>(1)));
    EXPECT_EQ("0 0| The INTEGER value 0 is smaller than lower bound 1", (integer<FixedConstraint, 1, 21>(0)));
    // A lower bound of 0 or more reads the stored bits as unsigned.
    EXPECT_EQ("0 0| The INTEGER value 4294967295 is greater than upper bound 1023",
              (integer<FixedConstraint, 0, 1023>(-1)));
    // Beyond an extensible root: valid, though not strictly; below it the
    // tracer still speaks.
    EXPECT_EQ("1 1|", (integer<ExtendableConstraint, 5, 7>(7)));
    EXPECT_EQ("1 0|", (integer<ExtendableConstraint, 5, 7>(9)));
    EXPECT_EQ("1 0| The INTEGER value 3 is smaller than lower bound 5", (integer<ExtendableConstraint, 5, 7>(3)));
}

TEST(Validity, EnumerationsAreTheirNamedValues)
{
    auto standby = [](int v) { return verdict(ENUMERATED(v, &Sample::StandbyCommand::theInfo)); };
    EXPECT_EQ("1 1|", standby(0));
    EXPECT_EQ("1 1|", standby(16));
    EXPECT_EQ("0 0| This ENUMERATED has invalid value 3", standby(3));
    EXPECT_EQ("0 0| This ENUMERATED has invalid value 17", standby(17));
    EXPECT_EQ("0 0| This ENUMERATED has invalid value -1", standby(-1));
    auto cause = [](int v) { return verdict(ENUMERATED(v, &Sample::ErrorCause::theInfo)); };
    EXPECT_EQ("1 1|", cause(12));
    EXPECT_EQ("1 0| This ENUMERATED has invalid value 13", cause(13));
    EXPECT_EQ("0 0| This ENUMERATED has invalid value -1", cause(-1));
}

TEST(Validity, SizesAndCharacters)
{
    EXPECT_EQ("0 0| This OCTET STRING has size 1 smaller than its lower bound 2", verdict(OCTET_STRING(1, 'x', &octets2to4)));
    EXPECT_EQ("1 1|", verdict(OCTET_STRING(2, 'x', &octets2to4)));
    EXPECT_EQ("1 1|", verdict(OCTET_STRING(4, 'x', &octets2to4)));
    EXPECT_EQ("0 0| This OCTET STRING has size 5 greater than its upper bound 4", verdict(OCTET_STRING(5, 'x', &octets2to4)));
    EXPECT_EQ("1 0|", verdict(OCTET_STRING(5, 'x', &octets2to4ext)));
    EXPECT_EQ("0 0| This OCTET STRING has size 1 smaller than its lower bound 2",
              verdict(OCTET_STRING(1, 'x', &octets2to4ext)));

    BIT_STRING bits(&bits1to3);
    EXPECT_EQ("0 0| This BIT STRING has size 0 smaller than its lower bound 1", verdict(bits));
    bits.resize(3);
    EXPECT_EQ("1 1|", verdict(bits));
    bits.resize(4);
    EXPECT_EQ("0 0| This BIT STRING has size 4 greater than its upper bound 3", verdict(bits));

    EXPECT_EQ("0 0| This AbstractString has size 0 smaller than its lower bound 1",
              verdict(AbstractString(&printable1to8, "")));
    EXPECT_EQ("1 1|", verdict(AbstractString(&printable1to8, "Az 09:=?")));
    EXPECT_EQ("0 0| This AbstractString has size 9 greater than its upper bound 8",
              verdict(AbstractString(&printable1to8, "123456789")));
    EXPECT_EQ("0 0| The character '*' is not valid for the string", verdict(AbstractString(&printable1to8, "a*")));
    EXPECT_EQ("0 0| The character '\xC8' is not valid for the string", verdict(IA5String("ok\xC8")));

    EXPECT_EQ("1 1|", verdict(BMPString(L"az", &lowerCase)));
    EXPECT_EQ("0 0| The character '49' is not valid for the string", verdict(BMPString(L"a1", &lowerCase)));

    SEQUENCE_OF_Base list(&oneOrTwo);
    EXPECT_EQ("0 0| This SEQUENCE OF has size 0 smaller than its lower bound 1", verdict(list));
    list.resize(2);
    EXPECT_EQ("1 1|", verdict(list));
    list.resize(3);
    EXPECT_EQ("0 0| This SEQUENCE OF has size 3 greater than its upper bound 2", verdict(list));
}

TEST(Validity, OtherKinds)
{
    EXPECT_EQ("1 1|", verdict(Null()));
    EXPECT_EQ("0 0| This OBJECT IDENTIFIER is not assigned", verdict(OBJECT_IDENTIFIER()));
    OBJECT_IDENTIFIER beyond;
    beyond.append(3);
    beyond.append(5);
    EXPECT_EQ("0 0| This OBJECT IDENTIFIER cannot be encoded", verdict(beyond));
    EXPECT_EQ("1 1|", verdict(GeneralizedTime("20240229235959.999-1200")));
    EXPECT_EQ("0 0| This GeneralizedTime is not valid", verdict(GeneralizedTime(2024, 13, 1, 0, 0, 0, 0, 0, true)));
    EXPECT_EQ("0 0| This GeneralizedTime is not valid", verdict(GeneralizedTime(2024, 1, 1, 0, 0, 0, 0, 721, false)));

    OpenData open;
    EXPECT_EQ("0 0| This Open Type does not contain any valid data", verdict(open));
    open.set_buf(asn1test::octets("05 00"));
    EXPECT_EQ("1 1|", verdict(open));
    open.set_data(new OBJECT_IDENTIFIER);
    EXPECT_EQ("0 0| This OBJECT IDENTIFIER is not assigned", verdict(open));

    Sample::TonecCode code;
    EXPECT_EQ("0 0| This CHOICE is not selected", verdict(code));
    code.select(Sample::TonecCode::e_dtmfDone);
    EXPECT_EQ("1 0|", verdict(code)); // an extension alternative
    code.setSelection(CHOICE::unknownSelection, nullptr);
    EXPECT_EQ("0 0| This selection is not understood by this decoder", verdict(code));
    code.select(Sample::TonecCode::e_dtmf);
    static_cast<INTEGER&>(*code.getSelection()).setValue(128);
    EXPECT_EQ("0 0|.dtmf The INTEGER value 128 is greater than upper bound 127", verdict(code));
}

TEST(Validity, TracerPathsThroughFieldsAndElements)
{
    SEQUENCE table(&tableInfo);
    SEQUENCE_OF_Base& list = static_cast<SEQUENCE_OF_Base&>(*table.getField(0));
    list.resize(4);
    EXPECT_EQ("1 1|", verdict(table));
    static_cast<INTEGER&>(*static_cast<SEQUENCE&>(list.at(2)).getField(0)).setValue(2000);
    static_cast<INTEGER&>(*static_cast<SEQUENCE&>(list.at(3)).getField(0)).setValue(3000);
    EXPECT_EQ("0 0|.list[2].port The INTEGER value 2000 is greater than upper bound 1023", verdict(table));

    // An absent optional field is not looked at.
    SEQUENCE& entry = static_cast<SEQUENCE&>(list.at(0));
    entry.includeOptionalField(0, 1);
    static_cast<IA5String&>(*entry.getField(1)) = "\x80";
    EXPECT_EQ("0 0|.note The character '\x80' is not valid for the string", verdict(entry));
    entry.removeOptionalField(0);
    EXPECT_EQ("1 1|", verdict(entry));

    Sample::Message msg = Sample::ping(false);
    msg.set_slot(1024);
    std::ostringstream os;
    EXPECT_FALSE(trace_invalid(os, "message:", msg));
    EXPECT_EQ("message:.slot The INTEGER value 1024 is greater than upper bound 1023\n", os.str());
}
