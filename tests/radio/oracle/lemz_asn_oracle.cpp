// Prints the LEMZ radio reports of the mapping tests as "LGCP HEX" lines,
// each an LGCP message with signal rtpExt, for Erlang's PER codec to decode
// and encode again.
#include <cstdio>
#include <iostream>
#include <string>

#include "tests/radio/radio_support.h"

int main()
{
    for (auto const& report : vbradio::lemz_reports()) {
        std::vector<char> octets = vbradio::rtp_ext_signal(report);
        if (octets.empty()) {
            std::cerr << "cannot encode:\n" << report.asValueNotation() << "\n";
            return 1;
        }
        std::string line = "LGCP ";
        char two[3];
        for (char c : octets) {
            std::snprintf(two, sizeof two, "%02x", static_cast<unsigned char>(c));
            line += two;
        }
        std::cout << line << "\n";
    }
    return 0;
}
