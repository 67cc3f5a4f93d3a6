// The slot table through the control server on the simulated board: 1024
// creates, connects and destroys as the controller sends them (decode,
// dispatch, switch requests, answers and stream signals encoded), and the
// teardown of 1024 slots when the controller goes.
#include <benchmark/benchmark.h>

#include <sys/ioctl.h>
#include <unistd.h>

#include "tests/server/slots/slot_support.h"

namespace {

// A TDM endpoint that announces its streams, as the trunk slots do.
class BenchSlot : public Slot {
public:
    BenchSlot(int tx, int rx, bool late, Hold hold = Hold::fixed) : Slot(hold), mTx(tx), mRx(rx), mLate(late) {}
    const char* GetName() const override { return "bench"; }
    int IGetTransmitChannel() override { return mTx; }
    int IGetReceiveChannel() override { return mRx; }
    bool IOnOutputStream() override { return true; }
    bool IOnInputStream() override { return true; }
    void IAfterCreate() override
    {
        OnChangeOutputStream(true);
        OnChangeInputStream(true);
    }
    bool IBeforeDestroy() override { return !mLate; }

private:
    int mTx, mRx;
    bool mLate;
};

// One whose channel a driver handed out: its creation claims the channel.
class HandedSlot : public BenchSlot {
public:
    HandedSlot(int tx, int rx) : BenchSlot(tx, rx, false, Hold::owner) { HoldChannel(tx, Fd()); }
};

// Makes a BenchSlot from `ext`; every lateth one releases later (0: none).
class BenchFactory : public SlotFactory {
public:
    const char* GetName() const override { return "bench"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override
    {
        const LGCP::ExtParams& ext = params.get_ext();
        if (handed)
            return new HandedSlot(ext.get_transmitter().getValue(), ext.get_receiver().getValue());
        bool late = every_late && ++made % every_late == 0;
        return new BenchSlot(ext.get_transmitter().getValue(), ext.get_receiver().getValue(), late);
    }
    void Query(LGCP::Resources&) override {}

    unsigned every_late = 0;
    unsigned made = 0;
    bool handed = false;
};

std::string frame(const LGCP::Command& cmd, int slot, int seq)
{
    LGCP::PDU pdu;
    pdu.set_command(cmd);
    return vbtest::lgcp(pdu, seq, slot);
}

struct Controller {
    vbtest::SlotWorld world;
    BenchFactory factory;
    std::vector<std::string> creates, connects, destroys;

    // Slot n transmits on local channel n and receives on bus channel 8192 + n.
    Controller()
    {
        for (int n = 0; n < int(Slots::size); ++n) {
            creates.push_back(frame(vbtest::create_ext(n, 8192 + n), n, n));
            connects.push_back(frame(vbtest::simple(LGCP::Command::e_connect, unsigned(n + 1) % Slots::size), n, n));
            destroys.push_back(frame(vbtest::simple(LGCP::Command::e_destroy), n, n));
        }
    }
    void feed(const std::vector<std::string>& frames)
    {
        for (const std::string& f : frames) {
            world.server.OnMessage(f.data(), int(f.size()));
            vbtest::drain(world.link->pair.b);
        }
        world.log.clear();
    }
};

void BM_CreateConnectDestroy1024(benchmark::State& state)
{
    Controller c;
    for (auto _ : state) {
        c.feed(c.creates);
        c.feed(c.connects);
        c.feed(c.destroys);
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * 3 * Slots::size);
    state.counters["commands/s"] = benchmark::Counter(double(state.iterations()) * 3 * Slots::size,
                                                      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_CreateConnectDestroy1024)->Unit(benchmark::kMillisecond);

// A create and a destroy of a slot whose channel was handed out, beside
// that many live ones: the claim looks up one channel, whatever their number.
void BM_HandedCreateDestroyBeside(benchmark::State& state)
{
    Controller c;
    c.factory.handed = true;
    const size_t live = size_t(state.range(0));
    c.feed(std::vector<std::string>(c.creates.begin(), c.creates.begin() + long(live)));
    const std::vector<std::string> create{c.creates.back()}, destroy{c.destroys.back()};
    for (auto _ : state) {
        c.feed(create);
        c.feed(destroy);
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_HandedCreateDestroyBeside)->Arg(0)->Arg(1000);

// The claim alone: one channel entered and left beside that many held ones.
void BM_ClaimBeside(benchmark::State& state)
{
    std::vector<HandedChannel> held(size_t(state.range(0)));
    HandedChannelIndex& index = HandedChannelIndex::instance();
    for (size_t i = 0; i < held.size(); ++i)
        index.Claim(int(i), held[i]);
    HandedChannel fresh;
    for (auto _ : state) {
        index.Claim(5000, fresh);
        index.Leave(5000, fresh);
    }
    for (size_t i = 0; i < held.size(); ++i)
        index.Leave(int(i), held[i]);
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_ClaimBeside)->Arg(0)->Arg(1000);

// One slot in four releases later: those wait out the pause, which runs in
// virtual time and so is not measured.
void BM_ControllerLoss1024(benchmark::State& state)
{
    Controller c;
    c.factory.every_late = state.range(0);
    for (auto _ : state) {
        state.PauseTiming();
        c.feed(c.creates);
        c.feed(c.connects);
        state.ResumeTiming();
        c.world.slots().OnDisconnect();
        state.PauseTiming();
        vbtest::drain(c.world.link->pair.b);
        c.world.log.clear();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * Slots::size);
}
BENCHMARK(BM_ControllerLoss1024)->Arg(0)->Arg(4)->Unit(benchmark::kMillisecond);

} // namespace

// One pass of the switch's idle refresh (128 channels) on the simulated
// board, and what one refused ioctl system call costs on this machine: a
// board driver pays about that for each of the pass's requests.
void BM_HwMuxRefreshPass(benchmark::State& state)
{
    SimBoard::Board board;
    Device::ScopedDriver installed(board);
    board.set_recording(false);
    HwMux mux;
    if (!mux.IsOpened())
        state.SkipWithError("no switch");
    for (auto _ : state)
        mux.OnDPC();
    state.counters["s_per_request"] =
        benchmark::Counter(128 * double(state.iterations()), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_HwMuxRefreshPass);

void BM_RefusedIoctlSystemCall(benchmark::State& state)
{
    int p[2];
    if (::pipe(p) != 0)
        state.SkipWithError("no pipe");
    uint32_t record[2] = {8192, 0};
    for (auto _ : state)
        benchmark::DoNotOptimize(::ioctl(p[0], 0x80084d02UL, record));
    ::close(p[0]);
    ::close(p[1]);
}
BENCHMARK(BM_RefusedIoctlSystemCall);

BENCHMARK_MAIN();
