// Records of the DSP voice-processing driver "/dev/dsp". Shared by the
// server and whatever stands in for the driver. Words are in the machine's
// byte order.
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
