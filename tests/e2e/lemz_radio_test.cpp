// A LEMZ radio channel through the running server, as a call flow: the
// controller creates the slot, the radio side's packets ride the RTP
// header extension (RFC 3550 5.3.1) of real RTP on the loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "board/dsp_requests.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/server_process.h"
#include "tests/e2e/flow_commands.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::HasSubstr;

namespace {

const uint16_t kLemzProfile = 0x1337;

// The LEMZ packet type of an RTP packet carrying only a LEMZ extension, -1
// for anything else.
int lemz_type(const std::string& p)
{
    if (p.size() < 20 || (uint8_t(p[0]) & 0x10) == 0)
        return -1;
    size_t at = 12 + 4 * (uint8_t(p[0]) & 0x0F);
    if (at + 8 > p.size() || (uint8_t(p[at]) << 8 | uint8_t(p[at + 1])) != kLemzProfile)
        return -1;
    return uint8_t(p[at + 4]);
}

// An RTP packet carrying one LEMZ packet as its extension, without payload.
std::string with_lemz(const std::string& lemz)
{
    return rtp_with_extension(kLemzProfile, lemz);
}

class LemzFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start()) << server.err();
        ASSERT_TRUE(ctl.connect(server.port()));
    }

    Texts create(unsigned n, uint16_t remote, uint16_t local,
                 const std::function<void(TERM::RtpRadioRequest&)>& more = nullptr)
    {
        LGCP::Command c = create_rtp(remote);
        TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
        p.include_shost().set_iaddr("127.0.0.1");
        p.include_shost().set_port(local);
        p.include_radio().get_status().get_lemz().get_freq().set_frequency("0.0");
        more ? more(p.get_radio()) : void();
        return ctl.exchange(to_slot(c, n));
    }
    // The LEMZ types that reach the peer within ms.
    std::multiset<int> types_within(const UdpPeer& peer, int ms)
    {
        std::multiset<int> out;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            pollfd f{peer.s.get(), POLLIN, 50};
            if (::poll(&f, 1, 50) == 1)
                out.insert(lemz_type(peer.take()));
        }
        return out;
    }

    ServerProcess server;
    Controller ctl;
};

TEST_F(LemzFlow, StatusOutReportsInAndSilenceAfterDestroy)
{
    UdpPeer radio_side;
    uint16_t local = free_rtp_port();
    Texts created = create(1, radio_side.port(), local);
    ASSERT_EQ(created.size(), 3u);
    EXPECT_EQ(created[0], "slot=1 success");
    EXPECT_THAT(created[1], HasSubstr("transmitter active"));
    EXPECT_THAT(created[2], HasSubstr("receiver active"));

    // Each second: the remote channel and the channel status.
    std::multiset<int> seen = types_within(radio_side, 2300);
    EXPECT_GE(seen.count(134), 2u);
    EXPECT_GE(seen.count(132), 2u);
    EXPECT_GE(seen.count(129), 2u);
    EXPECT_EQ(seen.count(-1), 0u);

    // GW_FLAG_PTT, priority 3, ptt set.
    radio_side.send(local, with_lemz(std::string("\x03\x34\x00\x00", 4)));
    std::string report = ctl.next();
    EXPECT_THAT(report, HasSubstr("slot=1 rtpExt"));
    EXPECT_THAT(report, HasSubstr("gw-set-ptt"));
    EXPECT_THAT(report, HasSubstr("\"127.0.0.1\""));

    ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 1));
    types_within(radio_side, 100);
    EXPECT_TRUE(types_within(radio_side, 1500).empty());
}

// A radio slot created with BSS while the DSP device is gone: the create
// succeeds, and BSS reaches the device once it is back, with no command.
TEST_F(LemzFlow, BssGivenAtCreateReachesTheDspDeviceOnceItIsBack)
{
    BoardPort board(server.pid());
    const std::string dsp = Device::Dsp::kDevice;
    ASSERT_EQ(board.ask("record on"), "ok");
    ASSERT_EQ(board.ask("fail " + dsp + " open 19 always"), "ok");
    ASSERT_EQ(board.ask("hangup " + dsp).compare(0, 2, "ok"), 0);
    UdpPeer radio_side;
    Texts created = create(1, radio_side.port(), free_rtp_port(),
                           [](TERM::RtpRadioRequest& r) { r.set_bss_enable(true); });
    ASSERT_EQ(created.size(), 3u);
    EXPECT_EQ(created[0], "slot=1 success");
    std::string ch = created[1].substr(created[1].rfind(": ") + 2);

    ASSERT_EQ(board.ask("fail " + dsp + " open 0"), "ok");
    // A BSS score is reported only on a time slot whose BSS is on.
    EXPECT_TRUE(eventually([&] { return board.ask("dsp " + ch + " 16 0 0 0") == "ok 1"; }, 4000))
        << board.ask("log " + dsp + " " + std::to_string(Device::Dsp::DSPROC_ENABLE));
    EXPECT_THAT(ctl.next(2000), HasSubstr("slot=1 bss"));
}

} // namespace
