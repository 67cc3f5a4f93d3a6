// What a controller ended on the tone and DSP devices leaves the board,
// through the running server: a tone, detector or feature switched off,
// also by a slot's destroy, while the device refuses that off once. The
// command answers success, and once the device takes requests again no
// time slot keeps what no slot asked for, with no further command. The
// board is read through its test port: the generator's records, the
// events the detectors and features still deliver, and what is switched
// on at a time slot of the tone device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <list>
#include <thread>

#include "board/dsp_requests.h"
#include "board/dtmf_requests.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"
#include "tests/support/media_params.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;
using C = LGCP::Command;
using I = LGCP::IoctlParams;

namespace {

const std::string kDtmf = Device::Dtmf::kDevice;
const std::string kDsp = Device::Dsp::kDevice;

class Ended : public ::testing::Test {
public:
    void SetUp() override
    {
        ASSERT_TRUE(server.start()) << server.err();
        ASSERT_TRUE(ctl.connect(server.port()));
        ASSERT_TRUE(board.connect(server.pid()));
    }

    Texts to(int n, const LGCP::Command& c) { return ctl.exchange(to_slot(c, n)); }
    Texts ioctl(int n, const std::function<void(I&)>& fill)
    {
        LGCP::Command c;
        fill(c.get_ioctl());
        return to(n, c);
    }
    std::string ok(int n) const { return "slot=" + std::to_string(n) + " success"; }
    // RTP slot n towards a peer of its own; its channel, its time slot on
    // the tone and DSP devices.
    int rtp(int n, const std::function<void(TERM::RtpParams&)>& more = nullptr)
    {
        Texts t = create(n, more);
        EXPECT_THAT(t, Contains(ok(n)));
        for (const std::string& m : t)
            if (m.find("transmitter active : ") != std::string::npos)
                return std::stoi(m.substr(m.rfind(": ") + 2));
        return -1;
    }
    // The create of that slot, and what it answered.
    Texts create(int n, const std::function<void(TERM::RtpParams&)>& more)
    {
        mRemotes.emplace_back();
        LGCP::Command c = create_rtp(mRemotes.back().port);
        TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
        p.include_shost().set_iaddr("127.0.0.1");
        p.include_shost().set_port(free_rtp_port());
        more ? more(p) : void();
        return to(n, c);
    }
    // The next `request` on the device fails with EIO.
    void fail_once(const std::string& device, unsigned long request)
    {
        ASSERT_EQ(board.ask("fail " + device + " " + std::to_string(request) + " 5"), "ok");
    }
    // The generator's last record for the time slot is not its off.
    bool tone_on(int ts);

