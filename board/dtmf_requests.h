// Records of the tone detector and generator "/dev/dtmf". Shared by the
// server and whatever stands in for the driver. Words are in the machine's
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// One detection as a slot receives it.
struct tonec_params {
    // 0..127 a DTMF digit, 17 CED, 18 CNG; (code >> 8) 1..20 an IVA
    // code, 21 IVA ring-off.
    uint32_t code;
    uint32_t timestamp;
};
static_assert(sizeof(tonec_params) == 8 && offsetof(tonec_params, timestamp) == 4, "two words");
