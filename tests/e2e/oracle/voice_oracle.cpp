// The RTP leg of a prompt played through the running server, read by
// tshark: the file player feeds an rtp slot, every datagram is kept, and
// the dissector's stream analysis must find one clean stream whose
// payloads are the prompt files, byte for byte.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>

#include "tests/e2e/server_process.h"
#include "tests/support/lgcp_frames.h"
#include "tests/support/oracle_tools.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::HasSubstr;

namespace {

TEST(VoiceOracle, TsharkFindsOneCleanStreamOfThePrompts)
{
    require("text2pcap");
    require("tshark");
    ServerProcess server;
    std::string a(4000, '\0'), b(800, '\0');
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = static_cast<char>(0xD5 ^ (i & 0x3F));
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<char>(0x55 + (i % 7));
    std::ofstream(server.path("/usr/local/voice/a"), std::ios::binary) << a;
    std::ofstream(server.path("/usr/local/voice/b"), std::ios::binary) << b;
    ASSERT_TRUE(server.start()) << server.err();
    Controller ctl(server.port());

    Remote remote;
    uint16_t local = free_rtp_port();
    LGCP::Command rtp = create_rtp(remote.port);
    TERM::HostAddress& shost = rtp.get_create().get_rtp().get_codecRTP().include_shost();
    shost.set_iaddr("127.0.0.1");
    shost.set_port(local);
    ASSERT_THAT(ctl.exchange(lgcp(rtp, -1, 1)), testing::Contains("slot=1 success"));
    LGCP::Command play;
    LGCP::PlayerParams_file& f = play.get_create().get_voice().get_player().get_file();
    f.get_name().push_back(ASN1::IA5String("a"));
    f.get_name().push_back(ASN1::IA5String("b"));
    f.set_repeat(2);
    ASSERT_THAT(ctl.exchange(lgcp(play, -1, 2)), testing::Contains("slot=2 success"));
    LGCP::Command connect;
    connect.set_connect(1);
    ctl.send(lgcp(connect, -1, 2));

    std::vector<std::string> packets;
    size_t bytes = 0;
    pollfd pf{remote.rtp.s.get(), POLLIN, 0};
    while (bytes < 2 * (a.size() + b.size()) && ::poll(&pf, 1, 3000) == 1) {
        packets.push_back(remote.rtp.take());
        bytes += packets.back().size() - 12;
    }
    std::string payload;
    for (const std::string& p : packets)
        payload += p.substr(12);
    ASSERT_EQ(payload, a + b + a + b);

    TempDir dir;
    std::ofstream(dir.file("voice.txt")) << hexdump(packets);
    std::string pcap = dir.file("voice.pcap");
    run("text2pcap -q -u " + std::to_string(local) + "," + std::to_string(remote.port) + " " + dir.file("voice.txt") +
        " " + pcap);
    std::string streams =
        run("tshark -r " + pcap + " -q -z rtp,streams -d udp.port==" + std::to_string(remote.port) + ",rtp");
    std::vector<std::string> rows;
    for (const std::string& line : lines(streams))
        if (line.find(std::to_string(remote.port)) != std::string::npos)
            rows.push_back(line);
    ASSERT_EQ(rows.size(), 1u) << streams;
    EXPECT_THAT(rows[0], HasSubstr(" " + std::to_string(packets.size()) + " "));
    EXPECT_THAT(rows[0], HasSubstr(" 0 (0.0%)"));
    EXPECT_EQ(rows[0].find(" X"), std::string::npos) << rows[0];
}

} // namespace
