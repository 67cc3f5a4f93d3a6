// Frames as hexadecimal text and the controller's commands that make and
// drive the signalling slots, for the in-process and end-to-end tests.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "server/schema/LGCP.h"

namespace vbtest {

// Octets as upper-case hexadecimal pairs joined by blanks ("02 01 73").
inline std::string hex(const std::string& octets)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (unsigned char c : octets) {
        if (!s.empty())
            s += ' ';
        s += digits[c >> 4];
        s += digits[c & 15];
    }
    return s;
}

// The octets of "02 01 73".
inline std::string octets(const std::string& hexText)
{
    std::istringstream in(hexText);
    std::string s;
    unsigned v;
    while (in >> std::hex >> v)
        s += static_cast<char>(v);
    return s;
}

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
    C c;
    c.set_connect(target);
    return c;
}

inline C packages(const std::vector<std::string>& bodies)
{
    C c;
    auto& list = c.get_ioctl().get_hdlcPackages();
    for (const std::string& b : bodies) {
        LGCP::HdlcPackage p;
        std::string o = octets(b);
        p.set_body(std::vector<char>(o.begin(), o.end()));
        list.push_back(p);
    }
    return c;
}

} // namespace vbtest
