// The RTP codec resources of the board's voice device "/dev/voice", as the
// RTP and radio factories count them for the resources report.
#pragma once

#include <cstdint>

#include "server/schema/LGCP.h"

struct CodecCounts {
    uint32_t g729 = 0;
    uint32_t g723 = 0;
    uint32_t g722 = 0;
    uint32_t g711 = 0;
    uint32_t g711mcc = 0;
    uint32_t universal = 0;

    // Zeroes the counts and asks the device for each; 0, or the errno of
    // a device that cannot be opened (the counts then stay 0). A count the
    // device does not give stays 0.
    int count();
    // The six counts into their fields of the report.
    void put(LGCP::Resources& r) const;
};
