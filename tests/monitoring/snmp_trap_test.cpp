// The trap encoder: exact BER of every value form at its size edges, the
// message frame with its back-patched lengths, the buffer limit, the call
// order, the session's community and request id, OID text and uptime.
#include <gtest/gtest.h>

#include <time.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "monitoring/snmp_trap.h"

using namespace SnmpTrap;

namespace {

std::string hex(const uint8_t* p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof(b), i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

// The bytes one builder call wrote, or "fail".
template <class Build>
std::string built(Build build, uint32_t room = 64)
{
    uint8_t buf[64] = {};
    uint32_t remaining = room;
    uint8_t* end = build(buf, &remaining);
    if (!end)
        return "fail";
    EXPECT_EQ(remaining, room - static_cast<uint32_t>(end - buf));
    return hex(buf, static_cast<size_t>(end - buf));
}

std::string objid(std::vector<uint32_t> arcs)
{
    return built([&](uint8_t* p, uint32_t* r) {
        return asn_build_objid(p, r, ASN_OBJECT_ID, arcs.data(), static_cast<uint32_t>(arcs.size()));
    });
}

struct Session : TrapSession {
    explicit Session(const TrapParameters* params = nullptr)
    {
        trap_init(this, params);
        EXPECT_EQ(trap_pack_begin(this), 0);
    }
    // The bytes of the last binding written, from its OID on.
    std::string lastValue() const { return hex(mark, static_cast<size_t>(write - mark)); }
    int add(uint8_t type, const void* value, uint32_t length)
    {
        static const uint32_t oid[] = {1, 3};
        mark = write ? write + 4 + 3 : nullptr;
        return trap_pack_add(this, oid, 2, type, value, length);
    }
    uint8_t* mark = nullptr;
};

} // namespace

// INTEGER drops redundant sign bytes; the unsigned types never read as
// negative, so a set top bit takes a leading zero.
TEST(TrapEncoder, NumbersTakeTheShortestTwosComplementForm)
{
    const struct {
        uint8_t type;
        uint32_t value;
        const char* bytes;
    } cases[] = {
        {ASN_INTEGER, 0, "02 01 00"},           {ASN_INTEGER, 127, "02 01 7F"},
        {ASN_INTEGER, 128, "02 02 00 80"},      {ASN_INTEGER, uint32_t(-1), "02 01 FF"},
        {ASN_INTEGER, uint32_t(-128), "02 01 80"}, {ASN_INTEGER, uint32_t(-129), "02 02 FF 7F"},
        {ASN_INTEGER, 32768, "02 03 00 80 00"}, {ASN_INTEGER, uint32_t(-0x800001), "02 04 FF 7F FF FF"},
        {ASN_INTEGER, 0x7FFFFFFF, "02 04 7F FF FF FF"}, {ASN_INTEGER, 0x80000000, "02 04 80 00 00 00"},
        {ASN_COUNTER, 128, "41 02 00 80"},      {ASN_COUNTER, 0xFFFF, "41 03 00 FF FF"},
        {ASN_COUNTER, 0x7FFFFFFF, "41 04 7F FF FF FF"}, {ASN_COUNTER, 0xFFFFFFFF, "41 05 00 FF FF FF FF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(built([&](uint8_t* p, uint32_t* r) {
                      return c.type == ASN_INTEGER ? asn_build_int(p, r, c.type, static_cast<int32_t>(c.value))
                                                   : asn_build_unsigned_int(p, r, c.type, c.value);
                  }),
                  c.bytes)
            << c.value;
    EXPECT_EQ(built([](uint8_t* p, uint32_t* r) { return asn_build_int(p, r, ASN_INTEGER, 128); }, 3), "fail");
    EXPECT_EQ(built([](uint8_t* p, uint32_t* r) { return asn_build_unsigned_int(p, r, 0x41, 0xFFFFFFFF); }, 6),
              "fail");
}

