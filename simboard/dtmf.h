// "/dev/dtmf" of the simulated board: the DSP's tone detectors and tone
// generators, one of each per DSP time slot (0..8191; other time slots are
// refused with EINVAL).
//
// Per time slot the model keeps the DTMF detector (on, and the id of its
// last enable), the IVA detector and its level, DTMF rejection, the echo
// canceller (LMS) and the detector configuration; every generator record
// (DTMF_DIAL and SELCAL_DIAL) goes into one history with the loop's clock.
// What descriptors switched on (the two detectors, rejection, the echo
// canceller and the generator's tone) goes with the last of them, closed
// or hung up; the configurations are the time slot's and stay.
// A test makes a detector that is on report a tone with detect(), which
// every open descriptor reads as one 16-byte record carrying the time
// slot's id, or posts raw records (also ones no detector would give, to
// show the server's own filtering) and hangs the device up.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "board/dtmf_requests.h"
#include "simboard/event_device.h"

namespace SimBoard {

class DtmfDevice : public EventDevice {
public:
    struct TimeSlot {
        bool detector = false;
        uint32_t id = 0; // of the last enable
        bool iva = false;
        bool ivaConfigured = false;
        int32_t ivaLevel = 0;
        bool rejection = false;
        bool lms = false;
        // The generator's last DTMF_DIAL is not the all-zero off.
        bool tone = false;
        bool configured = false;
        Device::Dtmf::DetectorConfig config{};
    };
    // One generator record: a DTMF_DIAL, or a SELCAL_DIAL (selcal set,
    // amp1 the amplitude, signs its four characters).
    struct Dial {
        uint32_t timeslot = 0;
        bool selcal = false;
        uint16_t freq1 = 0, freq2 = 0, amp1 = 0, amp2 = 0;
        std::string signs;
        uint32_t ms = 0; // Mux::milliseconds() on arrival
        bool off() const { return !selcal && !freq1 && !freq2 && !amp1 && !amp2; }
    };

    DtmfDevice();

    // A time slot's state (a fresh one when never touched).
    TimeSlot timeslot(uint32_t ts) const;
    const std::vector<Dial>& dials() const { return mDials; }
    void clear_dials() { mDials.clear(); }

    // The detector of the time slot reports code (an IVA number or ring-off
    // the IVA detector, others the DTMF one): one event record with the
    // time slot's id to every open descriptor; how many got it, none while
    // that detector is off.
    size_t detect(uint32_t ts, uint32_t code, uint32_t timestamp);
    // dtmf <ts> <code> <timestamp>: detect(); dtmf-slot <ts>: what is on there.
    void port_commands(TestPort& port) override;

private:
    void last_closed() override;
    // The time slot's state, null (the request then fails) when out of range.
    TimeSlot* at(uint32_t ts);
    void handle_switch(unsigned long number, bool TimeSlot::*flag, bool on);
    void dial(const Dial& d);

    std::map<uint32_t, TimeSlot> mSlots;
    std::vector<Dial> mDials;
};

} // namespace SimBoard
