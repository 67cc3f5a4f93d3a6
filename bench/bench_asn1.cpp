// Aligned PER encode and decode of small message shapes: time per operation
// and heap allocations per decode (the target value is built fresh each time,
// as a received frame's is).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "tests/asn1/sample_types.h"

namespace {

std::size_t allocations = 0;

} // namespace

// Out of line, so the compiler does not pair an inlined malloc with the
// operator delete of a caller.
__attribute__((noinline)) void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

// seq, slot and a command CHOICE carrying a constrained INTEGER.
Sample::Message& small_message()
{
    static Sample::Message msg;
    static bool made = false;
    if (!made) {
        msg.set_seq(1234);
        msg.set_slot(17);
        Sample::Command& command = msg.get_pdu().select_command();
        command.select(Sample::Command::e_connect);
        Sample::selection_as<Sample::SlotNumber>(command) = 900u;
        made = true;
    }
    return msg;
}

Sample::IntegerList& list_of_32()
{
    static Sample::IntegerList list(&Sample::integerListInfo);
    if (list.empty()) {
        for (int i = 0; i < 32; ++i)
            list.push_back(ASN1::INTEGER(i * 977 - 10000));
    }
    return list;
}

ASN1::OCTET_STRING& octets_1k()
{
    static ASN1::OCTET_STRING octets(1024, '\x5A');
    return octets;
}

void encode(benchmark::State& state, ASN1::AbstractData const& value)
{
    ASN1::CoderEnv env;
    std::vector<char> out;
    out.reserve(2048);
    for (auto _ : state) {
        out.clear();
        bool ok = ASN1::encode(value, &env, std::back_inserter(out));
        benchmark::DoNotOptimize(ok);
    }
    state.counters["octets"] = double(out.size());
}

void decode(benchmark::State& state, ASN1::AbstractData const& value)
{
    ASN1::CoderEnv env;
    std::vector<char> in;
    ASN1::encode(value, &env, std::back_inserter(in));
    std::size_t before = allocations;
    for (auto _ : state) {
        std::unique_ptr<ASN1::AbstractData> target(ASN1::create_from(value.info()));
        bool ok = ASN1::decode(in.data(), in.data() + in.size(), &env, *target, true);
        if (!ok)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(target.get());
    }
    state.counters["allocs/decode"] =
        benchmark::Counter(double(allocations - before), benchmark::Counter::kAvgIterations);
}

void BM_EncodeMessage(benchmark::State& state) { encode(state, small_message()); }
void BM_DecodeMessage(benchmark::State& state) { decode(state, small_message()); }
void BM_EncodeSequenceOf32(benchmark::State& state) { encode(state, list_of_32()); }
void BM_DecodeSequenceOf32(benchmark::State& state) { decode(state, list_of_32()); }
void BM_EncodeOctetString1k(benchmark::State& state) { encode(state, octets_1k()); }
void BM_DecodeOctetString1k(benchmark::State& state) { decode(state, octets_1k()); }

} // namespace

BENCHMARK(BM_EncodeMessage);
BENCHMARK(BM_DecodeMessage);
BENCHMARK(BM_EncodeSequenceOf32);
BENCHMARK(BM_DecodeSequenceOf32);
BENCHMARK(BM_EncodeOctetString1k);
BENCHMARK(BM_DecodeOctetString1k);

BENCHMARK_MAIN();
