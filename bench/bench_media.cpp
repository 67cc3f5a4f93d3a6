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
#include <sys/wait.h>

#include "media/dsproc_receiver.h"
#include "media/mixer_factory.h"
#include "media/rtcp.h"
#include "media/tonec_receiver.h"
#include "media/voice_factory.h"
#include "media/voice_slots.h"
#include "runtime/paths.h"
#include "server/slots/slots.h"
#include "simboard/board.h"
#include "simboard/dsp.h"
#include "simboard/dtmf.h"
#include "simboard/mcc.h"
#include "simboard/mixer.h"
#include "tests/runtime/loop_support.h"
#include "tests/media/modem_support.h"

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
    uint32_t ts = rig.target().ts;
    burst(state, rig, [&] { dtmf.detect(ts, 5, 1); }, [] { vbtest::one_pass(); });
}
BENCHMARK(BM_ToneEvents)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

void BM_DspEvents(benchmark::State& state)
{
    Rig rig(size_t(state.range(0)));
    auto& dsp = *rig.board.find<SimBoard::DspDevice>(Device::Dsp::kDevice);
    uint32_t ts = rig.target().ts;
    burst(state, rig, [&] { dsp.event(ts, Device::Dsp::kVad, 3, 1, 0); }, [] { vbtest::one_pass(); });
}
BENCHMARK(BM_DspEvents)->Arg(1)->Arg(100)->Arg(1000)->Unit(benchmark::kMicrosecond);

// ------------------------------------------------------------ voice play

const size_t kPrompt = 16 << 20;
const unsigned kCopyBuf = 8192;

// Voice slots of a real factory on the simulated controller, whose
// channels nobody hears: what a player writes is taken off at once.
struct VoiceRig {
    Quiet quiet;
    SimBoard::Board board;
    Device::ScopedDriver installed{board};
    vbtest::TempDir root;
    Paths::ScopedRoot rooted{root.path()};
    Slots::Scoped table;
    VoiceFactory factory;

    VoiceRig()
    {
        board.set_recording(false);
        auto& mcc = *board.find<SimBoard::MccController>(Device::Mcc::kDevice);
        mcc.set_capacity(Device::Mcc::kTransparent, 128);
        mcc.set_rate(SimBoard::MccController::kUnpaced); // the copy's cost, not the line's pace
        for (const char* d : {"usr", "usr/local", "usr/local/voice"})
            ::mkdir(root.file(d).c_str(), 0755);
    }
    std::string prompt(const std::string& name, size_t size)
    {
        std::string path = root.file("usr/local/voice/" + name);
        std::FILE* f = std::fopen(path.c_str(), "wb");
        std::string chunk(1 << 20, '\x55');
        for (size_t done = 0; done < size; done += chunk.size())
            std::fwrite(chunk.data(), 1, std::min(chunk.size(), size - done), f);
        std::fclose(f);
        return path;
    }
    // Runs the loop until every slot has ended its output.
    static void play_out(const std::vector<Slot*>& players)
    {
        vbtest::FnDpc check([&] {
            for (Slot* s : players)
                if (s->IsOutputActive())
                    return;
            multiplexer.terminate();
        });
        check.dpc.Activate();
        multiplexer.run(false, true);
    }
    static void end(Slot* s)
    {
        s->BeforeDestroy();
        delete s;
    }
};

// n players at once, each playing 1/n of the 16 MiB.
void BM_PromptPlay(benchmark::State& state)
{
    VoiceRig rig;
    size_t players = size_t(state.range(0));
    rig.prompt("p", kPrompt / players);
    LGCP::PlayerParams params;
    params.get_file().get_name().push_back(ASN1::IA5String("p"));
    params.get_file().set_repeat(1);
    for (auto _ : state) {
        std::vector<Slot*> slots;
        for (size_t i = 0; i < players; ++i) {
            slots.push_back(rig.factory.CreatePlay(params));
            slots.back()->IOnOutputStream();
        }
        VoiceRig::play_out(slots);
        for (Slot* s : slots)
            VoiceRig::end(s);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPrompt));
}
BENCHMARK(BM_PromptPlay)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);

