// The LEMZ packet codec: every type's exact bytes both ways, the buffer
// edges of pack and unpack, the header bit positions, random input, and the
// names, printers, comparisons and setters.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include "radio/sig_proto.h"
#include "tests/radio/radio_support.h"

using vbradio::hex;
using vbradio::Octets;
using vbradio::unhex;

namespace {

// priority 5, t 1, p 1, r 0, s 1, b 1, rv 0, sh 1, pw 0, rs 1, c 2, status 0x123
const char* const header = "5D A9 1D";

in_addr addr(const char* dotted)
{
    in_addr a;
    a.s_addr = inet_addr(dotted);
    return a;
}

struct Packet {
    uint32_t type;
    std::function<void(sig_proto&)> payload;
    const char* bytes; // after the type and header octets
};

const Packet packets[] = {
    {GW_FLAG, nullptr, ""},
    {GW_ADJUST_CHAN, [](sig_proto& r) { sig_proto_set_gw_adjust_chan(&r, 0x01020304, 145.5f); },
     "01 02 03 04 43 11 80 00"},
    {GW_FLAG_PTT, nullptr, ""},
    {GW_FLAG_BSS, nullptr, ""},
    {GW_FLAG_RV, nullptr, ""},
    {GW_FLAG_SH, nullptr, ""},
    {GW_FLAG_PW, nullptr, ""},
    {GW_FLAG_RS, nullptr, ""},
    {GW_SEL_CALL, [](sig_proto& r) { sig_proto_set_gw_selcall(&r, "ABC", 3); }, "03 41 42 43"},
    {GW_SELECT_RC_CHAN, [](sig_proto& r) { sig_proto_set_gw_select_rc_chan(&r, 2, 7); }, "02 07 00 00"},
    {GW_ADJUST_SQUELSHE, [](sig_proto& r) { sig_proto_set_gw_adjust_squelsh(&r, 50); }, "32 00 00 00"},
    {GW_ADJUST_RTE, [](sig_proto& r) { sig_proto_set_gw_adjust_rte(&r, 3); }, "03 00 00 00"},
    {GW_ADJUST_STANDBY, [](sig_proto& r) { sig_proto_set_gw_adjust_standby(&r, 0xFF); }, "FF 00 00 00"},
    {WM_FLAG, nullptr, ""},
    {WM_TRANS, [](sig_proto& r) { sig_proto_set_wm_transmite(&r, addr("10.1.2.3"), 0x11223344); },
     "03 02 01 0A 11 22 33 44"},
    {WM_RADIO_QUALITY, [](sig_proto& r) { sig_proto_set_wm_radio_quality(&r, 0.75f); }, "3F 40 00 00"},
    {WM_CHAN, [](sig_proto& r) { sig_proto_set_wm_chan(&r, 12, 145.5f, 50, 3); },
     "00 00 00 0C 43 11 80 00 32 03 00 00"},
    {WM_SEL_CALL_TRANS,
     [](sig_proto& r) { sig_proto_set_wm_selcall_transmite(&r, addr("10.1.2.3"), 0x11223344, "4711", 4); },
     "03 02 01 0A 11 22 33 44 04 34 37 31 31 00 00 00"},
    {WM_SELECT_RC_CHAN, [](sig_proto& r) { sig_proto_set_wm_select_rc_chan(&r, 2, 7); }, "02 07 00 00"},
    {WM_STANDBY, [](sig_proto& r) { sig_proto_set_wm_standby(&r, 0, 9, 0xFF); }, "00 09 FF 00"},
};

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
    char type[4];
    std::snprintf(type, sizeof type, "%02X", p.type);
    return unhex(std::string(type) + " " + header + " " + p.bytes);
}

std::string packed(sig_proto r, int size = 1024)
{
    Octets buf(static_cast<size_t>(size));
    int n = sig_proto_pack(&r, buf.data(), size);
    if (n < 0)
        return "error " + std::to_string(n);
    return hex(buf.data(), static_cast<size_t>(n));
}

