// RTP streams through the running server, as call flows: a controller
// creates, connects and destroys RTP slots, RTP goes in and out on the
// loopback, and the board's test port shows the session gone.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "board/dtmf_requests.h"
#include "board/rtp_requests.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/server_process.h"
#include "tests/e2e/flow_commands.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

// The channel in "slot=1 transmitter active : 2048".
int channel_of(const std::string& signal)
{
    size_t at = signal.rfind(": ");
    return at == std::string::npos ? -1 : std::stoi(signal.substr(at + 2));
}

// Waits for the next datagram at the peer; "" after timeout_ms.
std::string next_datagram(const UdpPeer& p, int timeout_ms = 2000)
{
    pollfd f{p.s.get(), POLLIN, 0};
    return ::poll(&f, 1, timeout_ms) == 1 ? p.take() : std::string();
}

class RtpFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start()) << server.err();
        ASSERT_TRUE(ctl.connect(server.port()));
        ASSERT_TRUE(board.connect(server.pid()));
    }

    // Slot n towards remote from local port `local`; the creation's messages.
    Texts create(unsigned n, const Remote& remote, uint16_t local,
                 const std::function<void(TERM::RtpParams&)>& more = nullptr)
    {
        LGCP::Command c = create_rtp(remote.port);
        TERM::HostAddress& shost = c.get_create().get_rtp().get_codecRTP().include_shost();
        shost.set_iaddr("127.0.0.1");
        shost.set_port(local);
        more ? more(c.get_create().get_rtp().get_codecRTP()) : void();
        return ctl.exchange(to_slot(c, n));
    }

    ServerProcess server;
    Controller ctl;
    BoardPort board;
};

TEST_F(RtpFlow, TwoSlotsCarryRtpAndByeAtTheEnd)
{
    Remote a, b;
    uint16_t l1 = free_rtp_port(), l2 = free_rtp_port();
    Texts one = create(1, a, l1, [](TERM::RtpParams& p) { p.set_ssrc(0x01020304); });
    ASSERT_EQ(one.size(), 3u);
    EXPECT_EQ(one[0], "slot=1 success");
    EXPECT_THAT(one[1], HasSubstr("slot=1 transmitter active"));
    EXPECT_THAT(one[2], HasSubstr("slot=1 receiver active"));
    int c1 = channel_of(one[1]);
    Texts two = create(2, b, l2);
    ASSERT_EQ(two.size(), 3u);
    EXPECT_EQ(two[0], "slot=2 success");

    // Each announced itself at the remote RTP port + 1.
    std::string sdes1 = next_datagram(a.rtcp), sdes2 = next_datagram(b.rtcp);
    ASSERT_GE(sdes1.size(), 8u);
    ASSERT_GE(sdes2.size(), 8u);
    EXPECT_EQ(uint8_t(sdes1[1]), 202);
    EXPECT_EQ(word_at(sdes1, 4), 0x01020304u);
    uint32_t ssrc2 = word_at(sdes2, 4);

    // 1 to 2: RTP sent to 1 comes out of 2.
    EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 2), 1)),
                testing::Contains("slot=1 success"));
    a.rtp.send(l1, rtp_packet(8, 100, 800, 0x0A0A0A0A, "hello"));
    ASSERT_TRUE(eventually([&] { return b.rtp.ready(); }, 2000));
    std::string first = b.rtp.take();
    ASSERT_EQ(first.size(), 17u);
    EXPECT_EQ(uint8_t(first[1]), 8);
    EXPECT_EQ(word_at(first, 8), ssrc2);
    EXPECT_EQ(first.substr(12), "hello");

    // Destroy 1: BYE, its ports free, and it is gone.
    EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 1)),
                testing::Contains("slot=1 success"));
    std::string bye = next_datagram(a.rtcp);
    ASSERT_GE(bye.size(), 8u);
    EXPECT_EQ(uint8_t(bye[1]), 203);
    EXPECT_EQ(word_at(bye, 4), 0x01020304u);
    EXPECT_TRUE(eventually([&] { return UdpPeer(l1).port() == l1 && UdpPeer(uint16_t(l1 + 1)).port() == l1 + 1; }));
    EXPECT_THAT(board.ask("rtp-session " + std::to_string(c1)), HasSubstr("error no session"));
    EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 1)),
                ElementsAre("slot=1 error slotNotExists"));
}

// An RTP slot created with the echo canceller while the tone device is
// gone: the create succeeds, and the canceller reaches the device once it
// is back, with no command.
TEST_F(RtpFlow, AnEchoCancellerGivenAtCreateReachesTheToneDeviceOnceItIsBack)
{
    const std::string dtmf = Device::Dtmf::kDevice;
    ASSERT_EQ(board.ask("record on"), "ok");
    ASSERT_EQ(board.ask("fail " + dtmf + " open 19 always"), "ok");
    ASSERT_EQ(board.ask("hangup " + dtmf).compare(0, 2, "ok"), 0);
    Remote a;
    Texts made = create(1, a, free_rtp_port(), [](TERM::RtpParams& p) {
        p.include_echo().set_suppressor(true);
        p.get_echo().set_canceller(true);
    });
    ASSERT_EQ(made.size(), 3u);
    EXPECT_EQ(made[0], "slot=1 success");
    int ch = channel_of(made[1]);

    ASSERT_EQ(board.ask("fail " + dtmf + " open 0"), "ok");
    const std::string log = "log " + dtmf + " " + std::to_string(Device::Dtmf::CHANNEL_LMS_ON);
    std::ostringstream taken;
    taken << std::hex << ch << "=0";
    EXPECT_TRUE(eventually([&] { return board.ask(log).find(" " + taken.str()) != std::string::npos; }, 4000))
        << board.ask(log);
}

TEST(RtpServers, TwoServersDrawDifferentSsrcs)
{
    std::vector<uint32_t> ssrcs;
    for (int i = 0; i < 2; ++i) {
        ServerProcess server;
        ASSERT_TRUE(server.start()) << server.err();
        Controller ctl(server.port());
        Remote r;
        LGCP::Command c = create_rtp(r.port);
        TERM::HostAddress& shost = c.get_create().get_rtp().get_codecRTP().include_shost();
        shost.set_iaddr("127.0.0.1");
        shost.set_port(free_rtp_port());
        ASSERT_THAT(ctl.exchange(to_slot(c, 1)), testing::Contains("slot=1 success"));
        std::string sdes = next_datagram(r.rtcp);
        ASSERT_GE(sdes.size(), 8u);
        ssrcs.push_back(word_at(sdes, 4));
    }
    EXPECT_NE(ssrcs[0], ssrcs[1]);
}

} // namespace
