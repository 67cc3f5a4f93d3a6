// Cost of the event loop: one pass over N attached descriptors, and arming
// and firing many pending timers.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"

namespace {

class Counter {
public:
    explicit Counter(long limit) : mLimit(limit) {}
    void onEvent(int, short)
    {
        // The ready descriptor's handler counts the passes.
        if (++mPasses >= mLimit)
            multiplexer.terminate();
    }
    void onIdle(int, short) {}
    long passes() const { return mPasses; }

private:
    long mLimit;
    long mPasses = 0;
};

// One pass with N idle Events plus one always-ready descriptor, so every
// pass polls and services all N + 1 handlers.
void BM_LoopPass(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) {
        state.SkipWithError("pipe");
        return;
    }
    Fd readEnd(p[0]), writeEnd(p[1]);
    (void)!::write(writeEnd.get(), "x", 1);
    int idle[2];
    if (::pipe2(idle, O_CLOEXEC) != 0) {
        state.SkipWithError("pipe");
        return;
    }
    Fd idleRead(idle[0]), idleWrite(idle[1]);

    const long passes = 1000;
    for (auto _ : state) {
        Counter counter(passes);
        std::vector<std::unique_ptr<Event>> events;
        for (int i = 0; i < n; ++i) {
            events.emplace_back(new Event);
            events.back()->Bind("idle", &Counter::onIdle, &counter);
            events.back()->Schedule(idleRead, POLLIN);
        }
        Event ready;
        ready.Bind("ready", &Counter::onEvent, &counter);
        ready.Schedule(readEnd, POLLIN);
        multiplexer.run(false, true);
    }
    state.SetItemsProcessed(state.iterations() * passes);
    state.counters["ns_per_pass"] = benchmark::Counter(static_cast<double>(state.iterations() * passes),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LoopPass)->Arg(10)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

struct Sink {
    long fired = 0;
    void fire() { ++fired; }
};

// Arm 10,000 timers (equal delays: the common case) and fire them all.
void BM_TimersArmAndFire(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::vector<Timer> timers(static_cast<size_t>(n));
    Sink sink;
    for (auto _ : state) {
        for (auto& t : timers)
            t.set(0, &Sink::fire, &sink);
        multiplexer.timers_schedule();
    }
    benchmark::DoNotOptimize(sink.fired);
    state.SetItemsProcessed(state.iterations() * n);
    state.counters["ns_per_timer"] = benchmark::Counter(static_cast<double>(state.iterations() * n),
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_TimersArmAndFire)->Arg(10000)->Unit(benchmark::kMicrosecond);

// Arm and cancel: every timer re-armed once before it fires.
void BM_TimersRearm(benchmark::State& state)
{
    const int n = static_cast<int>(state.range(0));
    std::vector<Timer> timers(static_cast<size_t>(n));
    Sink sink;
    for (auto& t : timers)
        t.set(1000000, &Sink::fire, &sink);
    for (auto _ : state)
        for (auto& t : timers)
            t.set(1000000, &Sink::fire, &sink);
    for (auto& t : timers)
        t.reset();
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_TimersRearm)->Arg(10000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
