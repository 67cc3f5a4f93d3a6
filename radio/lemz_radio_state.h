// The state of one LEMZ radio channel as the radio control keeps it: the
// header flags and payload values of the LEMZ packets, merged from packets
// or from the controller's messages.
#pragma once

#include <cstdint>
#include <cstring>

namespace RTPSignalling {

struct LemzRadioState {
    // LEMZ packet type this state came from or goes out as; 0 for a complete
    // state (a controller status).
    int32_t command = 0;
    int32_t priority = 15;
    int32_t ptt = 0;
    uint32_t session_address = 0; // network order
    uint32_t session_ssrc = 0;
    char caller_id[256] = {}; // at most 255 characters and a zero
    int32_t b = 0, r = 0, t = 0, s = 0, sh = 0, pw = 0, rv = 0, rs = 0;
    int32_t c = 0;
    int32_t status = 0;
    int32_t interface = 0;
    int32_t channel = 0;
    int32_t channel_id = 0;
    float frequency = 0.0f;
    // -1: never set.
    int32_t squelch = -1;
    int32_t rte = -1;
    int32_t standby_state = -1;
    int32_t standby_group = -1;
    int32_t receiver_state = -1;
    float quality = 0.0f;
    uint32_t source_address = 0; // network order
    uint32_t source_ssrc = 0;

    void set_caller_id(char const* text)
    {
        std::memset(caller_id, 0, sizeof caller_id);
        if (text)
            std::strncpy(caller_id, text, sizeof caller_id - 1);
    }
};

} // namespace RTPSignalling
