// Our side of the BER cross-check with Erlang's asn1 codec.
//   asn1_ber_oracle generate SEED ROUNDS   prints "TYPE HEX" lines: ROUNDS
//       random values of every sample type, BER-encoded
//   asn1_ber_oracle check FILE             every "TYPE HEX" line must decode
//       and encode back to the same octets
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/asn1/random_value.h"
#include "tests/asn1/sample_types.h"

namespace {

std::string hex(std::vector<char> const& octets)
{
    std::string text;
    char buffer[3];
    for (char c : octets) {
        std::snprintf(buffer, sizeof buffer, "%02x", static_cast<unsigned char>(c));
        text += buffer;
    }
    return text;
}

std::vector<char> unhex(std::string const& text)
{
    std::vector<char> octets;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        octets.push_back(static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return octets;
}

ASN1::DataInfo const* type_named(std::string const& name)
{
    for (unsigned t = 0; t < Sample::allTypeCount; ++t) {
        if (name == Sample::allTypes[t].name)
            return Sample::allTypes[t].info;
    }
    return nullptr;
}

int generate(unsigned seed, unsigned rounds)
{
    asn1test::RandomFiller filler(seed);
    ASN1::CoderEnv env(ASN1::CoderEnv::ber);
    for (unsigned round = 0; round < rounds; ++round) {
        for (unsigned t = 0; t < Sample::allTypeCount; ++t) {
            std::unique_ptr<ASN1::AbstractData> value(ASN1::create_from(Sample::allTypes[t].info));
            filler.fill(*value);
            std::vector<char> octets;
            if (!env.encodeOctets(*value, octets)) {
                std::cerr << "cannot encode:\n" << value->asValueNotation() << "\n";
                return 1;
            }
            std::cout << Sample::allTypes[t].name << " " << hex(octets) << "\n";
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
    ASN1::CoderEnv env(ASN1::CoderEnv::ber);
    unsigned lines = 0, failures = 0;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string name, text;
        if (!(fields >> name >> text))
            continue;
        ++lines;
        ASN1::DataInfo const* info = type_named(name);
        std::unique_ptr<ASN1::AbstractData> value(ASN1::create_from(info));
        std::vector<char> theirs = unhex(text), ours;
        char const* why = nullptr;
        if (!value)
            why = "unknown type";
        else if (!ASN1::decode(theirs.data(), theirs.data() + theirs.size(), &env, *value, true))
            why = "does not decode";
        else if (!env.encodeOctets(*value, ours))
            why = "does not encode again";
        else if (ours != theirs)
            why = "encodes differently";
        if (why) {
            ++failures;
            std::cout << "line " << lines << ": " << line << "\n  " << why << " " << hex(ours) << "\n";
        }
    }
    std::cout << "ours: " << lines << " values checked, " << failures << " differ\n";
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
    std::cerr << "usage: asn1_ber_oracle generate SEED ROUNDS | check FILE\n";
    return 2;
}
