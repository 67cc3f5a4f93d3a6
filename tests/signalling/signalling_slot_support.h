// The signalling slot kinds on the slot table of a recording controller,
// the simulated board and virtual time: the trunk and MCC slots to join
// them to, the line ends of the switch to play the peer, and a loop run
// in loop time.
#pragma once

#include <string>

#include "board/dsp_data_requests.h"
#include "signalling/hdlc_slot.h"
#include "signalling/isdn_slot.h"
#include "signalling/pstn_slot.h"
#include "server/tdm/mcc_slot.h"
#include "server/tdm/trunk_slot.h"
#include "simboard/dsp_data.h"
#include "tests/runtime/loop_support.h"
#include "tests/runtime/packet_support.h"
#include "tests/server/slots/slot_support.h"
#include "tests/signalling/hdlc_pair.h"
#include "tests/signalling/signalling_commands.h"

namespace vbtest {

struct SignallingWorld : SlotWorld {
    PstnFactory pstn;
    IsdnFactory isdnFactory;
    HdlcSlotFactory hdlc;
    MccFactory mccs;

    // Every line end listens from the start: one made on first use would
    // miss what was sent before.
    SignallingWorld()
    {
        factory.refuse = true;
        for (int c = 0; c < SimBoard::SwitchPath::kLineChannels; ++c)
            line(c);
        // The protocols are followed frame by frame, not at the line's pace.
        sim.mcc().set_rate(SimBoard::MccController::kUnpaced);
    }

    SimBoard::SwitchPath::LineEnd& line(int channel) { return sim.hal().path().line(channel); }
    const SimBoard::Hal::Output& out(int channel) { return sim.hal().output(channel); }
    SimBoard::DspDataDevice& dsp_data()
    {
        return *sim.board.find<SimBoard::DspDataDevice>(Device::DspData::kDevice);
    }
    template <class S>
    S& at(unsigned n)
    {
        return *dynamic_cast<S*>(slots().at(n));
    }
    // Loop time passes; what the controller received meanwhile.
    Texts wait(unsigned ms = 1)
    {
        run_until([] { return false; }, ms);
        return controller();
    }
    // The frames that reached the line end, in hexadecimal.
    std::vector<std::string> from(int channel)
    {
        std::vector<std::string> frames;
        for (std::string f = line(channel).take(); !f.empty(); f = line(channel).take())
            frames.push_back(hex(f));
        return frames;
    }
    void to(int channel, const std::string& hexText) { line(channel).send(octets(hexText)); }
    // Signals by alternative only: "slot=1 ioctl isdnLinkInfo", "slot=1 activated".
    static Texts names(const Texts& all)
    {
        Texts out;
        for (const std::string& t : all) {
            size_t end = t.find(' ', t.find(' ') + 1);
            if (t.compare(t.find(' ') + 1, 6, "ioctl ") == 0)
                end = t.find(' ', end + 1);
            out.push_back(t.substr(0, end));
        }
        return out;
    }
    // The controller's texts that begin with prefix.
    static Texts only(const Texts& all, const std::string& prefix)
    {
        Texts out;
        for (auto& t : all)
            if (t.compare(0, prefix.size(), prefix) == 0)
                out.push_back(t);
        return out;
    }
};

} // namespace vbtest
