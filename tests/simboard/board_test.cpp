// The simulated board: real descriptors, dispatch by device, the request
// log, injected failures and device events.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "runtime/mux_time.h"
#include "simboard/test_port.h"
#include "tests/runtime/loop_support.h"
#include "tests/simboard/sim_board.h"

using SimBoard::Hal;
using SimBoard::Op;

namespace {

struct Pair {
    int32_t channel;
    int32_t value;
};

class BoardTest : public ::testing::Test {
protected:
    vbtest::SimulatedBoard sim;
    SimBoard::Board& board = sim.board;
    Fd hal{Device::open("/dev/hal", O_RDWR | O_CLOEXEC | O_NONBLOCK)};
};

TEST_F(BoardTest, OnlyItsOwnDevicesOpenNeverTheHostFiles)
{
    // The host has /dev/null; the board has no such device.
    EXPECT_EQ(Device::open("/dev/null", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(board.log().back().device, "/dev/null");
    EXPECT_EQ(board.log().back().error, ENOENT);
    EXPECT_TRUE(::fcntl(hal.get(), F_GETFD) & FD_CLOEXEC);
}

TEST_F(BoardTest, CopiesOfTheDescriptorReachTheSameDevice)
{
    Fd copy(hal);
    hal.close();
    Pair w{8300, 0x5A};
    ASSERT_EQ(Device::ioctl(copy.get(), Hal::kWrite, &w), 0);
    EXPECT_EQ(sim.hal().output(8300).drive, Hal::Drive::constant);

    // Two opens are two channels; closing every copy of one ends it.
    Fd other(Device::open("/dev/hal", O_RDWR));
    EXPECT_EQ(board.channels("/dev/hal").size(), 2u);
    copy.close();
    EXPECT_EQ(board.channels("/dev/hal").size(), 1u);
}

TEST_F(BoardTest, ClosingOneChannelAmongOthersEndsOnlyThatOne)
{
    Fd second(Device::open("/dev/hal", O_RDWR)), third(Device::open("/dev/hal", O_RDWR));
    Fd dog(Device::open("/dev/misc/gw-wd", O_WRONLY));
    second.close();
    EXPECT_EQ(board.channels("/dev/hal").size(), 2u);
    Pair w{8300, 0x5A};
    EXPECT_EQ(Device::ioctl(third.get(), Hal::kWrite, &w), 0);
    EXPECT_EQ(Device::write(dog.get(), "PING", 4), 4);
}

// A board behind a long-running program keeps no histories, only state.
TEST_F(BoardTest, WithoutRecordingDevicesWorkAndNoHistoryGrows)
{
    board.clear_log();
    board.set_recording(false);
    Fd dog(Device::open("/dev/misc/gw-wd", O_WRONLY));
    Pair w{8300, 0x5A};
    EXPECT_EQ(Device::ioctl(hal.get(), Hal::kWrite, &w), 0);
    EXPECT_EQ(Device::ioctl_value(hal.get(), Device::Hal::HW_CLOCK_SELECT, 5), 0);
    EXPECT_EQ(Device::write(dog.get(), "PING", 4), 4);
    EXPECT_EQ(sim.hal().output(8300).drive, Hal::Drive::constant);
    EXPECT_TRUE(board.log().empty());
    EXPECT_TRUE(sim.hal().clock_selects().empty());
    EXPECT_TRUE(sim.watchdog().commands().empty());
}

TEST_F(BoardTest, LogHoldsRecordsInAndOutAndFailures)
{
    Pair read{8200, 255};
    Pair c{8200, 7};
    sim.hal().set_line(7, 0x42);
    board.fail("/dev/hal", Hal::kConnect, EIO);
    board.fail("/dev/hal", Hal::kRead, EBUSY, SimBoard::Board::Times::always);
    EXPECT_EQ(Device::ioctl(hal.get(), Hal::kConnect, &c), -1) << "injected once";
    EXPECT_EQ(sim.hal().output(8200).drive, Hal::Drive::disabled) << "a failed request changes nothing";
    EXPECT_EQ(Device::ioctl(hal.get(), Hal::kConnect, &c), 0);
    EXPECT_EQ(Device::ioctl(hal.get(), Hal::kRead, &read), -1);
    EXPECT_EQ(Device::ioctl(hal.get(), Hal::kRead, &read), -1);
    board.clear_failures();
    ASSERT_EQ(Device::ioctl(hal.get(), Hal::kRead, &read), 0);
    EXPECT_EQ(Device::ioctl(hal.get(), 0x20004d7f), -1) << "unknown request";
    EXPECT_EQ(Device::ioctl(hal.get(), Hal::kDisable, nullptr), -1);

    const auto& log = board.log();
    ASSERT_EQ(log.size(), 8u);
    EXPECT_EQ(log[0].op, Op::open);
    EXPECT_EQ(log[1].in, (std::vector<uint32_t>{8200, 7}));
    EXPECT_EQ(log[1].error, EIO);
    EXPECT_EQ(log[2].error, 0);
    EXPECT_EQ(log[4].error, EBUSY);
    EXPECT_EQ(log[5].in, (std::vector<uint32_t>{8200, 255}));
    EXPECT_EQ(log[5].out, (std::vector<uint32_t>{8200, 0x42}));
    EXPECT_EQ(log[6].error, ENOTTY);
    EXPECT_EQ(log[7].error, EFAULT);
}

TEST_F(BoardTest, SwitchBytesReadBackFromWhatTheOutputsSend)
{
    auto request = [&](unsigned long number, int32_t channel, int32_t value) {
        int32_t r[2] = {channel, value};
        EXPECT_EQ(Device::ioctl(hal.get(), number, r), 0);
        return r[1];
    };
    EXPECT_EQ(request(Hal::kRead, 8300, 255), 0xFF) << "a disabled bus time slot floats";
    request(Hal::kWrite, 8300, 0x1A5);
    EXPECT_EQ(request(Hal::kRead, 8300, 255), 0xA5) << "only the low byte is sent";

    // A bus output carrying another bus slot; a loop reads as nothing.
    request(Hal::kConnect, 8201, 8300);
    EXPECT_EQ(request(Hal::kRead, 8201, 255), 0xA5);
    request(Hal::kConnect, 8300, 8201);
    EXPECT_EQ(request(Hal::kRead, 8201, 255), 0xFF);
}

TEST_F(BoardTest, DeviceEventsWakeAnEventAndKeepTheirBoundaries)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    std::vector<std::string> got;
    vbtest::FnEvent e("hal");
    e.fn = [&](int f, short revents) {
        char buf[64];
        ssize_t n;
        while ((revents & POLLIN) && (n = Device::read(f, buf, sizeof(buf))) > 0)
            got.emplace_back(buf, static_cast<size_t>(n));
        multiplexer.terminate();
    };
    e.watch(hal);
    EXPECT_EQ(board.post("/dev/hal", "abc", 3), 1u);
    EXPECT_EQ(board.post("/dev/hal", "de", 2), 1u);
    vbtest::run_bounded();
    e.ev.Release();
    EXPECT_EQ(got, (std::vector<std::string>{"abc", "de"}));
    // What the holder writes reaches the board's end.
    EXPECT_EQ(Device::write(hal.get(), "xyz", 3), 3);
    EXPECT_EQ(board.channels("/dev/hal")[0]->take(), "xyz");
}

// Descriptor numbers come back: the kernel hands out the lowest free one.
// Whatever the number names now is what a request on it reaches, however
// the old descriptor was closed.
TEST_F(BoardTest, ARequestReachesWhatTheNumberNamesNow)
{
    auto mcc_answers = [&](int fd) {
        Device::Mcc::Resources r{};
        return Device::ioctl(fd, Device::Mcc::MCC_RESOURCES, &r) == 0 && r.data > 0;
    };
    auto hal_answers = [&](int fd) {
        Pair w{8300, 0x5A};
        return Device::ioctl(fd, Hal::kWrite, &w) == 0;
    };
    auto kernel_answers = [&](int fd) {
        // Only the kernel knows FIONREAD on a pipe; the models refuse it.
        int queued = -1;
        return Device::ioctl(fd, FIONREAD, &queued) == 0 && queued == 3;
    };
    Fd mcc(Device::open(Device::Mcc::kDevice, O_RDWR));
    auto mcc_copy = [&] { return Fd(mcc).release(); };
    auto pipe_end = [&] {
        int p[2];
        EXPECT_EQ(::pipe(p), 0);
        EXPECT_EQ(::write(p[1], "abc", 3), 3);
        ::close(p[1]);
        return p[0];
    };
    auto mcc_open = [&] { return Device::open(Device::Mcc::kDevice, O_RDWR); };
    struct Case {
        const char* how;
        bool bare;                    // closed with close(2), behind the board's back
        std::function<int()> reuse;   // what takes the number next
        std::function<bool(int)> answers;
    } cases[] = {
        {"reopened for another device", false, mcc_open, mcc_answers},
        {"reopened after a bare close", true, mcc_open, mcc_answers},
        {"copy of another device", false, mcc_copy, mcc_answers},
        {"copy after a bare close", true, mcc_copy, mcc_answers},
        {"a pipe", false, pipe_end, kernel_answers},
        {"a pipe after a bare close", true, pipe_end, kernel_answers},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.how);
        // A copy, as an Event keeps, used once so the board knows it.
        Fd copy(hal);
        ASSERT_TRUE(hal_answers(copy.get()));
        int number = copy.get();
        c.bare ? static_cast<void>(::close(copy.release())) : static_cast<void>(copy.close());
        Fd now(c.reuse());
        ASSERT_EQ(now.get(), number);
        EXPECT_TRUE(c.answers(now.get()));
        EXPECT_TRUE(hal_answers(hal.get())) << "the device's own descriptor is untouched";
    }
    // A number the board never handed out, copied behind its back.
    Fd raw(::dup(hal.get()));
    EXPECT_TRUE(hal_answers(raw.get()));
    Fd pipe(pipe_end());
    board.clear_log();
    EXPECT_TRUE(kernel_answers(pipe.get()));
    EXPECT_TRUE(board.log().empty()) << "the kernel's requests are not the board's";
}

// A model that watches closes hears of one before its next request, however
// the descriptor went.
TEST_F(BoardTest, ClosedChannelsAreToldBeforeTheNextRequest)
{
    Device::Mcc::Resources r{};
    auto free_data = [&](const Fd& fd) {
        EXPECT_EQ(Device::ioctl(fd.get(), Device::Mcc::MCC_RESOURCES, &r), 0);
        return r.data;
    };
    Fd asking(Device::open(Device::Mcc::kDevice, O_RDWR));
    unsigned all = free_data(asking);
    for (bool bare : {false, true}) {
        Fd held(Device::open(Device::Mcc::kDevice, O_RDWR));
        Device::Mcc::Allocation a{Device::Mcc::kData, 512, 0, 1, 1};
        ASSERT_EQ(Device::ioctl(held.get(), Device::Mcc::MCC_ALLOCATE, &a), 0);
        EXPECT_EQ(free_data(asking), all - 1);
        bare ? static_cast<void>(::close(held.release())) : static_cast<void>(held.close());
        EXPECT_EQ(free_data(asking), all) << bare;
    }
}

} // namespace

