// The LEMZ factory and slots through the slot table on the simulated
// board: which creations it takes, the session it builds, the two ways to
// the RTP stream, the extension around a codec restart, the squelch gate,
// and descriptors over many slots.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <arpa/inet.h>
#include <sys/socket.h>

#include "tests/radio/radio_world.h"

using namespace vbradio;
using namespace Device::RtpExt;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

struct LemzSlots : ::testing::Test, RadioWorld {
    RtpLEMZFactory lemz;

    LGCP::Command create_lemz(const std::function<void(TERM::RtpParams&)>& more = nullptr)
    {
        LGCP::Command c = vbtest::create_rtp(port);
        TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
        p.include_radio().get_status().get_lemz().get_freq().set_frequency("0.0");
        more ? more(p) : void();
        return c;
    }
    RtpLEMZRadioGWSlot* gw(unsigned n) { return dynamic_cast<RtpLEMZRadioGWSlot*>(slots().at(n)); }
    vbtest::Texts ioctl(unsigned n, const std::function<void(LGCP::IoctlParams&)>& fill)
    {
        return command(vbtest::ioctl_command(fill), int(n));
    }
};

// SO_REUSEADDR of the UDP socket of this process bound to port, -1 when none.
int reuse_of_socket_on(uint16_t port)
{
    DIR* d = ::opendir("/proc/self/fd");
    int found = -1;
    for (dirent* e; d && (e = ::readdir(d)) != nullptr;) {
        int fd = std::atoi(e->d_name);
        sockaddr_in a = {};
        socklen_t len = sizeof(a);
        int type = 0, on = 0;
        socklen_t tl = sizeof(type), ol = sizeof(on);
        if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &tl) == 0 && type == SOCK_DGRAM &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0 && a.sin_family == AF_INET &&
            ntohs(a.sin_port) == port && ::getsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, &ol) == 0)
            found = on;
    }
    d ? ::closedir(d) : 0;
    return found;
}

TEST_F(LemzSlots, OnlyALemzRadioStatusIsTaken)
{
    LGCP::Command ed137 = create_lemz([](TERM::RtpParams& p) { p.get_radio().get_status().get_ed_137(); });
    LGCP::Command plain = vbtest::create_rtp(port);
    log.clear();
    EXPECT_EQ(lemz.INewSlot(ed137.get_create()), nullptr);
    EXPECT_EQ(lemz.INewSlot(plain.get_create()), nullptr);
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(engine().sessions(), 0u);
    LGCP::Resources mine, plain_counts;
    lemz.Query(mine);
    factory_.Query(plain_counts);
    EXPECT_EQ(mine.get_rtp_g729().getValue(), plain_counts.get_rtp_g729().getValue());
    EXPECT_EQ(mine.get_universal().getValue(), plain_counts.get_universal().getValue());
}

TEST_F(LemzSlots, AGatewaySlotOnItsOwnSessionWithTheRadioSettings)
{
    LGCP::Command c = create_lemz([](TERM::RtpParams& p) {
        p.get_radio().set_bss_enable(true);
        p.get_radio().set_tx_delay(40);
    });
    EXPECT_THAT(command(c, 1), ElementsAre("slot=1 success", "slot=1 transmitter active : 2048",
                                           "slot=1 receiver active : 2048"));
    ASSERT_NE(gw(1), nullptr);
    EXPECT_STREQ(gw(1)->GetName(), "rtp ext LEMZ (GW)");
    EXPECT_THAT(log.str(), HasSubstr("rtp ext LEMZ["));
    EXPECT_EQ(sim.board.ioctls(Device::Rtp::kDevice, Device::Rtp::RTP_ADD_CHANNEL).back().in[3], 1u);
    EXPECT_THAT(log.str(), HasSubstr("rx=0 tx=40 selcal=0"));
    EXPECT_EQ(reuse_of_socket_on(uint16_t(port + 1)), 0);
    // Attached to the slot's own descriptor; the initial status sends nothing.
    EXPECT_EQ(sim.board.ioctls(kDevice, RTP_EXT_ATTACH).back().in[0], uint32_t(gw(1)->rtp_fd()));
    EXPECT_NE(session().attached, nullptr);
    EXPECT_TRUE(session().written.empty());
    EXPECT_TRUE(gw(1)->control()->timer_enabled());
    // Without bss-enable the word is 0.
    EXPECT_THAT(command(create_lemz(), 2), Contains("slot=2 error insufficientResources")); // same port
    port = vbtest::free_rtp_port();
    EXPECT_THAT(command(create_lemz(), 2), Contains("slot=2 success"));
    EXPECT_EQ(sim.board.ioctls(Device::Rtp::kDevice, Device::Rtp::RTP_ADD_CHANNEL).back().in[3], 0u);
}