    ServerProcess server;
    Controller ctl;
    BoardPort board;

private:
    std::list<Remote> mRemotes;
};

// How each setting shows on the board: the events that reach the server
// from the time slot, or what the tone device has on there
// ("ok <detector> <iva> <rejection> <lms> <tone>").
bool vad_on(BoardPort& b, int ts) { return b.ask("dsp " + std::to_string(ts) + " 1 1 1 0") == "ok 1"; }
bool sd_on(BoardPort& b, int ts) { return b.ask("dsp " + std::to_string(ts) + " 2 1 0 0") == "ok 1"; }
bool bss_on(BoardPort& b, int ts) { return b.ask("dsp " + std::to_string(ts) + " 16 0 0 0") == "ok 1"; }
bool detector_on(BoardPort& b, int ts) { return b.ask("dtmf " + std::to_string(ts) + " 5 77") == "ok 1"; }
bool switch_on(BoardPort& b, int ts, size_t at)
{
    std::string a = b.ask("dtmf-slot " + std::to_string(ts));
    return a.size() > 3 + 2 * at && a[3 + 2 * at] == '1';
}
bool rejection_on(BoardPort& b, int ts) { return switch_on(b, ts, 2); }
bool Ended::tone_on(int ts) { return switch_on(board, ts, 4); }
bool echo_on(BoardPort& b, int ts) { return switch_on(b, ts, 3); }

struct OffAtDestroy {
    const char* feature;
    // The create's own settings, and the command that switches the feature on.
    std::function<void(TERM::RtpParams&)> create;
    std::function<void(I&)> on;
    const std::string& device;
    unsigned long off; // the request that fails once
    bool (*shows)(BoardPort&, int ts);
};

void lemz(TERM::RtpParams& p)
{
    p.include_radio().get_status().get_lemz().get_freq().set_frequency("0.0");
}

void lemz_with_bss(TERM::RtpParams& p)
{
    lemz(p);
    p.get_radio().set_bss_enable(true);
}

const OffAtDestroy kOffs[] = {
    {"VAD", nullptr, [](I& i) { i.set_vad_enable(true); }, kDsp, Device::Dsp::DSPROC_DISABLE, vad_on},
    {"SD", nullptr, [](I& i) { i.set_sd_enable(true); }, kDsp, Device::Dsp::DSPROC_DISABLE, sd_on},
    {"BSS given at create", lemz_with_bss, nullptr, kDsp, Device::Dsp::DSPROC_DISABLE, bss_on},
    {"DTMF detector", nullptr, [](I& i) { i.set_dtmf_enable(true); }, kDtmf, Device::Dtmf::DTMF_DISABLE_DETECTOR,
     detector_on},
    {"DTMF rejection", nullptr, [](I& i) { i.set_dtmf_reject_enable(true); }, kDtmf,
     Device::Dtmf::DTMF_REJECTION_DISABLE, rejection_on},
    {"echo canceller", nullptr, [](I& i) { i.set_echoSuppressor(true); }, kDtmf, Device::Dtmf::CHANNEL_LMS_OFF,
     echo_on},
};

// A slot destroyed while the device refuses the off of what it switched
// on (the echo canceller too): the next slot of the time slot does not
// find it on.
TEST_F(Ended, TheOffsOfADestroyAreOwedUntilTheDeviceTakesThem)
{
    for (const OffAtDestroy& o : kOffs) {
        SCOPED_TRACE(o.feature);
        int ts = rtp(1, o.create);
        if (o.on) {
            ASSERT_THAT(ioctl(1, o.on), ElementsAre(ok(1)));
        }
        ASSERT_TRUE(o.shows(board, ts));
        fail_once(o.device, o.off);
        EXPECT_THAT(to(1, simple(C::e_destroy)), Contains(ok(1)));
        ASSERT_EQ(rtp(2), ts);
        EXPECT_TRUE(eventually([&] { return !o.shows(board, ts); }, 2500)) << server.err();
        EXPECT_THAT(to(2, simple(C::e_destroy)), Contains(ok(2)));
    }
}

// The DSP time slot of unit 0's channel 3 on the simulated board.
const int kMixerTimeslot = 4096 + 3;

LGCP::Command mixer_out(int channel)
{
    LGCP::Command out;
    out.get_create().get_mixerOut().set_unit(0);
    out.get_create().get_mixerOut().set_channel(tdm(channel));
    return out;
}

// A tone, and the command that ends it.
struct ToneEnd {
    const char* what;
    // Slot n plays a tone; its time slot.
    std::function<int(Ended&, int n)> play;
    std::function<LGCP::Command()> end;
};

int mixer_tone(Ended& e, int n)
{
    EXPECT_THAT(e.to(n, mixer_out(3)), ElementsAre(e.ok(n)));
    LGCP::Command tone;
    tone.get_ioctl().get_tone_gen_enable().set_freq(425);
    tone.get_ioctl().get_tone_gen_enable().set_amp(300);
    EXPECT_THAT(e.to(n, tone), ElementsAre(e.ok(n)));
    return kMixerTimeslot;
}

int wait_tone(Ended& e, int n)
{
    int ts = e.rtp(n);
    EXPECT_THAT(e.ioctl(n, [](I& i) { i.set_activateWaitTone(); }), ElementsAre(e.ok(n)));
    return ts;
}


const ToneEnd kToneEnds[] = {
    {"tone-gen-disable on a mixer output", mixer_tone,
     [] { return ioctl_of([](I& i) { i.set_tone_gen_disable(); }); }},
    {"destroy of a mixer output playing a tone", mixer_tone, [] { return simple(C::e_destroy); }},
    {"deactivateWaitTone on an RTP slot", wait_tone,
     [] { return ioctl_of([](I& i) { i.set_deactivateWaitTone(); }); }},
    {"destroy of an RTP slot playing its wait tone", wait_tone, [] { return simple(C::e_destroy); }},
};

// A tone ended while the generator refuses the off once: the command
// answers success, and the time slot falls silent with no command.
TEST_F(Ended, AToneEndedWhileTheGeneratorRefusesItsOffFallsSilent)
{
    // The mixer units are found by the first query.
    to(-1, simple(C::e_query));
    int n = 1;
    for (const ToneEnd& t : kToneEnds) {
        SCOPED_TRACE(t.what);
        int ts = t.play(*this, n);
        ASSERT_TRUE(tone_on(ts));
        fail_once(kDtmf, Device::Dtmf::DTMF_DIAL);
        EXPECT_THAT(to(n, t.end()), ElementsAre(ok(n)));
        EXPECT_TRUE(eventually([&] { return !tone_on(ts); }, 2500)) << server.err();
        to(n, simple(C::e_destroy));
        ctl.sync();
        ++n;
    }
}

} // namespace