// Signals land in the middle of the board's bookkeeping as they do in a
// server that takes SIGUSR2 and SIGHUP: no channel in use may vanish.
TEST_F(BoardTest, ChannelsSurviveSignalsAndFailedLooksAtThem)
{
    std::vector<Fd> held;
    for (int i = 0; i < 8; ++i)
        held.emplace_back(Device::open(Device::Mcc::kDevice, O_RDWR | O_CLOEXEC | O_NONBLOCK));
    Device::Mcc::Allocation a{Device::Mcc::kData, 512, 0, 1, 1};
    ASSERT_EQ(Device::ioctl(held[0].get(), Device::Mcc::MCC_ALLOCATE, &a), 0);
    int channel = Device::ioctl(held[0].get(), Device::Mcc::MCC_TIMESLOT);
    ASSERT_GE(channel, 0);
    auto query = [&](int fd) {
        Device::Mcc::Resources r{};
        return Device::ioctl(fd, Device::Mcc::MCC_RESOURCES, &r) == 0 && r.data == 31;
    };

    // A storm of signals, none restarting what it interrupts.
    {
        vbtest::SignalStorm storm(50);
        int good = 0;
        for (int i = 0; i < 5000; ++i)
            good += query(held[i % held.size()].get()) ? 1 : 0;
        EXPECT_EQ(good, 5000);
        EXPECT_GT(storm.delivered(), 0u);
    }
    EXPECT_EQ(board.channels(Device::Mcc::kDevice).size(), held.size());

    // A look that fails outright (more descriptors than the limit allows
    // poll to take) frees nothing either.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit low = old;
    low.rlim_cur = 4;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    bool answered = query(held[3].get());
    int number = Device::ioctl(held[0].get(), Device::Mcc::MCC_TIMESLOT);
    ::setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_TRUE(answered);
    EXPECT_EQ(number, channel);
    EXPECT_EQ(board.channels(Device::Mcc::kDevice).size(), held.size());
    EXPECT_EQ(sim.mcc().allocated(), 1u);

    // Closed ones still go.
    held.resize(2);
    EXPECT_EQ(board.channels(Device::Mcc::kDevice).size(), 2u);
}

