// The TDM mixer of the simulated board: its request rules, the unit walk
// and the test port's words.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>

#include "simboard/mixer.h"
#include "simboard/test_port.h"
#include "tests/simboard/sim_board.h"

using namespace Device::Mixer;
using Mix = std::map<int32_t, int32_t>;

namespace {

struct MixerDeviceTest : ::testing::Test {
    vbtest::SimulatedBoard sim;
    SimBoard::MixerDevice& mixer = *sim.board.find<SimBoard::MixerDevice>(kDevice);
    Fd fd{Device::open(kDevice, O_RDONLY | O_CLOEXEC)};

    // The result, or minus the errno.
    int request(unsigned long number, void* record)
    {
        int r = Device::ioctl(fd.get(), number, record);
        return r < 0 ? -errno : r;
    }
    int add(int unit, int rx, int tx, int gain)
    {
        mix_record r{{unit, kTdm, rx}, {unit, kTdm, tx}, gain};
        return request(MIX_RX_ADD, &r);
    }
    int remove(int unit, int rx, int tx)
    {
        mix_record r{{unit, kTdm, rx}, {unit, kTdm, tx}, 0};
        return request(MIX_RX_REMOVE, &r);
    }
};

TEST_F(MixerDeviceTest, MixesTimeSlotsAndErrors)
{
    mixer.add_unit(0, 4, 2);
    mixer.add_unit(3, 8, 8);
    EXPECT_EQ(add(0, 1, 2, 100), 0);
    EXPECT_EQ(add(0, 1, 2, 200), 0) << "an input already there changes its gain";
    EXPECT_EQ(add(0, 1, 3, 300), 0);
    EXPECT_EQ(add(0, 1, 0, 1), -ENOSPC) << "two mixer inputs";
    EXPECT_EQ(mixer.mix(0, 1), (Mix{{2, 200}, {3, 300}}));
    EXPECT_EQ(remove(0, 1, 0), -ENOENT);
    EXPECT_EQ(add(0, 4, 1, 1), -EINVAL) << "channel out of range";
    EXPECT_EQ(add(1, 0, 1, 1), -ENODEV) << "no such unit";
    mix_record across{{0, kTdm, 1}, {3, kTdm, 1}, 1};
    EXPECT_EQ(request(MIX_RX_ADD, &across), -EINVAL) << "units do not mix";
    mix_slot slot{3, kTdm, 5};
    EXPECT_EQ(request(MIX_TDM, &slot), 4096 + 32 * 3 + 5);
}

// The walk in unit order, the board's own unit 0 first (the mixer's scan
// and its repeating driver are the media tests'), and the controller's
// channel on the test port.
TEST_F(MixerDeviceTest, UnitWalkAndMccChannelWord)
{
    for (int u : {5, 1, 3})
        mixer.add_unit(u, 10 + u, u);
    mix_unit r{-1, 0, 0, 0};
    std::vector<int> walk;
    while (request(MIX_UNIT_QUERY, &r) == 0)
        walk.push_back(r.unit * 100 + r.tdm_channels);
    EXPECT_EQ(walk, (std::vector<int>{32, 111, 313, 515}));
    EXPECT_EQ(mixer.unit(0)->inputs, 16);

    SimBoard::TestPort port(sim.board);
    Fd mcc(Device::open(Device::Mcc::kDevice, O_RDWR | O_CLOEXEC));
    Device::Mcc::Allocation a{Device::Mcc::kTransparent, 1024, 0, 0, 5};
    ASSERT_EQ(Device::ioctl(mcc.get(), Device::Mcc::MCC_ALLOCATE, &a), 0);
    struct stat st;
    ASSERT_EQ(::fstat(mcc.get(), &st), 0);
    EXPECT_EQ(port.execute("mcc-channel 1536"), "ok " + std::to_string(st.st_dev) + " " + std::to_string(st.st_ino));
    EXPECT_EQ(port.execute("mcc-channel 1537"), "error no channel on 1537");
}

} // namespace
