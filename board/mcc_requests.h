// Requests of the multichannel HDLC controller "/dev/mcc/ctl". A channel is
// allocated on an open descriptor and lives as long as that descriptor;
// read and write then move one frame or data block per call. Shared by the
// server and whatever stands in for the driver. Words are in the machine's
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Device {
namespace Mcc {

constexpr char kDevice[] = "/dev/mcc/ctl";

// Allocates a channel for this descriptor.
constexpr unsigned long MCC_ALLOCATE = 0x40144d00;
// No argument; the result is the channel's switch channel number.
constexpr unsigned long MCC_TIMESLOT = 0x20004d02;
// Fills the numbers of free channels (although the number announces input).
constexpr unsigned long MCC_RESOURCES = 0x80104d03;

// Channel modes. SS7 channels come out of the data channels.
enum Type : uint32_t { kData = 0, kBri = 1, kTransparent = 2, kSs7 = 3 };

struct Allocation {
    uint32_t type;
    uint32_t rxPacketSize;
    uint32_t reserved; // always 0
    uint32_t rxThreshold;
    uint32_t txThreshold;
};
static_assert(sizeof(Allocation) == 20 && offsetof(Allocation, rxThreshold) == 12, "five words");

struct Resources {
    uint32_t data;
    uint32_t bri;
    uint32_t transparent;
    uint32_t unused;
};
static_assert(sizeof(Resources) == 16 && offsetof(Resources, transparent) == 8, "four words");

} // namespace Mcc
} // namespace Device
