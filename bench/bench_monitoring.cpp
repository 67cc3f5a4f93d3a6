// The monitoring feed: one item queued for the agents, a full resend of a
// loaded board to two agents over loopback TCP (items built, batched,
// PER-encoded and sent), the parse of one framer status reading, and a
// sample's look at the status files it wrote.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include "monitoring/monitoring_ctl.h"
#include "runtime/paths.h"
#include "tests/monitoring/monitoring_support.h"
#include "tests/runtime/loop_support.h"

namespace {

void BM_QueueOneItem(benchmark::State& state)
{
    SnmpAgentCtrl ctrl;
    std::string value = "2";
    unsigned n = 0;
    for (auto _ : state) {
        ctrl.Send(SnmpAgentCtrl::powerStatus, value);
        // The pending lists are emptied as the loop's next pass would.
        if (++n % 256 == 0)
            ctrl.OnDpcSend();
    }
}
BENCHMARK(BM_QueueOneItem);

// 4 framers, 16 interfaces, 32 extension boards and 32 em-phones.
void load(vbtest::BoardTree& tree, vbtest::FakeProbe& probe)
{
    for (int n = 0; n < 4; ++n)
        tree.write("/proc/driver/hdlc/peb22554/" + std::to_string(n), "");
    for (int i = 0; i < 16; ++i)
        probe.names[i] = "eth" + std::to_string(i);
}

void fill(MonitoringCtl& mon)
{
    for (int i = 0; i < 32; ++i) {
        LGCP::BoardInfo board;
        LGCP::BoardStatusParams& b = board.get_boardStatus();
        b.set_position(i);
        b.set_version({'2', '.', '1', '.', '7'});
        b.set_status(LGCP::ExtBoardStatus::ready);
        b.set_type(LGCP::ExtBoardType::fxs);
        mon.holder().setBoardStatus(board);
        LGCP::EmPhoneInfo phone;
        LGCP::EmPhoneStatusParams& p = phone.get_phoneStatus();
        p.set_id(i);
        p.set_panelSV({'1', '.', '4'});
        p.set_ctrlSV({'3', '.', '0'});
        p.set_fpgaSV({'0', '.', '9'});
        mon.holder().setEmPhoneInfo(phone);
    }
}

// The items that arrive until the link has been quiet for 3 ms.
size_t drain(vbtest::FakeAgent& agent)
{
    size_t items = 0;
    for (int quiet = 0; quiet < 3;) {
        auto got = agent.take();
        for (const auto& m : got)
            items += m.items.size();
        quiet = got.empty() ? quiet + 1 : 0;
        if (got.empty())
            ::usleep(1000);
    }
    return items;
}

void BM_FullResendToTwoAgents(benchmark::State& state)
{
    vbtest::CaptureStream quiet{std::clog}, quietOut{std::cout}, quietErr{std::cerr};
    vbtest::BoardTree tree;
    vbtest::FakeProbe probe;
    NetIf::ScopedProbe useProbe{probe};
    load(tree, probe);
    vbtest::FakeAgent tolv, vd;
    MonitoringCtl mon;
    IniFile::File file;
    vbtest::ini_from(file, "[snmpagent]\nhost=" + tolv.host() + "\nname=tolv\n[snmpagent]\nhost=" + vd.host() +
                               "\nname=lemzgw.vd\n");
    mon.Configure(file);
    fill(mon);
    vbtest::run_until([&] {
        bool up = (tolv.linked() || tolv.accept()) && (vd.linked() || vd.accept());
        for (auto& i : mon.agents().instances())
            up = up && i->connected();
        return up;
    });
    if (!tolv.linked() || !vd.linked()) {
        state.SkipWithError("the agents did not link");
        return;
    }
    size_t items = 0;
    for (auto _ : state) {
        mon.OnDpcSend();
        mon.agents().OnDpcSend();
        state.PauseTiming();
        items += drain(tolv) + drain(vd);
        state.ResumeTiming();
    }
    state.counters["items/resend"] = double(items) / double(state.iterations());
}
BENCHMARK(BM_FullResendToTwoAgents)->Unit(benchmark::kMicrosecond);

void BM_FramerParse1KiB(benchmark::State& state)
{
    std::string text = "Framer 0 (PEB22554)\n"
                       "Current state           : Synchronized\n"
                       "Loss of Signal          : no\n"
                       "Loss of Frame Alignment : no\n"
                       "Receive Slip Negative   : 12\n"
                       "Receive Slip Positive   : 3\n";
    while (text.size() < 1024)
        text += "Counter                 : 0000000000\n";
    text.resize(1024);
    std::vector<unsigned char> reading(text.begin(), text.end());
    FramerDataHolder framer(1, "/proc/driver/hdlc/peb22554/0");
    for (auto _ : state)
        benchmark::DoNotOptimize(framer.setFramerStatus(reading));
}
BENCHMARK(BM_FramerParse1KiB);

// A sample's look at the status files it wrote, with none gone: 150
// extension boards' files in the top folder and 150 snmp-set values in 15
// folders of their own, against a plain lstat() of the same 300 files.
std::vector<std::string> statusFiles(MonitoringDataHolder& store)
{
    std::vector<std::string> paths;
    for (int i = 0; i < 150; ++i) {
        LGCP::BoardInfo board;
        board.get_boardStatus().set_position(i);
        store.setBoardStatus(board);
        paths.push_back(Paths::resolve("/var/monitoring/board" + std::to_string(i)));
        std::string section = "s" + std::to_string(i % 15);
        store.setSnmpCommands(
            vbtest::set_commands({vbtest::set_command(i, section, "v" + std::to_string(i), 1, "x")}));
        paths.push_back(Paths::resolve("/var/monitoring/" + section + "/1/v" + std::to_string(i)));
    }
    return paths;
}

void BM_SampleLooksFor300Files(benchmark::State& state)
{
    vbtest::BoardTree tree;
    MonitoringDataHolder store;
    statusFiles(store);
    for (auto _ : state)
        store.RewriteOwedFiles();
    state.counters["owed"] = double(store.owedFiles());
}
BENCHMARK(BM_SampleLooksFor300Files)->Unit(benchmark::kMicrosecond);

void BM_Lstat300Files(benchmark::State& state)
{
    vbtest::BoardTree tree;
    MonitoringDataHolder store;
    std::vector<std::string> paths = statusFiles(store);
    for (auto _ : state) {
        for (const std::string& path : paths) {
            struct stat st;
            benchmark::DoNotOptimize(::lstat(path.c_str(), &st));
        }
    }
}
BENCHMARK(BM_Lstat300Files)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
