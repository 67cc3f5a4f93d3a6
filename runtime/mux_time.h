// The loop's time base, the cached time of day and timeval arithmetic.
//
// Two clocks live behind one replaceable source:
//  - the loop's millisecond and microsecond counters run on a monotonic
//    clock, so setting the date never fires or stalls timers;
//  - the time of day (texts, file names, time stamps) is the wall clock.
// Tests install a VirtualClock and step time instead of sleeping.
#pragma once

#include <cstdint>
#include <string>

struct pollfd;

namespace Mux {

struct timeval {
    int32_t sec = 0;
    int32_t usec = 0;
};

// Source of time, and of the wait in poll(): a virtual clock turns a
// poll time-out into a step of virtual time.
class Clock {
public:
    virtual ~Clock() = default;
    virtual void wall(timeval& tv) = 0;
    virtual uint64_t monotonic_us() = 0;
    virtual int poll(struct pollfd* fds, unsigned long nfds, int timeout_ms);
};

// The real clocks: gettimeofday and CLOCK_MONOTONIC.
class SystemClock : public Clock {
public:
    void wall(timeval& tv) override;
    uint64_t monotonic_us() override;
};

// Virtual time for tests. poll() looks at the descriptors without waiting;
// when none is ready and the time-out is finite, time jumps by the time-out.
// An infinite time-out with nothing ready waits for real.
class VirtualClock : public Clock {
public:
    explicit VirtualClock(uint64_t start_ms = 1000000, int64_t wall_offset_s = 1700000000);
    void wall(timeval& tv) override;
    uint64_t monotonic_us() override { return mNowUs; }
    int poll(struct pollfd* fds, unsigned long nfds, int timeout_ms) override;

    void set_ms(uint64_t ms) { mNowUs = ms * 1000; }
    void advance_ms(uint64_t ms) { mNowUs += ms * 1000; }
    void advance_us(uint64_t us) { mNowUs += us; }
    // Step the wall clock alone (the monotonic count is untouched).
    void step_wall_s(int64_t s) { mWallOffsetS += s; }

    // Every time-out given to poll(), in order, and how many polls ran.
    int last_poll_timeout() const { return mLastTimeout; }
    unsigned polls() const { return mPolls; }
    // Real milliseconds poll() may wait for a descriptor before time jumps
    // (for tests that wait on a real peer); 0 by default.
    void set_settle_ms(int ms) { mSettleMs = ms; }

private:
    uint64_t mNowUs;
    int64_t mWallOffsetS;
    int mLastTimeout = 0;
    unsigned mPolls = 0;
    int mSettleMs = 0;
};

Clock& clock();
// Install a clock (not owned); null restores the system clock.
void set_clock(Clock* c);

// RAII installation of a clock for one test.
class ScopedClock {
public:
    explicit ScopedClock(Clock& c) { set_clock(&c); }
    ~ScopedClock() { set_clock(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

// Cached time: all zero means none is cached and every read is live.
extern timeval g_tv_time;

int mux_settimeofday();
void mux_clear_cache();
void mux_gettimeofday(timeval& tv);
int gettimeval(timeval& tv);

// Monotonic milliseconds, low 32 bits; compare only as signed differences.
uint32_t milliseconds();
// Monotonic microseconds, low 32 bits; for durations only.
uint32_t microseconds();
// Monotonic milliseconds of the system clock, whatever clock is installed:
// for waits on real processes, which run in real time.
int64_t real_milliseconds();
// Seconds of the time of day.
int32_t seconds();

timeval make_from_usec(unsigned usec);
timeval make_from_msec(unsigned msec);

int timevaladd(timeval& a, const timeval& b);
int timevalsub(timeval& a, const timeval& b);
int timevaladd2(const timeval& a, const timeval& b, timeval& out);
int timevalsub2(const timeval& a, const timeval& b, timeval& out);
void timevalset(timeval& tv, unsigned long long ms);
long long timevaldiff(const timeval& a, const timeval& b);
int timevalcompare(const timeval& a, const timeval& b);
std::string timevaltostring(const timeval& tv);

// A start time and a period in milliseconds.
struct timeval_timer {
    timeval start;
    int period = 0;

    void init(const timeval& s, int period_ms) { start = s; period = period_ms; }
    void init_now(const timeval& s) { start = s; }
    bool is_expired(const timeval& now) const;
    void inc();
};

} // namespace Mux