// The same bytes by a plain loop: file to a socket pair, drained at once.
void BM_PlainFileToSocket(benchmark::State& state)
{
    VoiceRig rig;
    std::string path = rig.prompt("p", kPrompt);
    int sv[2];
    ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
    Fd a(sv[0]), b(sv[1]);
    std::vector<char> buf(kCopyBuf), sink(kCopyBuf);
    for (auto _ : state) {
        Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        for (ssize_t n; (n = ::read(file.get(), buf.data(), buf.size())) > 0;) {
            ::write(a.get(), buf.data(), size_t(n));
            ::recv(b.get(), sink.data(), sink.size(), 0);
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPrompt));
}
BENCHMARK(BM_PlainFileToSocket)->Unit(benchmark::kMillisecond);

// A TCP peer feeds 16 MiB to a network player, written whenever the
// connection takes more.
void BM_NetworkPlay(benchmark::State& state)
{
    VoiceRig rig;
    vbtest::TcpListener peer;
    LGCP::PlayerParams params;
    params.get_network().get_host().set_iaddr("127.0.0.1");
    params.get_network().get_host().set_port(peer.port);
    params.get_network().set_id(1);
    std::vector<char> chunk(64 * 1024, '\x55');
    for (auto _ : state) {
        Slot* player = rig.factory.CreatePlay(params);
        player->IOnOutputStream();
        Fd conn = peer.accept();
        NonBlockMode(conn.get());
        size_t sent = 0;
        vbtest::FnEvent feed;
        feed.fn = [&](int fd, short revents) {
            if (!(revents & POLLOUT))
                return;
            ssize_t n = ::send(fd, chunk.data(), std::min(chunk.size(), kPrompt - sent), MSG_NOSIGNAL);
            sent += n > 0 ? size_t(n) : 0;
            if (sent == kPrompt) {
                feed.ev.Release();
                conn.close();
            }
        };
        feed.watch(conn, POLLOUT);
        VoiceRig::play_out({player});
        VoiceRig::end(player);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPrompt));
}
BENCHMARK(BM_NetworkPlay)->Unit(benchmark::kMillisecond);

// The same bytes by a plain loop: TCP in, a socket pair out, same buffer.
void BM_PlainTcpToSocket(benchmark::State& state)
{
    vbtest::TcpListener peer;
    Fd in = peer.connect(), out = peer.accept();
    int sv[2];
    ::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv);
    Fd a(sv[0]), b(sv[1]);
    std::vector<char> chunk(64 * 1024, '\x55'), buf(ASync::Copy::kDefaultBufSize), sink(buf.size());
    for (auto _ : state) {
        for (size_t moved = 0; moved < kPrompt;) {
            ::send(in.get(), chunk.data(), chunk.size(), 0);
            for (size_t got = 0; got < chunk.size();) {
                ssize_t n = ::recv(out.get(), buf.data(), buf.size(), 0);
                ::write(a.get(), buf.data(), size_t(n));
                ::recv(b.get(), sink.data(), sink.size(), 0);
                got += size_t(n);
            }
            moved += chunk.size();
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kPrompt));
}
BENCHMARK(BM_PlainTcpToSocket)->Unit(benchmark::kMillisecond);

// ----------------------------------------------------------- mixer scan

struct MixerRig {
    Quiet quiet;
    SimBoard::Board board;
    Device::ScopedDriver installed{board};

    MixerRig()
    {
        board.set_recording(false);
        auto& mixer = *board.find<SimBoard::MixerDevice>(Device::Mixer::kDevice);
        for (int u = 0; u < 100; ++u)
            mixer.add_unit(u, 32, 8);
    }
};

// range 0: the first scan (every unit new, so reset); 1: a repeated one.
void BM_MixerScan(benchmark::State& state)
{
    MixerRig rig;
    Mixer::MixerFactory kept;
    kept.RefreshResources();
    for (auto _ : state) {
        if (state.range(0) == 0) {
            Mixer::MixerFactory fresh;
            fresh.RefreshResources();
        } else {
            kept.RefreshResources();
        }
    }
    if (kept.mixers().size() != 100)
        state.SkipWithError("units lost");
}
BENCHMARK(BM_MixerScan)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// 100 bare requests, each on its own open of the device.
void BM_MixerRequests100(benchmark::State& state)
{
    MixerRig rig;
    for (auto _ : state)
        for (int u = 0; u < 100; ++u) {
            Device::Mixer::mix_slot s{u, Device::Mixer::kTdm, 0};
            benchmark::DoNotOptimize(Mixer::mixer_ctl(Device::Mixer::MIX_TDM, &s));
        }
}
BENCHMARK(BM_MixerRequests100)->Unit(benchmark::kMicrosecond);

} // namespace

// ---------------------------------------------------------------- modems

