// Board channels that the driver takes back, under the running server: a
// slot whose RTP session ended lets go of its channel at once, so the slot
// that gets the channel next keeps its call when the stale one goes; and
// an MCC data slot whose time slot the driver did not give is not made.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "board/hal_requests.h"
#include "board/mcc_requests.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"
#include "tests/signalling/signalling_commands.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using C = LGCP::Command;

namespace {

// The server on the test's own network: the RTP ports found free stay so.
struct ChannelFlow : OwnNetwork {
    ServerProcess server;
    Controller ctl;
    BoardPort board;
    Remote peer;

    bool start() { return server.start() && ctl.connect(server.port()) && board.connect(server.pid()); }
    Texts to(int slot, const LGCP::Command& c) { return ctl.exchange(to_slot(c, slot)); }
    // The channel that the messages announce ("... active : 2048"), -1 when none.
    static int channel_in(const Texts& sent)
    {
        for (const std::string& m : sent)
            if (m.find(" active : ") != std::string::npos && m.find(": -1") == std::string::npos)
                return std::stoi(m.substr(m.rfind(": ") + 2));
        return -1;
    }
    // The device ends its descriptors: what the controller heard until the
    // server logged `seen` after it, and how often slot n said deactivated.
    long deactivated(int n, const std::string& device, const std::string& seen)
    {
        const size_t from = server.err().size();
        EXPECT_THAT(board.ask("hangup " + device), testing::StartsWith("ok "));
        EXPECT_TRUE(eventually([&] { return server.err().find(seen, from) != std::string::npos; })) << seen;
        Texts said = ctl.sync();
        return std::count(said.begin(), said.end(), "slot=" + std::to_string(n) + " deactivated networkError");
    }
    // An RTP slot with VAD and the DTMF detector on, joined to trunk slot 10
    // both ways; its channel.
    int rtp_call(int slot)
    {
        LGCP::Command c = create_rtp(peer.port), vad, dtmf;
        c.get_create().get_rtp().get_codecRTP().include_shost().set_iaddr("127.0.0.1");
        c.get_create().get_rtp().get_codecRTP().get_shost().set_port(free_rtp_port());
        vad.get_ioctl().set_vad_enable(true), dtmf.get_ioctl().set_dtmf_enable(true);
        int channel = channel_in(to(slot, c));
        const std::string done = "slot=" + std::to_string(slot) + " success";
        for (const LGCP::Command& next : {vad, dtmf, simple(C::e_connect, 10)})
            EXPECT_THAT(to(slot, next), Contains(done));
        EXPECT_THAT(to(10, simple(C::e_connect, unsigned(slot))), Contains("slot=10 success"));
        return channel;
    }
    std::string output(int channel) { return board.ask("switch " + std::to_string(channel)); }
    // How many descriptors a VAD event and a DTMF digit of the time slot reach.
    std::string events(int ts)
    {
        return board.ask("dsp " + std::to_string(ts) + " 1 1 1 0") + ", " +
               board.ask("dtmf " + std::to_string(ts) + " 5 77");
    }
};

// Slot 100 loses its session and the engine gives its channel to slot 101,
// which trunk slot 10 then talks with: the stale slot's destroy leaves that
// call, and what slot 101 switched on, as they are.
TEST(ChannelLoss, AStaleSlotsDestroyLeavesItsChannelToTheSlotThatHasItNow)
{
    ChannelFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    ASSERT_THAT(f.to(10, create_trunk(1, 1)), Contains("slot=10 success"));
    const int channel = f.rtp_call(100);
    const std::string fromTrunk = "ok connected 33", toTrunk = "ok connected " + std::to_string(channel);
    ASSERT_EQ(f.output(channel) + f.output(33) + f.events(channel), fromTrunk + toTrunk + "ok 1, ok 1");

    ASSERT_EQ(f.board.ask("hangup /dev/rtp"), "ok 1");
    ASSERT_TRUE(eventually([&] { return f.server.err().find("fail to read from rtp") != std::string::npos; }));
    EXPECT_EQ(f.output(channel), "ok disabled");
    EXPECT_NE(f.output(33), toTrunk);
    EXPECT_EQ(f.events(channel), "ok 0, ok 0");

    ASSERT_EQ(f.rtp_call(101), channel);
    EXPECT_THAT(f.to(100, simple(C::e_destroy)), ElementsAre("slot=100 success"));
    EXPECT_EQ(f.output(channel), fromTrunk);
    EXPECT_EQ(f.output(33), toTrunk);
    EXPECT_EQ(f.events(channel), "ok 1, ok 1");
}

// MCC slot 7 loses its channel, which the driver gives to slot 8, joined
// both ways with trunk slot 11 (channel 34): the output that slot 8's path
// holds by then stays that path's, whatever the lost slot does later.
TEST(ChannelLoss, ALostMccChannelsOutputStaysThePathOfTheSlotThatHasItNow)
{
    ChannelFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    f.to(10, create_trunk(1, 1)), f.to(11, create_trunk(1, 2));
    auto join = [&](int n, int trunk) {
        Texts sent = f.to(n, create_mcc(LGCP::MccType::data));
        Texts joined = f.to(trunk, simple(C::e_connect, unsigned(n)));
        f.to(n, simple(C::e_connect, unsigned(trunk)));
        sent.insert(sent.end(), joined.begin(), joined.end());
        return ChannelFlow::channel_in(sent);
    };
    const int channel = join(7, 10);
    ASSERT_EQ(f.output(channel), "ok connected 33");
    ASSERT_THAT(f.board.ask("hangup /dev/mcc/ctl"), testing::StartsWith("ok "));
    ASSERT_TRUE(eventually([&] { return f.server.err().find("channel lost") != std::string::npos; }));
    EXPECT_EQ(f.output(channel), "ok disabled");
    ASSERT_EQ(join(8, 11), channel) << "the driver gave another channel";
    for (C::Choices step : {C::e_disconnect, C::e_destroy}) {
        f.to(7, simple(step));
        EXPECT_EQ(f.output(channel), "ok connected 34");
        EXPECT_EQ(f.output(34), "ok connected " + std::to_string(channel));
    }
}

// The switch refuses every release while slot 100's session hangs up; once
// it takes requests again, the channel's output ends disabled.
TEST(ChannelLoss, ARefusedReleaseOfALostRtpChannelIsMadeOnceTheSwitchWorksAgain)
{
    ChannelFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    ASSERT_THAT(f.to(10, create_trunk(1, 1)), Contains("slot=10 success"));
    const int channel = f.rtp_call(100);
    auto refuse = [&](const char* how) {
        for (unsigned long release : {Device::Hal::SWITCH_WRITE, Device::Hal::SWITCH_DISABLE})
            ASSERT_EQ(f.board.ask("fail /dev/hal " + std::to_string(release) + how), "ok");
    };
    refuse(" 5 always");
    ASSERT_EQ(f.board.ask("hangup /dev/rtp"), "ok 1");
    ASSERT_TRUE(eventually([&] { return f.server.err().find("fail to read from rtp") != std::string::npos; }));
    EXPECT_EQ(f.output(channel), "ok connected 33") << "refused";
    refuse(" 0");
    EXPECT_TRUE(eventually([&] { return f.output(channel) == "ok disabled"; })) << f.output(channel);
}

// The driver allocates the channel but fails to give its time slot once:
// that create is refused with the channel given back, and the next works.
TEST(ChannelLoss, AnMccDataSlotWithoutItsTimeSlotIsNotMade)
{
    ChannelFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    LGCP::Command mcc = create_mcc(LGCP::MccType::data);
    ASSERT_THAT(f.to(10, create_trunk(1, 1)), Contains("slot=10 success"));
    ASSERT_EQ(f.board.ask("fail /dev/mcc/ctl " + std::to_string(Device::Mcc::MCC_TIMESLOT) + " 5"), "ok");
    EXPECT_THAT(f.to(7, mcc), ElementsAre("slot=7 error insufficientResources"));
    EXPECT_THAT(f.board.ask("mcc-channel 1024"), testing::StartsWith("error no channel"));

    EXPECT_THAT(f.to(7, mcc), ElementsAre("slot=7 success"));
    Texts joined = f.to(10, simple(C::e_connect, 7));
    EXPECT_THAT(joined, Contains("slot=10 success"));
    EXPECT_EQ(f.output(ChannelFlow::channel_in(joined)), "ok connected 33");
}

// A packet link whose channel ends with that of a slot it is joined to (its
// only line, or a receiver beside a line that stays) is told gone once,
// whichever end is read first, and opens no channel until asked.
TEST(ChannelLoss, APacketLinkWhoseChannelEndedSaysSoOnceAndStaysClosed)
{
    ChannelFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    LGCP::Command map;
    map.get_create().get_map().include_transmitter().set_bus(0);
    map.get_create().get_map().get_transmitter().set_channel(5);
    const std::pair<LGCP::Command, bool> lines[] = {
        {create_mcc(LGCP::MccType::transparent), false}, {create_trunk(1, 10), true}, {map, true}};
    for (const auto& line : lines) {
        f.to(182, line.first), f.to(137, hdlc_params(1, 7));
        f.to(182, simple(C::e_connect, 137)), f.to(137, simple(C::e_connect, 182));
        if (line.second)
            f.to(218, create_mcc(LGCP::MccType::data)), f.to(137, simple(C::e_connect, 218));
        EXPECT_THAT(f.to(137, simple(C::e_activate)), Contains("slot=137 success"));
        EXPECT_EQ(f.deactivated(137, "/dev/mcc/ctl", "hdlc [1/0]: read error: end of file"), 1);
        EXPECT_EQ(f.board.ask("hangup /dev/mcc/ctl"), "ok 0") << "a channel opened unasked";
        if (line.second)
            EXPECT_THAT(f.to(137, simple(C::e_activate)), ElementsAre("slot=137 success"));
        else
            EXPECT_THAT(f.to(137, simple(C::e_activate)),
                        ElementsAre("slot=137 deactivated networkError", "slot=137 success"));
        if (line.first.get_create().is_trunk()) {
            // Joined to a second line, then left by it: back on the first.
            f.to(190, create_trunk(1, 11));
            EXPECT_THAT(f.to(137, simple(C::e_connect, 190)), Contains("slot=137 success"));
            EXPECT_THAT(f.to(137, simple(C::e_disconnect)), Contains("slot=137 success"));
            EXPECT_THAT(f.output(42), testing::StartsWith("ok connected ")) << "the line that stays";
            f.to(190, simple(C::e_destroy));
        }
        EXPECT_EQ(f.board.ask("hangup /dev/mcc/ctl"), line.second ? "ok 1" : "ok 0") << "the line that stays";
        for (int n : {137, 182, 218})
            f.to(n, simple(C::e_destroy));
    }
}

// A packet link, or a BRI network-side link, joined both ways with a slot
// that is lost: both joins go, and the link is told gone once. The packet
// link then holds no line: an activate finds none, a connection gives one.
TEST(ChannelLoss, ALinkWhosePartnerIsLostSaysSoOnce)
{
    ChannelFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    for (const std::pair<int, LGCP::Command>& link : {std::make_pair(30, pstn_isdn(true, 3, true)),
                                                     std::make_pair(137, hdlc_params(1, 7))}) {
        const int n = link.first;
        f.to(n, link.second), f.to(n + 1, create_rtp_on(f.peer.port, free_rtp_port()));
        f.to(n + 1, simple(C::e_connect, unsigned(n))), f.to(n, simple(C::e_connect, unsigned(n + 1)));
        f.to(n, simple(C::e_activate));
        EXPECT_EQ(f.deactivated(n, "/dev/rtp", "fail to read from rtp"), 1) << n;
    }
    EXPECT_EQ(f.board.ask("descriptors /dev/mcc/ctl"), "ok 0");
    EXPECT_THAT(f.to(137, simple(C::e_activate)), ElementsAre("slot=137 deactivated networkError", "slot=137 success"));
    EXPECT_EQ(f.board.ask("descriptors /dev/mcc/ctl"), "ok 0");
    f.to(10, create_trunk(1, 1));
    EXPECT_THAT(f.to(137, simple(C::e_connect, 10)), Contains("slot=137 success"));
    EXPECT_EQ(f.board.ask("descriptors /dev/mcc/ctl"), "ok 1");
}

// The source of an E1 link loses its channel: the link is told gone, what
// it fed into that channel's output is fed by nothing, and the slot that
// the driver gives the channel next hears nothing of the link.
TEST(ChannelLoss, AnE1LinksLostSourceIsFedByNothing)
{
    ChannelFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    ASSERT_THAT(f.to(10, create_trunk(1, 1)), Contains("slot=10 success"));
    for (const LGCP::Command& link : {ss7(1), pstn_isdn(false, 1, false)})
        for (const std::string device : {"/dev/rtp", "/dev/mcc/ctl"}) {
            SCOPED_TRACE(device);
            auto source = [&](int n, int to) {
                Texts sent = f.to(n, device == "/dev/rtp" ? create_rtp_on(f.peer.port, free_rtp_port())
                                                          : create_mcc(LGCP::MccType::data));
                Texts joined = f.to(n, simple(C::e_connect, unsigned(to)));
                sent.insert(sent.end(), joined.begin(), joined.end());
                return ChannelFlow::channel_in(sent);
            };
            f.to(40, link);
            const int channel = source(41, 40);
            const std::string fromLink = f.output(channel);
            ASSERT_THAT(fromLink, testing::StartsWith("ok connected "));
            EXPECT_EQ(f.deactivated(40, device, device == "/dev/rtp" ? "fail to read from rtp" : "channel lost"), 1);
            EXPECT_EQ(f.output(channel), "ok disabled");
            EXPECT_EQ(source(42, 10), channel) << "the driver gave another channel";
            EXPECT_NE(f.output(channel), fromLink);
            for (int n : {40, 41, 42})
                f.to(n, simple(C::e_destroy));
        }
}

// The DSP data channel of an ATS-QSIG slot ends: the slot, which stays
// until its destroy, keeps no descriptor of it.
TEST(ChannelLoss, AnAtsQsigSlotWhoseDataChannelEndedKeepsNoDescriptorOfIt)
{
    ChannelFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    f.to(50, ats_qsig()), f.to(51, ats_qsig_b(50, 1));
    ASSERT_NE(f.board.ask("descriptors /dev/dsp-data"), "ok 0");
    f.deactivated(50, "/dev/dsp-data", "channel lost");
    EXPECT_EQ(f.board.ask("descriptors /dev/dsp-data"), "ok 0");
}

// A packet link runs on a slot's channel and leaves that line first (its
// line end keeps the idle byte there); then the slot goes. Once the link
// goes too, the output rests as its own slot asked: disabled. An MCC slot
// that is lost takes the line end with it at once.
TEST(ChannelLoss, AChannelsOwnOutputRestsAsItsSlotAskedWhateverALinkLeftThere)
{
    for (const char* kind : {"mcc lost", "rtp destroyed"}) {
        SCOPED_TRACE(kind);
        const bool mcc = kind[0] == 'm';
        ChannelFlow f;
        ASSERT_TRUE(f.start()) << f.server.err();
        f.to(12, create_trunk(1, 3)), f.to(70, hdlc_params(1, 1));
        // An MCC slot announces its channel with its first connection.
        int channel = f.channel_in(f.to(40, mcc ? create_mcc(LGCP::MccType::data)
                                                  : create_rtp_on(f.peer.port, free_rtp_port())));
        if (!mcc) {
            ASSERT_THAT(f.to(12, simple(C::e_connect, 40)), Contains("slot=12 success"));
            ASSERT_THAT(f.to(40, simple(C::e_disconnect)), Contains("slot=40 success"));
        }
        const Texts joined = f.to(70, simple(C::e_connect, 40));
        ASSERT_THAT(joined, Contains("slot=70 success"));
        channel = mcc ? f.channel_in(joined) : channel;
        ASSERT_GE(channel, 0);
        EXPECT_THAT(f.to(40, simple(mcc ? C::e_disconnect : C::e_destroy)), Contains("slot=40 success"));
        // The link's line end, once its channel left.
        EXPECT_TRUE(eventually([&] { return f.output(channel) == "ok constant d5"; })) << f.output(channel);
        if (mcc) {
            EXPECT_THAT(f.board.ask("hangup /dev/mcc/ctl"), testing::StartsWith("ok "));
            EXPECT_TRUE(eventually([&] { return f.output(channel) == "ok disabled"; })) << f.output(channel);
            f.to(40, simple(C::e_destroy));
        }
        f.to(70, simple(C::e_destroy));
        EXPECT_TRUE(eventually([&] { return f.output(channel) == "ok disabled"; })) << f.output(channel);
    }
}

} // namespace
