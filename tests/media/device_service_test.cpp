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
    EXPECT_FALSE(tonec().retrying() || dsproc().retrying());
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
    EXPECT_TRUE(dsproc().retrying());
    dsp().hang_up();
    wake();
    sim.board.clear_failures();
    sim.board.clear_log();
    advance(Hardware::DeviceService::kRetryMs);
    EXPECT_TRUE(sim.board.ioctls(kDevice, DSPROC_DISABLE).empty());
    EXPECT_FALSE(dsproc().retrying());
}

} // namespace
