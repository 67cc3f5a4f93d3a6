// Timers, deferred calls, wait plug-ins and time arithmetic, in virtual time.
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

    int step(unsigned ms)
    {
        clock.advance_ms(ms);
        return multiplexer.timers_schedule();
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
        c.arm(0, [&] { fired += 'c'; }); // due now: fires in this walk
    });
    EXPECT_EQ(step(10), 10);
    EXPECT_EQ(fired, "abc");
    EXPECT_EQ(step(10), -1) << "no timer left";
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
        step(100);
        EXPECT_LE(multiplexer.timers().size(), 1u);
    }
    EXPECT_EQ(fires, 3);
    t.timer.reset(); // already fired: nothing to cancel
}

TEST_F(TimerTest, ResetRearmAndDestructionCancel)
{
    int fires = 0;
    FnTimer kept, rearmed;
    kept.arm(5, [&] { ++fires; });
    {
        FnTimer dropped;
        dropped.arm(5, [&] { fires += 100; });
    }
    rearmed.arm(5, [&] { fires += 1000; });
    rearmed.arm(50); // replaces the 5 ms event
    step(5);
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
    EXPECT_EQ(step(4), 6);
    EXPECT_FALSE(fired);
    step(6);
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
    EXPECT_NE(err.str().find("invalid wait time detected!\n"), std::string::npos) << err.str();
    step(1000);
    EXPECT_EQ(fired, "12") << "both moved to now + 1000 ms, order kept";
}

TEST_F(TimerTest, TimerDueAfterTheDeferredCallsMakesPollReturnAtOnce)
{
    // A DPC arms a 0 ms timer right before poll(): the pass must not sleep.
    vbtest::Pipe idle;
    vbtest::FnEvent e("idle");
    e.watch(idle.r);
    FnTimer t;
    int dpcRuns = 0, timeout = -1;
    FnDpc dpc([&] {
        if (++dpcRuns == 2)
            t.arm(0, [] {});
        if (dpcRuns == 3)
            timeout = clock.last_poll_timeout();
    });
    dpc.dpc.Activate();
    vbtest::run_until([&] { return dpcRuns >= 3; }, 60000);
    dpc.dpc.Deactivate();
    EXPECT_EQ(timeout, 0);
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
    for (int i : {2, 1, 0, 0}) // twice: still one registration
        d[i].dpc.Activate();
    multiplexer.execute_dpc();
    EXPECT_EQ(ran, "01");

    d[0].fn = [&] {
        ran += '0';
        d[2].dpc.Activate(); // activated during a call: runs from the next one
    };
    multiplexer.execute_dpc();
    multiplexer.execute_dpc();
    EXPECT_EQ(ran, "0101012");
    for (auto& x : d)
        x.dpc.Deactivate();
}

struct Plugin : TimerPoolPlugin {
    int wait = -1, asked = 0;
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
    c.wait = 25;
    for (Plugin* p : {&a, &b, &c})
        p->timerHook();
    EXPECT_EQ(multiplexer.timerPoll_schedule(), 25);

    // A plug-in unhooked by an earlier one in the walk is not asked.
    a.unhookOther = &c;
    c.asked = 0;
    EXPECT_EQ(multiplexer.timerPoll_schedule(), 40);
    EXPECT_EQ(c.asked, 0);
    a.timerUnhook();
    b.timerUnhook();
}

Mux::timeval tv(int32_t sec, int32_t usec)
{
    Mux::timeval t;
    t.sec = sec;
    t.usec = usec;
    return t;
}

TEST(MuxTime, TimevalDifferencesAndPeriods)
{
    const struct {
        Mux::timeval a, b;
        long long ms;
    } cases[] = {
        {tv(1, 999999), tv(2, 0), 1}, // -999999 us truncates to -999 ms
        {tv(2, 0), tv(1, 999999), 0}, // later first argument
        {tv(0, 0), tv(0x7fffffff, 999999), 2147483647999LL}, // no 32-bit overflow
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.ms, Mux::timevaldiff(c.a, c.b)) << c.a.sec << "." << c.a.usec << " -> " << c.b.sec;

    Mux::timeval a = tv(3, 0);
    Mux::timevalsub(a, tv(0, 1));
    EXPECT_EQ(0, Mux::timevalcompare(tv(2, 999999), a)) << "borrow from the seconds";

    Mux::timeval_timer t;
    t.init(tv(10, 0), 250);
    EXPECT_FALSE(t.is_expired(tv(10, 250000))); // exactly one period: not yet
    EXPECT_TRUE(t.is_expired(tv(10, 251000)));
    for (int i = 0; i < 4; ++i)
        t.inc();
    EXPECT_EQ(0, Mux::timevalcompare(tv(11, 0), t.start));
}

} // namespace