namespace {

const int kEinval = 22;

// A setting of an RTP slot whose off the driver may call invalid.
struct InvalidOff {
    const char* feature;
    std::function<void(I&)> on, off;
    const std::string& device;
    unsigned long request; // the off's
};

const InvalidOff kInvalidOffs[] = {
    {"VAD", [](I& i) { i.set_vad_enable(true); }, [](I& i) { i.set_vad_enable(false); }, kDsp,
     Device::Dsp::DSPROC_DISABLE},
    {"SD", [](I& i) { i.set_sd_enable(true); }, [](I& i) { i.set_sd_disable(); }, kDsp, Device::Dsp::DSPROC_DISABLE},
    {"DTMF detector", [](I& i) { i.set_dtmf_enable(true); }, [](I& i) { i.set_dtmf_enable(false); }, kDtmf,
     Device::Dtmf::DTMF_DISABLE_DETECTOR},
    {"DTMF rejection", [](I& i) { i.set_dtmf_reject_enable(true); }, [](I& i) { i.set_dtmf_reject_enable(false); },
     kDtmf, Device::Dtmf::DTMF_REJECTION_DISABLE},
    {"echo canceller", [](I& i) { i.set_echoSuppressor(true); }, [](I& i) { i.set_echoSuppressor(false); }, kDtmf,
     Device::Dtmf::CHANNEL_LMS_OFF},
    {"wait tone", [](I& i) { i.set_activateWaitTone(); }, [](I& i) { i.set_deactivateWaitTone(); }, kDtmf,
     Device::Dtmf::DTMF_DIAL},
};

} // namespace

// An off that the driver refuses as invalid answers an error, and leaves
// the server not knowing what the device has: the next off goes to the
// device, not answered from memory. At a destroy the same refusal is one
// line and nothing is owed: no request follows it.
TEST_F(Ended, AnOffRefusedAsInvalidAnswersAnErrorAndIsNeverOwed)
{
    ASSERT_EQ(board.ask("record on"), "ok");
    int n = 1;
    for (const InvalidOff& o : kInvalidOffs) {
        SCOPED_TRACE(o.feature);
        std::string fail = "fail " + o.device + " " + std::to_string(o.request) + " ";
        // How many offs the device was asked.
        auto offs = [&] {
            std::string a = board.ask("log " + o.device + " " + std::to_string(o.request));
            return std::stoul(a.substr(3, a.find(' ', 3) - 3));
        };
        // A command.
        rtp(n);
        ASSERT_THAT(ioctl(n, o.on), ElementsAre(ok(n)));
        ASSERT_EQ(board.ask(fail + std::to_string(kEinval)), "ok");
        unsigned long before = offs();
        EXPECT_THAT(ioctl(n, o.off), Not(Contains(ok(n))));
        EXPECT_EQ(offs(), before + 1);
        EXPECT_THAT(ioctl(n, o.off), ElementsAre(ok(n)));
        EXPECT_EQ(offs(), before + 2) << "the same off again goes to the device";

        // A destroy.
        ASSERT_THAT(ioctl(n, o.on), ElementsAre(ok(n)));
        ASSERT_EQ(board.ask(fail + std::to_string(kEinval) + " always"), "ok");
        before = offs();
        EXPECT_THAT(to(n, simple(C::e_destroy)), Contains(ok(n)));
        // The DSP's offs of a destroy include its tone filters'.
        unsigned long made = offs();
        EXPECT_GE(made, before + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(2200));
        EXPECT_EQ(offs(), made) << "nothing is retried";
        ASSERT_EQ(board.ask(fail + "0"), "ok");
        ++n;
    }
    std::string err = server.err();
    for (const char* line : {"DSPROC_DISABLE VAD fail:", "DSPROC_DISABLE SD fail:", "CHANNEL_LMS_OFF fail:"})
        EXPECT_EQ(count_of(err, line), 2u) << line << "\n" << err;
}

