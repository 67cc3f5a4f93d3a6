// The tone service in a slot: detector switching and ids, event dispatch,
// digit sequences and the wait tone in virtual time, SELCAL, clean-up and
// a missing or hung-up device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include "tests/media/media_support.h"

using namespace vbtest;
using namespace Device::Dtmf;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

namespace {

struct TonecTest : ::testing::Test, MediaWorld {
    uint32_t t0 = Mux::milliseconds();

    size_t requests(unsigned long number) { return sim.board.ioctls(kDevice, number).size(); }
    // The generator history as "ms f1/f2 a1/a2" or "ms off" (since t0).
    Texts dials()
    {
        Texts out;
        for (const auto& d : dtmf().dials()) {
            std::ostringstream o;
            o << d.ms - t0 << " ";
            d.off() ? void(o << "off") : void(o << d.freq1 << "/" << d.freq2 << " " << d.amp1 << "/" << d.amp2);
            out.push_back(o.str());
        }
        return out;
    }
    void post(uint32_t ts, uint32_t code, uint32_t id)
    {
        Device::Dtmf::Event e{code, ts, 7, id};
        dtmf().post_raw(&e, sizeof(e));
    }
};

LGCP::TranslateDtmfParams digits(std::initializer_list<std::pair<int, int>> pairs)
{
    LGCP::TranslateDtmfParams p;
    for (auto& f : pairs) {
        LGCP::DualTone t;
        t.set_freq1(f.first);
        t.set_freq2(f.second);
        p.get_digits().push_back(t);
    }
    return p;
}

TEST_F(TonecTest, DetectorIdsAdvanceOnEveryEnableAndWrap)
{
    MediaSlot& a = make(1, 10);
    EXPECT_TRUE(a.enableDTMF(true));
    EXPECT_TRUE(a.enableDTMF(true));
    EXPECT_EQ(requests(DTMF_ENABLE_DETECTOR), 1u);
    EXPECT_EQ(dtmf().timeslot(10).id, 1u);
    EXPECT_THAT(err.str(), HasSubstr("tonec: DTMF_ENABLE_DETECTOR done: timeslot=10 id=1\n"));

    // A failed enable keeps the flags and uses up its id.
    MediaSlot& b = make(2, 11);
    sim.board.fail(kDevice, DTMF_ENABLE_DETECTOR, EIO);
    EXPECT_FALSE(b.enableDTMF(true));
    EXPECT_FALSE(b.dtmf_active());
    EXPECT_EQ(b.detector_id(), 0u);
    EXPECT_THAT(err.str(), HasSubstr("DTMF_ENABLE_DETECTOR fail: timeslot=11 id=2 errno=\"Input/output error\"\n"));
    EXPECT_TRUE(b.enableDTMF(true));
    EXPECT_EQ(b.detector_id(), 3u);

    // 0 is never an id.
    EXPECT_TRUE(b.disableDTMF());
    EXPECT_FALSE(dtmf().timeslot(11).detector);
    tonec().set_last_id(0xFFFFFFFE);
    b.enableDTMF(true), b.disableDTMF(), b.enableDTMF(true);
    EXPECT_EQ(b.detector_id(), 1u);

    // Time slots outside the DSP's are refused by the driver.
    MediaSlot& c = make(3, 8192);
    EXPECT_FALSE(c.enableDTMF(true));
    EXPECT_THAT(err.str(), HasSubstr("timeslot=8192 id=2 errno=\"Invalid argument\"\n"));
}

TEST_F(TonecTest, EventsReachTheFirstReceiverOfTheirTimeSlotWithItsId)
{
    MediaSlot& a = make(1, 10);
    make(2, 10); // a second receiver of time slot 10 hears nothing
    MediaSlot& c = make(3, 12);
    a.enableDTMF(true);
    c.enableDTMF(true), c.disableDTMF();
    controller(), log.clear(), err.clear();

    const struct {
        uint32_t ts, code, id;
        Texts sent;
        const char* logged; // on the debug or error stream
    } cases[] = {
        {10, 5, 1, {"slot=1 tonec { timestamp 7, event dtmf : 5}"}, "dtmf event:  timestamp=7 timeslot=10 code=5 id=1"},
        {10, 5, 0, {}, "ignore spurious dtmf event:  timestamp=7 timeslot=10 code=5 id=0 rid=1\n"},
        {12, 5, 2, {}, "ignore spurious dtmf event (DTMF disabled):  timestamp=7 timeslot=12 code=5 id=2\n"},
        {77, 5, 1, {}, "receive tonec event from unknown timeslot 77\n"},
    };
    for (const auto& c : cases) {
        post(c.ts, c.code, c.id);
        wake();
        EXPECT_EQ(controller(), c.sent) << c.ts << "/" << c.id;
        EXPECT_THAT(log.str() + err.str(), HasSubstr(c.logged));
        log.clear(), err.clear();
    }

    // Every waiting record is read in one wake-up.
    for (uint32_t code : {1, 17, 0x1500})
        post(10, code, 1);
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=1 tonec { timestamp 7, event dtmf : 1}",
                                          "slot=1 tonec { timestamp 7, event ced : NULL}",
                                          "slot=1 tonec { timestamp 7, event iva : ringoff : NULL}"));

    // After the first receiver goes, the second one of the time slot hears.
    destroy(1);
    static_cast<MediaSlot*>(slots().at(2))->enableDTMF(true);
    dtmf().detect(10, 9, 3);
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=2 tonec { timestamp 3, event dtmf : 9}"));
}

