// Timers, deferred calls and wait plug-ins, in virtual time.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "runtime/mux_time.h"
#include "tests/runtime/loop_support.h"
#include "tests/support/test_support.h"

using vbtest::FnDpc;
using vbtest::FnTimer;

namespace {

class TimerTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};

    void TearDown() override
    {
        EXPECT_EQ(multiplexer.timers().size(), 0u) << "timers left armed";
        EXPECT_TRUE(multiplexer.dpcs().empty()) << "DPCs left active";
        EXPECT_TRUE(multiplexer.plugins().empty()) << "plug-ins left hooked";
    }
};

TEST_F(TimerTest, EqualExpiriesFireInArmingOrderAndZeroDelayFiresInThePass)
{
    std::string fired;
    FnTimer a, b, c, late;
    a.arm(10, [&] { fired += 'a'; });
    late.arm(20, [&] { fired += 'L'; });
    b.arm(10, [&] {
        fired += 'b';
        // Armed from a callback with a delay of 0: due now, fires in this walk.
        c.arm(0, [&] { fired += 'c'; });
    });
    clock.advance_ms(10);
    EXPECT_EQ(multiplexer.timers_schedule(), 10);
    EXPECT_EQ(fired, "abc");
    clock.advance_ms(10);
    EXPECT_EQ(multiplexer.timers_schedule(), -1) << "no timer left";
    EXPECT_EQ(fired, "abcL");
}

TEST_F(TimerTest, RearmFromOwnCallbackKeepsExactlyOneEvent)
{
    FnTimer t;
    int fires = 0;
    t.arm(100, [&] {
        if (++fires < 3)
            t.arm(100);
    });
    for (int i = 0; i < 5; ++i) {
        clock.advance_ms(100);
        multiplexer.timers_schedule();
        EXPECT_LE(multiplexer.timers().size(), 1u);
    }
    EXPECT_EQ(fires, 3);
    EXPECT_FALSE(t.timer.pending());
    t.timer.reset(); // already fired: nothing to cancel
    EXPECT_EQ(multiplexer.timers().size(), 0u);
}

TEST_F(TimerTest, ResetAndDestructionCancel)
{
    int fires = 0;
    FnTimer kept;
    kept.arm(5, [&] { ++fires; });
    {
        FnTimer dropped;
        dropped.arm(5, [&] { fires += 100; });
        EXPECT_EQ(multiplexer.timers().size(), 2u);
    }
    FnTimer rearmed;
    rearmed.arm(5, [&] { fires += 1000; });
    rearmed.arm(50); // replaces the 5 ms event
    clock.advance_ms(5);
    multiplexer.timers_schedule();
    EXPECT_EQ(fires, 1);
    rearmed.timer.reset();
    EXPECT_EQ(multiplexer.timers_schedule(), -1);
}

TEST_F(TimerTest, ExpiryAcrossTheMillisecondWrap)
{
    clock.set_ms(0xFFFFFFFFull - 4); // 5 ms before the 32-bit counter wraps
    FnTimer t;
    bool fired = false;
    t.arm(10, [&] { fired = true; });
    EXPECT_LT(t.timer.get()->expiry, 10u) << "the expiry itself has wrapped";
    clock.advance_ms(4); // just before the wrap
    EXPECT_EQ(multiplexer.timers_schedule(), 6);
    EXPECT_FALSE(fired);
    clock.advance_ms(6);
    multiplexer.timers_schedule();
    EXPECT_TRUE(fired);
}

TEST_F(TimerTest, FarTimerIsTreatedAsAClockJumpAndRebased)
{
    FnTimer far1, far2;
    std::string fired;
    far1.arm(8000000, [&] { fired += '1'; });
    far2.arm(9000000, [&] { fired += '2'; });
    vbtest::CaptureStream err(std::cerr);
    EXPECT_EQ(multiplexer.timers_schedule(), 1000);
    uint32_t now = Mux::milliseconds();
    EXPECT_EQ(err.str(), "******** RUNTIME ERROR CONDITION *************"
                         "Multiplexer::timers_schedule() invalid wait time detected!\n"
                         "now = " + std::to_string(now) + "\n"
                         "first = " + std::to_string(now + 8000000) + "\n"
                         "count = 2\n");
    clock.advance_ms(1000);
    multiplexer.timers_schedule();
    EXPECT_EQ(fired, "12") << "both moved to now + 1000 ms, order kept";
}

