// Event records of the voice-processing devices (tone detector, DSP, RTP
// engine) as the slots receive them; Slot turns each into a controller
// signal. Words are in the machine's byte order.
#pragma once

#include <cstdint>

namespace Hardware {

// Receiver of the tone detector's events of one DSP time slot.
class TonecReceiver {
public:
    struct Params {
        // 0..127 a DTMF digit, 17 CED, 18 CNG; (code >> 8) 1..20 an IVA
        // code, 21 IVA ring-off.
        uint32_t code;
        uint32_t timestamp;
    };
};

// Voice activity; a negative direction is not reported.
struct DSProcVADEvent {
    int32_t rx;
    int32_t tx;
};

// Signal detection; negative = not reported.
struct DSProcSDEvent {
    int32_t rx;
};

} // namespace Hardware

// The three data words of a DSP driver event.
struct dsproc_tone_event {
    uint32_t freq;
    uint32_t presence; // non-zero = present
    uint32_t reserved;
};

struct dsproc_flags_event {
    uint32_t flags;
    uint32_t mask; // the bits of flags that the event reports
    uint32_t reserved;
};

struct dsproc_bss_event {
    float score;
    uint32_t reserved[2];
};

// One event of the RTP engine.
struct rtp_event {
    uint32_t type; // 1: packet detection
    uint32_t value;
    uint32_t timeout;
    uint32_t data[6];
};
static_assert(sizeof(rtp_event) == 36, "record size of the RTP engine");
