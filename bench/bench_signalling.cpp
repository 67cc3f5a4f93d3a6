// Signalling frames: one frame from an HDLC channel to another joined on the
// simulated switch, against a plain write and read of the same frame on the
// same simulated path; the trace decoder against formatting the hex line
// alone; the data link's cost per message with a short and a long queue;
// the BRI network side's routing and TEI check with one and eight
// terminals; and the HDLC packet slot's cost per package of a
// 120-package hdlcPackages ioctl.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <poll.h>

#include <deque>

#include "signalling/hdlc_slot.h"
#include "signalling/lapd_nt.h"
#include "tests/signalling/hdlc_support.h"
#include "tests/signalling/lapd_support.h"
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
        board.sim.mcc().set_rate(SimBoard::MccController::kUnpaced); // our cost, not the line's pace
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
        j.b.do_read(POLLIN);
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
    board.sim.mcc().set_rate(SimBoard::MccController::kUnpaced);
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

// Two data links on an in-memory pair that delivers one frame at a time
// when asked: no loop, no timers fire.
struct LinkPair {
    vbtest::MemoryHDLC wireA, wireB;
    vbtest::LinkOwner ownerA, ownerB;
    ISDN::LAPD* a = new ISDN::LAPD(ISDN::Side::user, 0);
    ISDN::LAPD* b = new ISDN::LAPD(ISDN::Side::network, 0);
    std::deque<std::string> toA, toB;
    // Pool buffers in use beyond those before the pair, at most, sampled
    // while each frame is being sent.
    unsigned baseline = Packet_pool::available();
    unsigned peak = 0;

    LinkPair()
    {
        for (auto [link, wire, owner, queue] :
             {std::tuple{a, &wireA, &ownerA, &toB}, std::tuple{b, &wireB, &ownerB, &toA}}) {
            wire->recording = false;
            wire->wire = [this, queue = queue](const std::string& f) {
                queue->push_back(f);
                peak = std::max(peak, baseline - Packet_pool::available());
            };
            wire->notify = link;
            link->hdlc = wire;
            owner->add_protocol_tail(link);
        }
        a->activate();
        settle();
    }
    // Hands over the oldest frame of one direction; false when none waits.
    static bool step(std::deque<std::string>& q, vbtest::MemoryHDLC& to)
    {
        if (q.empty())
            return false;
        std::string f = std::move(q.front());
        q.pop_front();
        to.deliver(f);
        return true;
    }
    void settle()
    {
        while (step(toB, wireB) || step(toA, wireA)) {
        }
    }
    void queue(unsigned n)
    {
        Packet p;
        a->prepare_head(p);
        for (int i = 0; i < 6; ++i)
            p.put(static_cast<uint8_t>(n >> i));
        a->message(p);
    }
};

// One message each round: queued at one end, sent as an I frame when the
// window opens, delivered to the other end, acknowledged by its RR. The
// window stays full and the out queue keeps its depth.
void BM_LapdMessageRound(benchmark::State& state)
{
    unsigned depth = static_cast<unsigned>(state.range(0));
    unsigned n = 0;
    LinkPair pair;
    for (unsigned i = 0; i < depth + ISDN::LAPD::kWindow; ++i)
        pair.queue(n++);
    for (auto _ : state) {
        pair.queue(n++);
        LinkPair::step(pair.toB, pair.wireB); // I frame
        LinkPair::step(pair.toA, pair.wireA); // RR, which opens the window
        pair.ownerB.messages.clear();
    }
    if (pair.a->out_count() != depth || pair.a->ack_count() != ISDN::LAPD::kWindow)
        state.SkipWithError("the queue did not keep its depth");
    state.counters["queued"] = depth;
    state.counters["peak_buffers"] = pair.peak;
}
BENCHMARK(BM_LapdMessageRound)->Arg(1)->Arg(120);

// The network side with n terminals, each on a call of its own, whose
// frames are counted and dropped.
struct Bus : ProtocolsFamily {
    ISDN::LAPD_NT* nt = new ISDN::LAPD_NT;
    unsigned frames = 0;

