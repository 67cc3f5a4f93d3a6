// The DSP service in a slot: feature states and ids, configuration
// records, event dispatch by type, clean-up and a missing or hung-up device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "runtime/trace_ctl.h"
#include "tests/media/media_support.h"

using namespace vbtest;
using namespace Device::Dsp;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

struct DsprocTest : ::testing::Test, MediaWorld {
    // The requests done since the log was last cleared: "E1" (enable of
    // mask 1), "D16", "C32 0 0 0" (configure kind 32 with its three words).
    Texts sent()
    {
        Texts out;
        for (const auto& r : sim.board.log()) {
            if (r.op != SimBoard::Op::ioctl || r.device != kDevice || r.number == DSPROC_VERSION || r.error)
                continue;
            const uint32_t* w = r.out.data();
            std::string text = r.number == DSPROC_ENABLE ? "E" : r.number == DSPROC_DISABLE ? "D" : "C";
            text += std::to_string(r.number == DSPROC_CONFIGURE ? w[1] : w[2]);
            if (r.number == DSPROC_CONFIGURE && w[1] == kDelays)
                text += " " + std::to_string(w[2]) + " " + std::to_string(w[3]) + " " + std::to_string(w[4]);
            out.push_back(text);
        }
        sim.board.clear_log();
        return out;
    }
    // A record the DSP itself would not give (of a feature that is off, or
    // with another id): the service's own filtering shows.
    void post(uint32_t ts, uint32_t type, uint32_t d0, uint32_t d1, uint32_t d2, uint32_t id)
    {
        Device::Dsp::Event e{ts, id, type, {d0, d1, d2}};
        dsp().post_raw(&e, sizeof(e));
    }
};

// Signal tracing on for one test.
struct Traced {
    Traced() { traces.signallingEvents = true; }
    ~Traced() { traces.signallingEvents = false; }
};

TEST_F(DsprocTest, FeatureStatesDecideWhatIsSent)
{
    using R = Hardware::DSProcReceiver;
    MediaSlot& s = make(1, 100);
    sim.board.clear_log();
    // Known-off features need nothing; VAD and SD start unknown.
    const struct {
        std::function<bool(R&)> op;
        Texts sent;
    } cases[] = {
        {&R::disableBSS, {}},       {&R::disableNG, {}},       {&R::disableSelcalSh, {}}, {&R::disableVAD, {"D1"}},
        {&R::disableSD, {"D2"}},    {&R::disableVAD, {}},      {[](R& r) { return r.enableSelcalSh(true); }, {"E1024"}},
        {&R::disableSelcalSh, {"D1024"}}, {[](R& r) { return r.enableSelcalSh(true); }, {"E1024"}},
        {[](R& r) { return r.enableBSS(true); }, {"E16"}}, {[](R& r) { return r.enableBSS(true); }, {}},
        {&R::disableMute, {"D12"}}, {&R::disableMute, {}},     {[](R& r) { return r.enableMute(true, false); }, {"E4"}},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.op(s));
        EXPECT_EQ(sent(), c.sent) << (c.sent.empty() ? "-" : c.sent[0]);
    }
    EXPECT_EQ(s.selcalSh().state(), 1);
    EXPECT_EQ(s.vad().state(), 0);
    EXPECT_EQ(s.mute_a(), 1);
    EXPECT_EQ(s.mute_b(), 0);
    EXPECT_THAT(err.str(), HasSubstr("dsproc: DSPROC_DISABLE SELCAL_SH done: timeslot=100\n"));
    EXPECT_THAT(err.str(), HasSubstr("dsproc: DSPROC_ENABLE BSS done: timeslot=100 id=3\n"));
    EXPECT_THAT(err.str(), HasSubstr("dsproc: DSPROC_ENABLE MUTE done: timeslot=100\n"));
}

