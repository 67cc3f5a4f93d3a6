// What the tone and DSP services share through their device holder, each
// case for both: a device that opens but fails every request, the lines of
// a device's return, and the offs that receivers owe their time slot after
// they went, read on the simulated board in virtual time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>

#include "tests/media/media_support.h"

using namespace vbtest;
using testing::HasSubstr;
using testing::Not;

namespace {

struct ServiceTest : ::testing::Test, MediaWorld {
    // The device ends every descriptor, and the service reads the end.
    void hang_up(const char* device)
    {
        for (SimBoard::Channel* ch : sim.board.channels(device))
            ch->hang_up();
        wake();
    }
    size_t lines(const std::string& text) const
    {
        std::string all = err.str();
        size_t n = 0;
        for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1))
            ++n;
        return n;
    }
};

// One service: its device, a request that needs it (with the name of its
// lines), and the service's open and retry state.
struct Service {
    const char* name;
    const char* device;
    unsigned long request;
    const char* requestName;
    std::function<bool(MediaSlot&)> use;
};

const Service kServices[] = {
    {"tonec", Device::Dtmf::kDevice, Device::Dtmf::DTMF_CONFIGURE_DETECTOR, "configure DTMF",
     [](MediaSlot& s) { return s.configureDTMF(LGCP::DTMFParams()); }},
    {"dsproc", Device::Dsp::kDevice, Device::Dsp::DSPROC_CONFIGURE, "configure SD",
     [](MediaSlot& s) { return s.configureSD(); }},
};

// With nothing held, a device that opens but fails every request with
// ENODEV is opened again only by the retry, once a second, not by each
// command; it is back, with its one line, only once a request works.
TEST_F(ServiceTest, ADeviceFailingEveryRequestWithNothingHeldIsOpenedOnlyByTheRetry)
{
    for (const Service& sv : kServices) {
        SCOPED_TRACE(sv.name);
        MediaSlot& s = make(1, 130);
        sim.board.fail(sv.device, sv.request, ENODEV, SimBoard::Board::Times::always);
        err.clear();
        uint64_t opens = sim.board.count(sv.device, SimBoard::Op::open);
        for (int second = 1; second <= 3; ++second) {
            for (int i = 0; i < 5; ++i)
                EXPECT_FALSE(sv.use(s));
            EXPECT_LE(sim.board.count(sv.device, SimBoard::Op::open) - opens, uint64_t(second)) << second;
            advance(Hardware::DeviceService::kRetryMs);
        }
        EXPECT_GE(sim.board.count(sv.device, SimBoard::Op::open) - opens, 2u) << "the retry opens it";
        EXPECT_EQ(lines("device back"), 0u) << err.str();

        sim.board.clear_failures();
        advance(Hardware::DeviceService::kRetryMs);
        EXPECT_TRUE(sv.use(s));
        EXPECT_EQ(lines(std::string(sv.name) + ": device back after "), 1u) << err.str();
        destroy(1);
    }
}

