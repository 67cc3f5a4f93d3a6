// Value model: descriptors, comparison, cloning, presence maps, lists.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <typeinfo>

#include "tests/asn1/octets.h"
#include "tests/asn1/sample_types.h"

using namespace ASN1;
using asn1test::hex;

TEST(Asn1Values, OctetStringsCompareAsUnsignedBytes)
{
    EXPECT_LT(OCTET_STRING(std::vector<char>{'a', 'b'}).compare(OCTET_STRING(std::vector<char>{'a', 'b', 'c'})), 0);
    EXPECT_GT(OCTET_STRING(std::vector<char>{'a', 'b'}).compare(OCTET_STRING(std::vector<char>{'a', 'a'})), 0);
    EXPECT_EQ(0, OCTET_STRING().compare(OCTET_STRING()));
    // 0xFF sorts above 0x01 whatever the signedness of char.
    EXPECT_GT(OCTET_STRING(1, '\xFF').compare(OCTET_STRING(1, '\x01')), 0);
    EXPECT_GT(AbstractString(&IA5String::theInfo, "\xE9").compare(AbstractString(&IA5String::theInfo, "e")), 0);
}

TEST(Asn1Values, BitStringsCompareByMostSignificantDifference)
{
    BIT_STRING first, rest;
    first.resize(8);
    rest.resize(8);
    first.set(0);
    for (unsigned i = 1; i < 8; ++i)
        rest.set(i);
    EXPECT_GT(first.compare(rest), 0);
    EXPECT_LT(rest.compare(first), 0);

    BIT_STRING shorter, longer;
    shorter.resize(3);
    longer.resize(5);
    EXPECT_LT(shorter.compare(longer), 0);

    // Shrinking clears the dropped bits, so growing again shows zeros.
    rest.resize(2);
    rest.resize(8);
    EXPECT_EQ("40", hex(rest.getData()));
}

TEST(Asn1Values, ObjectIdentifierContents)
{
    struct Case {
        char const* octets;
        std::vector<unsigned> arcs;
    } const cases[] = {
        {"2A", {1, 2}}, {"51", {2, 1}}, {"27", {0, 39}}, {"2A 86 48", {1, 2, 840}},
        {"8F FF FF FF 7F", {2, 0xFFFFFFFFu - 80}},
    };
    for (Case const& c : cases) {
        std::vector<char> in = asn1test::octets(c.octets);
        OBJECT_IDENTIFIER oid;
        ASSERT_TRUE(oid.decodeCommon(in.data(), unsigned(in.size()))) << c.octets;
        EXPECT_EQ(c.arcs, oid.levels()) << c.octets;
        std::vector<char> out;
        oid.encodeCommon(out);
        EXPECT_EQ(c.octets, hex(out));
    }
    OBJECT_IDENTIFIER oid;
    char const unfinished = '\x81';
    EXPECT_FALSE(oid.decodeCommon(&unfinished, 1));
    EXPECT_FALSE(oid.decodeCommon(nullptr, 0));
    // A subidentifier beyond 32 bits is refused rather than wrapped.
    std::vector<char> huge = asn1test::octets("2A 9F FF FF FF 7F");
    EXPECT_FALSE(oid.decodeCommon(huge.data(), unsigned(huge.size())));
}

