#include <gtest/gtest.h>

#include "runtime/mux_time.h"

namespace {

Mux::timeval tv(int32_t sec, int32_t usec)
{
    Mux::timeval t;
    t.sec = sec;
    t.usec = usec;
    return t;
}

} // namespace

TEST(MuxTime, TimevalDiffCases)
{
    struct Case {
        Mux::timeval a, b;
        long long ms;
    } cases[] = {
        {tv(5, 500), tv(5, 500), 0},
        {tv(1, 999999), tv(2, 0), 1},           // -999999 us truncates to -999 ms
        {tv(2, 0), tv(1, 999999), 0},           // later first argument
        {tv(1, 0), tv(1, 999), 0},              // under one millisecond
        {tv(1, 999), tv(1, 0), 0},
        {tv(0, 0), tv(0x7fffffff, 999999), 2147483647999LL}, // no 32-bit overflow
        {tv(-1, 0), tv(1, 0), 2000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a.sec << "." << c.a.usec << " -> " << c.b.sec << "." << c.b.usec);
        EXPECT_EQ(c.ms, Mux::timevaldiff(c.a, c.b));
    }
}

TEST(MuxTime, TimevalArithmeticCarries)
{
    Mux::timeval a = tv(1, 600000);
    Mux::timevaladd(a, tv(2, 700000));
    EXPECT_EQ(4, a.sec);
    EXPECT_EQ(300000, a.usec);
    Mux::timevalsub(a, tv(1, 400000));
    EXPECT_EQ(2, a.sec);
    EXPECT_EQ(900000, a.usec);
    Mux::timeval out;
    Mux::timevalsub2(tv(3, 0), tv(0, 1), out);
    EXPECT_EQ(2, out.sec);
    EXPECT_EQ(999999, out.usec);
    Mux::timevaladd2(out, tv(0, 1), out);
    EXPECT_EQ(3, out.sec);
    EXPECT_EQ(0, out.usec);

    EXPECT_EQ(-1, Mux::timevalcompare(tv(1, 5), tv(1, 6)));
    EXPECT_EQ(1, Mux::timevalcompare(tv(2, 0), tv(1, 999999)));
    EXPECT_EQ(-1, Mux::timevalcompare(tv(-1, 0), tv(0, 0)));
    EXPECT_EQ(0, Mux::timevalcompare(tv(7, 7), tv(7, 7)));

    Mux::timeval m = Mux::make_from_msec(4294967295u);
    EXPECT_EQ(4294967, m.sec);
    EXPECT_EQ(295000, m.usec);
    Mux::timeval u = Mux::make_from_usec(1000001u);
    EXPECT_EQ(1, u.sec);
    EXPECT_EQ(1, u.usec);
}

TEST(MuxTime, PeriodicTimevalTimer)
{
    Mux::timeval_timer t;
    t.init(tv(10, 0), 250);
    EXPECT_FALSE(t.is_expired(tv(10, 250000))); // exactly one period: not yet
    EXPECT_TRUE(t.is_expired(tv(10, 251000)));
    t.inc();
    t.inc();
    t.inc();
    t.inc();
    EXPECT_EQ(11, t.start.sec);
    EXPECT_EQ(0, t.start.usec);
    t.init(tv(10, 0), 0);
    EXPECT_FALSE(t.is_expired(tv(99, 0)));
}

TEST(MuxTime, MillisecondsAcrossTheWrap)
{
    Mux::VirtualClock vc((1ull << 32) - 3);
    Mux::ScopedClock scoped(vc);
    uint32_t before = Mux::milliseconds();
    EXPECT_EQ(0xFFFFFFFDu, before);
    vc.advance_ms(10);
    uint32_t after = Mux::milliseconds();
    EXPECT_LT(after, before);
    EXPECT_EQ(10u, after - before);
    EXPECT_EQ(10, static_cast<int32_t>(after - before));

    uint32_t us = Mux::microseconds();
    vc.advance_us(1500);
    EXPECT_EQ(1500u, Mux::microseconds() - us);
}
