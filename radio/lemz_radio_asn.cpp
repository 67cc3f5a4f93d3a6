// Field copies between the LEMZ radio state and the TERM radio types.
#include "radio/lemz_radio_asn.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "radio/radio_control.h"
#include "radio/sig_proto.h"

namespace RTPSignalling {

namespace {

using Params = TERM::LemzRadioModifierParams;

// Alternative of the modifier params by LEMZ packet type. The alternatives
// follow the schema, the types the LEMZ numbering: RV, SH and PW differ.
struct TypeAlternative {
    int type;
    int alternative;
};
const TypeAlternative type_alternatives[] = {
    {GW_FLAG, Params::e_gw_set_flags},         {GW_ADJUST_CHAN, Params::e_gw_set_freq},
    {GW_FLAG_PTT, Params::e_gw_set_ptt},       {GW_FLAG_BSS, Params::e_gw_set_bss},
    {GW_FLAG_RV, Params::e_gw_set_rv},         {GW_FLAG_SH, Params::e_gw_set_sh},
    {GW_FLAG_PW, Params::e_gw_set_pwr},        {GW_FLAG_RS, Params::e_gw_set_resv},
    {GW_SEL_CALL, Params::e_gw_set_selcall},   {GW_SELECT_RC_CHAN, Params::e_gw_set_remote},
    {GW_ADJUST_SQUELSHE, Params::e_gw_set_squelshe}, {GW_ADJUST_RTE, Params::e_gw_set_rte},
    {GW_ADJUST_STANDBY, Params::e_gw_set_standby},   {WM_FLAG, Params::e_wm_flags},
    {WM_TRANS, Params::e_wm_trans},            {WM_RADIO_QUALITY, Params::e_wm_quality},
    {WM_CHAN, Params::e_wm_chan},              {WM_SEL_CALL_TRANS, Params::e_wm_selcall},
    {WM_SELECT_RC_CHAN, Params::e_wm_remote},  {WM_STANDBY, Params::e_wm_standby},
};

// The byte a radio sends for a value it has not set.
const int32_t unset_byte = 0xFF;

std::string float_text(float v)
{
    char text[256] = {};
    std::snprintf(text, sizeof text, "%4.6f", static_cast<double>(v));
    return text;
}

float text_float(std::string const& text)
{
    return static_cast<float>(std::strtod(text.c_str(), nullptr));
}

std::string address_text(uint32_t address)
{
    char text[256] = {};
    in_addr a;
    a.s_addr = address;
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

uint32_t text_address(std::string const& text)
{
    uint32_t address;
    ParseAddress(text, address);
    return address;
}

void flags_to(LemzRadioState const& s, TERM::RadioFlags& f)
{
    f.set_prio(s.priority);
    f.set_ptt(s.ptt != 0);
    f.set_bss(s.b != 0);
    f.set_vad_rx(s.r != 0);
    f.set_vad_tx(s.t != 0);
    f.set_sql(s.s != 0);
    f.set_sh(s.sh != 0);
    f.set_pwr(s.pw != 0);
    f.set_rv(s.rv != 0);
    f.set_resv(s.rs != 0);
    f.set_selcall(static_cast<unsigned>(s.c));
    f.set_li(static_cast<unsigned>(s.status));
}

void flags_from(TERM::RadioFlags const& f, LemzRadioState& s)
{
    s.priority = f.get_prio().getValue();
    s.ptt = f.get_ptt().getValue();
    s.b = f.get_bss().getValue();
    s.r = f.get_vad_rx().getValue();
    s.t = f.get_vad_tx().getValue();
    s.s = f.get_sql().getValue();
    s.sh = f.get_sh().getValue();
    s.pw = f.get_pwr().getValue();
    s.rv = f.get_rv().getValue();
    s.rs = f.get_resv().getValue();
    s.c = static_cast<int32_t>(f.get_selcall().getValue());
    s.status = static_cast<int32_t>(f.get_li().getValue());
}

void freq_to(LemzRadioState const& s, TERM::RadioFrequency& f)
{
    f.set_channel(s.channel_id);
    f.set_frequency(float_text(s.frequency));
}

void freq_from(TERM::RadioFrequency const& f, LemzRadioState& s)
{
    s.channel_id = f.get_channel().getValue();
    s.frequency = text_float(f.get_frequency());
}

void remote_to(LemzRadioState const& s, TERM::RadioRemote& r)
{
    r.set_no(static_cast<unsigned>(s.interface));
    r.set_ch(static_cast<unsigned>(s.channel));
}

void remote_from(TERM::RadioRemote const& r, LemzRadioState& s)
{
    s.interface = static_cast<int32_t>(r.get_no().getValue());
    s.channel = static_cast<int32_t>(r.get_ch().getValue());
}

// Flags and the transmitting session: wm-trans, and with the caller id the
// two selcall commands.
template <class Command>
void session_to(LemzRadioState const& s, Command& v)
{
    flags_to(s, v.get_flags());
    v.set_ip(address_text(s.session_address));
    v.set_ssrc(s.session_ssrc);
}

template <class Command>
void session_from(Command const& v, LemzRadioState& s)
{
    flags_from(v.get_flags(), s);
    s.session_address = text_address(v.get_ip());
    s.session_ssrc = v.get_ssrc().getValue();
}

template <class Command>
void selcall_to(LemzRadioState const& s, Command& v)
{
    session_to(s, v);
    v.set_cid(s.caller_id);
}

template <class Command>
void selcall_from(Command const& v, LemzRadioState& s)
{
    session_from(v, s);
    s.set_caller_id(v.get_cid().c_str());
}

int32_t standby_from(TERM::RadioStandby const& v)
{
    return v.getValue() == TERM::RadioStandby::active ? 0 : -1;
}

// The flag-carrying alternatives share one value class for the GW kinds.
template <class Command>
Command& selected(Params& p, int alternative)
{
    p.select(alternative);
    return static_cast<Command&>(*p.getSelection());
}

} // namespace

int lemz_type_of_alternative(int alternative)
{
    for (auto const& e : type_alternatives)
        if (e.alternative == alternative)
            return e.type;
    return -1;
}

int lemz_alternative_of_type(int type)
{
    for (auto const& e : type_alternatives)
        if (e.type == type)
            return e.alternative;
    return -1;
}

void LemzRadioASN::out_of_range(char const* field, int32_t v, char const* sent_as)
{
    std::cerr << ASNLogPrefix() << "rtpExt " << field << " " << v << " out of range, reported as " << sent_as
              << std::endl;
}

// Squelch and emission type: a closed enumeration whose no-config is 0.
int LemzRadioASN::setting_of(int32_t v, int last, char const* field)
{
    if (v >= 0 && v <= last)
        return v;
    if (v != -1 && v != unset_byte)
        out_of_range(field, v, "no-config");
    return 0;
}

TERM::RadioSquelshe::NamedNumber LemzRadioASN::squelshe_of(int32_t v)
{
    return static_cast<TERM::RadioSquelshe::NamedNumber>(setting_of(v, TERM::RadioSquelshe::percent_100, "squelshe"));
}

TERM::RadioRTE::NamedNumber LemzRadioASN::rte_of(int32_t v)
{
    return static_cast<TERM::RadioRTE::NamedNumber>(setting_of(v, TERM::RadioRTE::j3e, "rte"));
}

TERM::RadioStandby::NamedNumber LemzRadioASN::standby_of(int32_t v, char const* field)
{
    if (v == 0)
        return TERM::RadioStandby::active;
    if (v != -1 && v != unset_byte)
        out_of_range(field, v, "not-use");
    return TERM::RadioStandby::not_use;
}

unsigned LemzRadioASN::group_of(int32_t v)
{
    if (v >= 0 && v <= 255)
        return static_cast<unsigned>(v);
    if (v != -1)
        out_of_range("standby-group", v, "0");
    return 0;
}

void LemzRadioASN::EncodeStatusASN(LemzRadioState const& s, TERM::RtpRadioRequest& r)
{
    TERM::LemzRadioStatus& v = r.get_status().get_lemz();
    flags_to(s, v.get_flags());
    freq_to(s, v.get_freq());
    remote_to(s, v.get_remote());
    v.set_squelshe(squelshe_of(s.squelch));
    v.set_rte(rte_of(s.rte));
    v.set_standby_state_channel(standby_of(s.standby_state, "standby-state-channel"));
    v.set_standby_group(group_of(s.standby_group));
    v.set_standby_state_receiver(standby_of(s.receiver_state, "standby-state-receiver"));
}

void LemzRadioASN::EncodeASN(LemzRadioState const& radio, LemzRadioState const& rx, TERM::RtpRadioRequest& r)
{
    EncodeStatusASN(radio, r);
    int alternative = lemz_alternative_of_type(rx.command);
    if (alternative < 0)
        return;
    TERM::LemzRadioModifier& m = r.include_request().get_lemz();
    m.get_addr().set_session_addr(address_text(rx.source_address));
    m.get_addr().set_session_ssrc(rx.source_ssrc);
    encode_params(rx, alternative, m.get_params());
}

void LemzRadioASN::encode_params(LemzRadioState const& rx, int alternative, Params& p)
{
    switch (alternative) {
    case Params::e_gw_set_flags: case Params::e_gw_set_ptt: case Params::e_gw_set_bss: case Params::e_gw_set_sh:
    case Params::e_gw_set_pwr: case Params::e_gw_set_rv: case Params::e_gw_set_resv:
        flags_to(rx, selected<TERM::RadioCommandGWSetFlags>(p, alternative).get_flags());
        break;
    case Params::e_gw_set_freq: freq_to(rx, p.get_gw_set_freq().get_freq()); break;
    case Params::e_gw_set_selcall: selcall_to(rx, p.get_gw_set_selcall()); break;
    case Params::e_gw_set_remote: remote_to(rx, p.get_gw_set_remote().get_remote()); break;
    case Params::e_gw_set_squelshe: p.get_gw_set_squelshe().set_squelshe(squelshe_of(rx.squelch)); break;
    case Params::e_gw_set_rte: p.get_gw_set_rte().set_rte(rte_of(rx.rte)); break;
    case Params::e_gw_set_standby: p.get_gw_set_standby().set_state(standby_of(rx.standby_state, "state")); break;
    case Params::e_wm_flags: flags_to(rx, p.get_wm_flags().get_flags()); break;
    case Params::e_wm_trans: session_to(rx, p.get_wm_trans()); break;
    case Params::e_wm_quality: p.get_wm_quality().set_bss_val(float_text(rx.quality)); break;
    case Params::e_wm_chan: {
        TERM::RadioCommandWMChan& v = p.get_wm_chan();
        freq_to(rx, v.get_freq());
        v.set_squelshe(squelshe_of(rx.squelch));
        v.set_rte(rte_of(rx.rte));
        break;
    }
    case Params::e_wm_selcall: selcall_to(rx, p.get_wm_selcall()); break;
    case Params::e_wm_remote: remote_to(rx, p.get_wm_remote().get_remote()); break;
    case Params::e_wm_standby: {
        TERM::RadioCommandWMStandby& v = p.get_wm_standby();
        v.set_state_channel(standby_of(rx.standby_state, "state-channel"));
        v.set_group(group_of(rx.standby_group));
        v.set_state_receiver(standby_of(rx.receiver_state, "state-receiver"));
        break;
    }
    default:
        break;
    }
}

void LemzRadioASN::DecodeASN(TERM::LemzRadioStatus const& v, LemzRadioState& s)
{
    s.command = 0;
    flags_from(v.get_flags(), s);
    freq_from(v.get_freq(), s);
    remote_from(v.get_remote(), s);
    s.squelch = v.get_squelshe().getValue();
    s.rte = v.get_rte().getValue();
    s.standby_state = standby_from(v.get_standby_state_channel());
    s.standby_group = static_cast<int32_t>(v.get_standby_group().getValue());
    s.receiver_state = standby_from(v.get_standby_state_receiver());
}

void LemzRadioASN::DecodeASN(TERM::LemzRadioModifier const& m, LemzRadioState& s)
{
    s.command = 0;
    s.source_address = text_address(m.get_addr().get_session_addr());
    s.source_ssrc = m.get_addr().get_session_ssrc().getValue();
    Params const& p = m.get_params();
    if (!p.getSelection())
        return;
    int type = lemz_type_of_alternative(p.currentSelection());
    if (type < 0)
        return;
    s.command = type;
    switch (p.currentSelection()) {
    case Params::e_gw_set_flags: case Params::e_gw_set_ptt: case Params::e_gw_set_bss: case Params::e_gw_set_sh:
    case Params::e_gw_set_pwr: case Params::e_gw_set_rv: case Params::e_gw_set_resv:
        flags_from(static_cast<TERM::RadioCommandGWSetFlags const&>(*p.getSelection()).get_flags(), s);
        break;
    case Params::e_gw_set_freq: freq_from(p.get_gw_set_freq().get_freq(), s); break;
    case Params::e_gw_set_selcall: selcall_from(p.get_gw_set_selcall(), s); break;
    case Params::e_gw_set_remote: remote_from(p.get_gw_set_remote().get_remote(), s); break;
    case Params::e_gw_set_squelshe: s.squelch = p.get_gw_set_squelshe().get_squelshe().getValue(); break;
    case Params::e_gw_set_rte: s.rte = p.get_gw_set_rte().get_rte().getValue(); break;
    case Params::e_gw_set_standby: s.standby_state = standby_from(p.get_gw_set_standby().get_state()); break;
    case Params::e_wm_flags: flags_from(p.get_wm_flags().get_flags(), s); break;
    case Params::e_wm_trans: session_from(p.get_wm_trans(), s); break;
    case Params::e_wm_quality: s.quality = text_float(p.get_wm_quality().get_bss_val()); break;
    case Params::e_wm_chan: {
        TERM::RadioCommandWMChan const& v = p.get_wm_chan();
        freq_from(v.get_freq(), s);
        s.squelch = v.get_squelshe().getValue();
        s.rte = v.get_rte().getValue();
        break;
    }
    case Params::e_wm_selcall: selcall_from(p.get_wm_selcall(), s); break;
    case Params::e_wm_remote: remote_from(p.get_wm_remote().get_remote(), s); break;
    case Params::e_wm_standby: {
        TERM::RadioCommandWMStandby const& v = p.get_wm_standby();
        s.standby_state = standby_from(v.get_state_channel());
        s.standby_group = static_cast<int32_t>(v.get_group().getValue());
        s.receiver_state = standby_from(v.get_state_receiver());
        break;
    }
    default:
        break;
    }
}

} // namespace RTPSignalling
