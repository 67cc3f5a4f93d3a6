// "/dev/dsp" of the simulated board: the DSP's voice-processing features
// per DSP time slot (0..8191; other time slots are refused with EINVAL).
//
// The driver answers its VAD parameter version (1 or 2, as the test sets
// it). Per time slot the model keeps each feature's state and the id of its
// last enable, and the last configure record of each kind. The features
// (mutes included) are switched through descriptors and go with the last
// of them, closed or hung up; the configurations are the time slot's and
// stay. A test makes the DSP report with event(), which every open
// descriptor reads as one 24-byte record carrying the feature's id (or the
// id given); VAD, SD and BSS report only while they are on, the tone
// filter and the flags whatever the features. It posts raw records (also
// ones the DSP would not give, to show the server's own filtering) and
// hangs the device up.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "board/dsp_requests.h"
#include "simboard/event_device.h"

namespace SimBoard {

class DspDevice : public EventDevice {
public:
    struct Feature {
        bool on = false;
        uint32_t id = 0;
    };
    struct TimeSlot {
        std::map<uint32_t, Feature> features;                // by feature bit
        std::map<uint32_t, Device::Dsp::Configure> configs; // by kind
    };
    static constexpr int64_t kFeatureId = -1;

    DspDevice();

    void set_version(int version) { mVersion = version; }
    // A time slot's state (a fresh one when never touched).
    TimeSlot timeslot(uint32_t ts) const;
    Feature feature(uint32_t ts, uint32_t bit) const;
    // The last configure record of that kind, null when none came.
    const Device::Dsp::Configure* config(uint32_t ts, uint32_t kind) const;

    // The DSP reports an event of type (a feature bit) with three data
    // words, carrying the feature's id unless an id is given; how many
    // descriptors got it.
    size_t event(uint32_t ts, uint32_t type, uint32_t d0, uint32_t d1 = 0, uint32_t d2 = 0,
                 int64_t id = kFeatureId);
    // dsp <ts> <type> <d0> <d1> <d2>: event().
    void port_commands(TestPort& port) override;

private:
    void last_closed() override;
    TimeSlot* at(uint32_t ts) { return ts < Device::Dsp::kTimeSlots ? &mSlots[ts] : nullptr; }
    // DSPROC_ENABLE and DSPROC_DISABLE.
    int enable(const Device::Dsp::Enable& r, bool on);

    int mVersion = 2;
    std::map<uint32_t, TimeSlot> mSlots;
};

} // namespace SimBoard