TEST_F(TimerTest, TimerDueAfterTheDeferredCallsMakesPollReturnAtOnce)
{
    // A DPC arms a 0 ms timer right before poll(): the pass must not sleep.
    vbtest::Pipe idle;
    vbtest::FnEvent e("idle");
    e.watch(idle.r);
    FnTimer t, stop;
    int dpcRuns = 0;
    std::vector<int> timeouts;
    stop.arm(60000, [] { multiplexer.terminate(); });
    FnDpc dpc([&] {
        ++dpcRuns;
        if (dpcRuns == 2)
            t.arm(0, [] {});
        if (dpcRuns == 3)
            timeouts.push_back(clock.last_poll_timeout());
    });
    dpc.dpc.Activate();
    multiplexer.run(false, true);
    dpc.dpc.Deactivate();
    ASSERT_EQ(timeouts.size(), 1u);
    EXPECT_EQ(timeouts[0], 0);
}

TEST_F(TimerTest, DpcsRunInAddressOrderAndObeyDeactivation)
{
    FnDpc d[3];
    std::string ran;
    d[0].fn = [&] {
        ran += '0';
        d[2].dpc.Deactivate(); // sorts after: must not run in this call
    };
    d[1].fn = [&] { ran += '1'; };
    d[2].fn = [&] { ran += '2'; };
    d[2].dpc.Activate();
    d[1].dpc.Activate();
    d[0].dpc.Activate();
    d[0].dpc.Activate(); // twice: still one registration
    multiplexer.execute_dpc();
    EXPECT_EQ(ran, "01");

    d[0].fn = [&] {
        ran += '0';
        d[2].dpc.Activate(); // activated during a call: runs from the next one
    };
    ran.clear();
    multiplexer.execute_dpc();
    EXPECT_EQ(ran, "01");
    ran.clear();
    multiplexer.execute_dpc();
    EXPECT_EQ(ran, "012");

    for (auto& x : d)
        x.dpc.Deactivate();
    d[0].dpc.Deactivate(); // inactive: nothing happens
    EXPECT_TRUE(multiplexer.dpcs().empty());
}

class Plugin : public TimerPoolPlugin {
public:
    int wait = -1;
    int asked = 0;
    Plugin* unhookOther = nullptr;
    int timerPoll() override
    {
        ++asked;
        if (unhookOther)
            unhookOther->timerUnhook();
        return wait;
    }
};

TEST_F(TimerTest, PluginsGiveTheSmallestWait)
{
    EXPECT_EQ(multiplexer.timerPoll_schedule(), INT_MAX) << "no plug-in: no wait";
    Plugin a, b, c;
    a.wait = 40;
    b.wait = -1;
    c.wait = 25;
    a.timerHook();
    b.timerHook();
    c.timerHook();
    EXPECT_EQ(multiplexer.timerPoll_schedule(), 25);

    // A plug-in unhooked by an earlier one in the walk is not asked.
    a.unhookOther = &c;
    c.asked = 0;
    EXPECT_EQ(multiplexer.timerPoll_schedule(), 40);
    EXPECT_EQ(c.asked, 0);
    EXPECT_FALSE(c.hooked);
    a.timerUnhook();
    b.timerUnhook();
}

// A class armed from a static record of its own.
class Poller {
public:
    static const TimerSpec<Poller>::Record TUpdatespec;
    TimerSpec<Poller>::SpecTimer<TUpdatespec> timer;
    int updates = 0;
    void update() { ++updates; }
};
const TimerSpec<Poller>::Record Poller::TUpdatespec = {&Poller::update, 250};

TEST_F(TimerTest, SpecTimerArmsFromItsRecord)
{
    Poller p;
    p.timer.set(&p);
    clock.advance_ms(249);
    multiplexer.timers_schedule();
    EXPECT_EQ(p.updates, 0);
    clock.advance_ms(1);
    multiplexer.timers_schedule();
    EXPECT_EQ(p.updates, 1);
}

} // namespace