    explicit Bus(unsigned terminals)
    {
        add_protocol_tail(nt);
        for (unsigned i = 0; i < terminals; ++i) {
            rx({0xFC, 0xFF, 0x03, 0x0F, int(i), 0, 0x01, 0xFF}); // identity request
            int tei = int(64 + i) << 1 | 1;
            rx({0x00, tei, 0x00, 0x00, 0x08, 0x01, int(0x81 + i), 0x07}); // CONNECT
        }
    }
    bool transmit(Packet&) override
    {
        ++frames;
        return true;
    }
    void rx(std::initializer_list<int> octets)
    {
        Packet p = vbtest::make_packet(vbtest::bytes(octets));
        nt->receive(p);
    }
};

// A message from above for the last terminal, and its acknowledgement.
void BM_NtRouteMessage(benchmark::State& state)
{
    unsigned terminals = static_cast<unsigned>(state.range(0));
    Bus bus(terminals);
    int last = int(terminals - 1);
    int tei = (64 + last) << 1 | 1;
    unsigned vs = 0;
    for (auto _ : state) {
        Packet p;
        bus.nt->prepare_head(p);
        for (int b : {0x08, 0x01, 1 + last, 0x7B, 0x00})
            p.put(static_cast<uint8_t>(b));
        bus.nt->message(p);
        vs = (vs + 1) & 127;
        bus.rx({0x02, tei, 0x01, int(vs << 1)}); // RR response
    }
    if (bus.nt->find_Tei(uint8_t(64 + last))->ack_count() != 0)
        state.SkipWithError("messages were not acknowledged");
}
BENCHMARK(BM_NtRouteMessage)->Arg(1)->Arg(8);

// One TEI check: the request and every terminal's response.
void BM_NtCheckCycle(benchmark::State& state)
{
    unsigned terminals = static_cast<unsigned>(state.range(0));
    Bus bus(terminals);
    for (auto _ : state) {
        bus.nt->check_all_Tei();
        for (unsigned i = 0; i < terminals; ++i)
            bus.rx({0xFC, 0xFF, 0x03, 0x0F, int(i), 0, 0x05, int(64 + i) << 1 | 1});
    }
    for (unsigned i = 0; i < terminals; ++i)
        if (!bus.nt->find_Tei(uint8_t(64 + i)) || bus.nt->find_Tei(uint8_t(64 + i))->is_checking())
            state.SkipWithError("a terminal was lost");
}
BENCHMARK(BM_NtCheckCycle)->Arg(8);

// A slot whose channel is open on line channel 16; each round frames and
// queues 120 packages (timed) and then writes them out (not timed).
void BM_HdlcPackagesIoctl(benchmark::State& state)
{
    struct Line : Slot {
        Line() : Slot(Hold::fixed) {}
        int IGetTransmitChannel() override { return 16; }
        const char* GetName() const override { return "line"; }
    } line;
    vbtest::SwitchedBoard board;
    board.sim.board.set_recording(false);
    board.sim.mcc().set_rate(SimBoard::MccController::kUnpaced);
    LGCP::HdlcParams params;
    params.set_trunk(1), params.set_log(0), params.set_address(0x1234);
    HdlcSlot slot(params);
    slot.IHwConnectReceiver(line);
    LGCP::IoctlParams ioctl;
    LGCP::HdlcPackage package;
    package.set_body(std::vector<char>(32, 'x'));
    for (unsigned i = 0; i < HdlcSlot::kQueue; ++i)
        ioctl.get_hdlcPackages().push_back(package);
    for (auto _ : state) {
        slot.Ioctl(ioctl);
        state.PauseTiming();
        slot.on_hdlc_ready();
        if (slot.queued() != 0)
            state.SkipWithError("packages left queued");
        state.ResumeTiming();
    }
    state.counters["ns_per_package"] = benchmark::Counter(
        double(state.iterations()) * HdlcSlot::kQueue, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HdlcPackagesIoctl);

} // namespace

BENCHMARK_MAIN();
