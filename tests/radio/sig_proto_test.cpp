// The LEMZ packet codec: every type's exact bytes both ways with its buffer
// edges, the text packets, the header bits, random input, and the names,
// printers and comparisons.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <random>
#include <string>

#include "radio/sig_proto.h"
#include "tests/radio/radio_support.h"

using vbradio::hex;
using vbradio::Octets;
using vbradio::unhex;

namespace {

in_addr addr(const char* dotted)
{
    in_addr a;
    a.s_addr = inet_addr(dotted);
    return a;
}

struct Packet {
    uint32_t type;
    std::function<void(sig_proto&)> payload;
    const char* bytes; // after the 4 header octets
};

const Packet packets[] = {
    {GW_FLAG, nullptr, ""},
    {GW_ADJUST_CHAN, [](sig_proto& r) { sig_proto_set_gw_adjust_chan(&r, 0x01020304, 145.5f); }, "01 02 03 04 43 11 80 00"},
    {GW_FLAG_PTT, nullptr, ""}, {GW_FLAG_BSS, nullptr, ""}, {GW_FLAG_RV, nullptr, ""},
    {GW_FLAG_SH, nullptr, ""}, {GW_FLAG_PW, nullptr, ""}, {GW_FLAG_RS, nullptr, ""},
    {GW_SEL_CALL, [](sig_proto& r) { sig_proto_set_gw_selcall(&r, "ABC", 3); }, "03 41 42 43"},
    {GW_SELECT_RC_CHAN, [](sig_proto& r) { sig_proto_set_gw_select_rc_chan(&r, 2, 7); }, "02 07 00 00"},
    {GW_ADJUST_SQUELSHE, [](sig_proto& r) { sig_proto_set_gw_adjust_squelsh(&r, 50); }, "32 00 00 00"},
    {GW_ADJUST_RTE, [](sig_proto& r) { sig_proto_set_gw_adjust_rte(&r, 3); }, "03 00 00 00"},
    {GW_ADJUST_STANDBY, [](sig_proto& r) { sig_proto_set_gw_adjust_standby(&r, 0xFF); }, "FF 00 00 00"},
    {WM_FLAG, nullptr, ""},
    {WM_TRANS, [](sig_proto& r) { sig_proto_set_wm_transmite(&r, addr("10.1.2.3"), 0x11223344); }, "03 02 01 0A 11 22 33 44"},
    {WM_RADIO_QUALITY, [](sig_proto& r) { sig_proto_set_wm_radio_quality(&r, 0.75f); }, "3F 40 00 00"},
    {WM_CHAN, [](sig_proto& r) { sig_proto_set_wm_chan(&r, 12, 145.5f, 50, 3); }, "00 00 00 0C 43 11 80 00 32 03 00 00"},
    {WM_SEL_CALL_TRANS,
     [](sig_proto& r) { sig_proto_set_wm_selcall_transmite(&r, addr("10.1.2.3"), 0x11223344, "4711", 4); },
     "03 02 01 0A 11 22 33 44 04 34 37 31 31 00 00 00"},
    {WM_SELECT_RC_CHAN, [](sig_proto& r) { sig_proto_set_wm_select_rc_chan(&r, 2, 7); }, "02 07 00 00"},
    {WM_STANDBY, [](sig_proto& r) { sig_proto_set_wm_standby(&r, 0, 9, 0xFF); }, "00 09 FF 00"},
};

// Header: priority 5, t 1, p 1, r 0, s 1, b 1, rv 0, sh 1, pw 0, rs 1, c 2, status 0x123.
sig_proto record_of(Packet const& p)
{
    sig_proto r;
    sig_proto_init(&r);
    r.type = p.type;
    sig_proto_set_base(&r, 5, 1, 1, 0, 1, 1, 0, 1, 0, 1, 2, 0x123);
    if (p.payload)
        p.payload(r);
    return r;
}

Octets wire_of(Packet const& p)
{
    return unhex(hex(reinterpret_cast<uint8_t const*>(&p.type), 1) + " 5D A9 1D " + p.bytes);
}

std::string packed(sig_proto r, int size = 1024)
{
    Octets buf(static_cast<size_t>(size));
    int n = sig_proto_pack(&r, buf.data(), size);
    return n < 0 ? "error " + std::to_string(n) : hex(buf.data(), static_cast<size_t>(n));
}

bool same(sig_proto const& a, sig_proto const& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(SigProtoPacket, EachTypeBothWaysWithItsBufferEdges)
{
    ASSERT_TRUE(is_little_endian()); // wire_of takes the type's first octet
    for (auto const& p : packets) {
        SCOPED_TRACE(sig_proto_find_name_by_id(sig_proto_packet_const_name, int(p.type)));
        Octets wire = wire_of(p);
        int n = int(wire.size());
        EXPECT_EQ(packed(record_of(p)), hex(wire));

        // Into a used record: the caller words and the spare word stay.
        sig_proto r;
        std::memset(&r, 0xAB, sizeof r);
        ASSERT_EQ(sig_proto_unpack(&r, wire.data(), n), 0);
        EXPECT_EQ(packed(r), hex(wire));
        EXPECT_EQ(r.caller[0] & r.caller[1] & r.spare, 0xABABABABu);

        if (p.type == GW_SEL_CALL || p.type == WM_SEL_CALL_TRANS)
            continue;
        EXPECT_EQ(packed(record_of(p), n), hex(wire));
        EXPECT_EQ(packed(record_of(p), n - 1), "error -9");
        sig_proto before = r;
        EXPECT_EQ(sig_proto_unpack(&r, wire.data(), n - 1), -EBADF);
        EXPECT_TRUE(same(r, before));
    }
}

TEST(SigProtoPacket, TextPackets)
{
    sig_proto r = record_of(packets[8]);
    EXPECT_EQ(packed(r), "09 5D A9 1D 03 41 42 43");
    sig_proto_set_gw_selcall(&r, "ABCD", 4);
    EXPECT_EQ(packed(r, 4 + 12), "09 5D A9 1D 04 41 42 43 44 00 00 00");
    EXPECT_EQ(packed(r, 4 + 11), "error -9"); // 12 bytes, but pack asks for n + 12
    r.type = WM_SEL_CALL_TRANS;
    sig_proto_set_wm_selcall_transmite(&r, addr("1.2.3.4"), 1, "ABCD", 4);
    EXPECT_EQ(packed(r, 4 + 19), "error -9");

    Octets five = unhex("85 00 00 00 01 02 03 04 00 00 00 01 05 31 32 33 34 35");
    Octets none = unhex("85 00 00 00 01 02 03 04 00 00 00 01 00");
    EXPECT_EQ(sig_proto_unpack(&r, none.data(), 13), 0);
    EXPECT_EQ(sig_proto_unpack(&r, five.data(), 12), -EBADF);
    EXPECT_EQ(sig_proto_unpack(&r, five.data(), 17), -EBADF);
    EXPECT_EQ(r.payload.wm_sel_call_trans.callerID_length, 0);
    EXPECT_EQ(sig_proto_unpack(&r, five.data(), 18), 0);
    EXPECT_STREQ(r.payload.wm_sel_call_trans.callerID, "12345");
    // A shorter text replaces the whole longer one.
    Octets two = unhex("85 00 00 00 01 02 03 04 00 00 00 01 02 58 59");
    ASSERT_EQ(sig_proto_unpack(&r, two.data(), 15), 0);
    EXPECT_STREQ(r.payload.wm_sel_call_trans.callerID, "XY");

    // The setter keeps at most 255 characters.
    std::string longer(300, 'x');
    sig_proto_set_gw_selcall(&r, longer.c_str(), 300);
    EXPECT_EQ(std::strlen(r.payload.gw_sel_call.callerID), 255u);
}

TEST(SigProtoPacket, HeaderBitsUnknownTypesAndWrongArguments)
{
    sig_proto r;
    sig_proto_init(&r);
    r.type = WM_FLAG;
    r.status = 0x1FF;
    EXPECT_EQ(packed(r), "81 00 0F F8");
    r.status = 0x200; // wider values keep their low bits
    r.flag_c = 3;
    r.priority = 0x1F;
    EXPECT_EQ(packed(r), "81 F0 00 06");
    sig_proto_set_base(&r, -1, -1, 1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    EXPECT_EQ(r.priority, 0x1Fu); // negative arguments leave the field
    EXPECT_EQ(r.flag_p, 1u);

    for (uint8_t type : {0, 14, 128, 136}) {
        Octets wire = {type, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4};
        sig_proto expected = record_of(packets[1]), got = expected;
        expected.type = type;
        EXPECT_EQ(sig_proto_unpack(&got, wire.data(), 8), -ENOEXEC) << int(type);
        EXPECT_TRUE(same(got, expected)) << int(type);
    }
    r.type = 77;
    EXPECT_EQ(packed(r), "4D F4 00 06"); // the header alone

    unsigned char buf[16] = {0x81};
    EXPECT_EQ(sig_proto_pack(nullptr, buf, 16), 0);
    EXPECT_EQ(sig_proto_pack(&r, buf, 3), -EBADF);
    EXPECT_EQ(sig_proto_unpack(&r, nullptr, 4), -E2BIG);
    EXPECT_EQ(sig_proto_unpack(&r, buf, 3), -EBADF);
    EXPECT_EQ(sig_proto_unpack(&r, buf, -4), -EBADF);
}

// Random input in buffers of exactly its size, so that the sanitizer sees
// any read past them; what unpacks packs to bytes that unpack the same.
TEST(SigProtoPacket, RandomBuffersStayInBoundsAndRoundTrip)
{
    std::mt19937 rng(20240611);
    const uint8_t types[] = {1, 2, 3, 9, 10, 13, 129, 130, 131, 132, 133, 134, 135, 14, 0};
    int unpacked = 0;
    for (int i = 0; i < 20000; ++i) {
        Octets buf(1 + rng() % 40);
        for (auto& b : buf)
            b = static_cast<uint8_t>(rng());
        if (rng() % 4)
            buf[0] = types[rng() % sizeof types];
        if (buf.size() > 12 && rng() % 2)
            buf[buf[0] == 9 ? 4 : 12] = static_cast<uint8_t>(rng() % 30);
        sig_proto r, again;
        sig_proto_init(&r);
        sig_proto_init(&again);
        if (sig_proto_unpack(&r, buf.data(), int(buf.size())) != 0)
            continue;
        ++unpacked;
        Octets out(300);
        int n = sig_proto_pack(&r, out.data(), int(out.size()));
        ASSERT_GE(n, 4);
        ASSERT_EQ(sig_proto_unpack(&again, out.data(), n), 0);
        ASSERT_EQ(cmp_sig_proto(&r, &again), 0) << hex(buf);
    }
    EXPECT_GT(unpacked, 1000);
}

TEST(SigProtoRecord, NamesAndPttCommands)
{
    EXPECT_STREQ(sig_proto_find_name_by_id(sig_proto_packet_const_name, 11), "GW_ADJUST_SQUELSHE");
    EXPECT_EQ(sig_proto_find_name_by_id(sig_proto_packet_const_name, 14), nullptr);
    for (auto const& p : packets) {
        const char* name = sig_proto_find_name_by_id(sig_proto_packet_const_name, int(p.type));
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(sig_proto_find_id_by_name(sig_proto_packet_const_name, name), int(p.type));
    }

    sig_proto r;
    sig_proto_init(&r);
    for (r.type = 0; r.type < 256; ++r.type) {
        uint32_t t = r.type;
        EXPECT_EQ(sig_proto_is_ptt_command(&r), t == 1 || t == 3 || t == 9 || t == 129 || t == 130 || t == 133) << t;
    }
}

TEST(SigProtoRecord, HeaderComparisonIsTypeAndSender)
{
    sig_proto a = record_of(packets[2]), b = a, c = a;
    b.priority = 3;
    EXPECT_EQ(cmp_sig_proto_header(&a, &b), 0);
    for (uint32_t* field : {&c.type, &c.caller[0], &c.caller[1]}) {
        c = a;
        ++*field;
        EXPECT_NE(cmp_sig_proto_header(&a, &c), 0);
    }
    EXPECT_EQ(cmp_sig_proto_header(nullptr, &b), -1);
}

TEST(SigProtoPrint, TextComparisonsAndLimits)
{
    sig_proto r = record_of(packets[16]);
    char text[1024];
    int n = sprintf_sig_proto(text, sizeof text, &r, SIG_PROTO_PRINT_TYPE_NAME);
    EXPECT_EQ(std::string(text),
              "type      : WM_CHAN,\n"
              "flag_t   : 1,\nflag_p   : 1,\nflag_r   : 0,\nflag_s   : 1,\nflag_b   : 1,\n"
              "flag_rv  : 0,\nflag_sh  : 1,\nflag_rs  : 1,\nflag_pw  : 0,\nflag_c   : 2,\n"
              "priority : 5,\nstatus   : 291,\n"
              "wm_chan.id   : 12,\nwm_chan.freq : 145.5000,\nwm_chan.squelsh : 50,\nwm_chan.rte     : 3,\n");
    EXPECT_EQ(n, int(std::strlen(text)));
    sprintf_sig_proto(text, sizeof text, &r, SIG_PROTO_PRINT_TYPE_NUMBER | SIG_PROTO_PRINT_FLAGS_ONLY);
    EXPECT_EQ(std::string(text).find("type      : 0x00000084,\nflag_t"), 0u);
    EXPECT_EQ(std::string(text).find("priority"), std::string::npos);

    sig_proto s = record_of(packets[17]);
    char small[11] = "##########";
    EXPECT_EQ(sprintf_sig_proto(small, 9, &s, 0), 8);
    EXPECT_STREQ(small, "flag_t  ");
    EXPECT_EQ(sprintf_sig_proto(small, 0, &s, 0), 0);
    s.type = 14; // no printer
    EXPECT_EQ(sprintf_sig_proto(text, sizeof text, &s, 2), 0);

    sig_proto b = r;
    b.payload.wm_chan.rte = 4;
    b.priority = 1;
    EXPECT_NE(cmp_sig_proto(&r, &b), 0);
    EXPECT_EQ(cmp_sig_proto_flags(&r, &b), 0); // neither payload nor priority
    b.flag_s = 0;
    EXPECT_NE(cmp_sig_proto_flags(&r, &b), 0);
    // The longest text still fits the comparison's room.
    std::string longer(255, 'z');
    sig_proto_set_wm_selcall_transmite(&s, addr("1.1.1.1"), 1, longer.c_str(), 255);
    s.type = WM_SEL_CALL_TRANS;
    sig_proto t = s;
    t.payload.wm_sel_call_trans.callerID[254] = 'y';
    EXPECT_NE(cmp_sig_proto(&s, &t), 0);
    EXPECT_EQ(cmp_sig_proto(nullptr, &t), -1);
}
