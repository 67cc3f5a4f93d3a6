// Prints "Sample TYPE HEX" lines, the BER encodings of ROUNDS seeded random values
// of every sample type, for Erlang's codec to check:
//   asn1_ber_oracle SEED ROUNDS
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <vector>

#include "tests/schema/random_value.h"
#include "tests/asn1/sample_types.h"

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: asn1_ber_oracle SEED ROUNDS\n";
        return 2;
    }
    RandomValue::Filler filler(static_cast<unsigned>(std::atoi(argv[1])));
    ASN1::CoderEnv env(ASN1::CoderEnv::ber);
    for (int round = std::atoi(argv[2]); round > 0; --round) {
        for (unsigned t = 0; t < Sample::allTypeCount; ++t) {
            std::unique_ptr<ASN1::AbstractData> value(ASN1::create_from(Sample::allTypes[t].info));
            filler.fill(*value);
            std::vector<char> octets;
            if (!env.encodeOctets(*value, octets)) {
                std::cerr << "cannot encode:\n" << value->asValueNotation() << "\n";
                return 1;
            }
            std::printf("Sample %s ", Sample::allTypes[t].name);
            for (char c : octets)
                std::printf("%02x", static_cast<unsigned char>(c));
            std::printf("\n");
        }
    }
    return 0;
}
