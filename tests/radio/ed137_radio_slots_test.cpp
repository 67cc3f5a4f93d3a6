// The ED-137 factory and gateway slot through the slot table on the
// simulated board: which creations it takes, the session and extension
// records it builds, the timings from the radio response, the channel word
// across a codec restart, the squelch gate and descriptors over many slots.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "radio/ed137_radio_slots.h"
#include "tests/radio/ed137_messages.h"
#include "tests/radio/radio_world.h"

using namespace vbradio;
using namespace Device::RtpExt;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

struct ED137Slots : ::testing::Test, RadioWorld {
    RtpED137Factory ed137;

    LGCP::Command create(const std::function<void(TERM::RtpParams&)>& more = nullptr,
                         TERM::Payload::NamedNumber payload = TERM::Payload::ptG711_Alaw)
    {
        LGCP::Command c = vbtest::create_rtp(port, payload);
        TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
        p.include_radio().set_status(ed137_status());
        more ? more(p) : void();
        return c;
    }
    static TERM::ED137RadioResponse& response(TERM::RtpParams& p)
    {
        TERM::ED137RadioResponse& r = p.get_radio().get_status().get_ed_137().include_radio_response();
        r.set_type(TERM::ED137RadioType::radio_txrx);
        r.set_txrxmode(TERM::ED137RadioTxRxMode::txrx);
        r.set_ptt_id(1);
        return r;
    }
    RtpED137RadioGWSlot* gw(unsigned n) { return dynamic_cast<RtpED137RadioGWSlot*>(slots().at(n)); }
    vbtest::Texts rtp_ext(unsigned n, TERM::RadioModifier const& m)
    {
        return command(vbtest::ioctl_command([&](LGCP::IoctlParams& p) { p.set_rtpExt(m); }), int(n));
    }
};

TEST_F(ED137Slots, OnlyAnED137RadioStatusIsTakenWithAnRtpCodec)
{
    LGCP::Command lemz = create([](TERM::RtpParams& p) { p.get_radio().set_status(lemz_status(false)); });
    log.clear();
    EXPECT_EQ(ed137.INewSlot(lemz.get_create()), nullptr);
    EXPECT_EQ(ed137.INewSlot(vbtest::create_rtp(port).get_create()), nullptr);
    EXPECT_EQ(log.str(), "");
    for (auto payload : {TERM::Payload::ptR2S, TERM::Payload::ptT38_UDP_TL, TERM::Payload::ptT38_TCP_TPKT}) {
        log.clear();
        EXPECT_EQ(ed137.INewSlot(create(nullptr, payload).get_create()), nullptr);
        EXPECT_THAT(log.str(), HasSubstr("rtp do not created: payload "));
        EXPECT_THAT(log.str(), HasSubstr("not found"));
    }
    EXPECT_EQ(engine().sessions(), 0u);
}

TEST_F(ED137Slots, AGatewaySlotOnItsOwnSessionSendsTheInitialStatus)
{
    EXPECT_THAT(command(create(), 1), ElementsAre("slot=1 success", "slot=1 transmitter active : 2048",
                                                  "slot=1 receiver active : 2048"));
    ASSERT_NE(gw(1), nullptr);
    EXPECT_STREQ(gw(1)->GetName(), "rtp ext ED137 (GW)");
    EXPECT_THAT(log.str(), HasSubstr("rtp ext ED137["));
    EXPECT_THAT(log.str(), HasSubstr("do create rtp ext ED137: "));
    EXPECT_THAT(sim.board.ioctls(kDevice, RTP_EXT_INIT).back().in, ElementsAre(0x0167u, 1u, 123u, 10u, 1u));
    EXPECT_THAT(sim.board.ioctls(kDevice, RTP_EXT_ATTACH).back().in,
                ElementsAre(uint32_t(gw(1)->rtp_fd()), uint32_t(-1)));
    EXPECT_NE(session().attached, nullptr);
    EXPECT_THAT(session().written, ElementsAre(std::string(4, '\0')));
    EXPECT_TRUE(gw(1)->control()->timer_enabled());
    EXPECT_EQ(gw(1)->control()->interval(), 1000u);
    EXPECT_EQ(gw(1)->control()->role(), RTPSignalling::RadioControl::gateway);
    EXPECT_FALSE(gw(1)->ed137()->params().transmission_depend_on_squ);
    EXPECT_EQ(sim.board.ioctls(Device::Rtp::kDevice, Device::Rtp::RTP_ADD_CHANNEL).back().in[3], 0u);
}