bool same(sig_proto const& a, sig_proto const& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

TEST(SigProtoPacket, EachTypePacksToItsBytesAndBack)
{
    for (auto const& p : packets) {
        SCOPED_TRACE(sig_proto_find_name_by_id(sig_proto_packet_const_name, int(p.type)));
        Octets wire = wire_of(p);
        EXPECT_EQ(packed(record_of(p)), hex(wire));

        // Unpacking into a used record and packing again gives the bytes back.
        sig_proto r;
        std::memset(&r, 0xAB, sizeof r);
        ASSERT_EQ(sig_proto_unpack(&r, wire.data(), int(wire.size())), 0);
        EXPECT_EQ(packed(r), hex(wire));
        EXPECT_EQ(r.caller[0], 0xABABABABu);
        EXPECT_EQ(r.caller[1], 0xABABABABu);
        EXPECT_EQ(r.spare, 0xABABABABu);
    }
}

TEST(SigProtoPacket, FixedLengthTypesNeedExactlyTheirLength)
{
    for (auto const& p : packets) {
        if (p.type == GW_SEL_CALL || p.type == WM_SEL_CALL_TRANS)
            continue;
        SCOPED_TRACE(p.type);
        Octets wire = wire_of(p);
        int n = int(wire.size());
        EXPECT_EQ(packed(record_of(p), n), hex(wire));
        EXPECT_EQ(packed(record_of(p), n - 1), "error -9");

        sig_proto r = record_of(packets[0]);
        sig_proto before = r;
        EXPECT_EQ(sig_proto_unpack(&r, wire.data(), n - 1), -EBADF);
        EXPECT_TRUE(same(r, before));
    }
}

TEST(SigProtoPacket, TextPacketsPadToWordsAndAskForMoreRoom)
{
    sig_proto r;
    sig_proto_init(&r);
    r.type = GW_SEL_CALL;
    sig_proto_set_gw_selcall(&r, "ABC", 3);
    EXPECT_EQ(packed(r), "09 00 00 00 03 41 42 43");
    sig_proto_set_gw_selcall(&r, "ABCD", 4);
    EXPECT_EQ(packed(r), "09 00 00 00 04 41 42 43 44 00 00 00");
    EXPECT_EQ(packed(r, 4 + 12), "09 00 00 00 04 41 42 43 44 00 00 00");
    // The packet is 12 bytes, but pack asks for n + 12.
    EXPECT_EQ(packed(r, 4 + 11), "error -9");

    r.type = WM_SEL_CALL_TRANS;
    sig_proto_set_wm_selcall_transmite(&r, addr("1.2.3.4"), 1, "ABCD", 4);
    EXPECT_NE(packed(r, 4 + 20).find("error"), 0u);
    EXPECT_EQ(packed(r, 4 + 19), "error -9");
}

TEST(SigProtoPacket, SelCallTransUnpacksWithWhatItsLengthNeeds)
{
    Octets empty = unhex("85 00 00 00 01 02 03 04 00 00 00 01 00");
    sig_proto r;
    sig_proto_init(&r);
    EXPECT_EQ(sig_proto_unpack(&r, empty.data(), 13), 0);
    EXPECT_EQ(r.payload.wm_sel_call_trans.callerID_length, 0);

    Octets five = unhex("85 00 00 00 01 02 03 04 00 00 00 01 05 31 32 33 34 35");
    EXPECT_EQ(sig_proto_unpack(&r, five.data(), 17), -EBADF);
    EXPECT_EQ(r.payload.wm_sel_call_trans.callerID_length, 0);
    EXPECT_EQ(sig_proto_unpack(&r, five.data(), 18), 0);
    EXPECT_STREQ(r.payload.wm_sel_call_trans.callerID, "12345");
    // The text length itself must be there.
    EXPECT_EQ(sig_proto_unpack(&r, five.data(), 12), -EBADF);
    Octets gw = unhex("09 00 00 00 02 41 42");
    EXPECT_EQ(sig_proto_unpack(&r, gw.data(), 4), -EBADF);
    EXPECT_EQ(sig_proto_unpack(&r, gw.data(), 6), -EBADF);
    EXPECT_EQ(sig_proto_unpack(&r, gw.data(), 7), 0);
}

TEST(SigProtoPacket, ShorterTextReplacesTheWholeOldOne)
{
    Octets longer = unhex("09 00 00 00 06 41 42 43 44 45 46 00");
    Octets shorter = unhex("09 00 00 00 02 58 59 00");
    sig_proto r;
    sig_proto_init(&r);
    ASSERT_EQ(sig_proto_unpack(&r, longer.data(), int(longer.size())), 0);
    ASSERT_EQ(sig_proto_unpack(&r, shorter.data(), int(shorter.size())), 0);
    EXPECT_STREQ(r.payload.gw_sel_call.callerID, "XY");
}

TEST(SigProtoPacket, UnknownTypeSetsOnlyTheType)
{
    for (uint8_t type : {0, 14, 128, 136, 255}) {
        Octets wire = {type, 0xFF, 0xFF, 0xFF, 1, 2, 3, 4};
        sig_proto r = record_of(packets[1]);
        sig_proto expected = r;
        expected.type = type;
        EXPECT_EQ(sig_proto_unpack(&r, wire.data(), int(wire.size())), -ENOEXEC) << int(type);
        EXPECT_TRUE(same(r, expected)) << int(type);
    }
}

TEST(SigProtoPacket, HeaderBitPositions)
{
    struct Case {
        std::function<void(sig_proto&)> set;
        const char* bytes;
    } const cases[] = {
        {[](sig_proto& r) { r.status = 0x1FF; }, "81 00 0F F8"},
        {[](sig_proto& r) { r.flag_c = 3; }, "81 00 00 06"},
        {[](sig_proto& r) { r.priority = 0xF; }, "81 F0 00 00"},
        {[](sig_proto& r) { r.flag_t = 1; }, "81 08 00 00"},
        {[](sig_proto& r) { r.flag_p = 1; }, "81 04 00 00"},
        {[](sig_proto& r) { r.flag_r = 1; }, "81 02 00 00"},
        {[](sig_proto& r) { r.flag_s = 1; }, "81 01 00 00"},
        {[](sig_proto& r) { r.flag_b = 1; }, "81 00 80 00"},
        {[](sig_proto& r) { r.flag_rv = 1; }, "81 00 40 00"},
        {[](sig_proto& r) { r.flag_sh = 1; }, "81 00 20 00"},
        {[](sig_proto& r) { r.flag_pw = 1; }, "81 00 10 00"},
        {[](sig_proto& r) { r.flag_rs = 1; }, "81 00 00 01"},
        // Wider values keep their low bits only.
        {[](sig_proto& r) { r.priority = 0x1F; r.flag_p = 2; r.status = 0x200; }, "81 F0 00 00"},
    };
    for (auto const& c : cases) {
        sig_proto r;
        sig_proto_init(&r);
        r.type = WM_FLAG;
        c.set(r);
        EXPECT_EQ(packed(r), c.bytes);
    }
}

TEST(SigProtoPacket, WrongArguments)
{
    sig_proto r;
    sig_proto_init(&r);
    unsigned char buf[16] = {0x81, 0, 0, 0};
    EXPECT_EQ(sig_proto_pack(nullptr, buf, 16), 0);
    EXPECT_EQ(sig_proto_pack(&r, nullptr, 16), 0);
    EXPECT_EQ(sig_proto_pack(&r, buf, 3), -EBADF);
    EXPECT_EQ(sig_proto_pack(&r, buf, -1), -EBADF);
    EXPECT_EQ(sig_proto_unpack(nullptr, buf, 4), -E2BIG);
    EXPECT_EQ(sig_proto_unpack(&r, nullptr, 4), -E2BIG);
    EXPECT_EQ(sig_proto_unpack(&r, buf, 3), -EBADF);
    EXPECT_EQ(sig_proto_unpack(&r, buf, -4), -EBADF);
    // A type outside the table packs as its header.
    r.type = 77;
    EXPECT_EQ(sig_proto_pack(&r, buf, 16), 4);
}

// Random input of every length, each in a buffer of exactly that size so
// that the sanitizer sees any read past it; what unpacks packs to bytes that
// unpack to the same record.
TEST(SigProtoPacket, RandomBuffersStayInBoundsAndRoundTrip)
{
    std::mt19937 rng(20240611);
    const uint8_t types[] = {1, 2, 3, 9, 10, 13, 129, 130, 131, 132, 133, 134, 135, 14, 0};
    int unpacked = 0;
    for (int i = 0; i < 20000; ++i) {
        size_t len = rng() % 40;
        Octets buf(len);
        for (auto& b : buf)
            b = static_cast<uint8_t>(rng());
        if (len > 0 && rng() % 4)
            buf[0] = types[rng() % sizeof types];
        if (len > 12 && rng() % 2)
            buf[(buf[0] == 9 ? 4 : 12)] = static_cast<uint8_t>(rng() % 30);
        sig_proto r;
        sig_proto_init(&r);
        if (sig_proto_unpack(&r, buf.data(), int(len)) != 0)
            continue;
        ++unpacked;
        Octets out(300);
        int n = sig_proto_pack(&r, out.data(), int(out.size()));
        ASSERT_GE(n, 4);
        sig_proto again;
        sig_proto_init(&again);
        ASSERT_EQ(sig_proto_unpack(&again, out.data(), n), 0);
        ASSERT_EQ(cmp_sig_proto(&r, &again), 0) << hex(buf);
        ASSERT_EQ(packed(again), hex(out.data(), size_t(n)));
    }
    EXPECT_GT(unpacked, 1000);
}

TEST(SigProtoNames, TableAndSearches)
{
    EXPECT_STREQ(sig_proto_find_name_by_id(sig_proto_packet_const_name, 1), "GW_FLAG");
    EXPECT_STREQ(sig_proto_find_name_by_id(sig_proto_packet_const_name, 11), "GW_ADJUST_SQUELSHE");
    EXPECT_STREQ(sig_proto_find_name_by_id(sig_proto_packet_const_name, 135), "WM_STANDBY");
    EXPECT_EQ(sig_proto_find_name_by_id(sig_proto_packet_const_name, 0), nullptr);
    EXPECT_EQ(sig_proto_find_name_by_id(sig_proto_packet_const_name, 14), nullptr);
    EXPECT_EQ(sig_proto_find_name_by_id(nullptr, 1), nullptr);
    int named = 0;
    for (auto const& p : packets) {
        const char* name = sig_proto_find_name_by_id(sig_proto_packet_const_name, int(p.type));
        ASSERT_NE(name, nullptr);
        EXPECT_EQ(sig_proto_find_id_by_name(sig_proto_packet_const_name, name), int(p.type));
        ++named;
    }
    EXPECT_EQ(named, 20);
    EXPECT_EQ(sig_proto_find_id_by_name(sig_proto_packet_const_name, "GW_NOTHING"), -1);
    EXPECT_EQ(sig_proto_find_id_by_name(sig_proto_packet_const_name, nullptr), -1);

    // A table without its end entry is searched no further than 128 entries.
    s_sig_proto_table_name unended[sig_proto_name_table_size + 1];
    for (auto& e : unended)
        e = {7, "SEVEN"};
    unended[sig_proto_name_table_size] = {8, "EIGHT"};
    EXPECT_EQ(sig_proto_find_name_by_id(unended, 8), nullptr);
    EXPECT_EQ(sig_proto_find_id_by_name(unended, "EIGHT"), -1);
}

TEST(SigProtoRecord, PttCommandsQueueAndEndianness)
{
    sig_proto r;
    sig_proto_init(&r);
    for (uint32_t t = 0; t < 256; ++t) {
        r.type = t;
        bool ptt = t == 1 || t == 3 || t == 9 || t == 129 || t == 130 || t == 133;
        EXPECT_EQ(sig_proto_is_ptt_command(&r), ptt) << t;
    }
    EXPECT_FALSE(sig_proto_is_ptt_command(nullptr));

    auto queue = std::make_unique<sig_proto_queue>();
    std::memset(queue.get(), 0x5A, sizeof *queue);
    EXPECT_EQ(init_sig_proto_queue(queue.get()), 0);
    const uint32_t order[] = {1, 3, 4, 5, 6, 7, 8, 2, 9, 10, 13, 129, 130, 132, 131, 133, 135};
    for (int i = 0; i < sig_proto_queue_size; ++i) {
        EXPECT_EQ(queue->records[i].type, i < 17 ? order[i] : 0xFFFFFFFFu) << i;
        EXPECT_EQ(queue->records[i].flag_p, 0u);
        EXPECT_EQ(queue->words[i], 0u);
    }
    EXPECT_EQ(init_sig_proto_queue(nullptr), 0);

    uint32_t word = 1;
    EXPECT_EQ(is_little_endian(), *reinterpret_cast<unsigned char*>(&word) == 1);
}

TEST(SigProtoRecord, CompareHeaderBySenderAndType)
{
    sig_proto a, b;
    sig_proto_init(&a);
    sig_proto_init(&b);
    a.type = b.type = GW_FLAG_PTT;
    a.caller[0] = b.caller[0] = 0x0A000001;
    a.caller[1] = b.caller[1] = 77;
    a.priority = 3; // not part of the header comparison
    EXPECT_EQ(cmp_sig_proto_header(&a, &b), 0);
    b.type = GW_FLAG;
    EXPECT_NE(cmp_sig_proto_header(&a, &b), 0);
    b.type = GW_FLAG_PTT;
    b.caller[1] = 78;
    EXPECT_NE(cmp_sig_proto_header(&a, &b), 0);
    b.caller[1] = 77;
    b.caller[0] = 0x0A000002;
    EXPECT_NE(cmp_sig_proto_header(&a, &b), 0);
    EXPECT_EQ(cmp_sig_proto_header(nullptr, &b), -1);
    EXPECT_EQ(cmp_sig_proto_header(&a, nullptr), -1);
}

TEST(SigProtoRecord, SettersLeaveWhatTheyAreNotGiven)
{
    sig_proto r = record_of(packets[0]);
    sig_proto_set_base(&r, -1, -1, 0, -1, -1, -1, -1, -1, -1, -1, 3, -1);
    EXPECT_EQ(r.priority, 5u);
    EXPECT_EQ(r.flag_p, 0u);
    EXPECT_EQ(r.flag_c, 3u);
    EXPECT_EQ(r.status, 0x123u);
    sig_proto_set_ptt(&r, -1);
    EXPECT_EQ(r.flag_p, 0u);
    sig_proto_set_ptt(&r, 1);
    EXPECT_EQ(r.flag_p, 1u);

    // Texts: capped at 255, cut at their end, null as empty.
    std::string longer(300, 'x');
    sig_proto_set_gw_selcall(&r, longer.c_str(), 300);
    EXPECT_EQ(r.payload.gw_sel_call.callerID_length, 255);
    EXPECT_EQ(std::strlen(r.payload.gw_sel_call.callerID), 255u);
    sig_proto_set_gw_selcall(&r, "ab", 2);
    EXPECT_STREQ(r.payload.gw_sel_call.callerID, "ab");
    sig_proto_set_gw_selcall(&r, nullptr, 5);
    EXPECT_EQ(r.payload.gw_sel_call.callerID_length, 0);
    EXPECT_STREQ(r.payload.gw_sel_call.callerID, "");

    for (auto set : {+[](sig_proto* p) { return sig_proto_set_base(p, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1); },
                     +[](sig_proto* p) { return sig_proto_set_ptt(p, 1); },
                     +[](sig_proto* p) { return sig_proto_set_wm_chan(p, 1, 1.0f, 1, 1); },
                     +[](sig_proto* p) { return sig_proto_set_gw_selcall(p, "a", 1); }})
        EXPECT_EQ(set(nullptr), 0);
}

TEST(SigProtoPrint, TextOfAChannelPacket)
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
    EXPECT_EQ(std::string(text).substr(0, 22), "type      : 0x00000084");
    EXPECT_EQ(std::string(text).find("priority"), std::string::npos);
    EXPECT_EQ(std::string(text).find("wm_chan"), std::string::npos);
}

