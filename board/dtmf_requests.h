// Records of the tone detector and generator "/dev/dtmf". Shared by the
// server and whatever stands in for the driver. Words are in the machine's
// byte order. Every request hands its record (or the time slot as a plain
// value) in, whatever its direction bits say.
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

namespace Device {
namespace Dtmf {

constexpr char kDevice[] = "/dev/dtmf";
// DSP time slots 0..8191; others are refused with EINVAL.
constexpr uint32_t kTimeSlots = 8192;

constexpr unsigned long DTMF_CONFIGURE_DETECTOR = 0x40144202; // DetectorConfig
constexpr unsigned long DTMF_ENABLE_DETECTOR = 0x40084203;    // DetectorEnable
constexpr unsigned long DTMF_DISABLE_DETECTOR = 0x40044204;   // time slot as the value
constexpr unsigned long DTMF_DIAL = 0x400c4205;               // Dial
constexpr unsigned long CHANNEL_LMS_ON = 0x40044206;          // time slot as the value
constexpr unsigned long CHANNEL_LMS_OFF = 0x40044207;
constexpr unsigned long DTMF_REJECTION_ENABLE = 0x40044209;
constexpr unsigned long DTMF_REJECTION_DISABLE = 0x4004420a;
constexpr unsigned long IVA_DETECTOR_ENABLE = 0x4004420b;
constexpr unsigned long IVA_DETECTOR_DISABLE = 0x4004420c;
constexpr unsigned long IVA_CONFIGURE_DETECTOR = 0x4008420d; // IvaConfig
constexpr unsigned long SELCAL_DIAL = 0x400c420e;            // SelcalDial

struct DetectorConfig {
    uint32_t timeslot;
    uint32_t twist;
    uint32_t ratio;
    uint32_t silence;
    uint32_t noise;
};
static_assert(sizeof(DetectorConfig) == 20 && offsetof(DetectorConfig, noise) == 16, "five words");

// The id comes back in every event of the time slot.
struct DetectorEnable {
    uint32_t timeslot;
    uint32_t id;
};
static_assert(sizeof(DetectorEnable) == 8 && offsetof(DetectorEnable, id) == 4, "two words");

// The generator plays the two frequencies until the next record; all four
// values 0 switch it off.
struct Dial {
    uint32_t timeslot;
    uint16_t freq1;
    uint16_t freq2;
    uint16_t amp1;
    uint16_t amp2;
};
static_assert(sizeof(Dial) == 12 && offsetof(Dial, freq2) == 6 && offsetof(Dial, amp2) == 10, "the generator record");

struct IvaConfig {
    uint32_t timeslot;
    int32_t det_lvl_dB;
};
static_assert(sizeof(IvaConfig) == 8 && offsetof(IvaConfig, det_lvl_dB) == 4, "two words");

struct SelcalDial {
    uint32_t timeslot;
    uint16_t amp;
    char signs[4];
    uint8_t reserved[2]; // 0
};
static_assert(sizeof(SelcalDial) == 12 && offsetof(SelcalDial, signs) == 6, "the SELCAL record");

// What a read of the device delivers, one record per detection.
struct Event {
    uint32_t code;
    uint32_t timeslot;
    uint32_t timestamp;
    uint32_t id;
};
static_assert(sizeof(Event) == 16 && offsetof(Event, id) == 12, "four words");

} // namespace Dtmf
} // namespace Device
