// The RTP and RTCP that the running server sends, read by tshark: every
// datagram from slot 2's RTP port and from both RTCP ports is kept, one
// capture per flow is written with text2pcap and the real ports, and the
// dissector's stream analysis and field values are checked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "tests/e2e/server_process.h"
#include "tests/support/lgcp_frames.h"
#include "tests/support/oracle_tools.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

const int kPackets = 25;

// Every datagram that arrives at the peer within timeout_ms of the last.
std::vector<std::string> collect(const UdpPeer& p, size_t want, int timeout_ms = 2000)
{
    std::vector<std::string> got;
    pollfd f{p.s.get(), POLLIN, 0};
    while (got.size() < want && ::poll(&f, 1, timeout_ms) == 1)
        got.push_back(p.take());
    return got;
}

LGCP::Command slot_rtp(const Remote& r, uint16_t local, bool ssrc)
{
    LGCP::Command c = create_rtp(r.port);
    TERM::HostAddress& shost = c.get_create().get_rtp().get_codecRTP().include_shost();
    shost.set_iaddr("127.0.0.1");
    shost.set_port(local);
    if (ssrc)
        c.get_create().get_rtp().get_codecRTP().set_ssrc(0x01020304);
    return c;
}

LGCP::Command with(const std::function<void(LGCP::Command&)>& fill)
{
    LGCP::Command c;
    fill(c);
    return c;
}

// One capture of a flow, between the flow's real ports.
std::string capture(const TempDir& dir, const std::string& name, const std::vector<std::string>& packets,
                    unsigned from, unsigned to)
{
    std::ofstream(dir.file(name + ".txt")) << hexdump(packets);
    std::string pcap = dir.file(name + ".pcap");
    run("text2pcap -q -u " + std::to_string(from) + "," + std::to_string(to) + " " + dir.file(name + ".txt") + " " +
        pcap);
    return pcap;
}

TEST(RtpOracle, TsharkFollowsTheStreamAndReadsTheRtcp)
{
    require("text2pcap");
    require("tshark");
    ServerProcess server;
    ASSERT_TRUE(server.start()) << server.err();
    Controller ctl(server.port());
    Remote a, b;
    uint16_t l1 = free_rtp_port(), l2 = free_rtp_port();
    ASSERT_THAT(ctl.exchange(lgcp(slot_rtp(a, l1, true), -1, 1)), testing::Contains("slot=1 success"));
    ASSERT_THAT(ctl.exchange(lgcp(slot_rtp(b, l2, false), -1, 2)), testing::Contains("slot=2 success"));
    ASSERT_THAT(ctl.exchange(lgcp(with([](LGCP::Command& c) { c.set_connect(2); }), -1, 1)),
                testing::Contains("slot=1 success"));

    std::vector<std::string> rtp;
    auto stream = [&](int first) {
        for (int i = first; i < first + kPackets; ++i) {
            a.rtp.send(l1, rtp_packet(8, uint16_t(i), uint32_t(160 * i), 0x0A0B0C0D, std::string(160, char(0xD5))));
            for (const std::string& p : collect(b.rtp, 1))
                rtp.push_back(p);
        }
    };
    stream(0);
    ASSERT_THAT(ctl.exchange(lgcp(with([](LGCP::Command& c) { c.get_ioctl().set_encoder_mode(LGCP::CodecMode::ulaw); }), -1, 2)),
                ElementsAre("slot=2 success"));
    stream(kPackets);
    ASSERT_EQ(rtp.size(), size_t(2 * kPackets));
    for (unsigned n : {1u, 2u})
        ctl.exchange(lgcp(with([](LGCP::Command& c) { c.set_destroy(); }), -1, int(n)));
    std::vector<std::string> rtcp1 = collect(a.rtcp, 2), rtcp2 = collect(b.rtcp, 2);
    ASSERT_EQ(rtcp1.size(), 2u);
    ASSERT_EQ(rtcp2.size(), 2u);

    TempDir dir;
    // One stream, A-law then u-law, nothing lost, no problem.
    std::string streams = run("tshark -r " + capture(dir, "rtp", rtp, l2, b.port) + " -q -z rtp,streams -d udp.port==" +
                              std::to_string(b.port) + ",rtp");
    std::vector<std::string> rows;
    for (const std::string& line : lines(streams))
        if (line.find(std::to_string(b.port)) != std::string::npos)
            rows.push_back(line);
    ASSERT_EQ(rows.size(), 1u) << streams;
    EXPECT_THAT(rows[0], HasSubstr("g711A"));
    EXPECT_THAT(rows[0], HasSubstr("g711U"));
    EXPECT_THAT(rows[0], HasSubstr(" " + std::to_string(2 * kPackets) + " "));
    EXPECT_THAT(rows[0], HasSubstr(" 0 (0.0%)"));
    EXPECT_EQ(rows[0].find(" X"), std::string::npos) << rows[0];
    uint32_t ssrc2 = word_at(rtp[0], 8);

    // The RTCP of each slot carries its RTP SSRC, the CNAME and the BYE reason.
    auto fields = [&](const std::string& name, const std::vector<std::string>& packets, unsigned from, unsigned to) {
        std::string pcap = capture(dir, name, packets, from, to);
        return lines(run("tshark -r " + pcap + " -d udp.port==" + std::to_string(to) +
                         ",rtcp -T fields -e rtcp.pt -e rtcp.ssrc.identifier -e rtcp.sdes.text"
                         " -e rtcp.bye_reason_not_padded"));
    };
    char hex[16];
    std::snprintf(hex, sizeof(hex), "0x%08x", ssrc2);
    EXPECT_THAT(fields("rtcp1", rtcp1, l1 + 1, a.port + 1u),
                ElementsAre("202\t0x01020304\tTolvane Veridane,noc@voxbridge.example,+1 555 0100\t",
                            "203\t0x01020304\tsession end\t"));
    EXPECT_THAT(fields("rtcp2", rtcp2, l2 + 1, b.port + 1u),
                ElementsAre(std::string("202\t") + hex + "\tTolvane Veridane,noc@voxbridge.example,+1 555 0100\t",
                            std::string("203\t") + hex + "\tsession end\t"));
}

} // namespace
