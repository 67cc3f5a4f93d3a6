// The multichannel HDLC controller of the simulated board.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "runtime/mux_time.h"
#include "tests/simboard/sim_board.h"
#include "tests/support/test_support.h"

using namespace Device::Mcc;

namespace {

class MccTest : public ::testing::Test {
protected:
    vbtest::SimulatedBoard sim;
    SimBoard::MccController& mcc = sim.mcc();

    static Fd open_mcc(int mode = O_RDWR) { return Fd(Device::open(kDevice, mode | O_NONBLOCK | O_CLOEXEC)); }
    // The channel number, or -1 with errno.
    static int allocate(const Fd& fd, Allocation record)
    {
        if (Device::ioctl(fd.get(), MCC_ALLOCATE, &record) != 0)
            return -1;
        return Device::ioctl(fd.get(), MCC_TIMESLOT);
    }
    static short revents(const Fd& fd)
    {
        pollfd p{fd.get(), POLLIN | POLLOUT, 0};
        return ::poll(&p, 1, 0) == 1 ? p.revents : 0;
    }
};

TEST_F(MccTest, AllocationIsCheckedKeptAndNumberedByPool)
{
    Fd ss7 = open_mcc(), bri = open_mcc(), voice = open_mcc(O_WRONLY);
    EXPECT_EQ(allocate(ss7, {kSs7, 512, 0, 1, 4}), 1024) << "SS7 channels come from the data pool";
    EXPECT_EQ(allocate(bri, {kBri, 512, 0, 1, 1}), 1280);
    EXPECT_EQ(allocate(voice, {kTransparent, 1024, 0, 0, 5}), 1536);
    char c;
    EXPECT_EQ(Device::read(voice.get(), &c, 1), -1);
    EXPECT_EQ(errno, EBADF) << "opened for writing only";
    const Allocation& kept = mcc.find(1536)->record;
    EXPECT_EQ((std::vector<uint32_t>{kept.type, kept.rxPacketSize, kept.reserved, kept.rxThreshold, kept.txThreshold}),
              (std::vector<uint32_t>{2, 1024, 0, 0, 5}));
    Allocation again{kData, 512, 0, 1, 1};
    EXPECT_EQ(Device::ioctl(ss7.get(), MCC_ALLOCATE, &again), -1);
    EXPECT_EQ(errno, EBUSY);

    for (Allocation bad : {Allocation{4, 512, 0, 1, 1}, Allocation{0, 512, 7, 1, 1}, Allocation{0, 0, 0, 1, 1},
                           Allocation{0, 65537, 0, 1, 1}, Allocation{0, 512, 0, 256, 1}}) {
        Fd fd = open_mcc();
        EXPECT_EQ(allocate(fd, bad), -1);
        EXPECT_EQ(errno, EINVAL);
        EXPECT_EQ(Device::ioctl(fd.get(), MCC_TIMESLOT), -1) << "nothing allocated";
    }

    Fd query = open_mcc(O_RDONLY);
    Resources r{};
    ASSERT_EQ(Device::ioctl(query.get(), MCC_RESOURCES, &r), 0);
    EXPECT_EQ((std::vector<uint32_t>{r.data, r.bri, r.transparent, r.unused}), (std::vector<uint32_t>{31, 7, 31, 0}));
    EXPECT_EQ(sim.board.log().back().out, (std::vector<uint32_t>{31, 7, 31, 0})) << "logged as filled";
}

TEST_F(MccTest, ChannelIsReleasedWhenItsLastDescriptorCloses)
{
    mcc.set_capacity(kBri, 1);
    Fd first = open_mcc();
    ASSERT_EQ(allocate(first, {kBri, 512, 0, 1, 1}), 1280);
    Fd copy(first);
    Fd second = open_mcc();
    EXPECT_EQ(allocate(second, {kBri, 512, 0, 1, 1}), -1);
    EXPECT_EQ(errno, ENOSPC);

    first.close();
    EXPECT_EQ(mcc.free_channels(kBri), 0u) << "a copy still holds it";
    copy.close();
    EXPECT_EQ(mcc.free_channels(kBri), 1u);
    EXPECT_EQ(mcc.find(1280), nullptr);
    EXPECT_EQ(allocate(second, {kBri, 512, 0, 1, 1}), 1280);
}

TEST_F(MccTest, ReceivedBlocksAreReadInPiecesNeverJoined)
{
    Fd fd = open_mcc();
    int32_t ch = allocate(fd, {kData, 512, 0, 1, 1});
    std::string block;
    for (int i = 0; i < 2500; ++i)
        block += static_cast<char>(i * 7);
    ASSERT_TRUE(mcc.deliver(ch, block));
    ASSERT_TRUE(mcc.deliver(ch, "xy"));
    ASSERT_TRUE(mcc.deliver(ch, ""));
    EXPECT_FALSE(mcc.deliver(ch + 1, "x")) << "no such channel";

    std::vector<ssize_t> sizes;
    std::string got;
    char buf[1024];
    ssize_t n;
    while ((n = Device::read(fd.get(), buf, sizeof(buf))) >= 0) {
        sizes.push_back(n);
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(sizes, (std::vector<ssize_t>{1024, 1024, 452, 2, 0})) << "the empty block reads as 0";
    EXPECT_EQ(got, block + "xy");
}

TEST_F(MccTest, FullTransmitBufferCutsWritesAndStopsPollingWritable)
{
    Fd fd = open_mcc();
    int32_t ch = allocate(fd, {kData, 512, 0, 1, 1});
    EXPECT_EQ(Device::write(fd.get(), "frame", 5), 5);
    EXPECT_EQ(mcc.take(ch), "frame");
    EXPECT_EQ(mcc.take(ch), "");

    mcc.set_room(ch, 3);
    EXPECT_EQ(Device::write(fd.get(), "abcdef", 6), 3) << "short write";
    EXPECT_EQ(Device::write(fd.get(), "def", 3), -1);
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_FALSE(revents(fd) & POLLOUT);
    EXPECT_EQ(mcc.take(ch), "abc");

    mcc.set_room(ch, SimBoard::MccController::kUnlimited);
    EXPECT_TRUE(revents(fd) & POLLOUT);
    EXPECT_EQ(Device::write(fd.get(), "def", 3), 3);
    EXPECT_EQ(mcc.take(ch), "def");
    EXPECT_EQ(revents(fd) & POLLIN, 0) << "nothing of the filling reaches the reader";
}

// The flush event says that what was written has all left: it waits for
// the line to carry the last octet, written through the board or on the
// descriptor itself, while POLLOUT still says there is room.
TEST_F(MccTest, TheFlushEventWaitsForTheLastOctetOnTheLine)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock scoped(clock);
    Fd fd = open_mcc();
    allocate(fd, {kData, 512, 0, 1, 1});
    EXPECT_TRUE(Device::flushed_now(fd.get())) << "nothing written";
    EXPECT_EQ(Device::write(fd.get(), std::string(80, 'f').data(), 80), 80);
    EXPECT_FALSE(Device::flushed_now(fd.get())) << "10 ms on the line";
    EXPECT_TRUE(revents(fd) & POLLOUT);
    clock.advance_ms(10);
    EXPECT_TRUE(Device::flushed_now(fd.get()));
    ASSERT_EQ(::write(fd.get(), "x", 1), 1);
    EXPECT_FALSE(Device::flushed_now(fd.get())) << "waiting in the socket";
}

// The holder left with blocks still on its descriptor, an empty one among
// them: hanging the channel up takes them off and ends, though the end of
// file reads 0 octets as an empty block does.
TEST_F(MccTest, HangingUpAChannelWhoseHolderLeftEnds)
{
    Fd fd = open_mcc();
    int32_t ch = allocate(fd, {kData, 512, 0, 1, 1});
    mcc.set_room(ch, 0); // the line takes nothing off the socket
    for (std::string block : {"ab", "", "cd"})
        ASSERT_EQ(::send(fd.get(), block.data(), block.size(), 0), ssize_t(block.size()));
    fd.close();
    mcc.hang_up(ch);
    EXPECT_EQ(mcc.find(ch), nullptr);
}

TEST_F(MccTest, HangUpEndsTheChannelUnderItsHolder)
{
    Fd fd = open_mcc();
    int32_t ch = allocate(fd, {kData, 512, 0, 1, 1});
    mcc.set_room(ch, 0);
    EXPECT_EQ(Device::write(fd.get(), "x", 1), -1) << "buffer full";
    mcc.deliver(ch, "last");
    int fds = vbtest::open_fd_count();
    mcc.hang_up(ch);
    EXPECT_EQ(vbtest::open_fd_count(), fds - 2) << "the board's end and the copy that watches it are closed";
    EXPECT_EQ(mcc.free_channels(kData), 32u);
    EXPECT_EQ(revents(fd) & (POLLIN | POLLHUP), POLLIN | POLLHUP);

    char buf[16];
    EXPECT_EQ(Device::read(fd.get(), buf, sizeof(buf)), 4);
    EXPECT_EQ(Device::read(fd.get(), buf, sizeof(buf)), 0) << "end of file";
    EXPECT_EQ(Device::write(fd.get(), "x", 1), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(Device::ioctl(fd.get(), MCC_TIMESLOT), -1);
    EXPECT_EQ(errno, ENODEV) << "as a removed device";
}

} // namespace
