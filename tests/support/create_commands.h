// The creates and commands that the call flows and the in-process tests of
// the whole program both send.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "server/schema/LGCP.h"
#include "tests/radio/ed137_messages.h"
#include "tests/support/rtp_peer.h"

namespace vbtest {

inline LGCP::Command create_trunk(int trunk, int timeslot)
{
    LGCP::Command c;
    c.get_create().get_trunk().set_trunk(trunk);
    c.get_create().get_trunk().set_timeslot(timeslot);
    return c;
}

inline LGCP::Command ioctl_of(const std::function<void(LGCP::IoctlParams&)>& fill)
{
    LGCP::Command c;
    fill(c.get_ioctl());
    return c;
}

inline LGCP::Command create_mcc(LGCP::MccType::NamedNumber type)
{
    LGCP::Command c;
    c.get_create().get_mcc().set_type(type);
    c.get_create().get_mcc().set_mode(LGCP::MccMode::standard);
    return c;
}

inline LGCP::Command create_modem(const std::string& cid)
{
    LGCP::Command c;
    c.get_create().get_modem().set_cid(cid);
    c.get_create().get_modem().set_cdid("");
    return c;
}

inline LGCP::Command create_t38()
{
    LGCP::Command c;
    LGCP::T38Soft& t = c.get_create().get_t38soft();
    t.get_dhost().set_iaddr("127.0.0.1");
    t.get_dhost().set_port(4000);
    t.get_shost().set_iaddr("127.0.0.1");
    t.get_shost().set_port(5000);
    t.set_rx_packet_size(160);
    t.set_rx_threshold(1);
    t.set_tx_threshold(1);
    return c;
}

enum class Radio { none, lemz, ed137 };

// An rtp slot on 127.0.0.1:local towards 127.0.0.1:remote, radio
// controlled as asked.
inline LGCP::Command create_rtp_on(uint16_t remote, uint16_t local, Radio radio = Radio::none)
{
    LGCP::Command c = create_rtp(remote);
    TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
    p.include_shost().set_iaddr("127.0.0.1");
    p.include_shost().set_port(local);
    if (radio == Radio::lemz)
        p.include_radio().get_status().get_lemz().get_freq().set_frequency("0.0");
    else if (radio == Radio::ed137)
        p.include_radio().set_status(vbradio::ed137_status());
    return c;
}

} // namespace vbtest
