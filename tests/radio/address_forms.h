// Address texts a controller may slip into a radio command that are no
// strict dotted quad: leading zeros, the shorthand and bases inet_aton
// reads, blanks, signs, stray dots, text after a NUL, and nothing at all.
#pragma once

#include <string>
#include <vector>

namespace vbradio {

inline const std::vector<std::string>& unparsable_addresses()
{
    static const std::vector<std::string> forms = {
        "10.0.0.09",  "010.0.0.9", "0.0.0.00",   "10.0.0",      "10.1",      "167772169",
        "0x0a.0.0.9", "0xa000009", "10.0.0.9 ",  " 10.0.0.9",   "10.0.0.9.", "10..0.9",
        "+10.0.0.9",  "10.0.0.-9", "10.0.0.256", "1e1.0.0.9",   "",          std::string("10.0.0.9\0.1", 11),
        "radio-7",
    };
    return forms;
}

} // namespace vbradio
