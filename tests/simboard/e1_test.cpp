// The E1 maintenance and CAS drivers of the simulated board.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>

#include "tests/simboard/sim_board.h"

using Alarm = SimBoard::E1Maintenance::Alarm;
using namespace Device::E1;
using namespace Device::Cas;

namespace {

struct E1Test : public ::testing::Test {
    vbtest::SimulatedBoard sim;
    SimBoard::E1Maintenance& framer = sim.maintenance();
    SimBoard::E1Cas& cas = sim.cas();
    Fd maintenance{Device::open(GetMaintenance(), O_RDWR | O_NONBLOCK | O_CLOEXEC)};
    Fd casFd{Device::open(kDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC)};

    // {state, slips, lossBF, lossCarrier, lossAIS, lossRAI} read from the device, or {-errno}.
    std::vector<int64_t> read_status(uint32_t trunk)
    {
        Status s{};
        s.trunk = trunk;
        if (Device::ioctl(maintenance.get(), E1_GET_STATUS, &s) != 0)
            return {-errno};
        return {s.state, s.slips, s.lossBF, s.lossCarrier, s.lossAIS, s.lossRAI};
    }
    // The request's result, or -errno. CAS records are the first 12 bytes
    // of a channel record.
    int cas_request(unsigned long number, uint32_t trunk, uint32_t timeslot, uint8_t tx = 0, uint32_t disable = 0)
    {
        ChannelRecord r{{trunk, timeslot, 0, tx, {0, 0}}, disable};
        int result = Device::ioctl(casFd.get(), number, &r);
        last = r.cas;
        return result < 0 ? -errno : result;
    }
    Record last{};
};

TEST_F(E1Test, StatusFollowsTheHighestAlarmAndCountsEachRaising)
{
    EXPECT_EQ(read_status(1), (std::vector<int64_t>{kNormal, 0, 0, 0, 0, 0}));
    framer.raise(1, Alarm::rai);
    framer.raise(1, Alarm::los);
    framer.raise(1, Alarm::los);
    framer.slip(1, 3);
    EXPECT_EQ(read_status(1), (std::vector<int64_t>{kLossCarrier, 3, 0, 1, 0, 1}));
    framer.clear(1, Alarm::los);
    framer.raise(1, Alarm::ais);
    framer.raise(1, Alarm::lof);
    EXPECT_EQ(read_status(1), (std::vector<int64_t>{kLossBF, 3, 1, 1, 1, 1}));
    framer.clear(1, Alarm::lof);
    EXPECT_EQ(read_status(1)[0], kAis);

    framer.force_state(2, 9);
    EXPECT_EQ(read_status(2)[0], 9) << "out of range, as a driver may report";
    framer.release_state(2);
    framer.fail_status(3, EIO);
    EXPECT_EQ(read_status(3), (std::vector<int64_t>{-EIO}));
    EXPECT_EQ(read_status(2)[0], kNormal) << "only trunk 3 fails";
    EXPECT_EQ(read_status(4), (std::vector<int64_t>{-EINVAL}));
}

TEST_F(E1Test, CasChannelsOnOpenTrunksOnly)
{
    EXPECT_EQ(cas_request(CAS_CHANNEL, 1, 5, 0xF), -EINVAL) << "trunk not open";
    EXPECT_EQ(Device::ioctl_value(casFd.get(), CAS_OPEN, 1), 0);
    EXPECT_EQ(Device::ioctl_value(casFd.get(), CAS_OPEN, 4), -1);
    EXPECT_EQ(cas_request(CAS_CHANNEL, 1, 5, 0x1F), 0);
    EXPECT_EQ(cas_request(CAS_GET, 1, 5), 0);
    EXPECT_EQ(last.tx, 0xF) << "four bits";
    for (uint32_t ts : {0u, 16u, 32u})
        EXPECT_EQ(cas_request(CAS_CHANNEL, 1, ts, 1), -EINVAL) << ts;
    EXPECT_EQ(cas_request(CAS_SET, 1, 6, 1), -EINVAL) << "channel not enabled";
    EXPECT_EQ(cas_request(CAS_SET, 1, 5, 0x13), 0);
    EXPECT_EQ(cas.slot(1, 5).tx, 0x3);

    EXPECT_EQ(cas_request(CAS_CHANNEL, 1, 5, 0, 1), 0);
    EXPECT_EQ(cas_request(CAS_GET, 1, 5), -EINVAL) << "disabled";
    EXPECT_EQ(Device::ioctl_value(casFd.get(), CAS_CLOSE, 1), 0);
    EXPECT_EQ(Device::ioctl_value(casFd.get(), CAS_CLOSE, 1), -1) << "already closed";
    EXPECT_FALSE(cas.is_open(1));
}

TEST_F(E1Test, FarEndChangesReachEveryDescriptorAsRecords)
{
    Fd other(Device::open(kDevice, O_RDWR | O_NONBLOCK));
    Device::ioctl_value(casFd.get(), CAS_OPEN, 2);
    cas_request(CAS_CHANNEL, 2, 7, 0x5);
    cas.far_end(2, 7, 0x9);
    cas.far_end(2, 7, 0x9);  // no change
    cas.far_end(2, 8, 0x1);  // not enabled
    for (const Fd* fd : {&casFd, &other}) {
        Record r{};
        ASSERT_EQ(Device::read(fd->get(), &r, sizeof(r)), 12);
        EXPECT_EQ((std::vector<uint32_t>{r.path, r.timeslot, r.rx, r.tx}), (std::vector<uint32_t>{2, 7, 9, 5}));
        EXPECT_EQ(Device::read(fd->get(), &r, sizeof(r)), -1) << "one record per change";
    }
    EXPECT_EQ(cas.slot(2, 8).rx, 1);

    // The last close of the device closes its trunks.
    casFd.close();
    EXPECT_TRUE(cas.is_open(2));
    other.close();
    EXPECT_FALSE(cas.is_open(2));
}

TEST_F(E1Test, SharedRequestNumberIsToldApartByDevice)
{
    ASSERT_EQ(Device::Hal::HW_CLOCK_SELECT, CAS_CLOSE);
    Fd hal(Device::open(Device::Hal::kDevice, O_RDWR));
    Device::ioctl_value(casFd.get(), CAS_OPEN, 3);
    EXPECT_EQ(Device::ioctl_value(hal.get(), Device::Hal::HW_CLOCK_SELECT, 3), 0);
    EXPECT_TRUE(cas.is_open(3));
    EXPECT_EQ(sim.hal().clock_selects(), (std::vector<uint32_t>{3}));
    EXPECT_EQ(Device::ioctl_value(casFd.get(), CAS_CLOSE, 3), 0);
    EXPECT_FALSE(cas.is_open(3));
    EXPECT_EQ(sim.hal().clock_selects().size(), 1u);
}

} // namespace