// A hung-up descriptor is one of a removed device: what waits is read, then
// the end of file; requests and writes fail with ENODEV. The test port
// counts what reached the device, failed requests too, takes an injected
// failure back with errno 0, and ends a counted run of them by itself.
TEST_F(BoardTest, HangUpEndsTheDescriptorAsARemovedDeviceAndCountsGoOn)
{
    SimBoard::TestPort port(board);
    board.set_recording(false);
    ASSERT_EQ(board.post("/dev/hal", "abc", 3), 1u);
    EXPECT_EQ(port.execute("hangup /dev/hal"), "ok 1");
    EXPECT_EQ(port.execute("hangup /dev/hal"), "ok 0") << "ended once";
    char buf[8];
    Pair w{8300, 0x5A};
    EXPECT_EQ(Device::read(hal.get(), buf, sizeof(buf)), 3);
    EXPECT_EQ(Device::read(hal.get(), buf, sizeof(buf)), 0);
    EXPECT_EQ(Device::ioctl(hal.get(), Hal::kWrite, &w), -1);
    EXPECT_EQ(errno, ENODEV);
    EXPECT_EQ(Device::write(hal.get(), "x", 1), -1);
    EXPECT_EQ(errno, ENODEV);

    // A fresh open serves again.
    Fd again(Device::open("/dev/hal", O_RDWR | O_NONBLOCK));
    EXPECT_EQ(Device::ioctl(again.get(), Hal::kWrite, &w), 0);
    EXPECT_EQ(port.execute("fail /dev/hal read 5 always"), "ok");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(Device::read(again.get(), buf, sizeof(buf)), -1);
    EXPECT_EQ(port.execute("fail /dev/hal read 0"), "ok");
    EXPECT_EQ(Device::read(again.get(), buf, sizeof(buf)), -1);
    EXPECT_EQ(errno, EAGAIN) << "no longer failing";
    EXPECT_EQ(port.execute("fail /dev/hal read 5 2"), "ok");
    for (int error : {EIO, EIO, EAGAIN}) {
        EXPECT_EQ(Device::read(again.get(), buf, sizeof(buf)), -1);
        EXPECT_EQ(errno, error);
    }
    EXPECT_EQ(port.execute("fail /dev/hal read 5 0"), "error bad count 0");
    for (const auto& c : {std::make_pair("open", "ok 2"), std::make_pair("read", "ok 8"),
                          std::make_pair("write", "ok 1"), std::make_pair("request", "ok 2")})
        EXPECT_EQ(port.execute(std::string("count /dev/hal ") + c.first), c.second) << c.first;
    EXPECT_EQ(port.execute("count /dev/hal 0x4"), "error bad operation 0x4");
    EXPECT_EQ(port.execute("count /dev/none read"), "ok 0");
}

