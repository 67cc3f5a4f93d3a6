// Cost of the data path: packet buffers, TPKT reassembly, and a TCP echo
// through the stream and TPKT layers beside the same echo with plain
// blocking read/write.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/multiplexer.h"
#include "runtime/packet.h"
#include "runtime/strm_protocol.h"
#include "runtime/tpkt_protocol.h"
#include "tests/runtime/stack_support.h"

namespace {

void BM_PacketReserveRelease(benchmark::State& state)
{
    for (auto _ : state) {
        Packet p;
        p.reserve_head(4);
        benchmark::DoNotOptimize(p.get());
    }
}
BENCHMARK(BM_PacketReserveRelease);

void BM_CopyOnWrite1K(benchmark::State& state)
{
    Packet original;
    original.reserve_head(4);
    for (int i = 0; i < 1024; ++i)
        original.put(static_cast<uint8_t>(i));
    for (auto _ : state) {
        Packet copy = original;
        copy.put(0); // takes a buffer of its own and copies the 1 KiB
        benchmark::DoNotOptimize(copy.get());
    }
    state.SetBytesProcessed(state.iterations() * 1024);
}
BENCHMARK(BM_CopyOnWrite1K);

// Counts the payloads that reach the top of a stack.
class Sink : public ProtocolsFamily {
public:
    void on_message(Packet& p) override
    {
        ++frames;
        bytes += static_cast<uint64_t>(p.length());
    }
    uint64_t frames = 0;
    uint64_t bytes = 0;
};

std::string tpkt_frame(size_t payload)
{
    std::string f(payload + 4, 'p');
    f[0] = 3;
    f[1] = 0;
    f[2] = static_cast<char>((payload + 4) >> 8);
    f[3] = static_cast<char>((payload + 4) & 0xFF);
    return f;
}

// One 64 KiB chunk holding K frames, cut by the TPKT layer.
void BM_TpktReceive(benchmark::State& state)
{
    const size_t k = static_cast<size_t>(state.range(0));
    const size_t payload = std::min<size_t>(65536 / k - 4, Tpkt_protocol::max_payload);
    std::string stream;
    for (size_t i = 0; i < k; ++i)
        stream += tpkt_frame(payload);
    Packet chunk;
    chunk.reserve_head(0);
    std::memcpy(chunk->tail, stream.data(), stream.size());
    chunk->tail += stream.size();

    Sink sink;
    sink.add_protocol_tail(new Tpkt_protocol);
    for (auto _ : state)
        sink.receive(chunk);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(sink.frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TpktReceive)->Arg(1)->Arg(16)->Arg(1000);

// The echo of one payload at a time: the client sends a frame, the server
// stack sends it back, the client's answer callback sends the next one.
// Both ends are stacks of a stream and a TPKT layer in the one loop.
class EchoEnd : public Sink {
public:
    bool echo = false; // the server end: answers every payload
    uint64_t limit = 0;
    size_t payload = 0;

    void on_message(Packet& p) override
    {
        Sink::on_message(p);
        if (echo) {
            Packet answer;
            prepare_head(answer);
            answer.put(p);
            message(answer);
        } else if (frames >= limit) {
            multiplexer.terminate();
        } else {
            send();
        }
    }
    void send()
    {
        Packet p;
        prepare_head(p);
        std::memset(p->tail, 'e', payload);
        p->tail += payload;
        message(p);
    }
};

const int kBatch = 2000;

void BM_EchoStack(benchmark::State& state)
{
    const size_t payload = static_cast<size_t>(state.range(0));
    vbtest::SocketPair pair = vbtest::tcp_pair();
    EchoEnd client, server;
    server.echo = true;
    client.add_protocol_tail(new StrmProtocol(pair.a));
    client.add_protocol_tail(new Tpkt_protocol);
    server.add_protocol_tail(new StrmProtocol(pair.b));
    server.add_protocol_tail(new Tpkt_protocol);
    client.activate();
    server.activate();
    client.payload = payload;
    // Each batch ends the loop, which says so on the log stream.
    std::ostringstream quiet;
    std::streambuf* log = std::clog.rdbuf(quiet.rdbuf());
    for (auto _ : state) {
        client.limit = client.frames + kBatch;
        client.send();
        multiplexer.run(false, true);
        quiet.str(std::string());
    }
    std::clog.rdbuf(log);
    client.deactivate();
    server.deactivate();
    state.SetBytesProcessed(static_cast<int64_t>(client.bytes));
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(client.frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EchoStack)->Arg(16)->Arg(256)->Arg(8192)->UseRealTime();

bool read_full(int fd, char* buf, size_t n)
{
    while (n > 0) {
        ssize_t r = ::read(fd, buf, n);
        if (r <= 0)
            return false;
        buf += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

// Reads one TPKT frame: the header, then the rest its length gives.
bool read_frame(int fd, char* buf)
{
    if (!read_full(fd, buf, 4))
        return false;
    size_t len = (static_cast<unsigned char>(buf[2]) << 8 | static_cast<unsigned char>(buf[3])) - 4;
    return read_full(fd, buf + 4, len);
}

// The same echo on the same kind of socket pair with blocking read and
// write and nothing in between: the machine's limit.
void BM_EchoPlain(benchmark::State& state)
{
    const size_t payload = static_cast<size_t>(state.range(0));
    vbtest::SocketPair pair = vbtest::tcp_pair();
    const std::string out = tpkt_frame(payload);
    std::vector<char> buf(65536);
    uint64_t frames = 0;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            if (::write(pair.a.get(), out.data(), out.size()) != static_cast<ssize_t>(out.size()) ||
                !read_frame(pair.b.get(), buf.data()) ||
                ::write(pair.b.get(), buf.data(), out.size()) != static_cast<ssize_t>(out.size()) ||
                !read_frame(pair.a.get(), buf.data())) {
                state.SkipWithError("echo failed");
                return;
            }
            ++frames;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(frames * payload));
    state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_EchoPlain)->Arg(16)->Arg(256)->Arg(8192)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
