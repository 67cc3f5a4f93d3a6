// Untrusted input: truncated, bit-flipped and random octets must decode to a
// clean failure or to a value that survives another round trip.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <random>

#include "tests/asn1/octets.h"
#include "tests/asn1/sample_types.h"

using namespace ASN1;

namespace {

typedef std::function<AbstractData*()> Factory;

struct Encoded {
    std::string name;
    Factory make;
    std::vector<char> octets;
    int rule;
};

template <class T>
Factory factory()
{
    return [] { return new T; };
}

Sample::Message& envelope(Sample::Message& msg, int seq, unsigned slot)
{
    msg.set_seq(seq);
    msg.set_slot(slot);
    return msg;
}

Sample::TonecCode& tonec(Sample::Message& msg)
{
    Sample::PDU& pdu = msg.get_pdu();
    pdu.select(Sample::PDU::e_signal);
    Sample::Signal& signal = Sample::selection_as<Sample::Signal>(pdu);
    signal.select(Sample::Signal::e_tonec);
    return Sample::selection_as<Sample::TonecCode>(signal);
}

// Prototype values of the sample types and their encodings under both rules.
struct Corpus {
    std::vector<std::unique_ptr<AbstractData>> prototypes;
    std::vector<Encoded> encoded;
};

Corpus build_corpus()
{
    Corpus corpus;
    std::vector<std::string> names;
    auto add = [&](char const* name, AbstractData* value) {
        names.push_back(name);
        corpus.prototypes.emplace_back(value);
    };

    Sample::Message* ping = new Sample::Message;
    envelope(*ping, 1, 5).get_pdu().select_command().select(Sample::Command::e_ping);
    add("ping", ping);

    Sample::Message* done = new Sample::Message;
    tonec(envelope(*done, -70000, 1023)).select(Sample::TonecCode::e_dtmfDone);
    add("dtmfDone", done);

    Sample::Message* tone = new Sample::Message;
    Sample::TonecCode& code = tonec(*tone);
    code.select(Sample::TonecCode::e_tone_presence);
    Sample::selection_as<Sample::TonePresence>(code).get_freq().setValue(440);
    Sample::selection_as<Sample::TonePresence>(code).get_presence().setValue(true);
    add("tonePresence", tone);

    Sample::Message* data = new Sample::Message;
    Sample::Command& command = envelope(*data, 300, 0).get_pdu().select_command();
    command.select(Sample::Command::e_userData);
    static_cast<OCTET_STRING&>(*command.getSelection()) = std::string(300, '\x5A');
    add("userData", data);

    Sample::Message* trunk = new Sample::Message;
    Sample::Command& cfg = trunk->get_pdu().select_command();
    cfg.select(Sample::Command::e_trunkCfg);
    Sample::selection_as<Sample::TrunkCfg>(cfg).get_trunk().setValue(3);
    Sample::selection_as<Sample::TrunkCfg>(cfg).get_mode().setValue(1);
    add("trunkCfg", trunk);

    Sample::Message* error = new Sample::Message;
    error->get_pdu().select(Sample::PDU::e_response);
    Sample::Response& response = Sample::selection_as<Sample::Response>(error->get_pdu());
    response.select(Sample::Response::e_error);
    Sample::selection_as<Sample::ErrorCause>(response).setValue(70);
    add("errorExtension", error);

    Sample::Message* number = new Sample::Message;
    number->get_pdu().select(Sample::PDU::e_signal);
    Sample::Signal& signal = Sample::selection_as<Sample::Signal>(number->get_pdu());
    signal.select(Sample::Signal::e_number);
    Sample::selection_as<IA5String>(signal) = "0123456789";
    add("number", number);

    Sample::Extended* ext = new Sample::Extended;
    static_cast<INTEGER&>(*ext->getField(Sample::Extended::f_a)).setValue(255);
    ext->includeOptionalField(Sample::Extended::e_b, Sample::Extended::f_b);
    ext->includeOptionalField(Sample::Extended::e_c, Sample::Extended::f_c);
    static_cast<IA5String&>(*ext->getField(Sample::Extended::f_c)) = "abc";
    ext->includeOptionalField(Sample::Extended::e_d, Sample::Extended::f_d);
    static_cast<INTEGER&>(*ext->getField(Sample::Extended::f_d)).setValue(-1);
    ext->includeOptionalField(Sample::Extended::e_e, Sample::Extended::f_e);
    static_cast<OCTET_STRING&>(*ext->getField(Sample::Extended::f_e)) = std::string("\x01\x02\x03", 3);
    add("extended", ext);

    Sample::Example* example = new Sample::Example;
    example->get_a().setValue(1 << 20);
    for (int i = 0; i < 5; ++i)
        example->get_b().push_back(INTEGER(i * 1000 - 2000));
    example->get_c().select(Sample::XY::e_y);
    Sample::selection_as<INTEGER>(example->get_c()).setValue(-5);
    add("example", example);

    for (int rule : {int(CoderEnv::per_Aligned), int(CoderEnv::per_Unaligned)}) {
        for (std::size_t i = 0; i < names.size(); ++i) {
            AbstractData const* proto = corpus.prototypes[i].get();
            Encoded e;
            e.name = names[i] + (rule == CoderEnv::per_Aligned ? "/aligned" : "/unaligned");
            e.make = [proto] { return create_from(proto->info()); };
            e.rule = rule;
            CoderEnv env(rule);
            EXPECT_TRUE(ASN1::encode(*proto, &env, std::back_inserter(e.octets))) << e.name;
            corpus.encoded.push_back(e);
        }
    }
    return corpus;
}

std::vector<Encoded> const& samples()
{
    static Corpus const corpus = build_corpus();
    return corpus.encoded;
}

// Decodes from an exactly sized heap copy, so that any read past the input
// is a sanitizer finding.
bool decode_exact(std::vector<char> const& input, std::size_t length, AbstractData& value, int rule)
{
    std::unique_ptr<char[]> copy(new char[length ? length : 1]);
    std::copy(input.begin(), input.begin() + length, copy.get());
    CoderEnv env(rule);
    return ASN1::decode(copy.get(), copy.get() + length, &env, value, true);
}

// A value that decoded must encode again to octets that decode to it.
void expect_stable(AbstractData const& value, Factory const& make, int rule, std::string const& what)
{
    CoderEnv env(rule);
    std::vector<char> again;
    if (!ASN1::encode(value, &env, std::back_inserter(again)))
        return; // e.g. an alternative only the sender knows
    std::unique_ptr<AbstractData> second(make());
    ASSERT_TRUE(decode_exact(again, again.size(), *second, rule)) << what;
    EXPECT_EQ(0, second->compare(value)) << what;
}

} // namespace