// The first two arcs share one subidentifier, so only first arcs 0..2, and
// second arcs below 40 under 0 and 1, come back as they went. Others are
// refused by every check and binary coder, and not read from text either.
TEST(Asn1Values, ObjectIdentifiersOnlyWithArcsThatTravel)
{
    struct Case {
        std::vector<unsigned> arcs;
        bool travels;
    } const cases[] = {
        {{}, false},        {{1}, false},       {{2}, false},          {{3, 5}, false},
        {{1, 45}, false},   {{19, 1}, false},   {{0, 40}, false},      {{1, 40, 7}, false},
        {{0, 39}, true},    {{1, 39, 7}, true}, {{2, 45}, true},       {{2, 681}, true},
        {{2, 0xFFFFFFFFu}, true},
    };
    int const rules[] = {CoderEnv::per_Aligned, CoderEnv::per_Unaligned, CoderEnv::ber};
    for (Case const& c : cases) {
        OBJECT_IDENTIFIER oid;
        for (unsigned arc : c.arcs)
            oid.append(arc);
        std::string text = oid.asValueNotation();
        EXPECT_EQ(c.travels, oid.isValid()) << text;
        EXPECT_EQ(c.travels, oid.isStrictlyValid()) << text;
        OBJECT_IDENTIFIER read;
        EXPECT_EQ(c.travels, read.setFromValueNotation(text)) << text;
        for (int rule : rules) {
            std::string octets = asn1test::encoded(oid, rule);
            EXPECT_EQ(c.travels, octets != "failed") << text << " in rule " << rule;
            if (c.travels) {
                EXPECT_TRUE(asn1test::codes_as(oid, octets, rule)) << text << " in rule " << rule;
            }
        }
    }
}

TEST(Asn1Values, GeneralizedTimeText)
{
    EXPECT_EQ("20240102030405.500Z", GeneralizedTime("20240102030405.5Z").get());
    // Decimal fractions are exact.
    EXPECT_EQ(700, GeneralizedTime("20240102030405.7").getMillisecond());
    EXPECT_EQ(123, GeneralizedTime("20240102030405.123456").getMillisecond());

    GeneralizedTime east("19991231235959+0130");
    EXPECT_EQ(90, east.getOffset());
    EXPECT_EQ("19991231235959+0130", east.get());
    GeneralizedTime west("19991231235959-0030");
    EXPECT_EQ(-30, west.getOffset());
    EXPECT_EQ("19991231235959-0030", west.get());

    // Short or malformed text is refused and leaves the value alone.
    for (char const* bad : {"", "2024", "2024010203040", "20240102030405.", "20240102030405+01", "2024010203040Z5",
                            "20240102030405Zjunk"}) {
        GeneralizedTime v(2000, 1, 1, 0, 0, 0, 0, 0, false);
        EXPECT_FALSE(v.set(bad)) << bad;
        EXPECT_EQ("20000101000000", v.get()) << bad;
    }
}

TEST(Asn1Values, GeneralizedTimeEpochRoundTripIgnoresLocalZone)
{
    char const* old = std::getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "EST5EDT", 1);
    tzset();
    GeneralizedTime t;
    long const when = 1700000000; // 2023-11-14 22:13:20 UTC
    t.set_time_t(when);
    EXPECT_EQ("20231114221320Z", t.get());
    EXPECT_EQ(when, t.get_time_t());
    // A stated offset counts; a time without zone is local time.
    EXPECT_EQ(when, GeneralizedTime("20231114231320+0100").get_time_t());
    EXPECT_EQ(when, GeneralizedTime("20231114171320").get_time_t());
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST(Asn1Values, EnumerationNamesFollowValuesWithGaps)
{
    Sample::StandbyCommand cmd;
    cmd.setValue(Sample::StandbyCommand::standby);
    EXPECT_STREQ("standby", cmd.getName());
    cmd.setValue(16);
    EXPECT_STREQ("active", cmd.getName());
    cmd.setValue(1);
    EXPECT_EQ(nullptr, cmd.getName());

    EXPECT_TRUE(cmd.setFromName("standby"));
    EXPECT_EQ(8, cmd.getValue());
    EXPECT_FALSE(cmd.setFromName("sleep"));
    EXPECT_EQ(17, cmd.getValue());

    // Two names sharing a value: the first in the table names it.
    NamedNumber const shared[] = {{0, "rtx1"}, {1, "rr1"}, {11, "mux"}, {0, "min"}};
    EnumInfo const info = {{&ENUMERATED::create, 10}, true, 255, shared, 4};
    ENUMERATED gain(0, &info);
    EXPECT_STREQ("rtx1", gain.getName());
    gain.setValue(11);
    EXPECT_STREQ("mux", gain.getName());
    EXPECT_TRUE(gain.setFromName("min"));
    EXPECT_EQ(0, gain.getValue());

    IntegerWithNamedNumberInfo const numbered = {{{&IntegerWithNamedNumber::create, 2}, Unconstrained, 0, NoUpperLimit},
                                                 shared + 1, 2};
    IntegerWithNamedNumber n(11, &numbered);
    std::string name;
    EXPECT_TRUE(n.getName(name));
    EXPECT_EQ("mux", name);
    EXPECT_TRUE(n.setFromName("rr1"));
    EXPECT_EQ(1, n.getValue());
}

