// Every slot kind that the server's factories make, with the device whose
// end takes the kind's board channel back to its driver ("" for a kind
// whose channel nothing takes back: a trunk or bus time slot, a mixer
// channel, a network interface, a line channel opened again at need).
// A kind whose channel can be taken back has a row in the end-to-end
// table of stale slots; a check over the factory registry keeps this list
// whole.
#pragma once

#include <string>
#include <vector>

namespace vbtest {

struct SlotKind {
    std::string factory; // the factory's name
    std::string kind;    // the slot's name
    std::string device;
};

inline const std::vector<SlotKind>& slot_kinds()
{
    static const std::vector<SlotKind> kinds = {
        {"Trunks", "trunk", ""},
        {"TrunksBRI", "trunkBRI", ""},
        {"Map", "map", ""},
        {"Ext", "bri", ""},
        {"Echo", "echo", ""},
        {"PSTN", "pstn", ""},
        {"HdlcSlotFactory", "hdlc-slot", ""},
        {"Mixer", "mixer tdm input", ""},
        {"Mixer", "mixer tdm output", ""},
        {"Modem", "digital-modem", ""},
        {"Modem", "dsp-modem", "/dev/mctl"},
        {"MCC", "MCC", "/dev/mcc/ctl"},
        {"ISDN", "MCC", "/dev/mcc/ctl"},
        {"ISDN", "ATS-QSIG", "/dev/dsp-data"},
        {"ISDN", "ATS-QSIG-B", "/dev/dsp-data"},
        {"RTP", "rtp", "/dev/rtp"},
        {"Voice/mcc", "player", "/dev/mcc/ctl"},
        {"Voice/mcc", "recorder", "/dev/mcc/ctl"},
        {"T.38 soft", "t38 soft", "/dev/mcc/ctl"},
        {"RTP Ext LEMZ", "rtp ext LEMZ (GW)", "/dev/rtp"},
        {"RTP Ext ED137", "rtp ext ED137 (GW)", "/dev/rtp"},
    };
    return kinds;
}

} // namespace vbtest
