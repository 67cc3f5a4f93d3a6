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

namespace vbtest {

using C = LGCP::Command;

inline C trunk_slot(int trunk, int timeslot, bool bri = false)
{
    C c;
    LGCP::TrunkParams& p = bri ? c.get_create().get_trunk_bri() : c.get_create().get_trunk();
    p.set_trunk(trunk);
    p.set_timeslot(timeslot);
    return c;
}

inline C mcc_slot(LGCP::MccType::NamedNumber type, bool ss7 = false)
{
    C c;
    c.get_create().get_mcc().set_type(type);
    c.get_create().get_mcc().set_mode(ss7 ? LGCP::MccMode::ss7 : LGCP::MccMode::standard);
    return c;
}

inline C ss7(int trunk, bool emergency = false)
{
    C c;
    LGCP::SS7Params& p = c.get_create().get_pstn().get_ss7();
    p.set_trunk(trunk), p.set_slc(0), p.set_dpc(1), p.set_opc(2), p.set_emergency(emergency);
    return c;
}

inline void set_isdn(LGCP::IsdnParams& p, bool bri, int trunk, bool network, int log = 0)
{
    p.set_type(bri ? LGCP::IsdnType::bri : LGCP::IsdnType::pri);
    p.set_trunk(trunk), p.set_log(log);
    network ? p.get_side().set_network() : p.get_side().set_user();
}

inline C pstn_isdn(bool bri, int trunk, bool network)
{
    C c;
    set_isdn(c.get_create().get_pstn().get_isdn(), bri, trunk, network);
    return c;
}

inline C cas(int trunk)
{
    C c;
    c.get_create().get_pstn().get_cas().set_trunk(trunk);
    return c;
}

inline C isdn(bool bri, int trunk = 1, bool network = false)
{
    C c;
    set_isdn(c.get_create().get_isdn(), bri, trunk, network);
    return c;
}

inline C ats_qsig(bool network = false)
{
    C c;
    LGCP::AtsQsigParams& p = c.get_create().get_ats_qsig();
    network ? p.get_side().set_network() : p.get_side().set_user();
    p.set_log(0);
    return c;
}

inline C ats_qsig_b(int slot, int subslot)
{
    C c;
    c.get_create().get_ats_qsig_b().set_slot(slot);
    c.get_create().get_ats_qsig_b().set_subslot(subslot);
    return c;
}

inline C hdlc_params(int trunk, int address)
{
    C c;
    LGCP::HdlcParams& p = c.get_create().get_hdlcParams();
    p.set_trunk(trunk), p.set_log(0), p.set_address(address);
    return c;
}

inline C user_data(const std::string& hexText)
{
    C c;
    std::string o = octets(hexText);
    c.get_userData().assign(o.begin(), o.end());
    return c;
}

inline C connect(unsigned target)
{
    return simple(C::e_connect, target);
}

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
