// The poll loop: service order, re-entrancy, watchdog and wake-ups.
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

#include "runtime/mux_time.h"
#include "runtime/paths.h"
#include "tests/runtime/loop_support.h"
#include "tests/support/test_support.h"

using vbtest::FnDpc;
using vbtest::FnEvent;
using vbtest::FnTimer;
using vbtest::Pipe;
using vbtest::run_until;

namespace {

class LoopTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
};

TEST_F(LoopTest, HandlersRunOnlyOnPassesWherePollReportedSomething)
{
    Pipe ready, idle;
    FnEvent a("ready"), b("idle");
    std::vector<short> seenA, seenB;
    a.fn = [&](int, short r) { seenA.push_back(r); };
    b.fn = [&](int, short r) { seenB.push_back(r); };
    a.watch(ready.r);
    b.watch(idle.r);
    run_until([] { return false; }, 50); // passes time out: nobody is serviced
    EXPECT_TRUE(seenA.empty() && seenB.empty());

    // One descriptor ready: every handler is serviced, the idle one with 0.
    ready.fill();
    run_until([&] { return !seenA.empty(); });
    EXPECT_EQ(seenA, std::vector<short>{POLLIN});
    EXPECT_EQ(seenB, std::vector<short>{0});
    EXPECT_EQ(a.ev.count, 1u);
    EXPECT_EQ(b.ev.count, 0u);
}

TEST_F(LoopTest, ServiceOrderIsAttachOrderAndRescheduleMovesToTheEnd)
{
    Pipe p;
    p.fill();
    FnEvent e1("one"), e2("two"), e3("three");
    std::vector<int> order;
    e1.fn = [&](int, short) { order.push_back(1); };
    e2.fn = [&](int, short) { order.push_back(2); };
    e3.fn = [&](int, short) { order.push_back(3); };
    e1.watch(p.r);
    e2.watch(p.r);
    e3.watch(p.r);
    vbtest::CaptureStream err(std::cerr);
    e1.watch(p.r); // re-scheduling an attached Event is no duplicate attach
    run_until([&] { return order.size() >= 6; });
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(order, (std::vector<int>{2, 3, 1, 2, 3, 1}));
}

TEST_F(LoopTest, SetEventsTakesEffectNextPassAndKeepsServiceOrder)
{
    Pipe p;
    p.fill();
    FnEvent quiet("quiet"), loud("loud");
    std::vector<std::pair<int, short>> seen;
    quiet.fn = [&](int, short r) {
        seen.emplace_back(1, r);
        if (seen.size() == 1)
            quiet.ev.SetEvents(POLLIN); // from inside the pass that polled 0
    };
    loud.fn = [&](int, short r) { seen.emplace_back(2, r); };
    quiet.watch(p.r, 0);
    loud.watch(p.r, POLLIN);
    vbtest::CaptureStream err(std::cerr);
    run_until([&] { return seen.size() == 4; });
    EXPECT_EQ(err.str(), "");
    EXPECT_EQ(seen, (std::vector<std::pair<int, short>>{{1, 0}, {2, POLLIN}, {1, POLLIN}, {2, POLLIN}}));
    EXPECT_TRUE(quiet.ev.attached);
}

TEST_F(LoopTest, HandlerMayDeleteOthersAndItselfFromItsCallback)
{
    Pipe p;
    p.fill();
    auto victim = std::make_unique<FnEvent>("victim");
    auto self = std::make_unique<FnEvent>("self");
    FnEvent killer("killer"), survivor("survivor");
    int selfCalls = 0, survivorCalls = 0;
    killer.fn = [&](int, short) { victim.reset(); };
    self->fn = [&](int, short) { ++selfCalls, self.reset(); }; // deletes the Event whose callback this is
    victim->fn = [&](int, short) { ADD_FAILURE() << "deleted handler called"; };
    survivor.fn = [&](int, short) { ++survivorCalls; };
    for (FnEvent* e : {&killer, self.get(), victim.get(), &survivor})
        e->watch(p.r);
    run_until([&] { return survivorCalls == 2; });
    EXPECT_EQ(selfCalls, 1);
    EXPECT_FALSE(victim || self);
}

