// Frames across the simulated switch: controller channels and line ends.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "tests/runtime/loop_support.h"
#include "tests/simboard/sim_board.h"

using namespace Device::Mcc;
using SimBoard::Hal;

namespace {

struct SwitchPathTest : public ::testing::Test {
    vbtest::SimulatedBoard sim;
    Hal& hal = sim.hal();
    SimBoard::SwitchPath& path = hal.path();
    Fd halFd{Device::open(Device::Hal::kDevice, O_RDWR | O_CLOEXEC)};

    // Where frames go, not when: every channel's line is free at once.
    SwitchPathTest() { sim.mcc().set_rate(SimBoard::MccController::kUnpaced); }

    void connect(int32_t source, int32_t destination)
    {
        int32_t r[2] = {destination, source};
        ASSERT_EQ(Device::ioctl(halFd.get(), Device::Hal::SWITCH_CONNECT, r), 0);
    }
    // An allocated data channel and its number.
    std::pair<Fd, int32_t> channel()
    {
        Fd fd(Device::open(kDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC));
        Allocation a{kData, 512, 0, 1, 4};
        EXPECT_EQ(Device::ioctl(fd.get(), MCC_ALLOCATE, &a), 0);
        int32_t n = Device::ioctl(fd.get(), MCC_TIMESLOT);
        return {std::move(fd), n};
    }
    static std::string read_block(const Fd& fd)
    {
        char buf[4096];
        ssize_t n = Device::read(fd.get(), buf, sizeof(buf));
        return n < 0 ? "<" + std::string(std::strerror(errno)) + ">" : std::string(buf, static_cast<size_t>(n));
    }
};

TEST_F(SwitchPathTest, FramesFollowTheConnectionsBothWays)
{
    auto [fd, ch] = channel();
    auto& line = path.line(5);
    auto& other = path.line(6);
    connect(ch, 5);
    connect(5, ch);

    ASSERT_EQ(Device::write(fd.get(), "\x02\x01\x00", 3), 3);
    EXPECT_EQ(line.take(), std::string("\x02\x01\x00", 3));
    EXPECT_EQ(other.waiting(), 0u) << "its output carries nothing";

    EXPECT_EQ(line.send("ab"), 1u);
    EXPECT_EQ(line.send("cde"), 1u);
    EXPECT_EQ(read_block(fd), "ab") << "one frame per read";
    EXPECT_EQ(read_block(fd), "cde");
    EXPECT_EQ(read_block(fd), "<Resource temporarily unavailable>");
    EXPECT_EQ(other.send("x"), 0u) << "nobody carries line 6";
    EXPECT_EQ(line.send(""), 0u) << "an empty frame goes nowhere";
}

TEST_F(SwitchPathTest, SharedBusOutputIsHeardBackOnItsInput)
{
    auto [a, chA] = channel();
    auto [b, chB] = channel();
    auto [c, chC] = channel();
    const int32_t bus = Hal::kBusFirst + 3 * Hal::kBusWidth + 7;
    connect(chA, bus);
    connect(bus, chB);
    connect(bus, chC);
    ASSERT_EQ(Device::write(a.get(), "frame", 5), 5);
    EXPECT_EQ(read_block(b), "frame");
    EXPECT_EQ(read_block(c), "frame") << "every listener of the bus hears it";
    EXPECT_EQ(read_block(a), "<Resource temporarily unavailable>");

    connect(7, chB);
    ASSERT_EQ(Device::write(a.get(), "again", 5), 5);
    EXPECT_EQ(read_block(b), "<Resource temporarily unavailable>") << "now carries line 7";
    EXPECT_EQ(path.line(7).send("L"), 1u);
    EXPECT_EQ(read_block(b), "L");
}

TEST_F(SwitchPathTest, FrameTheReceiverCannotTakeIsDroppedAndCounted)
{
    auto [fd, ch] = channel();
    auto& line = path.line(0);
    connect(ch, 0);
    line.set_room(2);
    for (const char* f : {"1", "2", "3"})
        ASSERT_EQ(Device::write(fd.get(), f, 1), 1);
    EXPECT_EQ(line.waiting(), 2u);
    EXPECT_EQ(path.dropped(), 1u);

    connect(0, ch);
    std::string big(60000, 'x');
    size_t taken = 0;
    for (int i = 0; i < 64; ++i)
        taken += line.send(big);
    EXPECT_LT(taken, 64u) << "the holder's queue is bounded";
    EXPECT_EQ(path.dropped(), 1u + (64u - taken));
    EXPECT_EQ(read_block(fd).size(), 4096u) << "queued frames stay whole";
}

TEST_F(SwitchPathTest, ClosedChannelLeavesThePathAndRecordingOffKeepsNothing)
{
    sim.board.set_recording(false);
    auto& line = path.line(1);
    {
        auto [fd, ch] = channel();
        connect(1, ch);
        connect(ch, 1);
        ASSERT_EQ(Device::write(fd.get(), "tx", 2), 2);
        EXPECT_EQ(sim.mcc().take(ch), "") << "nothing kept without recording";
        EXPECT_EQ(line.take(), "tx") << "but the frame still travels";
    }
    EXPECT_EQ(sim.mcc().allocated(), 0u);
    EXPECT_EQ(line.send("rx"), 0u) << "the closed channel hears nothing";
    EXPECT_EQ(path.dropped(), 0u);
    EXPECT_THROW(path.line(128), std::out_of_range);
}

TEST_F(SwitchPathTest, WritesOnTheDescriptorItselfLeaveTooAndTransparentOnesIn160ByteUnits)
{
    auto [frames, hdlc] = channel();
    Fd voice(Device::open(kDevice, O_WRONLY | O_NONBLOCK | O_CLOEXEC));
    Allocation a{kTransparent, 1024, 0, 0, 5};
    ASSERT_EQ(Device::ioctl(voice.get(), MCC_ALLOCATE, &a), 0);
    int32_t tr = Device::ioctl(voice.get(), MCC_TIMESLOT);
    connect(hdlc, 5);
    connect(tr, 6);
    std::string frame(400, 'f'), stream(400, 's');
    ASSERT_EQ(::write(frames.get(), frame.data(), frame.size()), 400);
    ASSERT_EQ(::write(voice.get(), stream.data(), stream.size()), 400);
    ASSERT_TRUE(vbtest::run_until([&] { return path.line(5).waiting() + path.line(6).waiting() >= 4; }));
    EXPECT_EQ(path.line(5).take(), frame) << "a frame stays whole";
    for (size_t size : {160u, 160u, 80u})
        EXPECT_EQ(path.line(6).take(), std::string(size, 's'));
    EXPECT_EQ(sim.mcc().take(tr), stream) << "kept as written";

    // With no room the descriptor is not drained, so it fills.
    sim.mcc().set_room(tr, 0);
    vbtest::run_until([] { return false; }, 20);
    std::string big(SimBoard::MccController::kTransmitBuffer, 'x');
    ssize_t n = 0;
    while ((n = ::write(voice.get(), big.data(), big.size())) > 0) {
    }
    EXPECT_EQ(errno, EAGAIN);
}

} // namespace
