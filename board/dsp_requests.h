// Records of the DSP voice-processing driver "/dev/dsp". Shared by the
// server and whatever stands in for the driver. Words are in the machine's
// byte order. Every request hands its record (or value) in, whatever its
// direction bits say.
#pragma once

#include <cstddef>
#include <cstdint>

// The three data words of a DSP driver event.
struct dsproc_tone_event {
    uint32_t freq;
    uint32_t presence; // non-zero = present
    uint32_t reserved;
};
static_assert(sizeof(dsproc_tone_event) == 12 && offsetof(dsproc_tone_event, presence) == 4, "three words");

struct dsproc_flags_event {
    uint32_t flags;
    uint32_t mask; // the bits of flags that the event reports
    uint32_t reserved;
};
static_assert(sizeof(dsproc_flags_event) == 12 && offsetof(dsproc_flags_event, mask) == 4, "three words");

struct dsproc_bss_event {
    float score;
    uint32_t reserved[2];
};
static_assert(sizeof(dsproc_bss_event) == 12, "three words");

namespace Device {
namespace Dsp {

constexpr char kDevice[] = "/dev/dsp";
// DSP time slots 0..8191; others are refused with EINVAL.
constexpr uint32_t kTimeSlots = 8192;

constexpr unsigned long DSPROC_CONFIGURE = 0x40146401; // Configure
constexpr unsigned long DSPROC_ENABLE = 0x400c6402;    // Enable
constexpr unsigned long DSPROC_DISABLE = 0x400c6403;   // Enable with id 0
// Argument 0; the result is the driver's VAD parameter version.
constexpr unsigned long DSPROC_VERSION = 0x40046404;

// One numbering for the enable mask, the configure kind and the event type.
enum Feature : uint32_t {
    kVad = 1,
    kSd = 2,
    kMuteA = 4,
    kMuteB = 8,
    kBss = 16,
    kDelays = 32,
    kRxGain = 64,
    kNg = 128,
    kToneFilter = 256,
    kFlags = 512, // events only
    kSelcalSh = 1024,
};

// The VAD parameter layout of a version 2 driver.
constexpr int kVadV2 = 2;

// Parameters of DSPROC_CONFIGURE by kind; bytes not used are 0.
struct VadV2Params {
    uint16_t voice_th_msec;
    uint16_t silence_th_msec;
    uint8_t e_th_dB;
    uint8_t reserved[7];
};
struct WordParams { // VAD of other versions (3, 127, 0), delays (rx, tx, selcal)
    uint32_t w[3];
};
struct RxGainParams {
    int8_t gain_dB;
    uint8_t reserved[11];
};
struct ToneFilterParams {
    uint16_t freq;
    uint8_t enable;
    uint8_t reserved0;
    uint16_t dur_th_msec;
    int8_t det_lvl_dB;
    uint8_t reserved[5];
};
static_assert(sizeof(VadV2Params) == 12 && offsetof(VadV2Params, e_th_dB) == 4, "VAD v2 parameters");
static_assert(sizeof(ToneFilterParams) == 12 && offsetof(ToneFilterParams, dur_th_msec) == 4 &&
                  offsetof(ToneFilterParams, det_lvl_dB) == 6,
              "tone filter parameters");

struct Configure {
    uint32_t timeslot;
    uint32_t kind;
    union {
        uint8_t bytes[12];
        VadV2Params vad;
        WordParams words;
        RxGainParams gain;
        ToneFilterParams tone;
    } p;
};
static_assert(sizeof(Configure) == 20 && offsetof(Configure, p) == 8, "the configure record");

struct Enable {
    uint32_t timeslot;
    uint32_t id; // comes back in the feature's events; 0 to disable
    uint32_t mask;
};
static_assert(sizeof(Enable) == 12 && offsetof(Enable, mask) == 8, "three words");

// What a read of the device delivers, one record per event.
struct Event {
    uint32_t timeslot;
    uint32_t id;
    uint32_t type; // a Feature bit
    uint32_t d[3];
};
static_assert(sizeof(Event) == 24 && offsetof(Event, d) == 12, "six words");

} // namespace Dsp
} // namespace Device