TEST_F(TonecTest, DtmfAndIvaDetectorsSwitchIndependently)
{
    MediaSlot& s = make(1, 20);
    EXPECT_TRUE(s.enableIVA(true));
    EXPECT_THAT(log.str(), HasSubstr("IVA_DETECTOR_ENABLE[20] ok\n"));
    // IVA alone makes the time slot's events acceptable.
    dtmf().detect(20, 0x0300, 1);
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=1 tonec { timestamp 1, event iva : code : 3}"));

    // DTMF after IVA is switched on in the driver too.
    EXPECT_TRUE(s.enableDTMF(true));
    EXPECT_EQ(requests(DTMF_ENABLE_DETECTOR), 1u);
    EXPECT_TRUE(dtmf().timeslot(20).detector && dtmf().timeslot(20).iva);

    // IVA off leaves DTMF detecting.
    EXPECT_TRUE(s.enableIVA(false));
    dtmf().detect(20, 4, 2);
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=1 tonec { timestamp 2, event dtmf : 4}"));
    EXPECT_TRUE(s.dtmf_active() && !s.iva_active());

    // Both off: the driver detects nothing, and a record it still gives is dropped.
    s.disableDTMF();
    EXPECT_EQ(dtmf().detect(20, 4, 3), 0u);
    post(20, 4, s.detector_id());
    wake();
    EXPECT_THAT(controller(), IsEmpty());
}

TEST_F(TonecTest, AShortRecordIsDroppedAndAHangUpEndsTheReading)
{
    MediaSlot& s = make(1, 30);
    s.enableDTMF(true);
    controller();
    const char raw[10] = {};
    dtmf().post_raw(raw, sizeof(raw));
    dtmf().detect(30, 6, 1);
    // The same wake-up reads on past it.
    wake();
    EXPECT_THAT(err.str(), HasSubstr("tonec: short tonec record of 10 bytes dropped\n"));
    EXPECT_THAT(controller(), ElementsAre("slot=1 tonec { timestamp 1, event dtmf : 6}"));

    // A hung-up device is read to its end, then no longer watched.
    dtmf().detect(30, 7, 2);
    dtmf().hang_up();
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=1 tonec { timestamp 2, event dtmf : 7}"));
    EXPECT_THAT(err.str(), HasSubstr("tonec: fail to read from tonec: end of file\n"));
    EXPECT_EQ(tonec().fd(), -1);

    // The next request opens the device again.
    LGCP::IVAParams iva;
    iva.set_det_lvl_dB(-30);
    EXPECT_TRUE(s.configureIVA(iva));
    EXPECT_NE(tonec().fd(), -1);
    EXPECT_EQ(dtmf().timeslot(30).ivaLevel, -30);
    EXPECT_THAT(log.str(), HasSubstr("IVA_CONFIGURE_DETECTOR ts=30 det_lvl_dB=-30\n"));
}

