// The two roles of the LEMZ control: which fields of a packet or of a
// controller message merge into which state, which packets each side
// sends, and the gateway's status cycle.
#include <algorithm>
#include <cstring>

#include "radio/lemz_radio_control.h"

namespace RTPSignalling {

namespace {

using Copy = void (*)(LemzRadioState& to, LemzRadioState const& from);

// The fields one packet type carries; a complete state (command 0 or
// less) takes every row.
struct Row {
    int types[2];
    Copy copy;
};

void merge(Row const* rows, size_t n, LemzRadioState& to, LemzRadioState const& from)
{
    for (size_t i = 0; i < n; ++i)
        if (isDefaultInitCommand(from.command) || from.command == rows[i].types[0] || from.command == rows[i].types[1])
            rows[i].copy(to, from);
}

template <size_t N>
int merge(Row const (&rows)[N], LemzRadioState& to, LemzRadioState const& from)
{
    merge(rows, N, to, from);
    return isDefaultInitCommand(from.command) ? -1 : 0;
}

// GW_* commands: from the channel at the gateway, from the controller at
// the workstation.
const Row gw_rows[] = {
    {{GW_FLAG, GW_FLAG_PTT}, [](LemzRadioState& t, LemzRadioState const& f) { t.ptt = f.ptt; }},
    {{GW_FLAG, GW_FLAG_BSS}, [](LemzRadioState& t, LemzRadioState const& f) { t.b = f.b; }},
    {{GW_FLAG, GW_FLAG_SH}, [](LemzRadioState& t, LemzRadioState const& f) { t.sh = f.sh; }},
    {{GW_FLAG, GW_FLAG_RV}, [](LemzRadioState& t, LemzRadioState const& f) { t.rv = f.rv; }},
    {{GW_FLAG, GW_FLAG_PW}, [](LemzRadioState& t, LemzRadioState const& f) { t.pw = f.pw; }},
    {{GW_FLAG, GW_FLAG_RS}, [](LemzRadioState& t, LemzRadioState const& f) { t.rs = f.rs; }},
    {{GW_ADJUST_CHAN, -1},
     [](LemzRadioState& t, LemzRadioState const& f) { t.channel_id = f.channel_id, t.frequency = f.frequency; }},
    {{GW_SEL_CALL, -1}, [](LemzRadioState& t, LemzRadioState const& f) { std::memcpy(t.caller_id, f.caller_id, sizeof t.caller_id); }},
    {{GW_SELECT_RC_CHAN, -1},
     [](LemzRadioState& t, LemzRadioState const& f) { t.interface = f.interface, t.channel = f.channel; }},
    {{GW_ADJUST_SQUELSHE, -1}, [](LemzRadioState& t, LemzRadioState const& f) { t.squelch = f.squelch; }},
    {{GW_ADJUST_RTE, -1}, [](LemzRadioState& t, LemzRadioState const& f) { t.rte = f.rte; }},
    {{GW_ADJUST_STANDBY, -1}, [](LemzRadioState& t, LemzRadioState const& f) { t.standby_state = f.standby_state; }},
};

// WM_* statuses: from the controller at the gateway, from the channel at
// the workstation.
const Row wm_rows[] = {
    {{WM_CHAN, -1},
     [](LemzRadioState& t, LemzRadioState const& f) {
         t.channel_id = f.channel_id, t.frequency = f.frequency, t.squelch = f.squelch, t.rte = f.rte;
     }},
    {{WM_SELECT_RC_CHAN, -1},
     [](LemzRadioState& t, LemzRadioState const& f) { t.interface = f.interface, t.channel = f.channel; }},
    {{WM_TRANS, WM_SEL_CALL_TRANS},
     [](LemzRadioState& t, LemzRadioState const& f) { t.session_address = f.session_address, t.session_ssrc = f.session_ssrc; }},
    {{WM_RADIO_QUALITY, -1}, [](LemzRadioState& t, LemzRadioState const& f) { t.quality = f.quality; }},
    {{WM_STANDBY, -1},
     [](LemzRadioState& t, LemzRadioState const& f) {
         t.standby_state = f.standby_state, t.standby_group = f.standby_group, t.receiver_state = f.receiver_state;
     }},
};

void header_fields(LemzRadioState& t, LemzRadioState const& f)
{
    t.command = f.command;
    t.priority = f.priority;
    t.status = f.status;
    t.ptt = f.ptt, t.b = f.b, t.r = f.r, t.t = f.t, t.s = f.s;
    t.sh = f.sh, t.pw = f.pw, t.rv = f.rv, t.rs = f.rs, t.c = f.c;
}

// The header of a packet from a state: the reverse of DecodeProto.
void encode_header(LemzRadioState const& s, sig_proto& p)
{
    sig_proto_init(&p);
    p.type = static_cast<uint32_t>(s.command);
    p.caller[0] = s.source_address;
    p.caller[1] = s.source_ssrc;
    sig_proto_set_base(&p, s.priority, s.t, s.ptt, s.r, s.s, s.b, s.rv, s.sh, s.pw, s.rs, s.c, s.status);
}

in_addr address(uint32_t a)
{
    in_addr r;
    r.s_addr = a;
    return r;
}

int caller_id_length(LemzRadioState const& s)
{
    return static_cast<int>(strnlen(s.caller_id, sizeof s.caller_id - 1));
}

} // namespace

int LemzRadioGWControl::PutProtoFromChanToRadio(LemzRadioState const& s)
{
    mCommand.command = s.command;
    mCommand.priority = s.priority;
    mCommand.session_address = s.source_address;
    mCommand.session_ssrc = s.source_ssrc;
    return merge(gw_rows, mCommand, s);
}

int LemzRadioGWControl::PutProtoFromRadioToChan(LemzRadioState const& s)
{
    header_fields(mRadio, s);
    return merge(wm_rows, mRadio, s);
}

bool LemzRadioGWControl::AccessFormChanToRadio(LemzRadioState const& s)
{
    if (mRadio.ptt == 0 || mRadio.session_address == own_address().sin().sin_addr.s_addr)
        return true;
    if (isPTTCommand(s.command) && s.priority < mRadio.priority && s.ptt)
        return true;
    return s.source_address == mRadio.session_address;
}

int LemzRadioGWControl::EncodeProto(LemzRadioState const& s, sig_proto& p)
{
    encode_header(s, p);
    switch (s.command) {
    case WM_FLAG: return 0;
    case WM_TRANS: return sig_proto_set_wm_transmite(&p, address(s.session_address), s.session_ssrc);
    case WM_RADIO_QUALITY: return sig_proto_set_wm_radio_quality(&p, s.quality);
    case WM_CHAN:
        return sig_proto_set_wm_chan(&p, static_cast<uint32_t>(s.channel_id), s.frequency,
                                     static_cast<uint8_t>(s.squelch), static_cast<uint8_t>(s.rte));
    case WM_SEL_CALL_TRANS:
        return sig_proto_set_wm_selcall_transmite(&p, address(s.session_address), s.session_ssrc, s.caller_id,
                                                  caller_id_length(s));
    case WM_SELECT_RC_CHAN:
        return sig_proto_set_wm_select_rc_chan(&p, static_cast<uint8_t>(s.interface), static_cast<uint8_t>(s.channel));
    case WM_STANDBY:
        return sig_proto_set_wm_standby(&p, static_cast<uint8_t>(s.standby_state), static_cast<uint8_t>(s.standby_group),
                                        static_cast<uint8_t>(s.receiver_state));
    default: return -1;
    }
}

unsigned long LemzRadioGWControl::ProcessRadioStatus(unsigned long now_ms, unsigned long interval)
{
    uint32_t now = static_cast<uint32_t>(now_ms);
    const uint32_t gate = 999;
    if (elapsed(now, mSent[transmit]) > gate)
        SendStatus(mRadio.ptt == 0 ? WM_FLAG : mRadio.caller_id[0] ? WM_SEL_CALL_TRANS : WM_TRANS, now);
    if (elapsed(now, mSent[channel]) > gate && mRadio.channel_id >= 0 && mRadio.frequency >= 0.0f)
        SendStatus(WM_CHAN, now);
    if (mRadio.interface >= 0 && mRadio.channel >= 0)
        SendStatus(WM_SELECT_RC_CHAN, now);
    if (elapsed(now, mSent[standby]) > gate && mRadio.standby_state >= 0 && mRadio.standby_group >= 0 &&
        mRadio.receiver_state >= 0)
        SendStatus(WM_STANDBY, now);
    uint32_t oldest = 0;
    for (uint32_t t : mSent)
        oldest = std::max(oldest, elapsed(now, t));
    return oldest > 0 && oldest < interval ? interval - oldest + 10 : interval;
}

int LemzRadioWSControl::PutProtoFromRadioToChan(LemzRadioState const& s)
{
    mRadio.command = s.command;
    mRadio.priority = s.priority;
    return merge(gw_rows, mRadio, s);
}

int LemzRadioWSControl::PutProtoFromChanToRadio(LemzRadioState const& s)
{
    header_fields(mCommand, s);
    int r = merge(wm_rows, mCommand, s);
    mCommand.session_address = s.source_address;
    mCommand.session_ssrc = s.source_ssrc;
    return r;
}

int LemzRadioWSControl::EncodeProto(LemzRadioState const& s, sig_proto& p)
{
    encode_header(s, p);
    switch (s.command) {
    case GW_FLAG: case GW_FLAG_PTT: case GW_FLAG_BSS: case GW_FLAG_RV: case GW_FLAG_SH: case GW_FLAG_PW:
    case GW_FLAG_RS:
        return 0;
    case GW_ADJUST_CHAN: return sig_proto_set_gw_adjust_chan(&p, static_cast<uint32_t>(s.channel_id), s.frequency);
    case GW_SEL_CALL: return sig_proto_set_gw_selcall(&p, s.caller_id, caller_id_length(s));
    case GW_SELECT_RC_CHAN:
        return sig_proto_set_gw_select_rc_chan(&p, static_cast<uint8_t>(s.interface), static_cast<uint8_t>(s.channel));
    case GW_ADJUST_SQUELSHE: return sig_proto_set_gw_adjust_squelsh(&p, static_cast<uint8_t>(s.squelch));
    case GW_ADJUST_RTE: return sig_proto_set_gw_adjust_rte(&p, static_cast<uint8_t>(s.rte));
    case GW_ADJUST_STANDBY: return sig_proto_set_gw_adjust_standby(&p, static_cast<uint8_t>(s.standby_state));
    default: return -1;
    }
}

} // namespace RTPSignalling