TEST(SigProtoPrint, TextsAddressesAndLimits)
{
    sig_proto r = record_of(packets[17]);
    char text[2048];
    sprintf_sig_proto(text, sizeof text, &r, 0);
    std::string s(text);
    EXPECT_EQ(s.find("type"), std::string::npos);
    EXPECT_NE(s.find("wm_sel_call_trans.session_addr : 10.1.2.3,\n"
                     "wm_sel_call_trans.ssrc         : 0x11223344,\n"
                     "wm_sel_call_trans.callerID_length: 4,\n"
                     "wm_sel_call_trans.callerID : \n[0] : 0x34,\n[1] : 0x37,\n[2] : 0x31,\n[3] : 0x31,\n"),
              std::string::npos);

    // Cut to the room given, never past it.
    char small[11];
    std::memset(small, '#', sizeof small);
    EXPECT_EQ(sprintf_sig_proto(small, 10, &r, 0), 9);
    EXPECT_STREQ(small, "flag_t   ");
    EXPECT_EQ(small[10], '#');
    EXPECT_EQ(sprintf_sig_proto(small, 1, &r, 0), 0);
    EXPECT_EQ(sprintf_sig_proto(small, 0, &r, 0), 0);
    EXPECT_EQ(sprintf_sig_proto(nullptr, 10, &r, 0), 0);

    r.type = 14; // no printer
    EXPECT_EQ(sprintf_sig_proto(text, sizeof text, &r, 2), 0);
    r.type = 0;
    EXPECT_GT(sprintf_sig_proto(text, sizeof text, &r, 2), 0);
    EXPECT_NE(std::string(text).find("type      : 0x00000000,\n"), std::string::npos);
}