TEST_F(TonecTest, AMissingDeviceIsOpenedAgainByEachRequest)
{
    sim.board.fail(kDevice, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
    Hardware::TonecReceiverService::Scoped fresh;
    EXPECT_EQ(fresh.service().fd(), -1);
    MediaSlot& s = make(1, 40);
    LGCP::DTMFParams p;
    p.get_threshold().set_twist(1), p.get_threshold().set_ratio(2), p.get_threshold().set_noise(3);
    p.get_level().set_silence(4);
    size_t opens = sim.board.log().size();
    EXPECT_FALSE(s.configureDTMF(p));
    EXPECT_FALSE(s.configureDTMF(p));
    EXPECT_THAT(err.str(), HasSubstr("open tonec fail, DTMF proceeding disabled: No such file or directory\n"));
    EXPECT_THAT(err.str(), HasSubstr("configure DTMF fail: (interface not opened) timeslot=40\n"));
    EXPECT_EQ(sim.board.log().size(), opens + 2);
    // Other requests try to open it too, and fail without it.
    EXPECT_FALSE(s.enableDTMF(true));
    EXPECT_EQ(sim.board.log().size(), opens + 3);
    EXPECT_THAT(err.str(), HasSubstr("DTMF_ENABLE_DETECTOR fail: (interface not opened) timeslot=40\n"));

    sim.board.clear_failures();
    EXPECT_TRUE(s.configureDTMF(p));
    auto config = dtmf().timeslot(40).config;
    EXPECT_EQ(std::vector<uint32_t>({config.timeslot, config.twist, config.ratio, config.silence, config.noise}),
              std::vector<uint32_t>({40, 1, 2, 4, 3}));
    EXPECT_THAT(log.str(), HasSubstr("DTMF_CONFIGURE_DETECTOR ts=40 twist=1 ratio=2 noise=3 silence=4\n"));
}

// The driver forgets what a lost descriptor switched on. Whatever request
// opens the device again switches back on what the receivers hold on,
// with the detector's own id; what the driver then refuses stays asked
// for, so the next request tells it first.
TEST_F(TonecTest, AReopenSwitchesBackOnWhatTheReceiversHoldOn)
{
    MediaSlot& a = make(1, 80);
    MediaSlot& b = make(2, 81);
    MediaSlot& c = make(3, 82);
    a.enableDTMF(true), a.enableIVA(true), a.enableDTMFReject(true);
    b.enableDTMF(true), b.disableDTMF();
    c.enableDTMF(true);
    controller();
    dtmf().hang_up();
    wake();
    ASSERT_EQ(tonec().fd(), -1);

    sim.board.fail(kDevice, DTMF_ENABLE_DETECTOR, EIO); // a's
    EXPECT_TRUE(b.echoCancel(true));
    EXPECT_THAT(err.str(), HasSubstr("DTMF_ENABLE_DETECTOR fail: timeslot=80 id=1 errno=\"Input/output error\"\n"));
    EXPECT_THAT(err.str(), HasSubstr("tonec: device back, 3 request(s) of the receivers made again\n"));
    EXPECT_TRUE(a.dtmf_active() && a.iva_active() && a.rejection_enabled() && c.dtmf_active());
    EXPECT_FALSE(dtmf().timeslot(80).detector);
    EXPECT_TRUE(dtmf().timeslot(80).iva && dtmf().timeslot(80).rejection);
    EXPECT_FALSE(dtmf().timeslot(81).detector);
    EXPECT_EQ(dtmf().timeslot(82).id, c.detector_id());
    dtmf().detect(82, 5, 9);
    dtmf().detect(80, 0x0300, 9);
    wake();
    EXPECT_THAT(controller(), ElementsAre("slot=3 tonec { timestamp 9, event dtmf : 5}",
                                          "slot=1 tonec { timestamp 9, event iva : code : 3}"));

    // The one the device refused is told again with its own id.
    EXPECT_TRUE(a.enableDTMF(true));
    EXPECT_TRUE(dtmf().timeslot(80).detector);
    EXPECT_EQ(dtmf().timeslot(80).id, a.detector_id());
}

// What the receivers hold comes back with no command: a request that
// finds the device gone lets it go, the retry opens it again and tells it
// the detectors, the echo canceller and the steady tone, and a restore the
// device refuses is asked again at every retry until it holds. A wish held
// while the device is missing comes with them.
TEST_F(TonecTest, WhatTheReceiversHoldComesBackByItselfUntilItHolds)
{
    MediaSlot& a = make(1, 60);
    MediaSlot& ivaOnly = make(2, 61);
    ASSERT_TRUE(a.enableDTMF(true) && a.echoCancel(true) && a.enableToneGenerator(425, 0, 100, 100));
    ASSERT_TRUE(ivaOnly.enableIVA(true));
    sim.board.fail(kDevice, DTMF_CONFIGURE_DETECTOR, ENODEV);
    EXPECT_FALSE(a.configureDTMF(LGCP::DTMFParams()));
    EXPECT_EQ(tonec().fd(), -1);
    MediaSlot& created = make(3, 62);
    sim.board.fail(kDevice, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
    EXPECT_TRUE(created.echoCancel(true, Hardware::Policy::held));
    EXPECT_FALSE(created.echoCancel(true)) << "a command answers the device";

    sim.board.clear_failures();
    sim.board.fail(kDevice, DTMF_ENABLE_DETECTOR, EIO, SimBoard::Board::Times::always);
    dtmf().clear_dials(), t0 = Mux::milliseconds();
    for (int retry = 1; retry <= 2; ++retry) {
        advance(Hardware::DeviceService::kRetryMs);
        EXPECT_FALSE(dtmf().timeslot(60).detector) << retry;
    }
    EXPECT_TRUE(dtmf().timeslot(60).lms && dtmf().timeslot(61).iva && dtmf().timeslot(62).lms);
    EXPECT_THAT(dials(), ElementsAre("1000 425/0 100/100"));
    EXPECT_THAT(err.str(), HasSubstr("tonec: device back after 2 failed open(s), 4 request(s) of the receivers made again\n"));

    sim.board.clear_failures();
    advance(Hardware::DeviceService::kRetryMs);
    EXPECT_TRUE(dtmf().timeslot(60).detector);
    EXPECT_EQ(dtmf().timeslot(60).id, a.detector_id());
    EXPECT_EQ(asked_next_period(kDevice), 0u);
    EXPECT_THAT(err.str(), HasSubstr("tonec: 1 request(s) of the receivers made again\n"));
}

// Switching off held, as a create does: an off the device refuses is told
// again until it takes it.
TEST_F(TonecTest, AHeldOffTheDeviceRefusesIsToldLater)
{
    MediaSlot& a = make(1, 59);
    ASSERT_TRUE(a.echoCancel(true));
    sim.board.fail(kDevice, CHANNEL_LMS_OFF, EIO);
    EXPECT_TRUE(a.echoCancel(false, Hardware::Policy::held));
    EXPECT_TRUE(dtmf().timeslot(59).lms);
    advance(Hardware::DeviceService::kRetryMs);
    EXPECT_FALSE(dtmf().timeslot(59).lms);
    EXPECT_EQ(asked_next_period(kDevice), 0u);
}

// A device that opens but fails every request with ENODEV is not back: it
// is opened again only by the once-a-second retry, and the failures of 16
// wait tones are one line when they start and one with their count when a
// request works again.
TEST_F(TonecTest, ADeviceFailingEveryRequestIsOpenedOnlyByTheRetry)
{
    for (int n = 1; n <= 16; ++n)
        ASSERT_TRUE(make(n, 63 + uint32_t(n)).activateAudibleCall());
    sim.board.fail(kDevice, DTMF_DIAL, ENODEV, SimBoard::Board::Times::always);
    err.clear();
    uint64_t opens = sim.board.count(kDevice, SimBoard::Op::open);
    for (int s = 0; s < 9; ++s)
        advance(1000);
    EXPECT_LE(sim.board.count(kDevice, SimBoard::Op::open) - opens, 10u);
    EXPECT_THAT(err.str(), testing::Not(HasSubstr("device back")));
    std::string lines = err.str();
    EXPECT_LE(std::count(lines.begin(), lines.end(), '\n'), 3) << lines;

    sim.board.clear_failures();
    advance(1000);
    EXPECT_THAT(err.str(), testing::ContainsRegex("tonec: device back after [0-9]+ failed open\\(s\\), 16 request\\(s\\)"));
    EXPECT_THAT(err.str(), testing::ContainsRegex("tonec: DTMF_DIAL fail: [0-9]+ more time\\(s\\)\n"));
}

TEST_F(TonecTest, DigitSequencesPlayToneAndPauseThenSwitchOff)
{
    MediaSlot& s = make(1, 50);
    controller();
    s.translateDTMF(digits({{697, 1209}, {941, 1336}}));
    for (int i = 0; i < 6; ++i)
        advance(70);
    EXPECT_THAT(dials(), ElementsAre("0 697/1209 16384/16384", "70 1000/1000 0/0", "140 941/1336 16384/16384",
                                     "210 1000/1000 0/0", "280 off"));
    EXPECT_THAT(controller(), ElementsAre("slot=1 tonec { timestamp 0, event dtmfDone : NULL}"));
    EXPECT_FALSE(s.playing());

    // Given amplitudes and durations; an empty list ends at once, with the
    // generator already off.
    dtmf().clear_dials(), t0 = Mux::milliseconds();
    LGCP::TranslateDtmfParams p = digits({{770, 1477}});
    p.set_amp1(100), p.set_amp2(200), p.set_toneDuration(40), p.set_pauseDuration(10);
    s.translateDTMF(p);
    advance(40), advance(10);
    s.translateDTMF(digits({}));
    EXPECT_THAT(dials(), ElementsAre("0 770/1477 100/200", "40 1000/1000 0/0", "50 off"));
    EXPECT_EQ(controller().size(), 2u);
}

TEST_F(TonecTest, ANewSequenceReplacesTheRestOfTheRunningOne)
{
    MediaSlot& s = make(1, 51);
    controller();
    s.translateDTMF(digits({{1, 1}, {2, 2}, {3, 3}}));
    advance(70); // in the pause after the first digit
    s.translateDTMF(digits({{9, 9}}));
    for (int i = 0; i < 4; ++i)
        advance(70);
    EXPECT_THAT(dials(), ElementsAre("0 1/1 16384/16384", "70 1000/1000 0/0", "140 9/9 16384/16384",
                                     "210 1000/1000 0/0", "280 off"));
    EXPECT_EQ(controller().size(), 1u);

    // Values the generator record cannot hold play nothing.
    s.translateDTMF(digits({{70000, 1}}));
    EXPECT_THAT(err.str(), HasSubstr("DTMF_DIAL fail: timeslot=51 values out of range, sequence ignored\n"));
    EXPECT_FALSE(s.playing());
}

// A tone of 0 ms plays nothing a receiver could decode: refused like the
// other out-of-range values, with no end reported. A pause of 0 ms is
// played as asked: the next digit follows the silence record at once.
TEST_F(TonecTest, AToneOfNoDurationIsRefusedAPauseOfNoneIsPlayed)
{
    MediaSlot& s = make(1, 53);
    controller();
    LGCP::TranslateDtmfParams p = digits({{697, 1209}, {941, 1336}});
    p.set_toneDuration(0);
    s.translateDTMF(p);
    advance(70);
    EXPECT_THAT(dials(), IsEmpty());
    EXPECT_THAT(controller(), IsEmpty());
    EXPECT_FALSE(s.playing());
    EXPECT_THAT(err.str(), HasSubstr("DTMF_DIAL fail: timeslot=53 values out of range, sequence ignored\n"));

    t0 = Mux::milliseconds();
    p.set_toneDuration(40), p.set_pauseDuration(0);
    s.translateDTMF(p);
    for (int i = 0; i < 4; ++i)
        advance(i % 2 ? 0 : 40);
    EXPECT_THAT(dials(), ElementsAre("0 697/1209 16384/16384", "40 1000/1000 0/0", "40 941/1336 16384/16384",
                                     "80 1000/1000 0/0", "80 off"));
    EXPECT_THAT(controller(), ElementsAre("slot=1 tonec { timestamp 0, event dtmfDone : NULL}"));
}

TEST_F(TonecTest, TheWaitToneCyclesUntilCancelled)
{
    MediaSlot& s = make(1, 52);
    controller();
    s.activateAudibleCall();
    advance(1000), advance(3000), advance(1000);
    s.cancelAudibleCall();
    advance(10000);
    EXPECT_THAT(dials(), ElementsAre("0 425/0 2048/2048", "1000 1000/1000 0/0", "4000 425/0 2048/2048",
                                     "5000 1000/1000 0/0", "5000 off"));

    // Started during a sequence, it ends the sequence without its report;
    // a cancel during a sequence leaves the sequence playing.
    dtmf().clear_dials(), t0 = Mux::milliseconds();
    s.translateDTMF(digits({{1, 1}, {2, 2}}));
    s.cancelAudibleCall();
    EXPECT_TRUE(s.playing());
    advance(70);
    s.activateAudibleCall();
    EXPECT_FALSE(s.playing());
    advance(1000);
    s.cancelAudibleCall();
    advance(10000);
    EXPECT_THAT(dials(), ElementsAre("0 1/1 16384/16384", "70 1000/1000 0/0", "70 425/0 2048/2048",
                                     "1070 1000/1000 0/0", "1070 off"));
    EXPECT_THAT(controller(), IsEmpty());
}

TEST_F(TonecTest, CleanUpSwitchesOffWhatTheSlotSwitchedOn)
{
    MediaSlot& s = make(1, 60);
    s.enableDTMF(true), s.enableIVA(true), s.enableDTMFReject(true), s.echoCancel(true);
    s.activateAudibleCall();
    EXPECT_TRUE(dtmf().timeslot(60).rejection && dtmf().timeslot(60).lms);
    sim.board.clear_log();
    destroy(1);
    Texts sent;
    for (const auto& r : sim.board.log())
        if (r.op == SimBoard::Op::ioctl && r.device == kDevice)
            sent.push_back(r.number == DTMF_DIAL ? "dial" : std::to_string(r.number & 0xFF));
    EXPECT_THAT(sent, ElementsAre("4", "12", "10", "7", "dial"));
    EXPECT_TRUE(dtmf().dials().back().off());
    EXPECT_FALSE(dtmf().timeslot(60).detector || dtmf().timeslot(60).iva || dtmf().timeslot(60).rejection ||
                 dtmf().timeslot(60).lms);
    // The cadence went with the slot.
    size_t n = dtmf().dials().size();
    advance(5000);
    EXPECT_EQ(dtmf().dials().size(), n);

    // A slot that switched nothing on sends nothing.
    make(2, 61);
    sim.board.clear_log();
    destroy(2);
    EXPECT_EQ(requests(DTMF_DIAL) + requests(DTMF_DISABLE_DETECTOR), 0u);
}

TEST_F(TonecTest, SelcalSendsTheFirstFourSigns)
{
    MediaSlot& s = make(1, 70);
    TERM::SelcalCommand cmd;
    cmd.set_signs("ABC");
    s.translateSelcal(cmd);
    EXPECT_THAT(err.str(), HasSubstr("SELCAL_DIAL fail: timeslot=70 incorect signs:\"ABC\"\n"));
    EXPECT_THAT(dials(), IsEmpty());
    cmd.set_signs("ABCDEF");
    s.translateSelcal(cmd);
    cmd.set_amp(500);
    s.translateSelcal(cmd);
    ASSERT_EQ(dtmf().dials().size(), 2u);
    EXPECT_TRUE(dtmf().dials()[0].selcal);
    EXPECT_EQ(dtmf().dials()[0].signs, "ABCD");
    EXPECT_EQ(dtmf().dials()[0].amp1, 12000);
    EXPECT_EQ(dtmf().dials()[1].amp1, 500);
    cmd.set_amp(-1);
    s.translateSelcal(cmd);
    EXPECT_EQ(dtmf().dials().size(), 2u);
}

} // namespace
