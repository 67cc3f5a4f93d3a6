// The radio packet codecs: one pack and one unpack of a LEMZ packet and of
// an R2S header per iteration, into the 1024-byte buffer the radio controls
// use, with the heap allocations per iteration (none expected). Then the
// LEMZ and ED-137 gateway controls on an in-memory extension driver: the
// receive path per payload with 1000 waiting, and one status tick.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>

#include "bench/alloc_count.h"
#include "board/device.h"
#include "radio/ed137_radio_control.h"
#include "radio/lemz_radio_control.h"
#include "radio/r2s_proto.h"
#include "radio/sig_proto.h"
#include "runtime/mux_time.h"

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

// "/dev/rtp_ext" in memory: payloads wait in a queue with their senders,
// writes are counted.
class MemoryExt : public Device::Driver {
public:
    struct Waiting {
        rtp_ext_source source;
        std::string payload;
    };
    std::deque<Waiting> waiting;
    size_t written = 0;

    int open(const std::string&, int) override { return ::open("/dev/null", O_RDWR | O_CLOEXEC); }
    int ioctl(int, unsigned long request, void* arg) override
    {
        if (request != Device::RtpExt::RTP_EXT_SOURCE)
            return 0;
        if (waiting.empty()) {
            errno = EAGAIN;
            return -1;
        }
        std::memcpy(arg, &waiting.front().source, sizeof(rtp_ext_source));
        return 1;
    }
    ssize_t read(int, void* buf, size_t count) override
    {
        if (waiting.empty()) {
            errno = EAGAIN;
            return -1;
        }
        size_t n = std::min(count, waiting.front().payload.size());
        std::memcpy(buf, waiting.front().payload.data(), n);
        waiting.pop_front();
        return static_cast<ssize_t>(n);
    }
    ssize_t write(int, const void*, size_t count) override
    {
        ++written;
        return static_cast<ssize_t>(count);
    }
};

struct BenchGW : RTPSignalling::LemzRadioGWControl {
    using LemzRadioGWControl::LemzRadioGWControl;
    using LemzRadioGWControl::OnRtpExtEvent;
    using LemzRadioGWControl::ProcessRadioStatus;
};

struct ExtWorld {
    MemoryExt ext;
    Device::ScopedDriver installed{ext};
    BenchGW control{7, rtp_ext_attach_session_params{3, -1}, rtp_ext_init_params{0x1337, 0, {0, 0, 0, 0}}};
};

// Each iteration: queued payloads from two senders in turn, read in one event.
template <class World>
void receive_alternating(benchmark::State& state, World& w, const std::string& payload, size_t queued,
                         const char* counter)
{
    for (auto _ : state) {
        state.PauseTiming();
        for (size_t i = 0; i < queued; ++i)
            w.ext.waiting.push_back({rtp_ext_source{1, inet_addr(i % 2 ? "10.0.0.1" : "10.0.0.2"), 0}, payload});
        state.ResumeTiming();
        w.control.OnRtpExtEvent(w.control.ext_fd(), POLLIN);
    }
    state.counters[counter] =
        benchmark::Counter(double(state.iterations() * queued), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Each iteration: one status tick a second later, with the packets written
// and the allocations made per tick.
template <class World>
void status_ticks(benchmark::State& state, World& w, const TERM::RadioStatus& status)
{
    w.control.SendASNToChan(status);
    unsigned long now = Mux::milliseconds();
    std::size_t before = bench_allocations;
    for (auto _ : state) {
        now += 1000;
        benchmark::DoNotOptimize(w.control.ProcessRadioStatus(now, 1000));
    }
    state.counters["packets"] = benchmark::Counter(double(w.ext.written), benchmark::Counter::kAvgIterations);
    state.counters["allocs"] = benchmark::Counter(double(bench_allocations - before), benchmark::Counter::kAvgIterations);
}

// Senders alternate, so every payload is decoded, merged and reported.
void BM_LemzReceivePerPayload(benchmark::State& state)
{
    ExtWorld w;
    const size_t queued = 1000;
    sig_proto p;
    sig_proto_init(&p);
    p.type = GW_FLAG_PTT;
    sig_proto_set_base(&p, 3, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    unsigned char buf[buffer_size];
    std::string packed(reinterpret_cast<char*>(buf), size_t(sig_proto_pack(&p, buf, buffer_size)));
    receive_alternating(state, w, packed, queued, "per_payload");
}

// The four status packets of one tick, packed and written.
void BM_LemzStatusTick(benchmark::State& state)
{
    ExtWorld w;
    TERM::RadioStatus status;
    status.get_lemz().get_freq().set_frequency("145.5");
    status.get_lemz().set_standby_state_channel(TERM::RadioStandby::active);
    status.get_lemz().set_standby_state_receiver(TERM::RadioStandby::active);
    status_ticks(state, w, status);
}

struct BenchED137 : RTPSignalling::ED137RadioGWControl {
    using ED137RadioGWControl::ED137RadioGWControl;
    using ED137RadioGWControl::OnRtpExtEvent;
    using ED137RadioGWControl::ProcessRadioStatus;
};

struct ED137World {
    MemoryExt ext;
    Device::ScopedDriver installed{ext};
    BenchED137 control{7, rtp_ext_attach_session_params{3, -1}, rtp_ext_init_params{0x0167, 0, {1, 123, 10, 1}}};
};

// TX headers from alternating senders: each one decoded and reported.
void BM_ED137ReceivePerHeader(benchmark::State& state)
{
    ED137World w;
    const size_t queued = 1000;
    std::string header("\x21\x40\x00\x00", 4);
    receive_alternating(state, w, header, queued, "per_header");
}

// One tick: the supervision's check and the RX keep-alive with SQI.
void BM_ED137KeepAliveTick(benchmark::State& state)
{
    ED137World w;
    TERM::RadioStatus status;
    status.get_ed_137().include_sqi().set_bss_quality(20);
    status_ticks(state, w, status);
}

} // namespace

BENCHMARK(BM_ED137ReceivePerHeader);
BENCHMARK(BM_ED137KeepAliveTick);
BENCHMARK(BM_LemzReceivePerPayload);
BENCHMARK(BM_LemzStatusTick);
BENCHMARK(BM_LemzChannelStatus);
BENCHMARK(BM_LemzSelCallTransmit);
BENCHMARK(BM_R2SRxWithSqi);
BENCHMARK(BM_R2STxHeader);

BENCHMARK_MAIN();