// The rule for watched descriptors on what the board's descriptors give.
TEST_F(BoardTest, WatchedDescriptorRuleOnLiveHungUpAndFailingDescriptors)
{
    auto revents = [](const Fd& fd) {
        pollfd p{fd.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1 ? p.revents : short(0);
    };
    auto read_rule = [](const Fd& fd) {
        char buf[8];
        ssize_t n = Device::read(fd.get(), buf, sizeof(buf));
        const char* why = Device::read_end(n, errno).why;
        return std::string(why ? why : "-");
    };
    Fd other(Device::open("/dev/hal", O_RDWR | O_NONBLOCK));
    EXPECT_EQ(Device::poll_end(revents(hal)).why, nullptr);
    EXPECT_EQ(read_rule(hal), "-") << "nothing waits: EAGAIN";
    board.fail("/dev/hal", Op::read, EINTR);
    EXPECT_EQ(read_rule(hal), "-");
    board.fail("/dev/hal", Op::read, EIO);
    EXPECT_EQ(read_rule(hal), std::strerror(EIO));

    board.post("/dev/hal", "a", 1);
    board.channels("/dev/hal").at(0)->hang_up();
    EXPECT_STREQ(Device::poll_end(revents(hal)).why, "hang-up");
    EXPECT_EQ(read_rule(hal), "-") << "a record still waits";
    EXPECT_EQ(read_rule(hal), "end of file");
    EXPECT_EQ(Device::poll_end(revents(other)).why, nullptr) << "another open lives on";
    EXPECT_STREQ(Device::poll_end(POLLERR | POLLHUP).why, "error");
    EXPECT_STREQ(Device::poll_end(POLLNVAL).why, "invalid descriptor");
}