TEST_F(LoopTest, DpcBeforePollMayReleaseOrRescheduleWithoutStealingResults)
{
    Pipe readyA, idle, readyC;
    readyA.fill();
    readyC.fill();
    auto gone = std::make_unique<FnEvent>("gone");
    FnEvent a("a"), moved("moved"), c("c");
    short ra = -1, rc = -1;
    a.fn = [&](int, short r) { ra = r; };
    gone->fn = [&](int, short) { ADD_FAILURE() << "deleted handler called"; };
    moved.fn = [&](int, short) { ADD_FAILURE() << "re-scheduled in that pass: not polled in it"; };
    c.fn = [&](int, short r) { rc = r; };
    a.watch(readyA.r);
    gone->watch(readyC.r);
    moved.watch(readyC.r);
    c.watch(idle.r);

    // The DPC runs between collecting the descriptors and poll().
    int runs = 0;
    FnDpc dpc([&] {
        if (++runs == 2) {
            gone.reset();
            moved.watch(idle.r);
        }
    });
    dpc.dpc.Activate();
    run_until([&] { return rc != -1; });
    dpc.dpc.Deactivate();
    EXPECT_EQ(ra, POLLIN);
    EXPECT_EQ(rc, 0) << "c watches an idle pipe and must not get another entry's result";
}

TEST_F(LoopTest, DuplicateAttachAndInvalidDetachAreOnlyReported)
{
    Pipe p;
    FnEvent e("dup");
    e.watch(p.r);
    vbtest::CaptureStream err(std::cerr);
    multiplexer.attach(&e.ev);
    EXPECT_EQ(multiplexer.pending().size(), 1u);
    e.ev.Release();
    multiplexer.detach(&e.ev);
    EXPECT_EQ(err.str(), "duplicate multiplexer attach \"dup\" ignored.\nindvalid Multiplexer::detach dup\n");
}

TEST_F(LoopTest, SecondRunStillPollsHandlersLeftByTerminate)
{
    Pipe p;
    p.fill();
    FnEvent first("first"), second("second"), third("third");
    int n2 = 0, n3 = 0;
    first.fn = [&](int, short) { multiplexer.terminate(); };
    second.fn = [&](int, short) { ++n2; };
    third.fn = [&](int, short) { ++n3, multiplexer.terminate(); };
    first.watch(p.r);
    second.watch(p.r);
    third.watch(p.r);
    multiplexer.run(false, true);
    EXPECT_EQ(n2 + n3, 0);
    first.fn = nullptr;
    unsigned polls = clock.polls();
    multiplexer.run(false, true);
    EXPECT_EQ(n2, 1);
    EXPECT_EQ(n3, 1);
    EXPECT_EQ(clock.polls() - polls, 1u) << "the first pass must poll every handler";
}

