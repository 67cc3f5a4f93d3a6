// Records of the kernel RTP engine "/dev/rtp". Shared by the server and
// whatever stands in for the driver. Words are in the machine's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// One event of the RTP engine.
struct rtp_event {
    uint32_t type; // 1: packet detection
    uint32_t value;
    uint32_t timeout;
    uint32_t data[6];
};
static_assert(sizeof(rtp_event) == 36 && offsetof(rtp_event, data) == 12, "record size of the RTP engine");
