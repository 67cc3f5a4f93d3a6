// Signalling frames: one frame from an HDLC channel to another joined on the
// simulated switch, against a plain write and read of the same frame on the
// same simulated path; and the trace decoder against formatting the hex
// line alone.
#include <benchmark/benchmark.h>

#include <fcntl.h>

#include "tests/signalling/hdlc_support.h"
#include "tests/signalling/q931_trace_support.h"

namespace {

const int kBusA = HwMux::kBusFirst + 5;
const int kBusB = HwMux::kBusFirst + 6;

struct Joined {
    vbtest::SwitchedBoard board;
    vbtest::Receiver rxA, rxB;
    HDLC a{1}, b{2};

    Joined()
    {
        board.sim.board.set_recording(false);
        // BRI D channels: each sends into one bus channel and hears the other.
        join(a, rxA, kBusA, kBusB);
        join(b, rxB, kBusB, kBusA);
    }
    static void join(HDLC& h, vbtest::Receiver& rx, int transmit, int tdm)
    {
        h.notify = &rx;
        h.parameters.type = 2;
        h.parameters.transmit = transmit;
        h.parameters.tdm = tdm;
        h.activate();
    }
};

const std::string kFrame = vbtest::bytes({0x00, 0x01, 0x00, 0x00, 0x08, 0x01, 0x01, 0x05, 0x04, 0x03, 0x80, 0x90,
                                          0xa3, 0x18, 0x01, 0x89, 0x70, 0x05, 0x81, 0x31, 0x32, 0x33, 0x34});

void BM_HdlcFrameAcrossSwitch(benchmark::State& state)
{
    Joined j;
    Packet frame = vbtest::make_packet(kFrame);
    for (auto _ : state) {
        j.a.hdlc_transmit(frame);
        j.b.do_read();
        j.rxB.frames.clear();
    }
    if (j.a.statistics.txSU != j.b.statistics.rxSU)
        state.SkipWithError("frames lost");
}
BENCHMARK(BM_HdlcFrameAcrossSwitch);

void BM_PlainWriteReadAcrossSwitch(benchmark::State& state)
{
    vbtest::SwitchedBoard board;
    board.sim.board.set_recording(false);
    auto channel = [&](int transmit, int tdm) {
        Fd fd(Device::open(Device::Mcc::kDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC));
        Device::Mcc::Allocation record{Device::Mcc::kBri, 512, 0, 1, 4};
        Device::ioctl(fd.get(), Device::Mcc::MCC_ALLOCATE, &record);
        int t = Device::ioctl(fd.get(), Device::Mcc::MCC_TIMESLOT);
        HwMux::instance()->Connect(t, transmit);
        HwMux::instance()->Connect(tdm, t);
        return fd;
    };
    Fd a = channel(kBusA, kBusB), b = channel(kBusB, kBusA);
    static unsigned char buf[packet_max_size];
    for (auto _ : state) {
        Device::write(a.get(), kFrame.data(), kFrame.size());
        benchmark::DoNotOptimize(Device::read(b.get(), buf, sizeof(buf)));
    }
}
BENCHMARK(BM_PlainWriteReadAcrossSwitch);

const vbtest::Octets kSetup = vbtest::octets({0x00, 0x01, 0x00, 0x00, 0x08, 0x02, 0x00, 0x05, 0x05, 0xa1,
                                              0x04, 0x03, 0x80, 0x90, 0xa3, 0x18, 0x01, 0x89, 0x6c, 0x03,
                                              0x81, 0x33, 0x34, 0x70, 0x04, 0x81, 0x31, 0x32, 0x33, 0x7e});

vbtest::Octets long_frame()
{
    vbtest::Octets f = vbtest::octets({0x00, 0x01, 0x00, 0x00, 0x08, 0x01, 0x01, 0x62, 0x1c, 0x80, 0x91});
    for (int i = 0; i < 42; ++i)
        for (int b : {0xa1, 0x01, 0x03, 0x04})
            f.push_back(static_cast<uint8_t>(b));
    f.insert(f.end(), {0x7e, 0x50});
    while (f.size() < 260)
        f.push_back(static_cast<uint8_t>(f.size()));
    return f;
}

void decode_bench(benchmark::State& state, const vbtest::Octets& frame)
{
    for (auto _ : state) {
        ISDN::dlogframe(frame.data(), static_cast<int>(frame.size()), 0, ISDN::logbuf, sizeof(ISDN::logbuf));
        benchmark::ClobberMemory();
    }
}

void hex_bench(benchmark::State& state, const vbtest::Octets& frame)
{
    for (auto _ : state) {
        ISDN::Trace::Text text(ISDN::logbuf, sizeof(ISDN::logbuf));
        for (uint8_t b : frame)
            text.hex(b);
        text.put('\n');
        text.finish();
        benchmark::ClobberMemory();
    }
}

void BM_DlogframeSetup30(benchmark::State& state) { decode_bench(state, kSetup); }
void BM_HexLineSetup30(benchmark::State& state) { hex_bench(state, kSetup); }
void BM_Dlogframe260(benchmark::State& state) { decode_bench(state, long_frame()); }
void BM_HexLine260(benchmark::State& state) { hex_bench(state, long_frame()); }
BENCHMARK(BM_DlogframeSetup30);
BENCHMARK(BM_HexLineSetup30);
BENCHMARK(BM_Dlogframe260);
BENCHMARK(BM_HexLine260);

} // namespace

BENCHMARK_MAIN();
