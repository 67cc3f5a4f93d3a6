// The RTP slot on the simulated RTP engine: its ioctls, payload changes
// (a new session on the same channel), events, media across the switch,
// the teardown and what it leaves behind.
#include <fcntl.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "media/rtp_session.h"
#include "tests/media/rtp_support.h"

using namespace vbtest;
using namespace Device::Rtp;
using testing::ElementsAre;
using testing::HasSubstr;
using C = LGCP::Command;
using I = LGCP::IoctlParams;

namespace {

struct RtpSlotTest : ::testing::Test, RtpWorld {
    // The slots go by the controller's destroy while this board's tone and
    // DSP services live (the table's own end would come after them), and
    // leave nothing switched on in the engine, the tone or the DSP device.
    void TearDown() override
    {
        std::vector<uint32_t> channels;
        for (unsigned n = 0; n < Slots::size; ++n)
            if (RtpSlot* s = rtp(n)) {
                if (s->channel() >= 0)
                    channels.push_back(uint32_t(s->channel()));
                EXPECT_THAT(destroy(int(n)), testing::Contains(testing::EndsWith("success")));
            }
        for (uint32_t ch : channels) {
            SimBoard::DtmfDevice::TimeSlot t = dtmf().timeslot(ch);
            EXPECT_FALSE(t.detector || t.iva || t.rejection) << "time slot " << ch;
            for (auto& f : dsp().timeslot(ch).features)
                EXPECT_FALSE(f.second.on) << "time slot " << ch << " feature " << f.first;
        }
        EXPECT_EQ(engine().sessions(), 0u);
    }