TEST_F(ED137Slots, TheRadioResponseSetsTheTimings)
{
    command(create([](TERM::RtpParams& p) {
                TERM::ED137RadioResponse& r = response(p);
                r.set_r2s_keepalive_period(100);
                r.set_r2s_keepalive_multiplier(4);
                r.set_sigtime(3);
                r.set_txrxmode(TERM::ED137RadioTxRxMode::rx);
                p.set_pfactor(1);
            }),
            1);
    ASSERT_NE(gw(1), nullptr);
    EXPECT_EQ(gw(1)->control()->interval(), 200u);
    EXPECT_THAT(sim.board.ioctls(kDevice, RTP_EXT_INIT).back().in, ElementsAre(0x0167u, 1u, 123u, 30u, 3u));
    EXPECT_EQ(gw(1)->ed137()->params().txrxmode, 1u);
    // Silent for 400 ms: lost.
    advance(400);
    EXPECT_THAT(controller(), ElementsAre("slot=1 abort 151"));
}

TEST_F(ED137Slots, BssEnableSurvivesACodecRestartAndTheExtensionFollows)
{
    command(create([](TERM::RtpParams& p) { p.get_radio().set_bss_enable(true); }), 1);
    EXPECT_EQ(sim.board.ioctls(Device::Rtp::kDevice, Device::Rtp::RTP_ADD_CHANNEL).back().in[3], 1u);
    EXPECT_THAT(command(vbtest::ioctl_command([](LGCP::IoctlParams& p) { p.set_encoder_mode(LGCP::CodecMode::ulaw); }), 1),
                ElementsAre("slot=1 success"));
    auto added = sim.board.ioctls(Device::Rtp::kDevice, Device::Rtp::RTP_ADD_CHANNEL);
    ASSERT_EQ(added.size(), 2u);
    EXPECT_EQ(added.back().in[0], uint32_t(gw(1)->channel()));
    EXPECT_EQ(added.back().in[3], 1u);
    EXPECT_EQ(sim.board.ioctls(kDevice, RTP_EXT_ATTACH).back().in[0], uint32_t(gw(1)->rtp_fd()));
    EXPECT_NE(session().attached, nullptr);
}

TEST_F(ED137Slots, AGatedInputFollowsTheRadiosSquelch)
{
    command(create([](TERM::RtpParams& p) { response(p).set_transmission_depend_on_squ(true); }), 1);
    ASSERT_NE(gw(1), nullptr);
    size_t starts = requests(Device::Rtp::kDevice, Device::Rtp::RTP_INPUT_START);
    size_t stops = requests(Device::Rtp::kDevice, Device::Rtp::RTP_INPUT_STOP);
    EXPECT_THAT(rtp_ext(1, ed137_modifier(true, {TERM::ED137RadioPTT::ptt_off, true})), ElementsAre("slot=1 success"));
    rtp_ext(1, ed137_modifier(true, {TERM::ED137RadioPTT::ptt_off, true, 1}));
    EXPECT_EQ(requests(Device::Rtp::kDevice, Device::Rtp::RTP_INPUT_START), starts + 1);
    rtp_ext(1, ed137_modifier(true, {TERM::ED137RadioPTT::ptt_off, false}));
    rtp_ext(1, ed137_modifier(true, {TERM::ED137RadioPTT::ptt_off, false, 1}));
    EXPECT_EQ(requests(Device::Rtp::kDevice, Device::Rtp::RTP_INPUT_STOP), stops + 1);
    // Another protocol's command is refused.
    EXPECT_THAT(rtp_ext(1, wm_trans(true, "10.0.0.9")), ElementsAre("slot=1 error unsupported"));
    // One whose address does not parse is the controller's error, and opens no squelch.
    EXPECT_THAT(rtp_ext(1, ed137_modifier(true, {TERM::ED137RadioPTT::ptt_off, true}, "10.0.0.09")),
                ElementsAre("slot=1 error invalidParams"));
    EXPECT_EQ(requests(Device::Rtp::kDevice, Device::Rtp::RTP_INPUT_START), starts + 1);
}

TEST_F(ED137Slots, TwoHundredSlotsComeAndGoWithoutADescriptorLeft)
{
    churn([&] { return create(); }, 1000);
}

} // namespace