// The lines of a return: the runs of failed requests end with their
// count, and a second outage without failed opens says nothing of the
// first one's.
TEST_F(ServiceTest, TheLinesOfTheDeviceBack)
{
    for (const Service& sv : kServices) {
        SCOPED_TRACE(sv.name);
        MediaSlot& s = make(1, 131);
        ASSERT_TRUE(sv.use(s));
        // First outage: gone, and two opens fail.
        sim.board.fail(sv.device, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
        hang_up(sv.device);
        err.clear();
        for (int i = 0; i < 3; ++i)
            EXPECT_FALSE(sv.use(s));
        EXPECT_EQ(lines(std::string(sv.requestName) + " fail: (interface not opened) timeslot=131\n"), 1u)
            << err.str();
        sim.board.clear_failures();
        EXPECT_TRUE(sv.use(s));
        EXPECT_EQ(lines(std::string(sv.name) + ": device back after 3 failed open(s)\n"), 1u) << err.str();
        EXPECT_EQ(lines(std::string(sv.name) + ": " + sv.requestName + " fail: 2 more time(s)\n"), 1u)
            << err.str();

        // Second outage: the next open works.
        hang_up(sv.device);
        err.clear();
        EXPECT_TRUE(sv.use(s));
        EXPECT_EQ(lines(std::string(sv.name) + ": device back\n"), 1u) << err.str();
        EXPECT_THAT(err.str(), Not(HasSubstr("failed open")));
        destroy(1);
    }
}

// An owed off is superseded by a receiver of the time slot that asks the
// setting anew: the retry does not switch off what the new slot switched
// on, and a new off the device refuses is owed in its turn.
TEST_F(ServiceTest, ANewSlotOfTheTimeSlotTakesOverWhatIsOwed)
{
    using namespace Device::Dsp;
    MediaSlot& old = make(1, 140);
    ASSERT_TRUE(old.enableVAD(true) && old.echoCancel(true) && old.enableToneGenerator(425, 0, 100, 100));
    sim.board.fail(kDevice, DSPROC_DISABLE, EIO, SimBoard::Board::Times::always);
    sim.board.fail(Device::Dtmf::kDevice, Device::Dtmf::CHANNEL_LMS_OFF, EIO, SimBoard::Board::Times::always);
    sim.board.fail(Device::Dtmf::kDevice, Device::Dtmf::DTMF_DIAL, EIO, SimBoard::Board::Times::always);
    destroy(1);
    ASSERT_TRUE(dsp().feature(140, kVad).on && dtmf().timeslot(140).lms);

    MediaSlot& fresh = make(2, 140);
    EXPECT_TRUE(fresh.enableVAD(true));
    EXPECT_TRUE(fresh.echoCancel(true));
    // The owed tone off is refused once more, the new tone taken.
    sim.board.clear_failures();
    sim.board.fail(Device::Dtmf::kDevice, Device::Dtmf::DTMF_DIAL, EIO);
    EXPECT_TRUE(fresh.enableToneGenerator(350, 440, 200, 200));
    for (int i = 0; i < 3; ++i)
        advance(Hardware::DeviceService::kRetryMs);
    EXPECT_TRUE(dsp().feature(140, kVad).on);
    EXPECT_EQ(dsp().feature(140, kVad).id, fresh.vad().id);
    EXPECT_TRUE(dtmf().timeslot(140).lms);
    ASSERT_FALSE(dtmf().dials().empty());
    EXPECT_EQ(dtmf().dials().back().freq2, 440);

    // The new slot's own off, refused, is owed after it too.
    sim.board.fail(kDevice, DSPROC_DISABLE, EIO, SimBoard::Board::Times::always);
    EXPECT_TRUE(fresh.disableVAD());
    destroy(2);
    EXPECT_TRUE(dsp().feature(140, kVad).on);
    sim.board.clear_failures();
    advance(Hardware::DeviceService::kRetryMs);
    EXPECT_FALSE(dsp().feature(140, kVad).on || dtmf().timeslot(140).lms);
    EXPECT_TRUE(dtmf().dials().back().off());
    EXPECT_EQ(asked_next_period(Device::Dtmf::kDevice) + asked_next_period(kDevice), 0u);
}

// An off owed to a descriptor that went is done: the driver forgot the
// setting with it, and the new descriptor is not told.
TEST_F(ServiceTest, AnOffOwedToALostDescriptorIsDone)
{
    using namespace Device::Dsp;
    MediaSlot& s = make(1, 141);
    ASSERT_TRUE(s.enableSD(true));
    sim.board.fail(kDevice, DSPROC_DISABLE, EIO, SimBoard::Board::Times::always);
    destroy(1);
    dsp().hang_up();
    wake();
    sim.board.clear_failures();
    sim.board.clear_log();
    advance(Hardware::DeviceService::kRetryMs);
    EXPECT_TRUE(sim.board.ioctls(kDevice, DSPROC_DISABLE).empty());
    EXPECT_EQ(asked_next_period(kDevice), 0u);
}

// An owed off that the device refuses as invalid when the retry tells it
// is given up, as it would be at its first refusal: nothing spins.
TEST_F(ServiceTest, AnOwedOffRefusedAsInvalidLaterIsGivenUp)
{
    using namespace Device::Dsp;
    MediaSlot& s = make(1, 142);
    ASSERT_TRUE(s.enableVAD(true) && s.enableSD(true));
    sim.board.fail(kDevice, DSPROC_DISABLE, EIO, SimBoard::Board::Times::always);
    destroy(1);
    sim.board.clear_failures();
    sim.board.fail(kDevice, DSPROC_DISABLE, EINVAL, SimBoard::Board::Times::always);
    sim.board.clear_log();
    advance(Hardware::DeviceService::kRetryMs);
    EXPECT_FALSE(sim.board.ioctls(kDevice, DSPROC_DISABLE).empty()) << "told once more";
    EXPECT_EQ(asked_next_period(kDevice), 0u);
}

// One setting a slot switches on, the request that switches it off, and
// what the board carries of it at a time slot.
struct Setting {
    const char* name;
    const char* device;
    unsigned long off;
    std::function<bool(MediaSlot&)> on;
    std::function<bool(ServiceTest&, uint32_t ts)> shows;
};

bool dsp_on(ServiceTest& w, uint32_t ts, uint32_t bit) { return w.dsp().feature(ts, bit).on; }
// The tone filters are configured on and all switched off at once: they
// are on while no off of them came since the log was cleared.
bool filters_on(ServiceTest& w, uint32_t ts)
{
    for (const SimBoard::Request& r : w.sim.board.ioctls(Device::Dsp::kDevice, Device::Dsp::DSPROC_DISABLE))
        // The record as the driver saw it (its direction bits log it as handed back).
        if (r.error == 0 && r.out.size() == 3 && r.out[0] == ts && (r.out[2] & Device::Dsp::kToneFilter))
            return false;
    return true;
}

const Setting kSettings[] = {
    {"VAD", Device::Dsp::kDevice, Device::Dsp::DSPROC_DISABLE, [](MediaSlot& s) { return s.enableVAD(true); },
     [](ServiceTest& w, uint32_t ts) { return dsp_on(w, ts, Device::Dsp::kVad); }},
    {"SD", Device::Dsp::kDevice, Device::Dsp::DSPROC_DISABLE, [](MediaSlot& s) { return s.enableSD(true); },
     [](ServiceTest& w, uint32_t ts) { return dsp_on(w, ts, Device::Dsp::kSd); }},
    {"BSS", Device::Dsp::kDevice, Device::Dsp::DSPROC_DISABLE, [](MediaSlot& s) { return s.enableBSS(true); },
     [](ServiceTest& w, uint32_t ts) { return dsp_on(w, ts, Device::Dsp::kBss); }},
    {"NG", Device::Dsp::kDevice, Device::Dsp::DSPROC_DISABLE, [](MediaSlot& s) { return s.enableNG(true); },
     [](ServiceTest& w, uint32_t ts) { return dsp_on(w, ts, Device::Dsp::kNg); }},
    {"SELCAL_SH", Device::Dsp::kDevice, Device::Dsp::DSPROC_DISABLE,
     [](MediaSlot& s) { return s.enableSelcalSh(true); },
     [](ServiceTest& w, uint32_t ts) { return dsp_on(w, ts, Device::Dsp::kSelcalSh); }},
    {"mute", Device::Dsp::kDevice, Device::Dsp::DSPROC_DISABLE, [](MediaSlot& s) { return s.enableMute(true, false); },
     [](ServiceTest& w, uint32_t ts) { return dsp_on(w, ts, Device::Dsp::kMuteA); }},
    {"tone filters", Device::Dsp::kDevice, Device::Dsp::DSPROC_DISABLE,
     [](MediaSlot& s) { return s.configureToneFilter(1000, 1, 100, -20); }, filters_on},
    {"DTMF detector", Device::Dtmf::kDevice, Device::Dtmf::DTMF_DISABLE_DETECTOR,
     [](MediaSlot& s) { return s.enableDTMF(true); },
     [](ServiceTest& w, uint32_t ts) { return w.dtmf().timeslot(ts).detector; }},
    {"IVA", Device::Dtmf::kDevice, Device::Dtmf::IVA_DETECTOR_DISABLE, [](MediaSlot& s) { return s.enableIVA(true); },
     [](ServiceTest& w, uint32_t ts) { return w.dtmf().timeslot(ts).iva; }},
    {"DTMF rejection", Device::Dtmf::kDevice, Device::Dtmf::DTMF_REJECTION_DISABLE,
     [](MediaSlot& s) { return s.enableDTMFReject(true); },
     [](ServiceTest& w, uint32_t ts) { return w.dtmf().timeslot(ts).rejection; }},
    {"echo canceller", Device::Dtmf::kDevice, Device::Dtmf::CHANNEL_LMS_OFF,
     [](MediaSlot& s) { return s.echoCancel(true); },
     [](ServiceTest& w, uint32_t ts) { return w.dtmf().timeslot(ts).lms; }},
};

// An off owed to a time slot is taken over by a new slot there only when it
// asks that same setting: one that asks another leaves the owed off to be
// made, and the owed reset of the tone filters is taken over by a new
// filter. Read on the board after the retry.
TEST_F(ServiceTest, AnOwedOffIsTakenOverOnlyForTheSameSetting)
{
    const size_t n = sizeof(kSettings) / sizeof(kSettings[0]);
    uint32_t ts = 150;
    for (size_t i = 0; i < n; ++i) {
        const Setting& owed = kSettings[i];
        for (bool same : {true, false}) {
            const Setting& asked = same ? owed : kSettings[(i + 1) % n];
            SCOPED_TRACE(std::string(owed.name) + (same ? ", asked again" : ", then " + std::string(asked.name)));
            ASSERT_TRUE(owed.on(make(1, ts)));
            sim.board.fail(owed.device, owed.off, EIO, SimBoard::Board::Times::always);
            destroy(1);
            EXPECT_TRUE(asked.on(make(2, ts)));
            sim.board.clear_failures();
            sim.board.clear_log();
            advance(Hardware::DeviceService::kRetryMs);
            EXPECT_TRUE(asked.shows(*this, ts));
            if (!same) {
                EXPECT_FALSE(owed.shows(*this, ts)) << "the owed off was made";
            }
            destroy(2);
            advance(Hardware::DeviceService::kRetryMs);
            ++ts;
        }
    }
}

// A mixer's input and output of one channel share a time slot: the one
// that goes leaves on what the other holds, no off is owed of that while
// the other holds it, and the other's own off later takes over what is
// owed.
TEST_F(ServiceTest, TwoLiveSlotsOfOneTimeSlotLeaveEachOthersSettings)
{
    using Device::Dsp::DSPROC_DISABLE;
    for (const Setting& s : kSettings) {
        if (std::string(s.name) == "tone filters")
            continue; // the last of the time slot switches them off
        SCOPED_TRACE(s.name);
        uint32_t ts = 160;
        MediaSlot& a = make(1, ts);
        MediaSlot& b = make(2, ts);
        ASSERT_TRUE(s.on(a) && s.on(b));
        // The first goes while the device refuses offs: nothing of the
        // setting is switched off, nor owed.
        sim.board.fail(s.device, s.off, EIO, SimBoard::Board::Times::always);
        destroy(1);
        sim.board.clear_failures();
        advance(Hardware::DeviceService::kRetryMs);
        advance(Hardware::DeviceService::kRetryMs);
        EXPECT_TRUE(s.shows(*this, ts)) << "the other slot still holds it";
        // The other switches it off itself while refused: owed, and made
        // once the device takes it.
        sim.board.fail(s.device, s.off, EIO, SimBoard::Board::Times::always);
        destroy(2);
        EXPECT_TRUE(s.shows(*this, ts));
        sim.board.clear_failures();
        advance(Hardware::DeviceService::kRetryMs);
        EXPECT_FALSE(s.shows(*this, ts));
        (void)b;
    }
}

// The same for a tone: a destroy leaves the tone that the other slot of
// the time slot plays, and a new slot's off takes over an owed one.
TEST_F(ServiceTest, ADestroyLeavesTheToneThatTheOtherSlotPlays)
{
    using Device::Dtmf::DTMF_DIAL;
    MediaSlot& a = make(1, 170);
    MediaSlot& b = make(2, 170);
    ASSERT_TRUE(a.enableToneGenerator(425, 0, 100, 100) && b.enableToneGenerator(425, 0, 100, 100));
    sim.board.clear_log();
    destroy(1);
    EXPECT_TRUE(sim.board.ioctls(Device::Dtmf::kDevice, DTMF_DIAL).empty());
    EXPECT_TRUE(dtmf().timeslot(170).tone);

    // Its own off refused: owed; a new slot of the time slot whose off the
    // device takes takes the owed one over, and nothing is told again.
    sim.board.fail(Device::Dtmf::kDevice, DTMF_DIAL, EIO);
    destroy(2);
    ASSERT_TRUE(dtmf().timeslot(170).tone);
    MediaSlot& c = make(3, 170);
    EXPECT_TRUE(c.disableToneGenerator(true));
    EXPECT_FALSE(dtmf().timeslot(170).tone);
    sim.board.clear_log();
    advance(Hardware::DeviceService::kRetryMs);
    EXPECT_TRUE(sim.board.ioctls(Device::Dtmf::kDevice, DTMF_DIAL).empty());
    (void)b;
}

} // namespace
