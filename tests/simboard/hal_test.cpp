// The line chips, echo-canceller buses and backplane of the simulated "/dev/hal".
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>

#include "tests/simboard/sim_board.h"

using namespace Device::Hal;
using SimBoard::Hal;

namespace {

struct HalTest : public ::testing::Test {
    vbtest::SimulatedBoard sim;
    Hal& hal = sim.hal();
    Fd fd{Device::open(kDevice, O_RDWR | O_CLOEXEC)};

    // The request's result, or -errno.
    int spi(unsigned long number, int chip, int reg, int data = 0xFF)
    {
        SpiRecord r{static_cast<uint8_t>(chip), static_cast<uint8_t>(reg), static_cast<uint8_t>(data)};
        int result = Device::ioctl(fd.get(), number, &r);
        return result < 0 ? -errno : result;
    }
    int32_t switch_request(unsigned long number, int32_t channel, int32_t value)
    {
        int32_t r[2] = {channel, value};
        EXPECT_EQ(Device::ioctl(fd.get(), number, r), 0);
        return r[1];
    }
};

TEST_F(HalTest, LineChipRegistersOverSpi)
{
    EXPECT_EQ(spi(SPI_READ, 2, 51), Hal::kLineInSync);
    EXPECT_EQ(spi(SPI_WRITE, 3, 87, 56), 0);
    EXPECT_EQ(spi(SPI_READ, 3, 87), 56) << "the value is the request's result";
    EXPECT_EQ(spi(SPI_WRITE, 2, 51, 0), 0);
    hal.set_line_status(4, 0x85);
    EXPECT_EQ(spi(SPI_READ, 2, 51), Hal::kLineInSync) << "status is read-only";
    EXPECT_EQ(spi(SPI_READ, 4, 51), 0x85);
    EXPECT_EQ(spi(SPI_WRITE, 8, 50, 0), -EINVAL);
    EXPECT_EQ(hal.spi_writes(), (std::vector<Hal::SpiWrite>{{3, 87, 56}, {2, 51, 0}}));
    EXPECT_EQ(sim.board.ioctls(kDevice, SPI_WRITE).at(0).in, (std::vector<uint32_t>{3u | 87u << 8 | 56u << 16}))
        << "a three-byte record is logged as one padded word";

    hal.set_spi(false);
    EXPECT_EQ(spi(SPI_WRITE, 0, 50, 0), -ENODEV);
    EXPECT_EQ(spi(SPI_READ, 0, 51), -ENODEV);
}

// Channels are 0..10239; the switch refuses anything else as either end.
TEST_F(HalTest, SwitchRefusesChannelsOutOfRange)
{
    for (int32_t bad : {-1, 10240}) {
        SCOPED_TRACE(bad);
        int32_t source[2] = {8200, bad}, output[2] = {bad, 8200};
        EXPECT_EQ(Device::ioctl(fd.get(), Hal::kConnect, source), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(Device::ioctl(fd.get(), Hal::kConnect, output), -1);
        EXPECT_EQ(errno, EINVAL);
    }
    EXPECT_EQ(hal.output(8200).drive, Hal::Drive::disabled);
    int32_t last[2] = {8200, 10239};
    EXPECT_EQ(Device::ioctl(fd.get(), Hal::kConnect, last), 0);
}

TEST_F(HalTest, EchoBusesAsFitted)
{
    EchoBuses r{};
    hal.set_echo_buses(0x8004);
    ASSERT_EQ(Device::ioctl(fd.get(), HW_ECHO_BUSES, &r), 0);
    std::vector<uint8_t> expected(16, 0);
    expected[2] = expected[15] = 1;
    EXPECT_EQ(std::vector<uint8_t>(r.present, r.present + 16), expected);
}

TEST_F(HalTest, StuckDataLineShowsOnEveryChannelOfItsBus)
{
    const int32_t bus1 = 8192 + 128 * 1;
    switch_request(SWITCH_WRITE, bus1 + 5, 0x00);
    switch_request(SWITCH_WRITE, bus1 + 127, 0xFF);
    switch_request(SWITCH_WRITE, bus1 + 128, 0x00);
    hal.stick_bit(1, 3, true);
    hal.stick_bit(1, 0, false);
    EXPECT_EQ(switch_request(SWITCH_READ, bus1 + 5, 255), 0x08);
    EXPECT_EQ(switch_request(SWITCH_READ, bus1 + 127, 255), 0xFE);
    EXPECT_EQ(switch_request(SWITCH_READ, bus1 + 128, 255), 0x00) << "bus 2 is clean";
    hal.clear_stuck_bits();
    EXPECT_EQ(switch_request(SWITCH_READ, bus1 + 5, 255), 0x00);
}

} // namespace

TEST_F(HalTest, DipPowerAndLedBytes)
{
    uint8_t byte = 0xAA;
    ASSERT_EQ(Device::ioctl(fd.get(), HAL_DIP_READ, &byte), 0);
    EXPECT_EQ(byte, 0);
    ASSERT_EQ(Device::ioctl(fd.get(), HAL_POWER_READ, &byte), 0);
    EXPECT_EQ(byte, 2) << "mains only until a test says otherwise";
    hal.set_dip(0x5A);
    hal.set_power(7);
    ASSERT_EQ(Device::ioctl(fd.get(), HAL_DIP_READ, &byte), 0);
    EXPECT_EQ(byte, 0x5A);
    ASSERT_EQ(Device::ioctl(fd.get(), HAL_POWER_READ, &byte), 0);
    EXPECT_EQ(byte, 7);

    for (uint8_t leds : {0x30, 0x20, 0x00}) {
        byte = leds;
        ASSERT_EQ(Device::ioctl(fd.get(), HAL_LEDS_WRITE, &byte), 0);
    }
    EXPECT_EQ(hal.leds(), 0x00);
    EXPECT_EQ(hal.led_writes(), (std::vector<uint8_t>{0x30, 0x20, 0x00}));

    sim.board.fail(kDevice, HAL_POWER_READ, EIO);
    EXPECT_EQ(Device::ioctl(fd.get(), HAL_POWER_READ, &byte), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(Device::ioctl(fd.get(), HAL_POWER_READ, &byte), 0) << "the failure was for one request";
}
