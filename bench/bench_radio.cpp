// The radio packet codecs: one pack and one unpack of a LEMZ packet and of
// an R2S header per iteration, into the 1024-byte buffer the radio controls
// use, with the heap allocations per iteration (none expected).
#include <benchmark/benchmark.h>

#include <arpa/inet.h>

#include "bench/alloc_count.h"
#include "radio/r2s_proto.h"
#include "radio/sig_proto.h"

namespace {

const int buffer_size = 1024;

template <class Record, class Pack, class Unpack>
void pack_unpack(benchmark::State& state, Record& record, Pack pack, Unpack unpack)
{
    static unsigned char buf[buffer_size];
    Record back = record;
    std::size_t before = bench_allocations;
    for (auto _ : state) {
        int n = pack(&record, buf, buffer_size);
        int result = unpack(&back, buf, n);
        if (n <= 0 || result != 0)
            state.SkipWithError("codec failed");
        benchmark::DoNotOptimize(back);
        benchmark::ClobberMemory();
    }
    state.counters["allocs"] = benchmark::Counter(double(bench_allocations - before), benchmark::Counter::kAvgIterations);
}

void BM_LemzChannelStatus(benchmark::State& state)
{
    sig_proto r;
    sig_proto_init(&r);
    r.type = WM_CHAN;
    sig_proto_set_base(&r, 5, 0, 1, 0, 1, 0, 0, 0, 0, 0, 0, 0x123);
    sig_proto_set_wm_chan(&r, 12, 145.5f, 50, 3);
    pack_unpack(state, r, sig_proto_pack, sig_proto_unpack);
}

void BM_LemzSelCallTransmit(benchmark::State& state)
{
    sig_proto r;
    sig_proto_init(&r);
    r.type = WM_SEL_CALL_TRANS;
    in_addr a;
    a.s_addr = inet_addr("10.1.2.3");
    sig_proto_set_wm_selcall_transmite(&r, a, 0x11223344, "12345678", 8);
    pack_unpack(state, r, sig_proto_pack, sig_proto_unpack);
}

void BM_R2SRxWithSqi(benchmark::State& state)
{
    r2s_proto r;
    r2s_proto_init(&r, 0);
    r2s_proto_set_rx_header(&r, 1, 1, 5, 0, 0, 0);
    r2s_proto_add_rx_sqi(&r, 20, 2);
    pack_unpack(state, r, r2s_proto_pack, r2s_proto_unpack_rx);
}

void BM_R2STxHeader(benchmark::State& state)
{
    r2s_proto r;
    r2s_proto_init(&r, 0);
    r2s_proto_set_tx_header(&r, 1, 5, 0, 0);
    pack_unpack(state, r, r2s_proto_pack, r2s_proto_unpack_tx);
}

} // namespace

BENCHMARK(BM_LemzChannelStatus);
BENCHMARK(BM_LemzSelCallTransmit);
BENCHMARK(BM_R2SRxWithSqi);
BENCHMARK(BM_R2STxHeader);

BENCHMARK_MAIN();
