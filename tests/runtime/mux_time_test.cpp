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

TEST(MuxTime, TimevalEdgeCases)
{
    const struct {
        Mux::timeval a, b;
        long long ms;
    } cases[] = {
        {tv(5, 500), tv(5, 500), 0},
        {tv(1, 999999), tv(2, 0), 1}, // -999999 us truncates to -999 ms
        {tv(2, 0), tv(1, 999999), 0}, // later first argument
        {tv(1, 999), tv(1, 0), 0},
        {tv(0, 0), tv(0x7fffffff, 999999), 2147483647999LL}, // no 32-bit overflow
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.ms, Mux::timevaldiff(c.a, c.b)) << c.a.sec << "." << c.a.usec << " -> " << c.b.sec;

    Mux::timeval a = tv(3, 0);
    Mux::timevalsub(a, tv(0, 1));
    EXPECT_EQ(2, a.sec);
    EXPECT_EQ(999999, a.usec);

    Mux::timeval_timer t;
    t.init(tv(10, 0), 250);
    EXPECT_FALSE(t.is_expired(tv(10, 250000))); // exactly one period: not yet
    EXPECT_TRUE(t.is_expired(tv(10, 251000)));
    for (int i = 0; i < 4; ++i)
        t.inc();
    EXPECT_EQ(0, Mux::timevalcompare(tv(11, 0), t.start));
}

TEST(MuxTime, MillisecondsAcrossTheWrap)
{
    Mux::VirtualClock vc((1ull << 32) - 3);
    Mux::ScopedClock scoped(vc);
    uint32_t before = Mux::milliseconds();
    vc.advance_ms(10);
    uint32_t after = Mux::milliseconds();
    EXPECT_LT(after, before);
    EXPECT_EQ(10, static_cast<int32_t>(after - before));
}