TEST(TrapEncoder, LengthsTakeOneTwoOrThreeBytesAndTheirWholeRoom)
{
    const struct {
        uint32_t length;
        uint32_t room;
        const char* bytes;
    } cases[] = {
        {0, 1, "00"},          {127, 1, "7F"},        {128, 2, "81 80"},       {255, 2, "81 FF"},
        {256, 3, "82 01 00"},  {65535, 3, "82 FF FF"}, {128, 1, "fail"},        {256, 2, "fail"},
        {0, 0, "fail"},        {65536, 64, "fail"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(built([&](uint8_t* p, uint32_t* r) { return asn_build_length(p, r, c.length); }, c.room),
                  c.bytes)
            << c.length << " in " << c.room;
    EXPECT_EQ(built([](uint8_t* p, uint32_t* r) { return asn_build_sequence(p, r, 0x30, 5); }), "30 82 00 05");
    EXPECT_EQ(built([](uint8_t* p, uint32_t* r) { return asn_build_null(p, r, ASN_NULL); }), "05 00");
    uint32_t room = 8;
    EXPECT_TRUE(_asn_build_header_check(nullptr, &room, 0));
    EXPECT_EQ(asn_build_length(nullptr, &room, 1), nullptr);
}

TEST(TrapEncoder, SubidentifiersAreBase128AtEveryGroupEdge)
{
    const struct {
        uint32_t arc;
        const char* bytes;
    } cases[] = {
        {0x7F, "7F"},         {0x80, "81 00"},          {0x3FFF, "FF 7F"},
        {0x4000, "81 80 00"}, {0x1FFFFF, "FF FF 7F"},    {0x200000, "81 80 80 00"},
        {0x10000000, "81 80 80 80 00"},                  {0xFFFFFFFF, "8F FF FF FF 7F"},
    };
    for (const auto& c : cases) {
        std::string bytes = objid({1, 3, c.arc});
        ASSERT_GT(bytes.size(), 9u);
        EXPECT_EQ(bytes.substr(9), c.bytes) << c.arc;
    }
    EXPECT_EQ(objid({1, 3, 6, 1}), "06 03 2B 06 01");
    EXPECT_EQ(objid({1, 3, 200}), "06 03 2B 81 48");
}

TEST(TrapEncoder, TheFirstTwoArcsShareOneSubidentifierWithinTheirLimits)
{
    const struct {
        std::vector<uint32_t> arcs;
        const char* bytes;
    } cases[] = {
        {{}, "06 01 00"},
        {{2}, "06 01 50"},
        {{0, 39}, "06 01 27"},
        {{1, 39}, "06 01 4F"},
        {{0, 40}, "fail"},
        {{1, 40}, "fail"},
        {{2, 40}, "06 01 78"},
        {{3}, "fail"},
        {{3, 0}, "fail"},
        {{2, 4294967215u}, "06 05 8F FF FF FF 7F"},
        {{2, 4294967216u}, "fail"}, // 80 + Y would wrap
    };
    for (const auto& c : cases)
        EXPECT_EQ(objid(c.arcs), c.bytes) << c.arcs.size();

    std::vector<uint32_t> longest(max_oid_arcs, 1);
    uint8_t buf[256];
    uint32_t room = sizeof(buf);
    EXPECT_NE(asn_build_objid(buf, &room, ASN_OBJECT_ID, longest.data(), max_oid_arcs), nullptr);
    longest.push_back(1);
    room = sizeof(buf);
    EXPECT_EQ(asn_build_objid(buf, &room, ASN_OBJECT_ID, longest.data(), max_oid_arcs + 1), nullptr);
}

TEST(TrapEncoder, AMessageWithoutBindingsIsCompleteWithEveryLengthPatched)
{
    TrapSession s;
    EXPECT_EQ(snmp_session_seed(&s, 0), 0);
    EXPECT_EQ(trap_init(&s, nullptr), 0);
    EXPECT_EQ(s.request_id, 991873u);
    ASSERT_EQ(trap_pack_begin(&s), 0);
    ASSERT_EQ(trap_pack_end(&s), 0);
    EXPECT_EQ(hex(s.buffer, s.length), "30 82 00 1E 02 01 01 04 06 77 61 62 6E 69 6C "
                                       "A7 82 00 0F 02 03 0F 22 81 02 01 00 02 01 00 30 82 00 00");
    EXPECT_EQ(s.state, TrapSession::finished);
}

TEST(TrapEncoder, BindingsAreSequencesWithTheLongLengthFormAndPatchTheOuterLengths)
{
    Session s;
    const uint32_t oid[] = {1, 3, 6, 1};
    int32_t v = -1;
    ASSERT_EQ(trap_pack_add(&s, oid, 4, ASN_INTEGER, &v, 4), 0);
    ASSERT_EQ(trap_pack_add(&s, oid, 4, ASN_NULL, nullptr, 0), 0);
    ASSERT_EQ(trap_pack_end(&s), 0);
    ASSERT_EQ(s.length, 34u + 12 + 11);
    EXPECT_EQ(hex(s.buffer + 30, 27), "30 82 00 17 30 82 00 08 06 03 2B 06 01 02 01 FF "
                                      "30 82 00 07 06 03 2B 06 01 05 00");
    EXPECT_EQ(hex(s.buffer, 4), "30 82 00 35");
    EXPECT_EQ(hex(s.buffer + 15, 4), "A7 82 00 26");
    EXPECT_EQ(s.state, TrapSession::finished);
}

TEST(TrapEncoder, EachValueTypeIsEncodedByItsTagAndBadValuesFail)
{
    const uint32_t counter = 0x00FFFF80;
    const uint8_t ip[] = {127, 0, 0, 1};
    const uint32_t arcs[] = {1, 3, 6};
    const struct {
        uint8_t type;
        const void* value;
        uint32_t length;
        const char* bytes;
    } cases[] = {
        {ASN_OCTET_STR, "ab", 2, "04 02 61 62"},
        {ASN_OCTET_STR, nullptr, 3, "04 03 00 00 00"},
        {ASN_BIT_STR, "\x00\xA0", 2, "03 02 00 A0"},
        {ASN_BIT_STR, "", 0, "fail"},
        {ASN_NULL, nullptr, 0, "05 00"},
        {ASN_OBJECT_ID, arcs, 12, "06 02 2B 06"},
        {ASN_OBJECT_ID, arcs, 6, "fail"},
        {ASN_IPADDRESS, ip, 4, "40 04 7F 00 00 01"},
        {ASN_COUNTER, &counter, 4, "41 04 00 FF FF 80"},
        {ASN_GAUGE, &counter, 4, "42 04 00 FF FF 80"},
        {ASN_TIMETICKS, &counter, 4, "43 04 00 FF FF 80"},
        {ASN_UINTEGER, &counter, 4, "47 04 00 FF FF 80"},
        {ASN_OPAQUE, "x", 1, "44 01 78"},
        {ASN_NSAP, "x", 1, "45 01 78"},
        {ASN_INTEGER, &counter, 2, "fail"},
        {ASN_COUNTER, &counter, 2, "fail"}, // would read past a 2-byte value
        {ASN_GAUGE, &counter, 8, "fail"},
        {ASN_TIMETICKS, nullptr, 4, "fail"},
        {0x46, "x", 1, "fail"},
        {0x30, "x", 1, "fail"},
    };
    for (const auto& c : cases) {
        Session s;
        int rc = s.add(c.type, c.value, c.length);
        EXPECT_EQ(rc == 0 ? s.lastValue() : "fail", c.bytes) << std::hex << int(c.type);
    }
}

TEST(TrapEncoder, ABindingFillsTheBufferExactlyAndOneByteMoreFailsForGood)
{
    // 34 bytes of frame; a binding of 4 + 3 (OID 1.3) + 4 + n bytes.
    std::vector<uint8_t> text(2004, 'z');
    Session fits;
    ASSERT_EQ(fits.add(ASN_OCTET_STR, text.data(), 2003), 0);
    EXPECT_EQ(fits.remaining, 0u);
    ASSERT_EQ(trap_pack_end(&fits), 0);
    EXPECT_EQ(fits.length, buffer_size);
    EXPECT_EQ(hex(fits.buffer, 4), "30 82 07 FC");

    Session over;
    EXPECT_EQ(over.add(ASN_OCTET_STR, text.data(), 2004), -1);
    EXPECT_EQ(over.add(ASN_NULL, nullptr, 0), -1);
    EXPECT_EQ(trap_pack_end(&over), -1);
}

TEST(TrapEncoder, CallsOutOfOrderAreRefused)
{
    TrapSession s;
    trap_init(&s, nullptr);
    const uint32_t oid[] = {1, 3};
    EXPECT_EQ(trap_pack_add(&s, oid, 2, ASN_NULL, nullptr, 0), -1);
    EXPECT_EQ(trap_pack_end(&s), -1);
    EXPECT_EQ(trap_pack_begin(&s), 0);
    EXPECT_EQ(trap_pack_begin(&s), -1);
    EXPECT_EQ(trap_pack_end(&s), 0);
    EXPECT_EQ(trap_pack_end(&s), -1);
    EXPECT_EQ(trap_pack_add(&s, oid, 2, ASN_NULL, nullptr, 0), -1);
    EXPECT_EQ(trap_pack_begin(&s), -1);
    EXPECT_EQ(trap_pack_begin(nullptr), -1);
    EXPECT_EQ(trap_init(nullptr, nullptr), 0);
    // A fresh init starts a new message with the next request id.
    uint32_t previous = s.request_id;
    trap_init(&s, nullptr);
    EXPECT_NE(s.request_id, previous);
    EXPECT_EQ(s.request_id & 0x80000001u, 1u);
    EXPECT_EQ(trap_pack_begin(&s), 0);
}

TEST(TrapEncoder, ACommunityFillingAllItsBytesIsNotReadBeyond)
{
    TrapParameters params;
    std::memset(params.community, 'c', community_size);
    params.word = 0x4141;
    params.byte = 0x41;
    Session s(&params);
    EXPECT_EQ(s.param_word, 0x4141);
    EXPECT_EQ(hex(s.buffer + 7, 2), "04 1C");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(s.buffer + 9), 28), std::string(28, 'c'));
    EXPECT_EQ(s.buffer[9 + 28], 0xA7);

    TrapParameters shortOne{};
    std::strcpy(shortOne.community, "public");
    Session p(&shortOne);
    EXPECT_EQ(hex(p.buffer + 7, 2), "04 06");
}