TEST_F(DsprocTest, EachFeatureKeepsItsOwnId)
{
    MediaSlot& s = make(1, 101);
    s.enableVAD(true), s.enableBSS(true), s.enableNG(true);
    sim.board.fail(kDevice, DSPROC_ENABLE, EBUSY);
    EXPECT_FALSE(s.enableSD(true));
    EXPECT_THAT(err.str(), HasSubstr("DSPROC_ENABLE SD fail: timeslot=101 id=4 errno=\"Device or resource busy\"\n"));
    EXPECT_EQ(s.sd().state(), -1);
    EXPECT_TRUE(s.enableSD(true));
    EXPECT_EQ(std::vector<uint32_t>({s.vad().id, s.bss().id, s.ng().id, s.sd().id}), std::vector<uint32_t>({1, 2, 3, 5}));
    for (uint32_t bit : {kVad, kBss, kNg, kSd})
        EXPECT_TRUE(dsp().feature(101, bit).on);
    EXPECT_EQ(dsp().feature(101, kSd).id, 5u);

    // The driver refuses time slots it does not have.
    MediaSlot& far = make(2, 9000);
    EXPECT_FALSE(far.disableVAD());
    EXPECT_THAT(err.str(), HasSubstr("DSPROC_DISABLE VAD fail: timeslot=9000 errno=\"Invalid argument\"\n"));
}

TEST_F(DsprocTest, ConfigurationRecords)
{
    MediaSlot& s = make(1, 102);
    LGCP::VADParams v1, v2;
    v1.set_v1();
    TERM::VADParamsV2& p = v2.get_v2();
    p.set_voice_th_msec(0x1234), p.set_silence_th_msec(0x0567), p.set_e_th_dB(7);
    auto bytes = [&](uint32_t kind) {
        const Configure* c = dsp().config(102, kind);
        return c ? std::vector<uint8_t>(c->p.bytes, c->p.bytes + 12) : std::vector<uint8_t>();
    };
    auto words = [&](uint32_t kind) {
        const Configure* c = dsp().config(102, kind);
        return std::vector<uint32_t>(c->p.words.w, c->p.words.w + 3);
    };

    // A version 2 driver takes only the v2 layout.
    EXPECT_FALSE(s.configureVAD(v1));
    EXPECT_THAT(err.str(), HasSubstr("DSPROC_CONFIGURE VAD: params not specified for v2:  timeslot=102\n"));
    EXPECT_TRUE(s.configureVAD(v2));
    VadV2Params expect{0x1234, 0x0567, 7, {}};
    std::vector<uint8_t> raw(12);
    std::memcpy(raw.data(), &expect, 12);
    EXPECT_EQ(bytes(kVad), raw);
    EXPECT_THAT(log.str(), HasSubstr("DSPROC_CONFIGURE VAD ts=102\n"));
    // Others take fixed words, whatever the parameters.
    dsp().set_version(1);
    EXPECT_TRUE(s.configureVAD(v2));
    EXPECT_EQ(words(kVad), std::vector<uint32_t>({3, 127, 0}));

    EXPECT_TRUE(s.configureSD());
    EXPECT_EQ(bytes(kSd), std::vector<uint8_t>(12, 0));
    EXPECT_TRUE(s.configureDelays(10, 20, 30));
    EXPECT_EQ(words(kDelays), std::vector<uint32_t>({10, 20, 30}));
    EXPECT_TRUE(s.configureRxGain(-6));
    EXPECT_EQ(dsp().config(102, kRxGain)->p.gain.gain_dB, -6);
    EXPECT_TRUE(s.configureToneFilter(1750, 1, 200, -20));
    const ToneFilterParams& t = dsp().config(102, kToneFilter)->p.tone;
    EXPECT_EQ(std::vector<int>({t.freq, t.enable, t.dur_th_msec, t.det_lvl_dB}), std::vector<int>({1750, 1, 200, -20}));
    EXPECT_THAT(log.str(), HasSubstr("DSPROC_CONFIGURE DELAYS ts=102 rx=10 tx=20 selcal=30\n"));
    EXPECT_THAT(log.str(), HasSubstr("DSPROC_CONFIGURE RX GAIN ts=102 gain_dB=-6\n"));
    EXPECT_THAT(log.str(),
                HasSubstr("DSPROC_CONFIGURE TONE FILTER ts=102 freq=1750, en=1, dur_th_msec=200, det_lvl_dB=-20\n"));
    sim.board.fail(kDevice, DSPROC_CONFIGURE, EIO);
    EXPECT_FALSE(s.configureSD());
    EXPECT_THAT(err.str(), HasSubstr("DSPROC_CONFIGURE SD fail: timeslot=102 errno=\"Input/output error\"\n"));
}

