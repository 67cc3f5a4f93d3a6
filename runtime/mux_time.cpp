#include "runtime/mux_time.h"

#include <poll.h>
#include <sys/time.h>
#include <time.h>

#include <cstdio>

namespace Mux {

timeval g_tv_time;

namespace {
SystemClock g_system_clock;
Clock* g_clock = &g_system_clock;
// Monotonic reading taken with the cached time of day; 0 = none.
uint64_t g_mono_cache_us = 0;

uint64_t mono_us()
{
    return g_mono_cache_us ? g_mono_cache_us : g_clock->monotonic_us();
}
} // namespace

int Clock::poll(struct pollfd* fds, unsigned long nfds, int timeout_ms)
{
    return ::poll(fds, nfds, timeout_ms);
}

void SystemClock::wall(timeval& tv)
{
    struct ::timeval now;
    ::gettimeofday(&now, nullptr);
    tv.sec = static_cast<int32_t>(now.tv_sec);
    tv.usec = static_cast<int32_t>(now.tv_usec);
}

uint64_t SystemClock::monotonic_us()
{
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

int64_t real_milliseconds()
{
    return static_cast<int64_t>(SystemClock().monotonic_us() / 1000u);
}

VirtualClock::VirtualClock(uint64_t start_ms, int64_t wall_offset_s)
    : mNowUs(start_ms * 1000), mWallOffsetS(wall_offset_s)
{
}

void VirtualClock::wall(timeval& tv)
{
    tv.sec = static_cast<int32_t>(mWallOffsetS + static_cast<int64_t>(mNowUs / 1000000));
    tv.usec = static_cast<int32_t>(mNowUs % 1000000);
}

int VirtualClock::poll(struct pollfd* fds, unsigned long nfds, int timeout_ms)
{
    ++mPolls;
    mLastTimeout = timeout_ms;
    int wait = timeout_ms < 0 ? mSettleMs : (timeout_ms < mSettleMs ? timeout_ms : mSettleMs);
    int n = ::poll(fds, nfds, nfds ? wait : 0);
    if (n != 0)
        return n;
    if (timeout_ms < 0)
        return ::poll(fds, nfds, -1);
    advance_ms(static_cast<uint64_t>(timeout_ms));
    return 0;
}

Clock& clock() { return *g_clock; }

void set_clock(Clock* c)
{
    g_clock = c ? c : &g_system_clock;
    mux_clear_cache();
}

int mux_settimeofday()
{
    g_clock->wall(g_tv_time);
    g_mono_cache_us = g_clock->monotonic_us();
    if (!g_mono_cache_us)
        g_mono_cache_us = 1;
    return 0;
}

void mux_clear_cache()
{
    g_tv_time = timeval();
    g_mono_cache_us = 0;
}

void mux_gettimeofday(timeval& tv)
{
    if (g_tv_time.sec || g_tv_time.usec)
        tv = g_tv_time;
    else
        g_clock->wall(tv);
}

int gettimeval(timeval& tv)
{
    mux_gettimeofday(tv);
    return 0;
}

uint32_t milliseconds()
{
    return static_cast<uint32_t>(mono_us() / 1000);
}

uint32_t microseconds()
{
    return static_cast<uint32_t>(mono_us());
}

int32_t seconds()
{
    timeval tv;
    mux_gettimeofday(tv);
    return tv.sec;
}

timeval make_from_usec(unsigned usec)
{
    timeval tv;
    tv.sec = static_cast<int32_t>(usec / 1000000);
    tv.usec = static_cast<int32_t>(usec % 1000000);
    return tv;
}

timeval make_from_msec(unsigned msec)
{
    timeval tv;
    tv.sec = static_cast<int32_t>(msec / 1000);
    tv.usec = static_cast<int32_t>((msec % 1000) * 1000);
    return tv;
}

int timevaladd(timeval& a, const timeval& b)
{
    int64_t usec = static_cast<int64_t>(a.usec) + b.usec;
    a.sec = static_cast<int32_t>(a.sec + b.sec + usec / 1000000);
    a.usec = static_cast<int32_t>(usec % 1000000);
    return 0;
}

int timevalsub(timeval& a, const timeval& b)
{
    int64_t usec = static_cast<int64_t>(a.usec) - b.usec + 1000000;
    a.sec = static_cast<int32_t>(a.sec - b.sec - 1 + usec / 1000000);
    a.usec = static_cast<int32_t>(usec % 1000000);
    return 0;
}

int timevaladd2(const timeval& a, const timeval& b, timeval& out)
{
    out = a;
    return timevaladd(out, b);
}

int timevalsub2(const timeval& a, const timeval& b, timeval& out)
{
    out = a;
    return timevalsub(out, b);
}

void timevalset(timeval& tv, unsigned long long ms)
{
    tv.sec = static_cast<int32_t>(ms / 1000);
    tv.usec = static_cast<int32_t>((ms % 1000) * 1000);
}

int timevalcompare(const timeval& a, const timeval& b)
{
    if (a.sec != b.sec)
        return a.sec < b.sec ? -1 : 1;
    if (a.usec != b.usec)
        return a.usec < b.usec ? -1 : 1;
    return 0;
}

long long timevaldiff(const timeval& a, const timeval& b)
{
    if (timevalcompare(b, a) < 0)
        return 0;
    return (static_cast<long long>(b.sec) - a.sec) * 1000 + (static_cast<long long>(b.usec) - a.usec) / 1000;
}

std::string timevaltostring(const timeval& tv)
{
    time_t t = tv.sec;
    struct tm tmv;
    char date[64] = "";
    if (::localtime_r(&t, &tmv))
        ::strftime(date, sizeof(date), "%Y-%m-%d %H:%M:%S", &tmv);
    char out[96];
    std::snprintf(out, sizeof(out), "%s.%06ld", date, static_cast<long>(tv.usec));
    return out;
}

bool timeval_timer::is_expired(const timeval& now) const
{
    if (period < 1)
        return false;
    return timevaldiff(start, now) > period;
}

void timeval_timer::inc()
{
    timeval p;
    timevalset(p, static_cast<unsigned long long>(period));
    timevaladd(start, p);
}

} // namespace Mux