TEST(Asn1Values, ClonesAndCopiesKeepTheMostDerivedClass)
{
    Sample::Message msg;
    msg.set_slot(5);
    msg.get_pdu().select_command().select(Sample::Command::e_trunkCfg);

    std::unique_ptr<AbstractData> copy(msg.clone());
    ASSERT_EQ(typeid(Sample::Message), typeid(*copy));
    Sample::Message& again = static_cast<Sample::Message&>(*copy);
    EXPECT_EQ(0, again.compare(msg));
    EXPECT_EQ(typeid(Sample::SlotNumber), typeid(*again.getField(1)));
    EXPECT_EQ(typeid(Sample::Command), typeid(*again.get_pdu().getSelection()));
    EXPECT_EQ(typeid(Sample::TrunkCfg),
              typeid(*Sample::selection_as<Sample::Command>(again.get_pdu()).getSelection()));
}

TEST(Asn1Values, PresenceMaps)
{
    // A new SEQUENCE holds its mandatory fields only.
    Sample::Message msg;
    EXPECT_EQ(nullptr, msg.getField(0));
    ASSERT_NE(nullptr, msg.getField(2));
    EXPECT_EQ(CHOICE::unselected, msg.get_pdu().currentSelection());
    msg.includeOptionalField(1, 1);
    EXPECT_NE(nullptr, msg.getField(1));
    EXPECT_TRUE(msg.hasOptionalField(1));
    EXPECT_FALSE(msg.hasOptionalField(0));

    Sample::Extended ext;
    ext.includeOptionalField(Sample::Extended::e_e, Sample::Extended::f_e);
    EXPECT_EQ(2u, ext.extensionMap().size());
    EXPECT_TRUE(ext.hasOptionalField(Sample::Extended::e_e));
    EXPECT_FALSE(ext.hasOptionalField(Sample::Extended::e_d));
    // Ids beyond both maps change nothing and read as absent.
    ext.removeOptionalField(40);
    ext.includeOptionalField(40, 40);
    EXPECT_EQ(2u, ext.extensionMap().size());
    EXPECT_FALSE(ext.hasOptionalField(40));
    ext.removeOptionalField(Sample::Extended::e_e);
    EXPECT_FALSE(ext.hasOptionalField(Sample::Extended::e_e));
}

TEST(Asn1Values, SequencesCompareFieldByFieldWithPresenceFirst)
{
    Sample::Message a, b;
    EXPECT_EQ(0, a.compare(b));
    a.set_seq(1);
    EXPECT_GT(a.compare(b), 0);
    b.set_seq(2);
    EXPECT_LT(a.compare(b), 0);
    a.removeOptionalField(0);
    b.removeOptionalField(0);
    EXPECT_EQ(0, a.compare(b));

    // Differing first additions decide even when the later ones agree.
    Sample::Extended x, y;
    x.includeOptionalField(Sample::Extended::e_d, Sample::Extended::f_d);
    y.includeOptionalField(Sample::Extended::e_d, Sample::Extended::f_d);
    static_cast<INTEGER&>(*x.getField(Sample::Extended::f_d)).setValue(1);
    static_cast<INTEGER&>(*y.getField(Sample::Extended::f_d)).setValue(2);
    x.includeOptionalField(Sample::Extended::e_e, Sample::Extended::f_e);
    y.includeOptionalField(Sample::Extended::e_e, Sample::Extended::f_e);
    EXPECT_NE(0, x.compare(y));
}

