// Our side of the cross-check with Erlang's asn1 codec.
//   schema_oracle generate SEED MIN   prints "MODULE HEX" lines: random
//       LGCP and MON messages, every alternative of LGCP Command and Signal
//       and of MON Command, Response and Signal at least MIN times
//   schema_oracle check FILE          every "MODULE HEX" line must decode and
//       encode back to the same octets
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "server/schema/LGCP.h"
#include "server/schema/MON.h"
#include "tests/schema/random_value.h"

namespace {

std::unique_ptr<ASN1::AbstractData> message_of(std::string const& module)
{
    if (module == "LGCP")
        return std::unique_ptr<ASN1::AbstractData>(new LGCP::Message);
    if (module == "MON")
        return std::unique_ptr<ASN1::AbstractData>(new MON::Message);
    return nullptr;
}

// One message whose PDU has alternative pdu, holding inner alternative alt.
void emit(RandomValue::Filler& filler, char const* module, ASN1::SEQUENCE& message, ASN1::CHOICE& pdu,
          int pduAlt, int alt)
{
    filler.fill(message);
    pdu.select(pduAlt);
    auto* inner = dynamic_cast<ASN1::CHOICE*>(pdu.getSelection());
    filler.fill_choice(*inner, alt);
    std::vector<char> octets;
    if (!RandomValue::encode(message, octets)) {
        std::cerr << "cannot encode:\n" << message.asValueNotation() << "\n";
        std::exit(1);
    }
    std::cout << module << " " << RandomValue::hex(octets) << "\n";
}

int generate(unsigned seed, unsigned min)
{
    RandomValue::Filler filler(seed);
    for (unsigned n = 0; n < min; ++n) {
        for (unsigned pdu = 0; pdu < 3; ++pdu) {
            LGCP::Message m;
            ASN1::ChoiceInfo const* inner = static_cast<ASN1::ChoiceInfo const*>(
                LGCP::PDU::theInfo.selectionInfos[pdu]);
            for (unsigned alt = 0; alt < inner->totalChoices; ++alt)
                emit(filler, "LGCP", m, m.get_pdu(), static_cast<int>(pdu), static_cast<int>(alt));
        }
        for (unsigned pdu = 0; pdu < 3; ++pdu) {
            MON::Message m;
            ASN1::ChoiceInfo const* inner = static_cast<ASN1::ChoiceInfo const*>(
                MON::PDU::theInfo.selectionInfos[pdu]);
            for (unsigned alt = 0; alt < inner->totalChoices; ++alt)
                emit(filler, "MON", m, m.get_pdu(), static_cast<int>(pdu), static_cast<int>(alt));
        }
    }
    return 0;
}

int check(char const* path)
{
    std::ifstream in(path);
    if (!in) {
        std::cerr << "cannot read " << path << "\n";
        return 2;
    }
    unsigned lines = 0, failures = 0;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        ++lines;
        std::istringstream fields(line);
        std::string module, text;
        fields >> module >> text;
        std::unique_ptr<ASN1::AbstractData> value = message_of(module);
        std::vector<char> theirs = RandomValue::unhex(text), ours;
        const char* why = nullptr;
        if (!value)
            why = "unknown module";
        else if (!RandomValue::decode(theirs, *value))
            why = "does not decode";
        else if (!RandomValue::encode(*value, ours))
            why = "does not encode again";
        else if (ours != theirs)
            why = "encodes differently";
        if (why) {
            ++failures;
            std::cout << "line " << lines << ": " << line << "\n  " << why;
            if (value && !ours.empty())
                std::cout << ": " << RandomValue::hex(ours);
            if (value)
                std::cout << "\n" << value->asValueNotation();
            std::cout << "\n";
        }
    }
    std::cout << "ours: " << lines << " messages checked, " << failures << " differ\n";
    return failures == 0 && lines > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "generate" && argc == 4)
        return generate(static_cast<unsigned>(std::atoi(argv[2])), static_cast<unsigned>(std::atoi(argv[3])));
    if (mode == "check" && argc == 3)
        return check(argv[2]);
    std::cerr << "usage: schema_oracle generate SEED MIN | check FILE\n";
    return 2;
}
