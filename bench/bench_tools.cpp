// Cost of the library utilities: building a trap, filling a statistics
// page, and a TPKT listener taking frames over loopback next to a bare loop
// that makes the same two recv calls per frame.
#include <benchmark/benchmark.h>

#include <sys/socket.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "monitoring/snmp_trap.h"
#include "tests/runtime/loop_support.h"
#include "tools/stat_html.h"
#include "tools/tpkt_tracer.h"

namespace {

using namespace SnmpTrap;

void BM_Trap10Bindings(benchmark::State& state)
{
    const uint32_t oid[] = {1, 3, 6, 1, 4, 1, 99999, 1, 1, 0};
    const uint32_t number = 0xFFFFFFFF;
    TrapSession session;
    for (auto _ : state) {
        trap_init(&session, nullptr);
        trap_pack_begin(&session);
        for (int i = 0; i < 10; ++i) {
            if (i % 3 == 0)
                trap_pack_add(&session, oid, 10, ASN_OCTET_STR, "voxbridge gateway", 17);
            else if (i % 3 == 1)
                trap_pack_add(&session, oid, 10, ASN_OBJECT_ID, oid, sizeof(oid));
            else
                trap_pack_add(&session, oid, 10, ASN_COUNTER, &number, 4);
        }
        trap_pack_end(&session);
        benchmark::DoNotOptimize(session.length);
    }
}
BENCHMARK(BM_Trap10Bindings);

class Row : public Stat::Object {
public:
    explicit Row(int n) : mName("slot " + std::to_string(n)), mValue(std::to_string(n * 1000)) {}
    Stat::Value statistics_value(const std::string& name) const override
    {
        if (name == "name")
            return Stat::Value(mName);
        if (name == "value")
            return Stat::Value(mValue);
        return Stat::Value();
    }
    Stat::Object* statistics_object(const std::string&) const override { return nullptr; }
    std::unique_ptr<Stat::IteratorBase> statistics_iterator(const std::string&) const override { return nullptr; }

private:
    std::string mName, mValue;
};

class Page : public Stat::Object {
public:
    Page()
    {
        for (int i = 0; i < 100; ++i)
            rows.emplace_back(i);
    }
    struct Iterator : Stat::IteratorBase {
        const std::vector<Row>& rows;
        size_t at = 0;
        explicit Iterator(const std::vector<Row>& r) : rows(r) {}
        bool valid() const override { return at < rows.size(); }
        bool next() override { return ++at < rows.size(); }
        Stat::Object& current() override { return const_cast<Row&>(rows[at]); }
    };
    Stat::Value statistics_value(const std::string& name) const override
    {
        return name == "title" ? Stat::Value("Gateway statistics") : Stat::Value();
    }
    Stat::Object* statistics_object(const std::string&) const override { return nullptr; }
    std::unique_ptr<Stat::IteratorBase> statistics_iterator(const std::string& name) const override
    {
        if (name != "rows")
            return nullptr;
        return std::unique_ptr<Stat::IteratorBase>(new Iterator(rows));
    }
    std::vector<Row> rows;
};

// About 10 KiB: a page of plain markup around a table of the collection.
std::string page_template()
{
    std::string t = "<html><head><title>%title%</title></head><body>\n";
    while (t.size() < 10 * 1024 - 150)
        t += "<p class=\"note\">Counters are sampled every second; 100%% means the limit.</p>\n";
    t += "<table><!--GEN.rows--><tr><td>%name%</td><td>%value%</td><td>%title%</td></tr>\n<!--GEN.end--></table>\n";
    t += "</body></html>\n";
    return t;
}

void BM_HtmlGenerate(benchmark::State& state)
{
    Page page;
    const std::string text = page_template();
    size_t bytes = 0;
    for (auto _ : state) {
        std::istringstream in(text);
        std::ostringstream out;
        Stat::Html::generateV1(page, out, in);
        bytes += out.str().size();
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    state.counters["template_bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_HtmlGenerate);

const int kFrames = 100000;
const unsigned kPayload = 100;

// Writes kFrames frames from its own thread, as fast as the socket takes them.
void write_frames(int fd)
{
    std::string frame = std::string{'\x03', '\x00', 0, static_cast<char>(kPayload + 4)} + std::string(kPayload, 'p');
    std::string batch;
    for (int i = 0; i < 64; ++i)
        batch += frame;
    for (int sent = 0; sent < kFrames; sent += 64) {
        size_t count = static_cast<size_t>(std::min(64, kFrames - sent)) * frame.size();
        for (size_t off = 0; off < count;) {
            ssize_t n = ::send(fd, batch.data() + off, count - off, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            off += static_cast<size_t>(n);
        }
    }
}

struct Counter : TPKTTracer::Receiver {
    int frames = 0;
    void OnFrame(const void*, unsigned) override
    {
        if (++frames == kFrames)
            multiplexer.terminate();
    }
};

void BM_TracerFrames(benchmark::State& state)
{
    std::clog.setstate(std::ios::badbit); // no log line per connection
    for (auto _ : state) {
        TPKTTracer tracer;
        Counter counter;
        tracer.receiver = &counter;
        vbtest::TcpListener target(-1);
        target.fd.reset(); // its port, probed free, for the tracer
        while (!tracer.Listen(static_cast<unsigned short>(target.port)))
            target = vbtest::TcpListener(-1), target.fd.reset();
        Fd peer = target.connect();
        vbtest::run_until([&] { return !tracer.connections().empty(); });
        std::thread writer(write_frames, peer.get());
        multiplexer.run(false, true);
        writer.join();
        if (counter.frames != kFrames)
            state.SkipWithError("frames lost");
    }
    std::clog.clear();
    state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_TracerFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

// False when nothing waits; a piece cut by the writer is waited for.
bool read_whole(int fd, uint8_t* into, size_t size)
{
    size_t got = 0;
    while (got < size) {
        ssize_t n = ::recv(fd, into + got, size - got, MSG_NOSIGNAL);
        if (n > 0)
            got += static_cast<size_t>(n);
        else if (got == 0)
            return false;
    }
    return true;
}

// The same work with nothing but the loop: header and payload reads.
void BM_BareLoopFrames(benchmark::State& state)
{
    for (auto _ : state) {
        vbtest::TcpListener listener;
        Fd client = listener.connect();
        Fd served = listener.accept();
        served.NonBlock();
        int frames = 0;
        vbtest::FnEvent ev;
        ev.fn = [&](int fd, short revents) {
            if (!(revents & POLLIN))
                return;
            uint8_t buf[kPayload + 4];
            while (read_whole(fd, buf, 4) && read_whole(fd, buf + 4, kPayload)) {
                if (++frames == kFrames)
                    multiplexer.terminate();
            }
        };
        ev.watch(served);
        std::thread writer(write_frames, client.get());
        multiplexer.run(false, true);
        writer.join();
    }
    state.SetItemsProcessed(state.iterations() * kFrames);
}
BENCHMARK(BM_BareLoopFrames)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