TEST_F(DsprocTest, EventsByTypeStateAndId)
{
    Traced on;
    MediaSlot& s = make(1, 103);
    s.enableVAD(true), s.enableSD(true);
    controller(), log.clear(), err.clear();
    const uint32_t vadId = s.vad().id;
    const int64_t feature = SimBoard::DspDevice::kFeatureId;
    float score = 2.5f;
    uint32_t scoreWord;
    std::memcpy(&scoreWord, &score, 4);
    const struct {
        uint32_t type, d0, d1, d2;
        int64_t id;
        Texts signals;
        const char* logged;
    } cases[] = {
        // The VAD direction mask says which words are reported.
        {kVad, 0, 1, 1, feature, {}, "bad VAD event, ignored.\n"},
        {kVad, 1, 1, 1, feature, {"slot=1 vad { vad-rx TRUE}"}, "dsproc vad event:  dir_mask=1 vad_rx=1 vad_tx=1\n"},
        {kVad, 2, 1, 0, feature, {"slot=1 vad { vad-tx FALSE}"}, ""},
        {kVad, 3, 0, 1, feature, {"slot=1 vad { vad-rx FALSE, vad-tx TRUE}"}, ""},
        {kVad, 3, 0, 1, vadId + 1, {}, "ignore spurious dsproc vad event:  timeslot=103 id=2 type=1 rid=1\n"},
        {kSd, 1, 0, 0, feature, {"slot=1 sd { sd-rx TRUE}"}, "dsproc sd event:  sd_rx=1\n"},
        {kSd, 1, 0, 0, 0, {}, "ignore spurious dsproc sd event:  timeslot=103 id=0 type=2 rid=2\n"},
        // BSS off; tone filter and flags whatever their id.
        {kBss, scoreWord, 0, 0, 7, {}, "ignore spurious dsproc bss event (dsproc disabled):  timeslot=103 id=7\n"},
        {kToneFilter, 1000, 1, 0, 55, {"slot=1 tonec { timestamp 0, event tone-presence : { freq 1000, presence TRUE }}"}, ""},
        {kFlags, 0x80000000, 0x80000000, 0, 66, {"slot=1 selcal { in-progress TRUE}"},
         "dsproc flags event:  flags=0x80000000, mask=0x80000000\n"},
        {4096, 0, 0, 0, 1, {}, "dsproc event:  timeslot=103 id=1 type=4096\n"},
    };
    for (const auto& c : cases) {
        c.id == feature ? void(dsp().event(103, c.type, c.d0, c.d1, c.d2))
                        : post(103, c.type, c.d0, c.d1, c.d2, uint32_t(c.id));
        wake();
        EXPECT_EQ(controller(), c.signals) << c.type << "/" << c.d0;
        EXPECT_THAT(log.str() + err.str(), HasSubstr(c.logged)) << c.type;
        log.clear(), err.clear();
    }

    // BSS on: any id; VAD off: dropped.
    s.enableBSS(true), s.disableVAD();
    controller();
    dsp().event(103, kBss, scoreWord, 0, 0, 12345);
    post(103, kVad, 3, 1, 1, vadId);
    post(999, kVad, 3, 1, 1, vadId);
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=1 bss { score \"2.500000\"}"));
    EXPECT_THAT(log.str(), HasSubstr("dsproc bss event:  score=2.5\n"));
    EXPECT_THAT(log.str(), HasSubstr("ignore spurious dsproc vad event (dsproc disabled):  timeslot=103 id=1 type=1\n"));
    EXPECT_THAT(err.str(), HasSubstr("receive dsproc event from unknown timeslot 999\n"));
}

TEST_F(DsprocTest, UntracedDropsAreSilent)
{
    MediaSlot& s = make(1, 104);
    s.disableVAD();
    log.clear(), err.clear();
    post(104, kVad, 3, 1, 1, 0);
    post(998, kVad, 3, 1, 1, 0);
    wake();
    EXPECT_EQ(log.str() + err.str(), "");
}

