// Requests of the E1 framer drivers: "/dev/maintenance" (synchronisation
// status, TCLK mask, framer clock source) and "/dev/e1-cas" (channel
// associated signalling). Shared by the server and whatever stands in for
// the drivers. Words are in the machine's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// The board's maintenance device.
inline const char* GetMaintenance()
{
    return "/dev/maintenance";
}

namespace Device {
namespace E1 {

constexpr unsigned kTrunks = 4;

// Status record in, the trunk's counters and state out.
constexpr unsigned long E1_GET_STATUS = 0xc0504d03;
// Both take their argument as the value itself.
constexpr unsigned long E1_SET_TCLK = 0xc0044d0b;
constexpr unsigned long E1_SET_CLOCK_SOURCE = 0xc0044d0a;

// Synchronisation states, as the controller's trunk states number them.
enum State : uint32_t { kNormal = 0, kLossBF = 1, kLossCarrier = 2, kAis = 3, kRai = 4, kUnknown = 5, kDisabled = 6 };

struct Status {
    uint32_t trunk;
    uint32_t driver1[8];
    uint32_t slips;
    uint32_t lossBF;
    uint32_t lossCarrier;
    uint32_t lossAIS;
    uint32_t lossRAI;
    uint32_t driver2[5];
    uint32_t state;
};
static_assert(sizeof(Status) == 80 && offsetof(Status, slips) == 36 && offsetof(Status, state) == 76,
              "the driver's record");

} // namespace E1

namespace Cas {

constexpr char kDevice[] = "/dev/e1-cas";
// Time slots that carry no channel of their own: framing and the CAS multiframe.
constexpr unsigned kFramingSlot = 0;
constexpr unsigned kSignallingSlot = 16;

// The trunk number as the argument value itself.
constexpr unsigned long CAS_OPEN = 0x80044300;
constexpr unsigned long CAS_CLOSE = 0x80044301;
// Channel record: enable or disable one channel with its transmit bits.
constexpr unsigned long CAS_CHANNEL = 0xc0104304;
// CAS record: set one channel's transmit bits / read its bits.
constexpr unsigned long CAS_SET = 0xc00c4302;
constexpr unsigned long CAS_GET = 0xc00c4303;

// Also what the driver delivers on read when the far end changes its bits.
struct Record {
    uint32_t path; // trunk
    uint32_t timeslot;
    uint8_t rx; // ABCD, low four bits
    uint8_t tx;
    uint8_t reserved[2];
};
static_assert(sizeof(Record) == 12 && offsetof(Record, rx) == 8, "the driver's record");

struct ChannelRecord {
    Record cas;
    uint32_t disable; // 0 enables the channel, 1 disables it
};
static_assert(sizeof(ChannelRecord) == 16, "the driver's record");

} // namespace Cas
} // namespace Device