    // Slot n talking to remote from a local port of its own.
    RtpSlot& make(int n, Remote& remote, const std::function<void(TERM::RtpParams&)>& more = nullptr)
    {
        C c = create_rtp(remote.port);
        TERM::HostAddress& shost = c.get_create().get_rtp().get_codecRTP().include_shost();
        shost.set_iaddr("127.0.0.1");
        shost.set_port(free_rtp_port());
        more ? more(c.get_create().get_rtp().get_codecRTP()) : void();
        EXPECT_THAT(command(c, n), testing::Contains(testing::EndsWith("success")));
        return *rtp(unsigned(n));
    }
    Texts ioctl(int n, const std::function<void(I&)>& fill) { return command(ioctl_command(fill), n); }
    std::vector<SimBoard::Request> requests(const std::string& device, unsigned long number)
    {
        return sim.board.ioctls(device, number);
    }
    const SimBoard::RtpEngine::Session& session(RtpSlot& s) { return *engine().session(s.channel()); }
    // What the controller receives while the loop runs, until n messages
    // came or timeout_ms passed.
    Texts await(size_t n, int timeout_ms = 1000)
    {
        Texts got;
        run_real([&] {
            for (const std::string& t : controller())
                got.push_back(t);
            return got.size() >= n;
        }, timeout_ms);
        return got;
    }
    // An RTP packet from remote into slot s's local port; what came out at
    // `to` (an empty text when nothing came).
    std::string through(RtpSlot& s, Remote& from, Remote& to, uint8_t pt, const std::string& payload, uint16_t seq = 1)
    {
        from.rtp.send(s.params().local_port, rtp_packet(pt, seq, 160 * seq, 0xABCDEF01, payload));
        run_real([&] { return to.rtp.ready(); }, 300);
        return to.rtp.take();
    }
};

TEST_F(RtpSlotTest, HandledIoctlsReachTheirDeviceOthersAreUnsupported)
{
    Remote remote;
    RtpSlot& s = make(1, remote);
    struct Row {
        const char* name;
        std::function<void(I&)> fill;
        const char* device;
        unsigned long request;
    } rows[] = {
        {"echoSuppressor", [](I& i) { i.set_echoSuppressor(true); }, Device::Dtmf::kDevice, Device::Dtmf::CHANNEL_LMS_ON},
        {"dtmf-enable", [](I& i) { i.set_dtmf_enable(true); }, Device::Dtmf::kDevice, Device::Dtmf::DTMF_ENABLE_DETECTOR},
        {"dtmf-reject-enable", [](I& i) { i.set_dtmf_reject_enable(true); }, Device::Dtmf::kDevice,
         Device::Dtmf::DTMF_REJECTION_ENABLE},
        {"vad-enable", [](I& i) { i.set_vad_enable(true); }, Device::Dsp::kDevice, Device::Dsp::DSPROC_ENABLE},
        {"sd-enable", [](I& i) { i.set_sd_enable(true); }, Device::Dsp::kDevice, Device::Dsp::DSPROC_ENABLE},
        {"rx-gain", [](I& i) { i.get_rx_gain().set_gainDB(-6); }, Device::Dsp::kDevice, Device::Dsp::DSPROC_CONFIGURE},
        {"pd-enable", [](I& i) { i.get_pd_enable().set_timeout(8); }, Device::Rtp::kDevice, RTP_SET_EVENT},
        {"pd-disable", [](I& i) { i.set_pd_disable(); }, Device::Rtp::kDevice, RTP_RESET_EVENT},
    };
    for (const Row& r : rows) {
        size_t before = requests(r.device, r.request).size();
        EXPECT_THAT(ioctl(1, r.fill), ElementsAre("slot=1 success")) << r.name;
        EXPECT_EQ(requests(r.device, r.request).size(), before + 1) << r.name;
    }
    EXPECT_EQ(dtmf().timeslot(uint32_t(s.channel())).detector, true);
    for (auto fill : std::vector<std::function<void(I&)>>{
             [](I& i) { i.get_mute_enable(); }, [](I& i) { i.get_iva_params(); }, [](I& i) { i.get_delays(); },
             [](I& i) { i.get_tone_gen_enable(); }})
        EXPECT_THAT(ioctl(1, fill), ElementsAre("slot=1 error unsupported"));
}

TEST_F(RtpSlotTest, PacketDetectionRecordsAndEventTypes)
{
    Remote remote;
    RtpSlot& s = make(1, remote);
    ioctl(1, [](I& i) { i.get_pd_enable().set_timeout(250); });
    std::vector<uint32_t> in = requests(Device::Rtp::kDevice, RTP_SET_EVENT).back().in;
    EXPECT_THAT(in, ElementsAre(1, 0, 250, 0, 0, 250, 0, 0, 0));
    EXPECT_TRUE(session(s).detecting);
    EXPECT_EQ(session(s).detectTimeout, 250u);
    EXPECT_THAT(requests(Device::Rtp::kDevice, RTP_RESET_EVENT), testing::IsEmpty());
    ioctl(1, [](I& i) { i.set_pd_disable(); });
    EXPECT_THAT(requests(Device::Rtp::kDevice, RTP_RESET_EVENT).back().in, ElementsAre(1));

    // Type 1 is packet detection; type 2 is only logged.
    for (uint32_t type : {1u, 2u, 1u}) {
        rtp_event e = {};
        e.type = type, e.value = 7 * type, e.timeout = 250;
        ASSERT_TRUE(engine().post_event(s.channel(), e));
    }
    EXPECT_THAT(await(2), ElementsAre("slot=1 rtp pd : { value 7, timeout 250}", "slot=1 rtp pd : { value 7, timeout 250}"));
    EXPECT_THAT(log.str(), HasSubstr("rtp[2048]: rtp event: type=2"));
}

// Slot 1 hears remote a, slot 2 sends to remote b; 1 is connected to 2.
struct Connected : RtpSlotTest {
    Remote a, b;
    RtpSlot* one = nullptr;
    RtpSlot* two = nullptr;
    void SetUp() override
    {
        one = &make(1, a, [](TERM::RtpParams& p) { p.set_ssrc(0x01010101); });
        two = &make(2, b, [](TERM::RtpParams& p) { p.set_ssrc(0x02020202); });
        EXPECT_THAT(command(simple(C::e_connect, 2), 1), testing::Contains("slot=1 success"));
    }
};

TEST_F(Connected, RtpSentToOneComesOutOfTwo)
{
    std::string first = through(*one, a, b, 8, "voice-1", 1);
    ASSERT_EQ(first.size(), 12u + 7);
    EXPECT_EQ(uint8_t(first[0]), 0x80);
    EXPECT_EQ(uint8_t(first[1]), 8);
    EXPECT_EQ(word_at(first, 8), 0x02020202u);
    EXPECT_EQ(first.substr(12), "voice-1");
    std::string second = through(*one, a, b, 8, "voice-22", 2);
    ASSERT_EQ(second.size(), 12u + 8);
    EXPECT_EQ(uint16_t(word_at(second, 0)), uint16_t(word_at(first, 0) + 1)); // consecutive sequence
    EXPECT_EQ(word_at(second, 4), word_at(first, 4) + 7);                      // timestamp + payload length
    // Another payload type is dropped and counted.
    EXPECT_EQ(through(*one, a, b, 0, "ulaw"), "");
    EXPECT_EQ(session(*one).dropped, 1u);
    // Slot 1 is no receiver: nothing goes back to a.
    EXPECT_FALSE(a.rtp.ready());
}

TEST_F(Connected, APayloadChangeRestartsTheSessionAndTrafficGoesOn)
{
    std::string before = through(*one, a, b, 8, "x", 1);
    ASSERT_FALSE(before.empty());
    int channel = two->channel();
    size_t begins = requests(Device::Rtp::kDevice, RTP_BEGIN_SESSION).size();
    size_t starts = requests(Device::Rtp::kDevice, RTP_INPUT_START).size();

    log.clear();
    EXPECT_THAT(ioctl(2, [](I& i) { i.set_encoder_mode(LGCP::CodecMode::alaw); }), ElementsAre("slot=2 success"));
    EXPECT_THAT(log.str(), HasSubstr(" - Nothing to do"));
    EXPECT_EQ(requests(Device::Rtp::kDevice, RTP_BEGIN_SESSION).size(), begins);

    EXPECT_THAT(ioctl(2, [](I& i) { i.set_encoder_mode(LGCP::CodecMode::ulaw); }), ElementsAre("slot=2 success"));
    EXPECT_EQ(begun().tx_pt, 0);
    EXPECT_EQ(two->channel(), channel);
    auto added = requests(Device::Rtp::kDevice, RTP_ADD_CHANNEL).back();
    EXPECT_EQ(int32_t(added.in.at(0)), channel);
    EXPECT_EQ(requests(Device::Rtp::kDevice, RTP_INPUT_START).size(), starts); // none on the new session
    EXPECT_EQ(engine().sessions(), 2u);                                          // the old one ended

    // The stream goes on, now u-law, numbered on from before.
    std::string after = through(*one, a, b, 8, "y", 2);
    ASSERT_EQ(after.size(), 13u);
    EXPECT_EQ(uint8_t(after[1]), 0);
    EXPECT_EQ(uint16_t(word_at(after, 0)), uint16_t(word_at(before, 0) + 1));
    // And the new session's events are the ones watched.
    rtp_event e = {};
    e.type = 1, e.value = 3, e.timeout = 9;
    ASSERT_TRUE(engine().post_event(channel, e));
    EXPECT_THAT(await(1), ElementsAre("slot=2 rtp pd : { value 3, timeout 9}"));
}

// What the controller set on slot 2 before a codec change is in force on
// the restarted session: what the engine forgets with a session is told
// to the new one, and nothing else is told again.
TEST_F(Connected, ACodecChangeKeepsWhatTheSlotHolds)
{
    const uint32_t ch = uint32_t(two->channel());
    for (auto set : std::vector<std::function<void(I&)>>{
             [](I& i) { i.get_pd_enable().set_timeout(300); }, [](I& i) { i.set_dtmf_enable(true); },
             [](I& i) { i.set_echoSuppressor(true); }, [](I& i) { i.set_vad_enable(true); }})
        EXPECT_THAT(ioctl(2, set), ElementsAre("slot=2 success"));
    struct Row {
        const char* setting;
        std::function<bool()> on;
    } rows[] = {
        {"packet detection", [&] { return session(*two).detecting && session(*two).detectTimeout == 300; }},
        {"input", [&] { return engine().channel_state(int32_t(ch)).input; }},
        {"digits", [&] { return dtmf().timeslot(ch).detector; }},
        {"echo canceller", [&] { return dtmf().timeslot(ch).lms; }},
        {"voice activity", [&] { return dsp().feature(ch, Device::Dsp::kVad).on; }},
    };
    sim.board.clear_log();
    EXPECT_THAT(ioctl(2, [](I& i) { i.set_encoder_mode(LGCP::CodecMode::ulaw); }), ElementsAre("slot=2 success"));
    for (const Row& r : rows)
        EXPECT_TRUE(r.on()) << r.setting;
    EXPECT_THAT(requests(Device::Rtp::kDevice, RTP_SET_EVENT).at(0).in, ElementsAre(1, 0, 300, 0, 0, 300, 0, 0, 0));
    EXPECT_TRUE(requests(Device::Dtmf::kDevice, Device::Dtmf::DTMF_ENABLE_DETECTOR).empty());

    // Off stays off.
    EXPECT_THAT(ioctl(2, [](I& i) { i.set_pd_disable(); }), ElementsAre("slot=2 success"));
    sim.board.clear_log();
    EXPECT_THAT(ioctl(2, [](I& i) { i.set_encoder_mode(LGCP::CodecMode::alaw); }), ElementsAre("slot=2 success"));
    EXPECT_FALSE(session(*two).detecting);
    EXPECT_TRUE(requests(Device::Rtp::kDevice, RTP_SET_EVENT).empty());
}

// The restarted session holds the channel that the engine gave it.
TEST_F(Connected, ARestartHoldsTheChannelTheEngineGave)
{
    const int old = two->channel();
    engine().give_next(old + 10);
    EXPECT_THAT(ioctl(2, [](I& i) { i.set_encoder_mode(LGCP::CodecMode::ulaw); }), ElementsAre("slot=2 success"));
    EXPECT_EQ(two->channel(), old + 10);
    EXPECT_NE(HandedChannelIndex::instance().HolderOf(old + 10), nullptr);
    EXPECT_EQ(HandedChannelIndex::instance().HolderOf(old), nullptr);
}

TEST_F(Connected, LbrcMeansThePayloadTheSessionWasCreatedWith)
{
    ioctl(1, [](I& i) { i.set_decoder_mode(LGCP::CodecMode::ulaw); });
    EXPECT_EQ(one->params().rx_pt, 0);
    EXPECT_EQ(through(*one, a, b, 8, "alaw"), "");
    ioctl(1, [](I& i) { i.set_decoder_mode(LGCP::CodecMode::lbrc); });
    EXPECT_EQ(one->params().rx_pt, 8);
    EXPECT_EQ(through(*one, a, b, 8, "alaw").substr(12), "alaw");
    ioctl(2, [](I& i) { i.set_encoder_mode(LGCP::CodecMode::lbrc); });
    EXPECT_EQ(two->params().tx_pt, 8);
}

TEST_F(Connected, AFailedRestartAnswersFalseAndLeaksNothing)
{
    ioctl(2, [](I& i) { i.set_dtmf_enable(true); });
    const int channel = two->channel();
    int before = fds();
    sim.board.fail(Device::Rtp::kDevice, RTP_BEGIN_SESSION, EIO, SimBoard::Board::Times::once);
    EXPECT_THAT(ioctl(2, [](I& i) { i.set_encoder_mode(LGCP::CodecMode::ulaw); }), ElementsAre("slot=2 error unsupported"));
    EXPECT_THAT(err.str(), HasSubstr("rtp[2049]: fail to restart RTP session!"));
    EXPECT_EQ(two->rtp_fd(), -1);
    EXPECT_FALSE(two->watching());
    EXPECT_EQ(engine().sessions(), 1u);
    // Only slot 1's session holds the engine; no new descriptor stayed.
    EXPECT_EQ(sim.board.channels(Device::Rtp::kDevice).size(), 1u);
    EXPECT_LT(fds(), before);
    // The channel went back to the engine with the session: the slot let
    // go of its detector and switch output there and forgot it.
    EXPECT_EQ(two->channel(), -1);
    EXPECT_FALSE(dtmf().timeslot(uint32_t(channel)).detector);
    EXPECT_EQ(sim.hal().output(channel).drive, SimBoard::Hal::Drive::disabled);
    EXPECT_THAT(ioctl(2, [](I& i) { i.set_dtmf_enable(true); }), ElementsAre("slot=2 error internal"));

    // The next slot is given that channel, and it is wholly the new slot's:
    // its digits reach it, and the old slot's end touches none of it.
    Remote c;
    RtpSlot& three = make(3, c);
    ASSERT_EQ(three.channel(), channel);
    ioctl(3, [](I& i) { i.set_dtmf_enable(true); });
    EXPECT_THAT(command(simple(C::e_connect, 3), 1), testing::Contains("slot=1 success"));
    dtmf().detect(uint32_t(channel), 5, 40);
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=3 tonec { timestamp 40, event dtmf : 5}"));
    sim.board.clear_log();
    EXPECT_THAT(command(simple(C::e_destroy), 2), testing::Contains("slot=2 success"));
    EXPECT_TRUE(dtmf().timeslot(uint32_t(channel)).detector);
    EXPECT_TRUE(sim.hal().carries(channel, one->channel()));
    EXPECT_THAT(sim.board.ioctls(Device::Dtmf::kDevice, Device::Dtmf::DTMF_DISABLE_DETECTOR), testing::IsEmpty());
}

TEST_F(Connected, TeardownGoesInOrderAndSaysBye)
{
    ioctl(2, [](I& i) { i.set_dtmf_enable(true); });
    int channel = two->channel();
    sim.board.clear_log();
    EXPECT_THAT(command(simple(C::e_destroy), 2), testing::Contains("slot=2 success"));
    std::vector<std::string> order;
    for (const SimBoard::Request& r : sim.board.log())
        if (r.op == SimBoard::Op::ioctl) {
            std::ostringstream o;
            o << r.device << " " << std::hex << r.number << (r.in.empty() ? "" : " " + std::to_string(r.in[0]));
            order.push_back(o.str());
        }
    std::ostringstream disable;
    disable << "/dev/hal " << std::hex << Device::Hal::SWITCH_DISABLE << " " << std::dec << channel;
    std::ostringstream dtmfOff;
    dtmfOff << "/dev/dtmf " << std::hex << Device::Dtmf::DTMF_DISABLE_DETECTOR << " " << std::dec << channel;
    const std::vector<std::string> steps = {"/dev/rtp 2000520a", "/dev/rtp 20005203",   "/dev/rtp 2000520b",
                                            "/dev/rtp 8004520d 1", disable.str(), dtmfOff.str()};
    std::vector<std::string> seen;
    for (const std::string& o : order)
        if (std::find(steps.begin(), steps.end(), o) != steps.end())
            seen.push_back(o);
    EXPECT_EQ(seen, steps);
    // The BYE reached the RTCP peer (after the source description).
    ASSERT_TRUE(run_real([&] { return b.rtcp.ready(); }));
    EXPECT_EQ(uint8_t(b.rtcp.take()[1]), 202);
    std::string bye = b.rtcp.take();
    EXPECT_EQ(uint8_t(bye[1]), 203);
    EXPECT_EQ(word_at(bye, 4), 0x02020202u);
    EXPECT_THAT(bye, HasSubstr("session end"));
    EXPECT_EQ(engine().session(channel), nullptr);
}

// A radio slot starts and stops its input by squelch, not by connections.
struct GatedSlot : RtpSlot {
    using RtpSlot::RtpSlot;
    using RtpSlot::set_input_gated;
};

TEST_F(RtpSlotTest, AGatedInputIsNotStartedByTheFramework)
{
    Remote remote;
    RtpSession session;
    C c = create_rtp(remote.port);
    c.get_create().get_rtp().get_codecRTP().include_shost().set_iaddr("127.0.0.1");
    c.get_create().get_rtp().get_codecRTP().include_shost().set_port(free_rtp_port());
    ASSERT_TRUE(session.fill("", c.get_create().get_rtp().get_codecRTP(), c.get_create().get_rtp().get_rxPayload(),
                             c.get_create().get_rtp().get_txPayload()));
    ASSERT_TRUE(session.open(""));
    GatedSlot slot(session.channel, std::move(session.rtp), session.params);
    slot.set_input_gated(true);
    EXPECT_TRUE(slot.IOnInputStream());
    EXPECT_FALSE(slot.input_running());
    EXPECT_THAT(requests(Device::Rtp::kDevice, RTP_INPUT_START), testing::IsEmpty());
    slot.set_input_gated(false);
    EXPECT_TRUE(slot.IOnInputStream());
    EXPECT_TRUE(slot.input_running());
    EXPECT_EQ(requests(Device::Rtp::kDevice, RTP_INPUT_START).size(), 1u);
    slot.IBeforeDestroy();
}

// The engine's descriptor is read until it has no more: a blocking one
// would hold the loop on the last read. A hang-up stops the watching.
TEST_F(RtpSlotTest, EventsAreReadWithoutBlockingAndAHangUpStopsTheWatch)
{
    Remote remote;
    RtpSlot& s = make(1, remote);
    EXPECT_NE(::fcntl(s.rtp_fd(), F_GETFL) & O_NONBLOCK, 0);
    ioctl(1, [](I& i) { i.get_pd_enable().set_timeout(5); });
    rtp_event e = {};
    e.type = 1;
    for (int i = 0; i < 3; ++i)
        engine().post_event(s.channel(), e);
    EXPECT_EQ(await(3).size(), 3u);
    sim.board.channels(Device::Rtp::kDevice).at(0)->hang_up();
    run_real([&] { return !s.watching(); }, 500);
    EXPECT_FALSE(s.watching());
    EXPECT_THAT(err.str(), HasSubstr("rtp[2048]: fail to read from rtp: end of file\n"));
}

TEST_F(RtpSlotTest, AThousandSlotsLeaveNothingBehind)
{
    Remote remote;
    make(1, remote);
    destroy(1);
    int before = fds();
    unsigned channels = engine().free_channels();
    for (int i = 0; i < 1000; ++i) {
        make(1, remote);
        destroy(1);
    }
    EXPECT_EQ(fds(), before);
    EXPECT_EQ(engine().sessions(), 0u);
    EXPECT_EQ(engine().free_channels(), channels);
}

} // namespace