// Settings given at create while their device is missing: the create
// succeeds, and each reaches its device once it can be opened again, with
// no command.
TEST_F(LemzSlots, SettingsGivenAtCreateReachTheirDeviceOnceItIsBack)
{
    namespace Dsp = Device::Dsp;
    const struct {
        const char* setting;
        const char* device;
        std::function<void(TERM::RtpParams&)> give;
        std::function<bool(LemzSlots&, uint32_t ts)> reached;
    } rows[] = {
        {"NG", Device::Dsp::kDevice, [](TERM::RtpParams& p) { p.get_radio().set_ng_enable(true); },
         [](LemzSlots& w, uint32_t ts) { return w.dsp().feature(ts, Dsp::kNg).on; }},
        {"SELCAL hold", Device::Dsp::kDevice, [](TERM::RtpParams& p) { p.get_radio().set_selcal_sh_enable(true); },
         [](LemzSlots& w, uint32_t ts) { return w.dsp().feature(ts, Dsp::kSelcalSh).on; }},
        {"delays", Device::Dsp::kDevice,
         [](TERM::RtpParams& p) {
             p.get_radio().set_rx_delay(10), p.get_radio().set_tx_delay(20), p.get_radio().set_selcal_delay(30);
         },
         [](LemzSlots& w, uint32_t ts) {
             const Dsp::Configure* c = w.dsp().config(ts, Dsp::kDelays);
             return c && c->p.words.w[0] == 10 && c->p.words.w[1] == 20 && c->p.words.w[2] == 30;
         }},
        {"echo canceller", Device::Dtmf::kDevice,
         [](TERM::RtpParams& p) {
             p.include_echo().set_suppressor(true);
             p.get_echo().set_canceller(true);
         },
         [](LemzSlots& w, uint32_t ts) { return w.dtmf().timeslot(ts).lms; }},
    };
    int n = 1;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.setting);
        sim.board.fail(r.device, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
        for (SimBoard::Channel* ch : sim.board.channels(r.device))
            ch->hang_up();
        wake();
        port = vbtest::free_rtp_port();
        EXPECT_THAT(command(create_lemz(r.give), n), Contains("slot=" + std::to_string(n) + " success"));
        ASSERT_NE(gw(unsigned(n)), nullptr);
        uint32_t ts = uint32_t(gw(unsigned(n))->channel());
        EXPECT_FALSE(r.reached(*this, ts));

        sim.board.clear_failures();
        advance(Hardware::DeviceService::kRetryMs);
        EXPECT_TRUE(r.reached(*this, ts));
        command(vbtest::simple(LGCP::Command::e_destroy), n++);
    }
}

TEST_F(LemzSlots, ACodecRestartReattachesTheExtensionToTheNewSession)
{
    command(create_lemz(), 1);
    sim.board.clear_log();
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_encoder_mode(LGCP::CodecMode::ulaw); }),
                ElementsAre("slot=1 success"));
    std::vector<unsigned long> order;
    for (const SimBoard::Request& r : sim.board.log())
        if (r.device == kDevice && r.op == SimBoard::Op::ioctl)
            order.push_back(r.number);
    EXPECT_THAT(order, ElementsAre(RTP_EXT_DETACH, RTP_EXT_INIT, RTP_EXT_ATTACH));
    EXPECT_EQ(sim.board.ioctls(kDevice, RTP_EXT_ATTACH).back().in[0], uint32_t(gw(1)->rtp_fd()));
    EXPECT_NE(session().attached, nullptr);
    EXPECT_EQ(ext().sessions().size(), 1u);
    // Refused by the RTP layer: the extension stays stopped, and the radio
    // is lost with the session, once.
    sim.board.fail(Device::Rtp::kDevice, Device::Rtp::RTP_BEGIN_SESSION, EIO);
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_encoder_mode(LGCP::CodecMode::alaw); }),
                ElementsAre("slot=1 abort 5", "slot=1 error internal"));
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_encoder_mode(LGCP::CodecMode::ulaw); }),
                ElementsAre("slot=1 error internal"));
    EXPECT_TRUE(ext().sessions().empty());
}