TEST_F(LoopTest, TerminateFromAnotherContextWakesABlockedPoll)
{
    Mux::set_clock(nullptr); // real time: poll really blocks
    Pipe idle;
    FnEvent e("idle");
    e.watch(idle.r);
    auto start = std::chrono::steady_clock::now();
    std::thread stopper([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        multiplexer.terminate();
    });
    multiplexer.run(false, true);
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(LoopTest, HangWithNothingToWaitForAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(multiplexer.run(false, true), "multiplexer: system hang detected!!!");
}

// A soft descriptor limit below what the loop watches is raised back, also
// when the hard limit is exactly what it watches; only a hard limit below
// that stops the process.
TEST_F(LoopTest, ADescriptorLimitThatCannotBeRaisedAborts)
{
    struct CountingClock : Mux::VirtualClock {
        unsigned long watched = 0;
        int poll(struct pollfd* fds, unsigned long nfds, int timeout_ms) override
        {
            watched = nfds;
            return VirtualClock::poll(fds, nfds, timeout_ms);
        }
    } counting;
    Mux::ScopedClock useCounting{counting};
    Pipe p;
    std::vector<std::unique_ptr<FnEvent>> events(40);
    bool served = false, limited = false;
    for (auto& e : events) {
        e.reset(new FnEvent);
        e->fn = [&](int, short r) {
            served = served || r;
            // Served under the limit set below: the child's success.
            if (r && limited)
                std::_Exit(0);
        };
        e->watch(p.r);
    }
    // A first pass meets the types that the sanitizer looks at with
    // descriptors of its own, and tells how many entries poll() gets.
    p.fill();
    ASSERT_TRUE(run_until([&] { return served; }));
    const rlim_t watched = counting.watched;
    ASSERT_GT(watched, events.size());
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    rlimit atHard{watched - 1, watched};
    EXPECT_EXIT((limited = true, ::setrlimit(RLIMIT_NOFILE, &atHard), multiplexer.run(false, true)),
                testing::ExitedWithCode(0), "limit raised to " + std::to_string(watched));
    rlimit belowHard{watched - 1, watched - 1};
    EXPECT_DEATH((::setrlimit(RLIMIT_NOFILE, &belowHard), multiplexer.run(false, true)),
                 "multiplexer poll failed: Invalid argument");
}

// ------------------------------------------------------------- watchdog

class WatchdogTest : public LoopTest {
protected:
    vbtest::TempDir dir;
    Paths::ScopedRoot root{dir.path()};
    std::string device = vbtest::watchdog_device(dir);
};

TEST_F(WatchdogTest, PingAtMostOncePerSecondIdleOrBusy)
{
    // Idle: every poll waits at most 1000 ms; pings after the polls ending
    // at 1000, 2000 and 3000 ms, the one at 3500 ms is too close to the last.
    Pipe idle;
    FnEvent e("idle");
    e.watch(idle.r);
    std::vector<int> timeouts;
    int flags = 0;
    FnDpc record([&] {
        timeouts.push_back(clock.last_poll_timeout());
        if (multiplexer.watchdog_fd() >= 0)
            flags = ::fcntl(multiplexer.watchdog_fd(), F_GETFD);
    });
    record.dpc.Activate();
    FnTimer stop;
    stop.arm(3500, [] { multiplexer.terminate(); });
    multiplexer.run(true, true);
    record.dpc.Deactivate();
    e.ev.Release();
    EXPECT_EQ(vbtest::read_file(device), "STARTPINGPINGPINGSTOP");
    for (size_t i = 2; i < timeouts.size(); i += 2)
        EXPECT_LE(timeouts[i], 1000);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    EXPECT_EQ(multiplexer.watchdog_fd(), -1);

    // Busy: polls end every 300 ms; pings still only at 300, 1500 and 2700 ms.
    ASSERT_EQ(::truncate(device.c_str(), 0), 0);
    int ticks = 0;
    stop.arm(300, [&] { ++ticks == 10 ? multiplexer.terminate() : stop.arm(300); });
    multiplexer.run(true, true);
    EXPECT_EQ(vbtest::read_file(device), "STARTPINGPINGPINGSTOP");
}

TEST_F(WatchdogTest, MissingDeviceIsReportedAndTheLoopRunsWithout)
{
    ::unlink(device.c_str());
    vbtest::CaptureStream err(std::cerr);
    Pipe idle;
    FnEvent e("idle");
    e.watch(idle.r);
    FnTimer stop;
    stop.arm(5000, [] { multiplexer.terminate(); });
    multiplexer.run(true, true);
    EXPECT_EQ(err.str(), "Mux: fail to open watchdog: No such file or directory\n");
    EXPECT_EQ(clock.last_poll_timeout(), 5000) << "no 1000 ms cap without a watchdog";
}

} // namespace
