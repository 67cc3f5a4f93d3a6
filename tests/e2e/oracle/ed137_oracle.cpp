// R2S headers read by tshark's ED-137 dissector: every header of a record
// table packed by our codec, and the headers the running server sent in a
// short flow, each in an RTP packet with the ED-137 profile's extension as
// the driver sends it (payload zero-padded to words). The dissector's
// fields must match the record, with nothing malformed or warned about.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "radio/r2s_proto.h"
#include "tests/e2e/ed137_flow.h"
#include "tests/support/oracle_tools.h"

using namespace vbtest;

namespace {

const char* const kFields[] = {
    "rtp.ext.ed137a.ptt_type", "rtp.ext.ed137a.squ", "rtp.ext.ed137a.ptt_id", "rtp.ext.ed137a.pm",
    "rtp.ext.ed137a.ptts", "rtp.ext.ed137a.sct", "rtp.ext.ed137a.x", "rtp.ext.ed137a.ft.type",
    "rtp.ext.ed137a.ft.len", "rtp.ext.ed137a.ft.sqi.qidx", "rtp.ext.ed137a.ft.sqi.qidx-ml",
    "rtp.ext.ed137b.ft.rrc.mstxf1", "rtp.ext.ed137b.ft.rrc.murxf2",
    "rtp.ext.ed137a.ft.climax_delay.relative_value", "rtp.ext.ed137b.ft.climax_ddc.mam_tqg",
    "rtp.ext.ed137b.ft.climax_ddc.mam_t1", "rtp.ext.ed137b.ft.climax_ddc.mam_tid",
    "rtp.ext.ed137b.ft.climax_ddc.rmm_tqv", "rtp.ext.ed137b.ft.climax_ddc.rmm_t1",
};

// The line tshark should print for a record with at most one feature.
std::string expected(r2s_proto const& r)
{
    bool rx = r.type == R2S_TYPE_RX;
    uint32_t const* h = rx ? &r.header.rx.ptt_type : &r.header.tx.ptt_type;
    std::vector<std::string> v(sizeof kFields / sizeof *kFields);
    auto n = [](uint32_t x) { return std::to_string(x); };
    v[0] = n(h[0]);
    v[1] = rx ? n(h[1]) : "0";
    v[2] = n(rx ? h[2] : h[1]);
    v[3] = n(rx ? h[3] : h[2]);
    v[4] = n(rx ? h[4] : h[3]);
    v[5] = rx ? n(h[5]) : "0";
    v[6] = n(r.count ? 1 : 0);
    if (r.count) {
        r2s_proto_additional const& a = r.additionals[0];
        static const int lengths_rx[] = {0, 1, 0, 1, 12}, lengths_tx[] = {0, 0, 1, 1, 3};
        bool long_rrc = rx && a.kind == R2S_RX_RRC && a.f[8] == 1;
        v[7] = "0x0" + n(a.kind);
        v[8] = long_rrc ? "4" : n(uint32_t((rx ? lengths_rx : lengths_tx)[a.kind]));
        if (rx && a.kind == R2S_RX_SQI)
            v[9] = n(a.f[0]), v[10] = n(a.f[1]);
        if (a.kind == 3 && !long_rrc)
            v[11] = n(a.f[0]), v[12] = n(a.f[7]);
        if (!rx && a.kind == R2S_TX_CLIMAX_TIME_DELAY)
            v[13] = n(a.f[0] & 0x7F);
        if (rx && a.kind == R2S_RX_MAM)
            v[14] = n(a.f[0]), v[15] = n(a.f[1]), v[16] = n(a.f[6]);
        if (!rx && a.kind == R2S_TX_RRM)
            v[17] = n(a.f[0]), v[18] = n(a.f[1]);
    }
    std::string line;
    for (size_t i = 0; i < v.size(); ++i)
        line += (i ? "," : "") + v[i];
    return line;
}

// An RTP packet carrying the payload as the driver pads it.
std::string packet(std::string payload)
{
    payload.resize((payload.size() + 3) / 4 * 4, '\0');
    std::string p = rtp_packet(8, 1, 160, 0x51515151, "");
    p[0] = char(0x90);
    size_t words = payload.size() / 4;
    return p + std::string{char(kED137Profile >> 8), char(kED137Profile & 0xFF), char(words >> 8), char(words)} +
           payload;
}

std::string packed(r2s_proto r)
{
    unsigned char buf[64];
    int n = r2s_proto_pack(&r, buf, sizeof buf);
    EXPECT_GT(n, 0);
    return std::string(reinterpret_cast<char*>(buf), size_t(n > 0 ? n : 0));
}

r2s_proto with(uint32_t type, const std::function<void(r2s_proto&)>& feature = nullptr)
{
    r2s_proto r;
    r2s_proto_init(&r, type);
    type == R2S_TYPE_RX ? r2s_proto_set_rx_header(&r, 3, 1, 37, 0, 1, 1) : r2s_proto_set_tx_header(&r, 4, 5, 1, 0);
    feature ? feature(r) : void();
    return r;
}

TEST(ED137Oracle, TsharkReadsEveryHeaderAsPacked)
{
    require("text2pcap");
    require("tshark");
    r2s_proto_rx_additional_rrc rrc_short = {0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0};
    r2s_proto_rx_additional_rrc rrc_long = {1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 1, 0x12, 0x34};
    r2s_proto_rx_additional_mam mam = {1, 0x123456, 0, 0x7FFFFF, 0xABCD, 1, 0xFFFF};
    r2s_proto_tx_additional_climax_time_delay delay = {0x7B};
    r2s_proto_tx_additional_rrc tx_rrc = {1, 0, 0, 0, 0, 0, 0, 0};
    r2s_proto_tx_additional_rrm rrm = {1, 0x000102};
    std::vector<r2s_proto> table = {
        with(R2S_TYPE_RX),
        with(R2S_TYPE_RX, [](r2s_proto& r) { r2s_proto_add_rx_sqi(&r, 20, 2); }),
        with(R2S_TYPE_RX, [](r2s_proto& r) { r2s_proto_add_rx_sqi(&r, 31, 7); }),
        with(R2S_TYPE_RX, [&](r2s_proto& r) { r2s_proto_add_rx_rrc(&r, &rrc_short); }),
        with(R2S_TYPE_RX, [&](r2s_proto& r) { r2s_proto_add_rx_rrc(&r, &rrc_long); }),
        with(R2S_TYPE_RX, [&](r2s_proto& r) { r2s_proto_add_rx_mam(&r, &mam); }),
        with(R2S_TYPE_TX),
        with(R2S_TYPE_TX, [&](r2s_proto& r) { r2s_proto_add_tx_time_delay(&r, &delay); }),
        with(R2S_TYPE_TX, [&](r2s_proto& r) { r2s_proto_add_tx_rrc(&r, &tx_rrc); }),
        with(R2S_TYPE_TX, [&](r2s_proto& r) { r2s_proto_add_tx_rrm(&r, &rrm); }),
    };
    std::vector<std::string> packets, want;
    for (r2s_proto const& r : table) {
        packets.push_back(packet(packed(r)));
        want.push_back(expected(r));
    }

    // What the server sent: the initial status, keep-alives, an SQI status.
    ED137Flow flow;
    ASSERT_TRUE(flow.start()) << flow.server.err();
    ASSERT_THAT(flow.create(), testing::Contains("slot=1 success"));
    flow.headers_within(1200);
    flow.rx_command(20);
    flow.headers_within(300);
    flow.destroy();
    ASSERT_GE(flow.received.size(), 3u);
    for (std::string const& p : flow.received) {
        std::string payload = p.substr(16);
        r2s_proto r;
        r2s_proto_init(&r, 0);
        ASSERT_EQ(r2s_proto_unpack_rx(&r, reinterpret_cast<const unsigned char*>(payload.data()), int(payload.size())), 0);
        packets.push_back(p);
        want.push_back(expected(r));
    }
    EXPECT_THAT(want, testing::Contains("0,1,0,0,0,0,1,0x01,1,20,2,,,,,,,,"));

    TempDir dir;
    std::ofstream(dir.file("in.txt")) << hexdump(packets);
    std::string pcap = dir.file("out.pcap");
    run("text2pcap -q -u 40000,40002 " + dir.file("in.txt") + " " + pcap);
    std::string fields;
    for (const char* f : kFields)
        fields += std::string(" -e ") + f;
    std::string read = "tshark -r " + pcap + " -d udp.port==40002,rtp";
    EXPECT_EQ(lines(run(read + " -T fields -E separator=," + fields)), want);
    EXPECT_EQ(run(read + " -Y \"_ws.malformed || _ws.expert.severity >= warning\""), "");
}

} // namespace
