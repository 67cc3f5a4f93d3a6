// Events of the voice-processing devices (tone detector, DSP, RTP engine)
// as the slots receive them; Slot turns each into a controller signal. The
// drivers' own records are in board/.
#pragma once

#include <cstdint>

#include "board/dsp_requests.h"
#include "board/dtmf_requests.h"
#include "board/rtp_requests.h"

namespace Hardware {

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
