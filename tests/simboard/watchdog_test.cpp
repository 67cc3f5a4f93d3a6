// The event loop's watchdog on the simulated board.
#include <gtest/gtest.h>

#include <cerrno>

#include "runtime/mux_time.h"
#include "tests/runtime/loop_support.h"
#include "tests/simboard/sim_board.h"
#include "tests/support/test_support.h"

namespace {

class WatchdogTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock{5000};
    Mux::ScopedClock useClock{clock};
    vbtest::SimulatedBoard sim;
    vbtest::Pipe idle;
    vbtest::FnEvent watched{"idle"};

    void runFor(unsigned ms)
    {
        watched.watch(idle.r);
        vbtest::FnTimer stop;
        stop.arm(ms, [] { multiplexer.terminate(); });
        vbtest::run_bounded(true);
    }
};

TEST_F(WatchdogTest, StartedPingedOncePerSecondAndStopped)
{
    runFor(3500);
    std::vector<std::pair<std::string, uint32_t>> got;
    for (const auto& c : sim.watchdog().commands())
        got.emplace_back(c.text, c.ms);
    // Polls capped at 1000 ms; none at 8500, only 500 ms after the last.
    EXPECT_EQ(got, (std::vector<std::pair<std::string, uint32_t>>{
                       {"START", 5000}, {"PING", 6000}, {"PING", 7000}, {"PING", 8000}, {"STOP", 8500}}));
}

TEST_F(WatchdogTest, StartRefusedLeavesTheLoopWithoutWatchdog)
{
    sim.board.fail("/dev/misc/gw-wd", SimBoard::Op::write, EIO);
    vbtest::CaptureStream err(std::cerr);
    runFor(3000);
    EXPECT_EQ(err.str(), "Mux: fail to activate watchdog: Input/output error\n");
    EXPECT_EQ(clock.last_poll_timeout(), 3000) << "no 1000 ms cap";
    EXPECT_TRUE(sim.watchdog().commands().empty());
    EXPECT_TRUE(sim.board.channels("/dev/misc/gw-wd").empty()) << "device closed";
}

// A removed watchdog fails every ping: it is let go after the first.
TEST_F(WatchdogTest, HungUpWatchdogIsLetGoAfterOneFailedPing)
{
    vbtest::CaptureStream err(std::cerr);
    vbtest::FnTimer hang;
    hang.arm(1500, [&] { sim.board.channels("/dev/misc/gw-wd").at(0)->hang_up(); });
    unsigned polls = clock.polls();
    runFor(6000);
    EXPECT_EQ(err.str(), "Mux: ping watchdog failed: No such device\n");
    EXPECT_EQ(sim.watchdog().commands().size(), 2u) << "START and the ping before the hang-up";
    EXPECT_LE(clock.polls() - polls, 5u) << "polls no longer capped at 1000 ms";
}

} // namespace
