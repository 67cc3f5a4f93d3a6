// The SS7 link in service against a scripted peer: the cost of one MSU
// (sent, acknowledged, released) with 8 and with 127 outstanding, and of a
// retransmission of 127 MSUs against 127 MSUs sent one by one.
#include <benchmark/benchmark.h>

#include "tests/signalling/ss7_support.h"

namespace {

struct Bench {
    vbtest::Ss7Link link;
    vbtest::CaptureStream log{std::clog};
    unsigned fsn = 127; // the last FSN sent
    unsigned acked = 127;
    int bib = 1;

    Bench()
    {
        link.bring_into_service();
        link.line.recording = false;
    }
    void send()
    {
        Packet p;
        link.slc->prepare_head(p);
        for (int i = 0; i < 20; ++i)
            p.put(static_cast<uint8_t>(0x83 + i));
        link.slc->message(p);
        fsn = (fsn + 1) & 127;
    }
    // A FISU from the peer acknowledging up to bsn.
    void ack(unsigned bsn)
    {
        Packet p;
        p.reserve_head(0);
        p.put(static_cast<uint8_t>(bib << 7 | bsn));
        p.put(0xff);
        p.put(0x00);
        link.slc->on_hdlc_receive(p);
        acked = bsn;
    }
};

void BM_MsuWithOutstanding(benchmark::State& state)
{
    Bench b;
    unsigned outstanding = static_cast<unsigned>(state.range(0));
    for (unsigned i = 0; i < outstanding; ++i)
        b.send();
    for (auto _ : state) {
        b.send();
        b.ack((b.acked + 1) & 127);
    }
    state.counters["rtb"] = b.link.slc->statistics().rtbSize;
}
BENCHMARK(BM_MsuWithOutstanding)->Arg(8)->Arg(127);

void BM_Retransmit127(benchmark::State& state)
{
    Bench b;
    for (int i = 0; i < 127; ++i)
        b.send();
    for (auto _ : state) {
        b.bib ^= 1; // a negative acknowledgement: all 127 again
        b.ack(b.acked);
    }
    state.counters["repeats"] = b.link.slc->statistics().repeatCntr;
}
BENCHMARK(BM_Retransmit127);

void BM_Send127(benchmark::State& state)
{
    Bench b;
    for (auto _ : state) {
        for (int i = 0; i < 127; ++i)
            b.send();
        b.ack(b.fsn);
    }
}
BENCHMARK(BM_Send127);

} // namespace

BENCHMARK_MAIN();