// The generator's off refused as invalid: the mixer's tone-gen-disable
// answers an error, as deactivateWaitTone does above.
TEST_F(Ended, ATonesOffRefusedAsInvalidAnswersAnErrorOnAMixerOutput)
{
    to(-1, simple(C::e_query));
    int ts = mixer_tone(*this, 1);
    ASSERT_TRUE(tone_on(ts));
    ASSERT_EQ(board.ask("fail " + kDtmf + " " + std::to_string(Device::Dtmf::DTMF_DIAL) + " 22"), "ok");
    EXPECT_THAT(ioctl(1, [](I& i) { i.set_tone_gen_disable(); }), Not(Contains(ok(1))));
    EXPECT_THAT(ioctl(1, [](I& i) { i.set_tone_gen_disable(); }), ElementsAre(ok(1)));
    EXPECT_FALSE(tone_on(ts));
}

// A setting given at create that the device refuses as invalid refuses the
// slot: the create answers insufficientResources and leaves nothing behind
// (no slot, session or switch path, and nothing switched on at the time
// slot, also what the create switched on before it), at the cost of one
// error line and with no request after it.
TEST_F(Ended, ACreateWhoseSettingIsRefusedAsInvalidIsNotMade)
{
    using P = TERM::RtpParams;
    auto with_echo_canceller = [](P& p) {
        p.include_echo().set_suppressor(true);
        p.get_echo().set_canceller(true);
    };
    // A radio slot with its echo canceller, then the setting.
    using R = TERM::RtpRadioRequest;
    auto radio = [&](std::function<void(R&)> setting) {
        return [=](P& p) { with_echo_canceller(p), lemz(p), setting(p.get_radio()); };
    };
    const struct {
        const char* what;
        std::function<void(P&)> create;
        const std::string& device;
        unsigned long request;
        std::string line;
    } rows[] = {
        {"echo canceller of an RTP slot", with_echo_canceller, kDtmf, Device::Dtmf::CHANNEL_LMS_ON,
         "CHANNEL_LMS_ON fail:"},
        {"echo canceller of a radio slot", radio([](R&) {}), kDtmf, Device::Dtmf::CHANNEL_LMS_ON,
         "CHANNEL_LMS_ON fail:"},
        {"echo canceller of an ED-137 radio slot",
         [&](P& p) { with_echo_canceller(p), p.include_radio().set_status(vbradio::ed137_status()); }, kDtmf,
         Device::Dtmf::CHANNEL_LMS_ON, "CHANNEL_LMS_ON fail:"},
        {"BSS of a radio slot, after its echo canceller", radio([](R& r) { r.set_bss_enable(true); }), kDsp,
         Device::Dsp::DSPROC_ENABLE, "DSPROC_ENABLE BSS fail:"},
        {"delays of a radio slot, after its echo canceller", radio([](R& r) { r.set_rx_delay(40), r.set_tx_delay(20); }),
         kDsp, Device::Dsp::DSPROC_CONFIGURE, "DSPROC_CONFIGURE DELAYS fail:"},
        {"noise gate of a radio slot, after its echo canceller", radio([](R& r) { r.set_ng_enable(true); }), kDsp,
         Device::Dsp::DSPROC_ENABLE, "DSPROC_ENABLE NG fail:"},
        {"SELCAL hold of a radio slot, after its echo canceller", radio([](R& r) { r.set_selcal_sh_enable(true); }),
         kDsp, Device::Dsp::DSPROC_ENABLE, "DSPROC_ENABLE SELCAL_SH fail:"},
    };
    int n = 1;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        // The channel the driver hands out next.
        std::string ts = std::to_string(rtp(n, r.create));
        ASSERT_THAT(to(n, simple(C::e_destroy)), Contains(ok(n)));
        std::string fail = "fail " + r.device + " " + std::to_string(r.request) + " ";
        ASSERT_EQ(board.ask(fail + std::to_string(kEinval) + " always"), "ok");
        size_t logged = server.err().size();
        std::string slot = "slot=" + std::to_string(n);
        EXPECT_THAT(create(n, r.create), ElementsAre(slot + " error insufficientResources"));
        std::string count = "count " + r.device + " request";
        std::string asked = board.ask(count);
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        EXPECT_EQ(board.ask(count), asked) << "nothing is asked again";
        ASSERT_EQ(board.ask(fail + "0"), "ok");
        EXPECT_THAT(to(n, simple(C::e_destroy)), ElementsAre(slot + " error slotNotExists"));
        EXPECT_THAT(board.ask("rtp-session " + ts), HasSubstr("error no session"));
        EXPECT_EQ(board.ask("switch " + ts), "ok disabled");
        EXPECT_EQ(board.ask("dtmf-slot " + ts), "ok 0 0 0 0 0");
        std::string err = server.err().substr(logged);
        EXPECT_EQ(count_of(err, r.line), 1u) << err;
        EXPECT_THAT(err, HasSubstr(r.line + " timeslot=" + ts));
        ++n;
    }
}
