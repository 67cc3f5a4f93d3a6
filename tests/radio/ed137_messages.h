// The controller's ED-137 radio messages as the radio tests and the
// end-to-end flow write them. Header only: needs nothing but the schema.
#pragma once

#include <string>

#include "server/schema/TERM.h"

namespace vbradio {

struct Header {
    TERM::ED137RadioPTT::NamedNumber ptt = TERM::ED137RadioPTT::ptt_off;
    bool squ = false;
    unsigned ptt_id = 0;
    int quality = -1; // with an SQI of method c-n when 0 or more
};

inline void fill(TERM::ED137RadioHeader& h, Header const& v)
{
    h.set_ptt(v.ptt);
    h.set_squ(v.squ ? TERM::ED137RadioSQU::squ_on : TERM::ED137RadioSQU::squ_off);
    h.set_ptt_id(v.ptt_id);
    h.set_ptt_mute(false);
    h.set_ptt_summation(false);
    h.set_sct(false);
}

inline void fill(TERM::ED137RadioExtensionSQI& q, int quality)
{
    q.set_bss_method(TERM::ED137RadioBSSMethod::c_n);
    q.set_bss_quality(unsigned(quality));
}

inline TERM::RadioStatus ed137_status(Header const& v = {})
{
    TERM::RadioStatus st;
    TERM::ED137RadioStatus& s = st.get_ed_137();
    fill(s.get_header(), v);
    if (v.quality >= 0)
        fill(s.include_sqi(), v.quality);
    return st;
}

// An rx or tx command for the session at addr.
inline TERM::RadioModifier ed137_modifier(bool rx, Header const& v, const std::string& addr = "0.0.0.0")
{
    TERM::RadioModifier m;
    TERM::ED137RadioModifier& e = m.get_ed_137();
    e.get_addr().set_session_addr(addr);
    e.get_addr().set_session_ssrc(7);
    if (rx) {
        fill(e.get_params().get_rx().get_header(), v);
        if (v.quality >= 0)
            fill(e.get_params().get_rx().include_sqi(), v.quality);
    } else {
        fill(e.get_params().get_tx().get_header(), v);
    }
    return m;
}

} // namespace vbradio