// The new extension session of a codec restart keeps out whom the old one
// kept out: the holder's filter is set on it, and released later as usual.
TEST_F(LemzSlots, ACodecRestartKeepsTheHoldersFilter)
{
    command(create_lemz(), 1);
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_rtpExt(wm_trans(true, "10.0.0.9")); }),
                ElementsAre("slot=1 success"));
    for (auto mode : {LGCP::CodecMode::ulaw, LGCP::CodecMode::alaw}) {
        EXPECT_THAT(ioctl(1, [mode](LGCP::IoctlParams& p) { p.set_decoder_mode(mode); }),
                    ElementsAre("slot=1 success"));
        ASSERT_EQ(ext().sessions().size(), 1u);
        EXPECT_TRUE(session().filtering);
        EXPECT_EQ(session().filter, ip("10.0.0.9"));
        EXPECT_TRUE(gw(1)->control()->filter_active());
    }
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_rtpExt(wm_trans(false, "10.0.0.9")); }),
                ElementsAre("slot=1 success"));
    EXPECT_FALSE(session().filtering);
    // A restart without a holder sets nothing; nor does one whose filter the
    // driver refuses leave the control believing in it.
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_encoder_mode(LGCP::CodecMode::ulaw); }),
                ElementsAre("slot=1 success"));
    EXPECT_FALSE(session().filtering);
    ioctl(1, [](LGCP::IoctlParams& p) { p.set_rtpExt(wm_trans(true, "10.0.0.9")); });
    sim.board.fail(kDevice, RTP_EXT_SET_FILTER, EIO);
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_encoder_mode(LGCP::CodecMode::alaw); }),
                ElementsAre("slot=1 success"));
    EXPECT_FALSE(session().filtering);
    EXPECT_FALSE(gw(1)->control()->filter_active());
    EXPECT_EQ(errors("set filer rtp_ext session fail !!!"), 1u) << err.str();
    sim.board.clear_failures();
    ioctl(1, [](LGCP::IoctlParams& p) { p.set_rtpExt(wm_trans(true, "10.0.0.9")); });
    EXPECT_TRUE(session().filtering);
}

TEST_F(LemzSlots, OnlyRtpJoinsTheGivenSessionAndNeverTicks)
{
    engine().register_remote(33, 4242);
    LGCP::Command c = create_lemz([](TERM::RtpParams& p) {
        TERM::RtpExtDescription& d = p.include_rtp_e2m().include_mode().get_only_rtp();
        d.set_fd(33);
        d.set_pid(4242);
    });
    EXPECT_THAT(command(c, 1), Contains("slot=1 success"));
    EXPECT_THAT(sim.board.ioctls(Device::Rtp::kDevice, Device::Rtp::RTP_ATTACH_SESSION).back().in,
                ElementsAre(33u, 4242u));
    EXPECT_TRUE(ext().sessions().empty());
    EXPECT_FALSE(gw(1)->control()->timer_enabled());
    // The control lets go of its copy of the old session, so the restart's
    // begin finds the port free, and joins again.
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_encoder_mode(LGCP::CodecMode::ulaw); }),
                ElementsAre("slot=1 success"));
    EXPECT_EQ(requests(Device::Rtp::kDevice, Device::Rtp::RTP_ATTACH_SESSION), 2u);
}

