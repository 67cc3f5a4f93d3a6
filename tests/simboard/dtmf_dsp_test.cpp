// The simulated tone and DSP drivers: per time slot state, refused time
// slots, and the event records a test makes them post.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>

#include "board/device.h"
#include "board/dsp_requests.h"
#include "board/dtmf_requests.h"
#include "runtime/fd.h"
#include "simboard/board.h"
#include "simboard/dsp.h"
#include "simboard/dtmf.h"

namespace {

struct ToneDspBoard : ::testing::Test {
    SimBoard::Board board;
    Device::ScopedDriver installed{board};
    SimBoard::DtmfDevice& dtmf = *board.find<SimBoard::DtmfDevice>(Device::Dtmf::kDevice);
    SimBoard::DspDevice& dsp = *board.find<SimBoard::DspDevice>(Device::Dsp::kDevice);
    Fd tone{Device::open(Device::Dtmf::kDevice, O_RDONLY | O_NONBLOCK)};
    Fd voice{Device::open(Device::Dsp::kDevice, O_RDWR | O_NONBLOCK)};

    // errno of the request, 0 when it succeeded.
    int fails(int fd, unsigned long request, void* arg)
    {
        return Device::ioctl(fd, request, arg) < 0 ? errno : 0;
    }
    int fails_value(int fd, unsigned long request, unsigned long value)
    {
        return Device::ioctl_value(fd, request, value) < 0 ? errno : 0;
    }
};

TEST_F(ToneDspBoard, TimeSlotsBeyondTheDspAreRefused)
{
    using namespace Device::Dtmf;
    for (uint32_t ts : {8191u, 8192u, 0xFFFFFFFFu}) {
        int expect = ts < kTimeSlots ? 0 : EINVAL;
        DetectorConfig config{ts, 1, 2, 3, 4};
        DetectorEnable enable{ts, 9};
        Dial dial{ts, 697, 1209, 1, 2};
        IvaConfig iva{ts, -20};
        SelcalDial selcal{ts, 100, {'A', 'B', 'C', 'D'}, {0, 0}};
        EXPECT_EQ(fails(tone.get(), DTMF_CONFIGURE_DETECTOR, &config), expect) << ts;
        EXPECT_EQ(fails(tone.get(), DTMF_ENABLE_DETECTOR, &enable), expect);
        EXPECT_EQ(fails(tone.get(), DTMF_DIAL, &dial), expect);
        EXPECT_EQ(fails(tone.get(), IVA_CONFIGURE_DETECTOR, &iva), expect);
        EXPECT_EQ(fails(tone.get(), SELCAL_DIAL, &selcal), expect);
        for (unsigned long r : {DTMF_DISABLE_DETECTOR, CHANNEL_LMS_ON, DTMF_REJECTION_ENABLE, IVA_DETECTOR_ENABLE})
            EXPECT_EQ(fails_value(tone.get(), r, ts), expect) << std::hex << r;
        Device::Dsp::Configure c{};
        c.timeslot = ts;
        Device::Dsp::Enable e{ts, 1, Device::Dsp::kVad};
        EXPECT_EQ(fails(voice.get(), Device::Dsp::DSPROC_CONFIGURE, &c), expect);
        EXPECT_EQ(fails(voice.get(), Device::Dsp::DSPROC_ENABLE, &e), expect);
    }
    auto t = dtmf.timeslot(8191);
    // Enabled, then disabled again: the id stays.
    EXPECT_TRUE(!t.detector && t.configured && t.ivaConfigured && t.lms && t.rejection && t.iva);
    EXPECT_EQ(t.id, 9u);
    ASSERT_EQ(dtmf.dials().size(), 2u);
    EXPECT_EQ(dtmf.dials()[1].signs, "ABCD");
}

TEST_F(ToneDspBoard, EventsCarryTheRegisteredIds)
{
    Device::Dtmf::DetectorEnable enable{5, 42};
    Device::ioctl(tone.get(), Device::Dtmf::DTMF_ENABLE_DETECTOR, &enable);
    EXPECT_EQ(dtmf.detect(5, 3, 100), 1u);
    Device::Dtmf::Event e{};
    EXPECT_EQ(Device::read(tone.get(), &e, sizeof(e)), 16);
    EXPECT_EQ(std::vector<uint32_t>({e.code, e.timeslot, e.timestamp, e.id}), std::vector<uint32_t>({3, 5, 100, 42}));

    Device::Dsp::Enable mute{5, 7, Device::Dsp::kMuteA | Device::Dsp::kMuteB | Device::Dsp::kVad};
    Device::ioctl(voice.get(), Device::Dsp::DSPROC_ENABLE, &mute);
    dsp.event(5, Device::Dsp::kMuteB, 1);
    dsp.event(5, Device::Dsp::kVad, 1, 2, 3, 99);
    Device::Dsp::Event d{};
    EXPECT_EQ(Device::read(voice.get(), &d, sizeof(d)), 24);
    EXPECT_EQ(d.id, 7u);
    Device::read(voice.get(), &d, sizeof(d));
    EXPECT_EQ(std::vector<uint32_t>({d.timeslot, d.id, d.type, d.d[0], d.d[1], d.d[2]}),
              std::vector<uint32_t>({5, 99, 1, 1, 2, 3}));
    // Disabling keeps the id of the last enable.
    Device::Dsp::Enable off{5, 0, Device::Dsp::kMuteA};
    Device::ioctl(voice.get(), Device::Dsp::DSPROC_DISABLE, &off);
    EXPECT_FALSE(dsp.feature(5, Device::Dsp::kMuteA).on);
    EXPECT_TRUE(dsp.feature(5, Device::Dsp::kMuteB).on);

    EXPECT_EQ(Device::ioctl_value(voice.get(), Device::Dsp::DSPROC_VERSION, 0), 2);
    dsp.set_version(1);
    EXPECT_EQ(Device::ioctl_value(voice.get(), Device::Dsp::DSPROC_VERSION, 0), 1);

    // A hang-up ends every open descriptor.
    dtmf.hang_up();
    EXPECT_EQ(Device::read(tone.get(), &e, sizeof(e)), 0);
    EXPECT_EQ(dtmf.detect(5, 3, 100), 0u);
}

// What descriptors switched on goes with the last of them, closed or hung
// up: nothing of it is detected, reported or sounded any more. The time
// slot's settings stay.
TEST_F(ToneDspBoard, WhatDescriptorsSwitchedOnGoesWithTheLastOfThem)
{
    using namespace Device::Dtmf;
    using Device::Dsp::kVad;
    for (bool hangUp : {false, true}) {
        SCOPED_TRACE(hangUp ? "hung up" : "closed");
        Fd tone2(Device::open(kDevice, O_RDONLY | O_NONBLOCK));
        Fd voice2(Device::open(Device::Dsp::kDevice, O_RDWR | O_NONBLOCK));
        DetectorEnable enable{5, 42};
        EXPECT_EQ(fails(tone2.get(), DTMF_ENABLE_DETECTOR, &enable), 0);
        for (unsigned long r : {IVA_DETECTOR_ENABLE, DTMF_REJECTION_ENABLE, CHANNEL_LMS_ON})
            EXPECT_EQ(fails_value(tone2.get(), r, 5), 0);
        Dial dial{5, 425, 0, 2048, 2048};
        EXPECT_EQ(fails(tone2.get(), DTMF_DIAL, &dial), 0);
        ASSERT_TRUE(dtmf.timeslot(5).tone);
        Device::Dsp::Enable on{5, 7, kVad | Device::Dsp::kMuteA};
        Device::Dsp::Configure delays{};
        delays.timeslot = 5, delays.kind = Device::Dsp::kDelays;
        EXPECT_EQ(fails(voice2.get(), Device::Dsp::DSPROC_ENABLE, &on), 0);
        EXPECT_EQ(fails(voice2.get(), Device::Dsp::DSPROC_CONFIGURE, &delays), 0);

        // Another descriptor goes: all stays.
        tone.reset(), voice.reset();
        EXPECT_EQ(dtmf.detect(5, 3, 1), 1u);
        EXPECT_EQ(dtmf.detect(5, 0x0300, 1), 1u);
        EXPECT_EQ(dsp.event(5, kVad, 1), 1u);

        hangUp ? (dtmf.hang_up(), dsp.hang_up()) : (tone2.reset(), voice2.reset());
        tone.reset(Device::open(kDevice, O_RDONLY | O_NONBLOCK));
        voice.reset(Device::open(Device::Dsp::kDevice, O_RDWR | O_NONBLOCK));
        auto t = dtmf.timeslot(5);
        EXPECT_TRUE(!t.detector && !t.iva && !t.rejection && !t.lms && !t.tone);
        EXPECT_FALSE(dsp.feature(5, kVad).on || dsp.feature(5, Device::Dsp::kMuteA).on);
        EXPECT_NE(dsp.config(5, Device::Dsp::kDelays), nullptr);
        EXPECT_EQ(dtmf.detect(5, 3, 1), 0u);
        EXPECT_EQ(dtmf.detect(5, 0x0300, 1), 0u);
        EXPECT_EQ(dsp.event(5, kVad, 1), 0u);
        // The flags come whatever was switched on.
        EXPECT_EQ(dsp.event(5, Device::Dsp::kFlags, 1, 1), 1u);
    }
}

} // namespace