TEST(SigProtoPrint, ComparisonsByText)
{
    sig_proto a = record_of(packets[16]);
    sig_proto b = a;
    EXPECT_EQ(cmp_sig_proto(&a, &b), 0);
    b.payload.wm_chan.rte = 4;
    EXPECT_NE(cmp_sig_proto(&a, &b), 0);
    EXPECT_EQ(cmp_sig_proto_flags(&a, &b), 0);
    b.priority = 1; // the flags comparison leaves priority and status out
    EXPECT_EQ(cmp_sig_proto_flags(&a, &b), 0);
    b.flag_s = 0;
    EXPECT_NE(cmp_sig_proto_flags(&a, &b), 0);
    // The longest text still fits the comparison's room.
    sig_proto c = record_of(packets[17]), d = c;
    std::string longer(255, 'z');
    sig_proto_set_wm_selcall_transmite(&c, addr("1.1.1.1"), 1, longer.c_str(), 255);
    d = c;
    d.payload.wm_sel_call_trans.callerID[254] = 'y';
    EXPECT_NE(cmp_sig_proto(&c, &d), 0);
    EXPECT_EQ(cmp_sig_proto(nullptr, &d), -1);
    EXPECT_EQ(cmp_sig_proto_flags(&c, nullptr), -1);
}