TEST(TrapEncoder, ParseOidReadsDottedDecimalWithinItsLimits)
{
    uint32_t arcs[80] = {};
    EXPECT_EQ(parse_oid(arcs, 80, "1.3.6.1.4294967295"), 5);
    EXPECT_EQ(arcs[4], 4294967295u);
    EXPECT_EQ(parse_oid(arcs, 80, ".1.3.6"), 3);
    EXPECT_EQ(parse_oid(arcs, 2, "1.3.6.1"), 2);
    EXPECT_EQ(parse_oid(arcs, 0, "1.3"), 0);
    EXPECT_EQ(parse_oid(arcs, 80, nullptr), 0);
    EXPECT_EQ(parse_oid(nullptr, 80, "1.3"), 0);
    EXPECT_EQ(parse_oid(arcs, 80, "1.3.x"), 0);
    EXPECT_EQ(parse_oid(arcs, 80, "1.-3"), 0);
    EXPECT_EQ(parse_oid(arcs, 80, "1.4294967296"), 0);
    // Only the first 127 characters count: the last arc loses its digit.
    std::string text;
    for (int i = 0; i < 63; ++i)
        text += "1.";
    EXPECT_EQ(parse_oid(arcs, 80, (text + "1").c_str()), 64);
    EXPECT_EQ(parse_oid(arcs, 80, (text + "12").c_str()), 64);
    EXPECT_EQ(arcs[63], 1u);
}