namespace {

// One modem call per iteration: create, first stream (pppd exits at
// once), the child's end reported, destroy; beside it the bare fork, exec
// and wait of the same program.
void BM_ModemCallCycle(benchmark::State& state)
{
    vbtest::ModemWorld w;
    // As in the program: the board keeps no request log.
    w.sim.board.set_recording(false);
    w.standin.behave("PPPD", "exit=0");
    w.create(1);
    for (auto _ : state) {
        w.command(vbtest::ModemWorld::create_modem(), 2);
        w.command(vbtest::simple(LGCP::Command::e_connect, 1), 2);
        w.await_controller();
        w.destroy(2);
        w.log.clear();
        w.err.clear();
    }
}
BENCHMARK(BM_ModemCallCycle)->Unit(benchmark::kMillisecond);

void BM_ForkExecWait(benchmark::State& state)
{
    vbtest::ModemWorld w; // the same process state: child reaping on
    w.standin.behave("PPPD", "exit=0");
    std::string path = w.root.path() + "/usr/local/sbin/pppd";
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    for (auto _ : state) {
        sigprocmask(SIG_BLOCK, &chld, &old);
        pid_t pid = ::fork();
        if (pid == 0) {
            char* argv[] = {const_cast<char*>("/usr/local/sbin/pppd"), nullptr};
            ::execv(path.c_str(), argv);
            ::_exit(2);
        }
        ::waitpid(pid, nullptr, 0);
        sigprocmask(SIG_SETMASK, &old, nullptr);
    }
}
BENCHMARK(BM_ForkExecWait)->Unit(benchmark::kMillisecond);

void BM_T38CreateDestroy(benchmark::State& state)
{
    vbtest::ModemWorld w;
    w.sim.board.set_recording(false);
    LGCP::Command c;
    c.get_create().get_t38soft().get_dhost().set_iaddr("127.0.0.1");
    c.get_create().get_t38soft().set_rx_packet_size(160);
    for (auto _ : state) {
        w.command(c, 2);
        w.destroy(2);
        w.log.clear();
    }
}
BENCHMARK(BM_T38CreateDestroy)->Unit(benchmark::kMillisecond);

// 10,000 voauth records written on one helper connection, in batches of
// 100, until the controller has every signal.
void BM_VoauthRecords(benchmark::State& state)
{
    vbtest::ModemWorld w;
    w.sim.board.interfaces()->remove("hdlc0");
    w.sim.board.interfaces()->remove("hdlc1");
    w.modems.IQuery();
    w.command(vbtest::ModemWorld::create_modem(), 2);
    w.stream(2);
    w.controller();
    std::string record = attr::make(Auth::voauth, 0, {});
    record.resize(Auth::kVoauthSize, 'a');
    record[3] = char(Auth::kVoauthSize);
    const size_t kRecords = 10000;
    std::string all;
    for (size_t i = 0; i < kRecords; ++i)
        all += record;
    Fd helper(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::connect(helper.get(), w.modems.auth_address().sa(), INet4::Addr::size());
    NonBlockMode(helper.get());
    for (auto _ : state) {
        size_t sent = 0, frames = 0;
        std::string pending;
        vbtest::run_real([&] {
            // Batches of 100: the controller link's queue takes no more at once.
            if (sent < all.size() && sent / record.size() < frames + 100) {
                ssize_t n = ::send(helper.get(), all.data() + sent, 100 * record.size(), MSG_NOSIGNAL);
                sent += n > 0 ? size_t(n) : 0;
            }
            // Frames are counted by their TPKT length, not decoded.
            pending += vbtest::drain(w.link->pair.b);
            size_t at = 0;
            while (at + 4 <= pending.size()) {
                size_t len = uint8_t(pending[at + 2]) << 8 | uint8_t(pending[at + 3]);
                if (at + len > pending.size())
                    break;
                at += len;
                ++frames;
            }
            pending.erase(0, at);
            return frames >= kRecords;
        }, 60000);
        w.log.clear();
        w.err.clear();
    }
    state.counters["records/s"] = benchmark::Counter(double(kRecords), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_VoauthRecords)->Unit(benchmark::kMillisecond)->UseRealTime();

// A query answered once the engine has told its count.
void BM_T38InstanceCount(benchmark::State& state)
{
    vbtest::ModemWorld w;
    w.standin.behave("T38", "instances=8");
    for (auto _ : state)
        benchmark::DoNotOptimize(w.query());
}
BENCHMARK(BM_T38InstanceCount)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
