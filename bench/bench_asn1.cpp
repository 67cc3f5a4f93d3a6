// Aligned PER encode and decode of small message shapes: time per operation
// and heap allocations per decode (the target value is built fresh each time,
// as a received frame's is).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <vector>

#include "bench/alloc_count.h"
#include "server/schema/LGCP.h"
#include "tests/asn1/sample_types.h"

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
    std::size_t before = bench_allocations;
    for (auto _ : state) {
        std::unique_ptr<ASN1::AbstractData> target(ASN1::create_from(value.info()));
        bool ok = ASN1::decode(in.data(), in.data() + in.size(), &env, *target, true);
        if (!ok)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(target.get());
    }
    state.counters["allocs/decode"] =
        benchmark::Counter(double(bench_allocations - before), benchmark::Counter::kAvgIterations);
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

// The control protocol's own messages (generated classes).
namespace {

LGCP::Message& ping_message()
{
    static LGCP::Message msg;
    if (!msg.has_seq()) {
        msg.set_seq(4711);
        msg.get_pdu().get_command().set_ping();
    }
    return msg;
}

void fill_radio_flags(TERM::RadioFlags& flags)
{
    flags.set_prio(3);
    flags.set_ptt(true);
    flags.set_vad_rx(true);
    flags.set_selcall(2);
    flags.set_li(300);
}

// create of an RTP slot with every RTP parameter and a LEMZ radio part.
LGCP::Message& create_rtp_radio()
{
    static LGCP::Message msg;
    if (msg.has_slot())
        return msg;
    msg.set_seq(77);
    msg.set_slot(512);
    LGCP::CreateRtpParams& create = msg.get_pdu().get_command().get_create().get_rtp();
    create.set_txPayload(TERM::Payload::ptG729);
    create.set_rxPayload(TERM::Payload::ptG711_Alaw);
    TERM::RtpParams& rtp = create.get_codecRTP();
    rtp.set_payload(TERM::Payload::ptG729);
    rtp.get_dhost().set_iaddr("192.168.10.20");
    rtp.get_dhost().set_port(40000);
    rtp.include_shost().set_iaddr("192.168.10.1");
    rtp.include_shost().set_port(40002);
    rtp.set_dname("radio-gateway-7");
    rtp.include_jitter().set_start(40);
    rtp.include_jitter().set_max(200);
    rtp.set_pfactor(2);
    rtp.set_crate(8000);
    rtp.set_vad(true);
    rtp.include_echo().set_suppressor(true);
    rtp.include_rtp_e2m().set_slot(12);
    rtp.set_ssrc(0xDEADBEEFu);
    rtp.set_ttl(64);
    rtp.set_qos_dscp(TERM::IpQoSDSCP::ef);
    TERM::RtpRadioRequest& radio = rtp.include_radio();
    TERM::LemzRadioStatus& status = radio.get_status().get_lemz();
    fill_radio_flags(status.get_flags());
    status.get_freq().set_channel(5);
    status.get_freq().set_frequency("124.500000");
    status.get_remote().set_no(1);
    status.set_squelshe(TERM::RadioSquelshe::percent_50);
    status.set_rte(TERM::RadioRTE::j3e);
    status.set_standby_group(9);
    TERM::LemzRadioModifier& modifier = radio.include_request().get_lemz();
    modifier.get_addr().set_session_addr("10.1.1.1");
    modifier.get_addr().set_session_ssrc(0x01020304u);
    fill_radio_flags(modifier.get_params().get_gw_set_flags().get_flags());
    radio.set_rx_delay(20);
    radio.set_tx_delay(30);
    return msg;
}

// The query signal with the board's resources.
LGCP::Message& query_resources()
{
    static LGCP::Message msg;
    if (msg.get_pdu().is_signal())
        return msg;
    LGCP::Resources& r = msg.get_pdu().get_signal().get_query();
    r.set_boardMajor(3);
    r.set_boardMinor(1);
    ACP::VersionInfo& version = r.include_drvVersion();
    version.set_type(ACP::BuildType::release);
    version.set_version("2.7.1");
    version.set_date("2025-05-16");
    version.set_revision(4211);
    r.set_rtp_g729(32);
    r.set_rtp_g711(64);
    r.set_modem(8);
    for (int unit = 0; unit < 4; ++unit) {
        LGCP::MixerResources_subtype mixer;
        mixer.set_unit(unit);
        mixer.set_tdm_inputs(32);
        mixer.set_tdm_outputs(32);
        mixer.set_mixer_inputs(64);
        r.get_mixer().push_back(mixer);
        r.get_echoBus().push_back(ASN1::INTEGER(unit));
    }
    r.set_mux(true);
    r.set_universal(16);
    return msg;
}

void BM_EncodePing(benchmark::State& state) { encode(state, ping_message()); }
void BM_DecodePing(benchmark::State& state) { decode(state, ping_message()); }
void BM_EncodeCreateRtpRadio(benchmark::State& state) { encode(state, create_rtp_radio()); }
void BM_DecodeCreateRtpRadio(benchmark::State& state) { decode(state, create_rtp_radio()); }
void BM_EncodeQueryResources(benchmark::State& state) { encode(state, query_resources()); }
void BM_DecodeQueryResources(benchmark::State& state) { decode(state, query_resources()); }

} // namespace

BENCHMARK(BM_EncodePing);
BENCHMARK(BM_DecodePing);
BENCHMARK(BM_EncodeCreateRtpRadio);
BENCHMARK(BM_DecodeCreateRtpRadio);
BENCHMARK(BM_EncodeQueryResources);
BENCHMARK(BM_DecodeQueryResources);

BENCHMARK_MAIN();