TEST(Asn1Values, ChoiceSelection)
{
    Sample::TonecCode code;
    EXPECT_TRUE(code.select(Sample::TonecCode::e_dtmfDone));
    EXPECT_EQ(typeid(Null), typeid(*code.getSelection()));
    code.setSelection(7, nullptr);
    EXPECT_FALSE(code.createSelection());
    EXPECT_EQ(CHOICE::unknownSelection, code.currentSelection());
    EXPECT_EQ(nullptr, code.getSelection());

    Sample::TonecCode dtmf;
    dtmf.select(Sample::TonecCode::e_dtmf);
    Sample::selection_as<Sample::DtmfDigit>(dtmf) = 5u;
    Sample::TonecCode copy(dtmf);
    EXPECT_EQ(0, copy.compare(dtmf));
    copy = code;
    EXPECT_EQ(CHOICE::unknownSelection, copy.currentSelection());
    EXPECT_NE(0, copy.compare(dtmf));
}

TEST(Asn1Values, ListsOwnTheirElements)
{
    Sample::IntegerList two(&Sample::integerListInfo), five(&Sample::integerListInfo);
    two.push_back(INTEGER(1));
    two.push_back(INTEGER(2));
    for (int i = 0; i < 5; ++i)
        five.push_back(INTEGER(10 + i));
    five = two;
    ASSERT_EQ(2u, five.size());
    EXPECT_EQ(2, five[1].getValue());
    EXPECT_EQ(0, five.compare(two));

    five.insert(five.SEQUENCE_OF_Base::begin(), 2, INTEGER(-1));
    EXPECT_EQ(4u, five.size());
    Sample::IntegerList::iterator next = five.erase(five.begin());
    EXPECT_EQ(-1, next->getValue());
    EXPECT_EQ(3u, five.size());
    five.resize(0);
    EXPECT_TRUE(five.empty());
}

TEST(Asn1Values, OpenDataComparesValuesThenOctets)
{
    OpenData empty, withValue, withOctets;
    withValue.set_data(new INTEGER(3));
    withOctets.set_buf(std::vector<char>{1, 2});
    EXPECT_EQ(0, empty.compare(OpenData()));
    EXPECT_GT(withValue.compare(withOctets), 0);
    EXPECT_LT(withOctets.compare(withValue), 0);
    OpenData copy(withOctets);
    EXPECT_EQ(0, copy.compare(withOctets));

    TypeConstrainedOpenInfo const info = {{&TypeConstrainedOpenData::create, 0}, &BOOLEAN::theInfo};
    TypeConstrainedOpenData typed(&info);
    ASSERT_TRUE(typed.has_data());
    EXPECT_EQ(typeid(BOOLEAN), typeid(*typed.get_data()));
    std::unique_ptr<AbstractData> clone(typed.clone());
    EXPECT_EQ(typeid(TypeConstrainedOpenData), typeid(*clone));
}

TEST(Asn1Values, FreedValuesAreReusedWithoutTheHeap)
{
    AbstractData* a = new INTEGER(1);
    void* where = a;
    std::size_t held = detail::Allocator<INTEGER>::pool().held();
    delete a;
    EXPECT_EQ(held + 1, detail::Allocator<INTEGER>::pool().held());
    INTEGER* b = new INTEGER(2);
    EXPECT_EQ(where, static_cast<void*>(b));
    EXPECT_EQ(held, detail::Allocator<INTEGER>::pool().held());
    EXPECT_EQ(2, b->getValue());
    delete b;

    // A class that adds fields is too big for its base's blocks.
    struct Bigger : INTEGER {
        Bigger() : INTEGER(0) {}
        char extra[64];
    };
    AbstractData* big = new Bigger;
    held = detail::Allocator<INTEGER>::pool().held();
    delete big;
    EXPECT_EQ(held, detail::Allocator<INTEGER>::pool().held());
}
