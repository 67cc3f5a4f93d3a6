// RTCP encoding per packet (and the heap allocations it makes: none), and
// bursts of 1000 tone and 1000 DSP driver events through the services'
// OnEvent with 1, 100 and 1000 receivers alive; the events are all for the
// receiver built last, which the dispatch finds at the end of its walk.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <iostream>
#include <memory>
#include <new>
#include <sstream>
#include <vector>

#include "bench/alloc_count.h"
#include "media/dsproc_receiver.h"
#include "media/rtcp.h"
#include "media/tonec_receiver.h"
#include "simboard/board.h"
#include "simboard/dsp.h"
#include "simboard/dtmf.h"

namespace {

void encode(benchmark::State& state, const RTPC::Msg& m)
{
    char buf[1024];
    size_t before = bench_allocations;
    for (auto _ : state) {
        benchmark::DoNotOptimize(m.encode(buf, sizeof(buf)));
        benchmark::ClobberMemory();
    }
    state.counters["allocs"] = double(bench_allocations - before);
}

void BM_SdesEncode(benchmark::State& state)
{
    RTPC::SDES m(0x01020304);
    m.add(RTPC::SDES::Item::CNAME, "Tolvane Veridane");
    m.add(RTPC::SDES::Item::EMAIL, "noc@voxbridge.example");
    m.add(RTPC::SDES::Item::PHONE, "+1 555 0100");
    encode(state, m);
}
BENCHMARK(BM_SdesEncode);

void BM_ByeEncode(benchmark::State& state)
{
    encode(state, RTPC::BYE(0x01020304, "session end"));
}
BENCHMARK(BM_ByeEncode);

// The services' log lines are not what is measured.
struct Quiet {
    std::ostringstream sink;
    std::streambuf* err = std::cerr.rdbuf(sink.rdbuf());
    std::streambuf* log = std::clog.rdbuf(sink.rdbuf());
    ~Quiet()
    {
        std::cerr.rdbuf(err);
        std::clog.rdbuf(log);
    }
};

// Counts what reaches it.
struct Receiver : Hardware::TonecReceiver, Hardware::DSProcReceiver {
    explicit Receiver(uint32_t ts) : ts(ts) {}
    void tonec_event(Params const&) override { ++events; }
    uint32_t tonec_timeslot() const override { return ts; }
    void dsproc_vad_event(Hardware::DSProcVADEvent const&) override { ++events; }
    void dsproc_bss_event(struct dsproc_bss_event const*) override { ++events; }
    void dsproc_sd_event(Hardware::DSProcSDEvent const&) override { ++events; }
    void dsproc_tone_flt_event(dsproc_tone_event const*) override { ++events; }
    void dsproc_flags_event(struct dsproc_flags_event const*) override { ++events; }
    uint32_t dsproc_timeslot() const override { return ts; }
    uint32_t ts;
    size_t events = 0;
};

struct Rig {
    Quiet quiet;
    SimBoard::Board board;
    Device::ScopedDriver installed{board};
    Hardware::TonecReceiverService::Scoped tonec;
    Hardware::DSProcReceiverService::Scoped dsproc;
    std::vector<std::unique_ptr<Receiver>> receivers;

    explicit Rig(size_t n)
    {
        board.set_recording(false);
        for (size_t i = 0; i < n; ++i)
            receivers.emplace_back(new Receiver(uint32_t(i)));
        target().enableDTMF(true);
        target().enableVAD(true);
    }
    Receiver& target() { return *receivers.back(); }
};

// The device's socket holds a few hundred records: a burst is posted and
// read in chunks, and only the reading is timed.
const int kBurst = 1000;
const int kChunk = 100;

template <class Post, class Wake>
void burst(benchmark::State& state, Rig& rig, Post post, Wake wake)
{
    for (auto _ : state) {
        for (int done = 0; done < kBurst; done += kChunk) {
            state.PauseTiming();
            for (int i = 0; i < kChunk; ++i)
                post();
            state.ResumeTiming();
            wake();
        }
    }
    state.SetItemsProcessed(state.iterations() * kBurst);
    if (rig.target().events != size_t(state.iterations()) * kBurst)
        state.SkipWithError("events lost");
}

void BM_ToneEvents(benchmark::State& state)
{
    Rig rig(size_t(state.range(0)));
    auto& dtmf = *rig.board.find<SimBoard::DtmfDevice>(Device::Dtmf::kDevice);
    auto& service = rig.tonec.service();
    uint32_t ts = rig.target().ts;
    burst(state, rig, [&] { dtmf.detect(ts, 5, 1); }, [&] { service.OnEvent(service.fd(), POLLIN); });
}
BENCHMARK(BM_ToneEvents)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_DspEvents(benchmark::State& state)
{
    Rig rig(size_t(state.range(0)));
    auto& dsp = *rig.board.find<SimBoard::DspDevice>(Device::Dsp::kDevice);
    auto& service = rig.dsproc.service();
    uint32_t ts = rig.target().ts;
    burst(state, rig, [&] { dsp.event(ts, Device::Dsp::kVad, 3, 1, 0); },
          [&] { service.OnEvent(service.fd(), POLLIN); });
}
BENCHMARK(BM_DspEvents)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