TEST_F(LemzSlots, AGatedInputFollowsTheSquelch)
{
    command(create_lemz(), 1);
    gw(1)->set_input_gated(true);
    auto squelch = [](bool open) {
        return [open](LGCP::IoctlParams& p) {
            TERM::LemzRadioModifier& m = p.get_rtpExt().get_lemz();
            m.get_addr().set_session_addr("0.0.0.0");
            m.get_params().get_gw_set_flags().get_flags().set_sql(open);
        };
    };
    size_t starts = requests(Device::Rtp::kDevice, Device::Rtp::RTP_INPUT_START);
    EXPECT_THAT(ioctl(1, squelch(true)), ElementsAre("slot=1 success"));
    EXPECT_THAT(ioctl(1, squelch(true)), ElementsAre("slot=1 success"));
    EXPECT_EQ(requests(Device::Rtp::kDevice, Device::Rtp::RTP_INPUT_START), starts + 1);
    EXPECT_TRUE(gw(1)->input_running());
    size_t stops = requests(Device::Rtp::kDevice, Device::Rtp::RTP_INPUT_STOP);
    ioctl(1, squelch(false));
    ioctl(1, squelch(false));
    EXPECT_EQ(requests(Device::Rtp::kDevice, Device::Rtp::RTP_INPUT_STOP), stops + 1);
    // Another protocol's command is refused.
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) {
                    TERM::ED137RadioModifier& m = p.get_rtpExt().get_ed_137();
                    m.get_addr().set_session_addr("0.0.0.0");
                    m.get_params().get_tx();
                }),
                ElementsAre("slot=1 error unsupported"));
    // One whose address does not parse is the controller's error; the squelch stays shut.
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_rtpExt(wm_trans(true, "10.0.0")); }),
                ElementsAre("slot=1 error invalidParams"));
    EXPECT_FALSE(gw(1)->input_running());
}

// A UDP socket on a loopback address of its own (all of 127/8 is loopback),
// sending to 127.0.0.1:port.
struct Sender {
    Fd s;
    explicit Sender(const char* address)
    {
        s.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = vbtest::UdpPeer::to(0);
        a.sin_addr.s_addr = inet_addr(address);
        ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    void send(uint16_t port, const std::string& bytes) const
    {
        sockaddr_in a = vbtest::UdpPeer::to(port);
        ::sendto(s.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
};

// The radio is held by X (not this board) at priority 5. Through the slot,
// over real RTP: a PTT command of priority 5 from Y is dropped, one of
// priority 3 takes it to the controller; meanwhile only X's voice reaches
// the line.
TEST_F(LemzSlots, AHigherPriorityPttPreemptsAHeldRadioThroughTheSlot)
{
    uint16_t local = vbtest::free_rtp_port();
    command(create_lemz([local](TERM::RtpParams& p) {
                p.include_shost().set_iaddr("127.0.0.1");
                p.include_shost().set_port(local);
            }),
            1);
    EXPECT_THAT(ioctl(1, [](LGCP::IoctlParams& p) { p.set_rtpExt(wm_trans(true, "127.0.0.2", 5)); }),
                ElementsAre("slot=1 success"));
    ASSERT_TRUE(session().filtering);
    EXPECT_EQ(session().filter, ip("127.0.0.2"));
    controller();

    Sender x("127.0.0.2"), y("127.0.0.3");
    auto lemz = [&](const Sender& from, uint32_t type, int priority) {
        from.send(local, vbtest::rtp_with_extension(kLemzProfile, packed(packet(type, priority, 1))));
    };
    auto next = [&] {
        vbtest::Texts got;
        vbtest::run_real([&] {
            for (const std::string& t : controller())
                got.push_back(t);
            return !got.empty();
        });
        return got;
    };
    // Behind Y's command, one from the holder, which always passes: what
    // comes first shows whether Y's passed.
    lemz(y, GW_FLAG_PTT, 5);
    lemz(x, GW_FLAG, 5);
    vbtest::Texts got = next();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], HasSubstr("\"127.0.0.2\"")) << "Y's command of no higher priority is dropped";
    lemz(y, GW_FLAG_PTT, 3);
    got = next();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_THAT(got[0], HasSubstr("slot=1 rtpExt"));
    EXPECT_THAT(got[0], HasSubstr("gw-set-ptt"));
    EXPECT_THAT(got[0], HasSubstr("\"127.0.0.3\"")) << "priority 3 takes the radio held at 5";

    // The filter keeps the voice of everybody but the holder from the line.
    const SimBoard::RtpEngine::Session& rtp = *engine().session(gw(1)->channel());
    uint64_t voice = rtp.received;
    y.send(local, vbtest::rtp_packet(8, 2, 320, 3, std::string(160, 'y')));
    x.send(local, vbtest::rtp_packet(8, 3, 480, 2, std::string(160, 'x')));
    EXPECT_TRUE(vbtest::run_real([&] { return rtp.received == voice + 1 && session().dropped == 1; }));
}

TEST_F(LemzSlots, TwoHundredSlotsComeAndGoWithoutADescriptorLeft)
{
    churn([&] { return create_lemz(); });
}

} // namespace
