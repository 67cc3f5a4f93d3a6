// Address texts a controller may slip into a radio command that are no
// strict dotted quad: leading zeros, the shorthand and bases inet_aton
// reads, blanks, signs, stray dots, text after a NUL, a line break or a
// carriage return, and nothing at all.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

namespace vbradio {

inline const std::vector<std::string>& unparsable_addresses()
{
    static const std::vector<std::string> forms = {
        "10.0.0.09",  "010.0.0.9", "0.0.0.00",   "10.0.0",      "10.1",      "167772169",
        "0x0a.0.0.9", "0xa000009", "10.0.0.9 ",  " 10.0.0.9",   "10.0.0.9.", "10..0.9",
        "+10.0.0.9",  "10.0.0.-9", "10.0.0.256", "1e1.0.0.9",   "",          std::string("10.0.0.9\0.1", 11),
        "radio-7",    "10.0.0.9\nrtp_ext[1] forged:", "\r10.0.0.9",
    };
    return forms;
}

// Whether a log holds only printable lines: one that printed a form above
// as it came would hold a control byte or a line of the controller's.
inline bool printable_lines(std::string const& log)
{
    return std::all_of(log.begin(), log.end(), [](char c) { return c == '\n' || (c >= 0x20 && c < 0x7F); });
}

} // namespace vbradio