TEST_F(DsprocTest, CleanUpSwitchesOffWhatTheSlotSwitchedOn)
{
    MediaSlot& s = make(1, 105);
    s.enableVAD(true), s.enableBSS(true), s.enableNG(true), s.enableSelcalSh(true), s.enableSD(true);
    s.enableMute(true, true);
    s.configureDelays(1, 0, 0), s.configureRxGain(3);
    sent();
    destroy(1);
    EXPECT_THAT(sent(), ElementsAre("D1", "D16", "D128", "D1024", "D2", "C32 0 0 0", "D12", "C64", "D256"));
    EXPECT_THAT(log.str(), HasSubstr("DISABLE ALL TONE done:  ts=105\n"));

    // Delays cleared by the slot are not cleared again; a fresh slot sends
    // only the tone filter's disable.
    MediaSlot& t = make(2, 106);
    t.configureDelays(5, 5, 5), t.configureDelays(0, 0, 0);
    EXPECT_FALSE(t.delays_set());
    sent();
    destroy(2);
    EXPECT_THAT(sent(), ElementsAre("D256"));

    // A refused change, also one refused as invalid, leaves the delays and
    // the mute as they were, which the device still has: the clean-up
    // takes those off.
    int n = 3;
    for (int refusal : {EIO, EINVAL}) {
        SCOPED_TRACE(refusal);
        MediaSlot& u = make(n, 107);
        u.configureDelays(1, 2, 3), u.enableMute(true, false);
        sim.board.fail(kDevice, DSPROC_CONFIGURE, refusal);
        EXPECT_FALSE(u.configureDelays(7, 7, 7));
        sim.board.fail(kDevice, DSPROC_ENABLE, refusal);
        EXPECT_FALSE(u.enableMute(true, true));
        sent();
        destroy(n++);
        EXPECT_THAT(sent(), ElementsAre("C32 0 0 0", "D12", "D256"));
        EXPECT_FALSE(dsp().feature(107, kMuteA).on);
        ASSERT_NE(dsp().config(107, kDelays), nullptr);
        EXPECT_EQ(dsp().config(107, kDelays)->p.words.w[0], 0u);
    }
}

// The receive gain and the tone filters are no held settings, yet a reset
// of them that the device refused at a destroy is owed to the time slot;
// a new slot that sets its own gain there takes that over.
TEST_F(DsprocTest, TheCleanUpsRefusedResetsOfGainAndTonesAreOwed)
{
    MediaSlot& s = make(1, 108);
    s.configureRxGain(3), s.configureToneFilter(1750, 1, 200, -20);
    sim.board.fail(kDevice, DSPROC_CONFIGURE, EIO, SimBoard::Board::Times::always);
    sim.board.fail(kDevice, DSPROC_DISABLE, EIO, SimBoard::Board::Times::always);
    sent();
    EXPECT_THAT(destroy(1), Contains(HasSubstr("success")));
    EXPECT_THAT(sent(), IsEmpty());
    sim.board.clear_failures();
    advance(1000);
    EXPECT_THAT(sent(), ElementsAre("C64", "D256"));
    advance(1000);
    EXPECT_THAT(sent(), IsEmpty());

    MediaSlot& t = make(2, 109);
    t.configureRxGain(3);
    sim.board.fail(kDevice, DSPROC_CONFIGURE, EIO, SimBoard::Board::Times::always);
    destroy(2);
    sim.board.clear_failures();
    MediaSlot& u = make(3, 109);
    u.configureRxGain(5);
    advance(1000);
    ASSERT_NE(dsp().config(109, kRxGain), nullptr);
    EXPECT_EQ(dsp().config(109, kRxGain)->p.gain.gain_dB, 5);
}

// The driver forgets what a lost descriptor switched on. Whatever request
// opens the device again switches back on what the receiver holds on,
// each with its own id; what the driver then refuses stays asked for and
// is asked again a second later.
TEST_F(DsprocTest, AReopenSwitchesBackOnWhatTheReceiverHoldsOn)
{
    MediaSlot& s = make(1, 110);
    s.enableVAD(true), s.enableBSS(true), s.enableMute(true, false), s.enableNG(true), s.disableNG();
    controller();
    dsp().hang_up();
    wake();
    ASSERT_EQ(dsproc().fd(), -1);
    sent();

    sim.board.fail(kDevice, DSPROC_ENABLE, EIO); // VAD's
    EXPECT_TRUE(s.configureSD());
    EXPECT_THAT(sent(), ElementsAre("E16", "E4", "C2"));
    EXPECT_THAT(err.str(), HasSubstr("DSPROC_ENABLE VAD fail: timeslot=110 id=1 errno=\"Input/output error\"\n"));
    EXPECT_EQ(s.vad().state(), 1);
    EXPECT_TRUE(dsp().feature(110, kBss).on && dsp().feature(110, kMuteA).on);
    EXPECT_EQ(dsp().feature(110, kBss).id, s.bss().id);
    EXPECT_EQ(dsp().feature(110, kMuteA).id, 3u);
    EXPECT_THAT(err.str(), HasSubstr("dsproc: device back, 2 request(s) of the receivers made again\n"));

    advance(Hardware::DeviceService::kRetryMs);
    EXPECT_THAT(sent(), ElementsAre("E1"));
    EXPECT_EQ(dsp().feature(110, kVad).id, 1u);
    EXPECT_EQ(asked_next_period(kDevice), 0u);
    float score = 1.5f;
    uint32_t scoreWord;
    std::memcpy(&scoreWord, &score, 4);
    dsp().event(110, kBss, scoreWord);
    dsp().event(110, kVad, 1, 1, 0);
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=1 bss { score \"1.500000\"}", "slot=1 vad { vad-rx TRUE}"));
}

