// Prints "MODULE Message HEX" lines, the BER encodings of ROUNDS seeded random
// LGCP and MON messages, for Erlang's BER codec to check:
//   schema_ber_oracle SEED ROUNDS
#include <cstdlib>
#include <iostream>
#include <vector>

#include "server/schema/LGCP.h"
#include "server/schema/MON.h"
#include "tests/schema/random_value.h"

namespace {

bool emit(char const* module, ASN1::AbstractData& message, RandomValue::Filler& filler)
{
    filler.fill(message);
    ASN1::CoderEnv env(ASN1::CoderEnv::ber);
    std::vector<char> octets;
    if (!env.encodeOctets(message, octets)) {
        std::cerr << "cannot encode:\n" << message.asValueNotation() << "\n";
        return false;
    }
    std::cout << module << " Message " << RandomValue::hex(octets) << "\n";
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::cerr << "usage: schema_ber_oracle SEED ROUNDS\n";
        return 2;
    }
    RandomValue::Filler filler(static_cast<unsigned>(std::atoi(argv[1])));
    for (int round = std::atoi(argv[2]); round > 0; --round) {
        LGCP::Message lgcp;
        MON::Message mon;
        if (!emit("LGCP", lgcp, filler) || !emit("MON", mon, filler))
            return 1;
    }
    return 0;
}