TEST(PerRobustness, SamplesRoundTrip)
{
    for (Encoded const& e : samples()) {
        std::unique_ptr<AbstractData> value(e.make());
        ASSERT_TRUE(decode_exact(e.octets, e.octets.size(), *value, e.rule)) << e.name;
        expect_stable(*value, e.make, e.rule, e.name);
        EXPECT_EQ(asn1test::hex(e.octets), asn1test::encoded(*value, e.rule)) << e.name;
    }
}

TEST(PerRobustness, EveryTruncationFails)
{
    for (Encoded const& e : samples()) {
        for (std::size_t length = 0; length < e.octets.size(); ++length) {
            std::unique_ptr<AbstractData> value(e.make());
            EXPECT_FALSE(decode_exact(e.octets, length, *value, e.rule)) << e.name << " cut to " << length;
        }
    }
}

TEST(PerRobustness, FlippedBitsDecodeCleanly)
{
    std::vector<Encoded> const& all = samples();
    std::mt19937 random(20240611);
    int decoded = 0;
    for (int round = 0; round < 100000; ++round) {
        Encoded const& e = all[round % all.size()];
        std::vector<char> input = e.octets;
        int flips = 1 + int(random() % 3);
        for (int f = 0; f < flips; ++f) {
            std::size_t bit = random() % (input.size() * 8);
            input[bit / 8] = static_cast<char>(input[bit / 8] ^ (0x80 >> (bit % 8)));
        }
        std::unique_ptr<AbstractData> value(e.make());
        if (!decode_exact(input, input.size(), *value, e.rule))
            continue;
        ++decoded;
        expect_stable(*value, e.make, e.rule, e.name + " from " + asn1test::hex(input));
        if (HasFailure())
            return;
    }
    // Some flips land in values and still decode; most break the structure.
    EXPECT_GT(decoded, 0);
    EXPECT_LT(decoded, 100000);
}

TEST(PerRobustness, RandomOctetsDecodeCleanly)
{
    std::vector<Encoded> const& all = samples();
    std::mt19937 random(7);
    for (int round = 0; round < 20000; ++round) {
        Encoded const& e = all[round % all.size()];
        std::vector<char> input(random() % 48);
        for (char& c : input)
            c = static_cast<char>(random());
        std::unique_ptr<AbstractData> value(e.make());
        if (decode_exact(input, input.size(), *value, e.rule))
            expect_stable(*value, e.make, e.rule, e.name + " from " + asn1test::hex(input));
        if (HasFailure())
            return;
    }
}