TEST_F(DsprocTest, AMissingOrHungUpDevice)
{
    MediaSlot& s = make(1, 107);
    s.enableVAD(true);
    controller();
    dsp().event(107, kVad, 1, 1, 0);
    const char raw[10] = {};
    dsp().post_raw(raw, sizeof(raw));
    dsp().hang_up();
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=1 vad { vad-rx TRUE}"));
    EXPECT_THAT(err.str(), HasSubstr("short dsproc record of 10 bytes dropped\n"));
    // Read past the short record to the device's end.
    EXPECT_THAT(err.str(), HasSubstr("dsproc: fail to read from dsproc: end of file\n"));
    EXPECT_EQ(dsproc().fd(), -1);

    sim.board.fail(kDevice, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
    const struct {
        std::function<bool()> op;
        const char* logged;
    } cases[] = {
        {[&] { return s.configureVAD(LGCP::VADParams()); }, "configure VAD fail: (interface not opened) timeslot=107\n"},
        {[&] { return s.configureSD(); }, "configure SD fail: (interface not opened) timeslot=107\n"},
        {[&] { return s.configureDelays(1, 2, 3); }, "configure Delays fail: (interface not opened) timeslot=107\n"},
        {[&] { return s.configureRxGain(1); }, "Configure Rx gain fail: (interface not opened) timeslot=107\n"},
        {[&] { return s.configureToneFilter(1, 1, 1, 1); }, "Configure Tone Filter fail: (interface not opened) timeslot=107\n"},
        {[&] { return s.disableToneAll(); }, "Disable All Tone fail: (interface not opened) timeslot=107\n"},
        {[&] { return s.enableBSS(true); }, "DSPROC_ENABLE BSS fail: (interface not opened) timeslot=107\n"},
        // On before the loss: the device, not the flag, answers.
        {[&] { return s.enableVAD(true); }, "DSPROC_ENABLE VAD fail: (interface not opened) timeslot=107\n"},
    };
    err.clear();
    for (const auto& c : cases) {
        EXPECT_FALSE(c.op());
        EXPECT_THAT(err.str(), HasSubstr(c.logged));
    }
    EXPECT_THAT(err.str(), HasSubstr("open dsproc fail, VAD proceeding disabled: No such file or directory\n"));

    sim.board.clear_failures();
    EXPECT_TRUE(s.configureSD());
    EXPECT_NE(dsproc().fd(), -1);
    // Delays refused by a missing device were never told: the clean-up
    // does not clear them. VAD is on again since the device is back.
    sent();
    destroy(1);
    EXPECT_THAT(sent(), ElementsAre("D1", "C64", "D256"));
}

// A slot that holds only the mute gets it back with no command after a
// request found the device gone, and delays given while the device cannot
// be opened come with it.
TEST_F(DsprocTest, AMuteAloneComesBackAfterARequestFoundTheDeviceGone)
{
    MediaSlot& s = make(1, 112);
    ASSERT_TRUE(s.enableMute(false, true));
    uint32_t id = dsp().feature(112, kMuteB).id;
    sim.board.fail(kDevice, DSPROC_CONFIGURE, ENODEV);
    EXPECT_FALSE(s.configureSD());
    EXPECT_EQ(dsproc().fd(), -1);
    sim.board.fail(kDevice, SimBoard::Op::open, ENOENT);
    EXPECT_TRUE(s.configureDelays(1, 2, 3, Hardware::Policy::held));
    sent();

    advance(Hardware::DeviceService::kRetryMs);
    EXPECT_THAT(sent(), ElementsAre("E8", "C32 1 2 3"));
    EXPECT_EQ(dsp().feature(112, kMuteB).id, id);
    EXPECT_EQ(asked_next_period(kDevice), 0u);
}

} // namespace
