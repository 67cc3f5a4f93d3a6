// The LEMZ control's receive and send paths, common to both roles.
#include "radio/lemz_radio_control.h"

#include <poll.h>

#include <algorithm>
#include <cstring>
#include <iostream>

#include "asn1/avn_encoder.h"
#include "radio/modifier_addresses.h"
#include "runtime/mux_time.h"

namespace RTPSignalling {

bool isPTTCommand(int type)
{
    return type == GW_FLAG || type == GW_FLAG_PTT || type == GW_SEL_CALL || type == WM_FLAG || type == WM_TRANS ||
           type == WM_SEL_CALL_TRANS;
}

bool isDefaultInitCommand(int command)
{
    return command <= 0;
}

void LemzRadioControl::Init()
{
    mCommand = LemzRadioState();
    mRadio = LemzRadioState();
    uint32_t now = Mux::milliseconds();
    std::fill(mSent, mSent + kinds, now);
    mLastActivity = now;
    sig_proto_init(&mCurrent);
    sig_proto_init(&mPrevious);
}

template <class Choice>
bool LemzRadioControl::SendLemz(Choice const& choice)
{
    if (!choice.is_lemz())
        return false;
    LemzRadioState copy = mRadio;
    DecodeASN(choice.get_lemz(), copy);
    SendRadioStateToChan(copy);
    return true;
}

bool LemzRadioControl::SendASNToChan(TERM::RadioStatus const& status)
{
    return SendLemz(status);
}

bool LemzRadioControl::SendASNToChan(TERM::RadioModifier const& modifier)
{
    return AddressesParse(modifier, *this) && SendLemz(modifier);
}

void LemzRadioControl::OnRtpExtEvent(int, short revents)
{
    if (!(revents & POLLIN))
        return;
    if (trace())
        std::clog << GetPrefix() << "receive extension packet(s)!" << std::endl;
    sig_proto_init(&mPrevious);
    unsigned count = 0;
    unsigned char buf[Device::RtpExt::kMaxPayload];
    for (;;) {
        ssize_t n = ReadPayload(buf, sizeof buf);
        if (n < 0)
            break;
        sig_proto_init(&mCurrent);
        int r = sig_proto_unpack(&mCurrent, buf, static_cast<int>(n));
        if (r != 0) {
            stats().unpack_error = r;
            continue;
        }
        ++stats().unpacked;
        mCurrent.caller[0] = source().addr;
        mCurrent.caller[1] = source().ssrc;
        // Of a run of one kind from one sender only the last counts.
        if (count > 0 && cmp_sig_proto_header(&mCurrent, &mPrevious) != 0)
            OnRtpProtoRXEvent(mPrevious);
        mPrevious = mCurrent;
        ++count;
    }
    if (count > 0)
        OnRtpProtoRXEvent(mPrevious);
}

void LemzRadioControl::DecodeProto(sig_proto const& p, LemzRadioState& s)
{
    auto const& pl = p.payload;
    s.command = static_cast<int32_t>(p.type);
    s.source_address = p.caller[0];
    s.source_ssrc = p.caller[1];
    s.priority = static_cast<int32_t>(p.priority);
    s.ptt = static_cast<int32_t>(p.flag_p);
    s.t = static_cast<int32_t>(p.flag_t);
    s.r = static_cast<int32_t>(p.flag_r);
    s.s = static_cast<int32_t>(p.flag_s);
    s.b = static_cast<int32_t>(p.flag_b);
    s.rv = static_cast<int32_t>(p.flag_rv);
    s.sh = static_cast<int32_t>(p.flag_sh);
    s.rs = static_cast<int32_t>(p.flag_rs);
    s.pw = static_cast<int32_t>(p.flag_pw);
    s.c = static_cast<int32_t>(p.flag_c);
    s.status = static_cast<int32_t>(p.status);
    auto caller_id = [&s](char const* text, unsigned length) {
        std::memset(s.caller_id, 0, sizeof s.caller_id);
        std::memcpy(s.caller_id, text, std::min(length, unsigned(sizeof s.caller_id - 1)));
    };
    switch (p.type) {
    case GW_ADJUST_CHAN:
        s.channel_id = static_cast<int32_t>(pl.gw_adjust_chan.id);
        s.frequency = pl.gw_adjust_chan.freq;
        break;
    case GW_SEL_CALL: caller_id(pl.gw_sel_call.callerID, pl.gw_sel_call.callerID_length); break;
    case GW_SELECT_RC_CHAN:
        s.interface = pl.gw_select_rc_chan.interface;
        s.channel = pl.gw_select_rc_chan.channel;
        break;
    case GW_ADJUST_SQUELSHE: s.squelch = pl.gw_adjust_squelsh.squelsh; break;
    case GW_ADJUST_RTE: s.rte = pl.gw_adjust_rte.rte; break;
    case GW_ADJUST_STANDBY: s.standby_state = pl.gw_adjust_standby.state; break;
    case WM_TRANS:
        s.session_address = pl.wm_trans.session_addr.s_addr;
        s.session_ssrc = pl.wm_trans.ssrc;
        break;
    case WM_RADIO_QUALITY: s.quality = pl.wm_radio_quality.radio_quality; break;
    case WM_CHAN:
        s.channel_id = static_cast<int32_t>(pl.wm_chan.id);
        s.frequency = pl.wm_chan.freq;
        s.squelch = pl.wm_chan.squelsh;
        s.rte = pl.wm_chan.rte;
        break;
    case WM_SEL_CALL_TRANS:
        s.session_address = pl.wm_sel_call_trans.session_addr.s_addr;
        s.session_ssrc = pl.wm_sel_call_trans.ssrc;
        caller_id(pl.wm_sel_call_trans.callerID, pl.wm_sel_call_trans.callerID_length);
        break;
    case WM_SELECT_RC_CHAN:
        s.interface = pl.wm_select_rc_chan.interface;
        s.channel = pl.wm_select_rc_chan.channel;
        break;
    case WM_STANDBY:
        s.standby_state = pl.wm_standby.state;
        s.standby_group = pl.wm_standby.group;
        s.receiver_state = pl.wm_standby.receiver_state;
        break;
    default:
        break;
    }
}

void LemzRadioControl::OnRtpProtoRXEvent(sig_proto const& packet)
{
    TERM::RtpRadioRequest request;
    LemzRadioState s;
    DecodeProto(packet, s);
    if (AccessFormChanToRadio(s)) {
        PutProtoFromChanToRadio(s);
        EncodeASN(mRadio, s, request);
        if (trace())
            std::clog << GetPrefix() << "command=0x" << std::hex << s.command << std::dec
                      << " send extension to controller: " << request << std::endl;
        if (notify())
            notify()->RadioControlNotify(request);
    }
    in_addr owner;
    owner.s_addr = mRadio.session_address;
    UpdateAccess(mRadio.ptt != 0, owner);
}

void LemzRadioControl::SendRadioStateToChan(LemzRadioState const& state)
{
    if (PutProtoFromRadioToChan(state) == 0) {
        sig_proto p;
        if (EncodeProto(state, p) == 0) {
            SendProtoToChan(p);
            uint32_t now = Mux::milliseconds();
            mLastActivity = now;
            bool known = false;
            Kind k = KindOf(p.type, known);
            if (known && role() == gateway)
                mSent[k] = now;
        }
    }
    if (trace()) {
        TERM::RtpRadioRequest status;
        EncodeStatusASN(mRadio, status);
        std::clog << GetPrefix() << "command=0x" << std::hex << state.command << std::dec
                  << " receive extension from controller: " << status.get_status() << std::endl;
    }
    in_addr owner;
    owner.s_addr = mRadio.session_address;
    UpdateAccess(mRadio.ptt != 0, owner);
}

int LemzRadioControl::SendProtoToChan(sig_proto& packet)
{
    unsigned char buf[Device::RtpExt::kMaxPayload];
    return WritePacked(buf, sig_proto_pack(&packet, buf, sizeof buf));
}

LemzRadioControl::Kind LemzRadioControl::KindOf(uint32_t type, bool& known)
{
    known = true;
    switch (type) {
    case WM_FLAG: case WM_TRANS: case WM_SEL_CALL_TRANS: return transmit;
    case WM_CHAN: return channel;
    case WM_SELECT_RC_CHAN: return remote;
    case WM_STANDBY: return standby;
    default: known = false; return transmit;
    }
}

bool LemzRadioControl::SendStatus(uint32_t type, uint32_t now)
{
    mRadio.command = static_cast<int32_t>(type);
    sig_proto p;
    if (EncodeProto(mRadio, p) != 0)
        return false;
    SendProtoToChan(p);
    bool known = false;
    mSent[KindOf(type, known)] = now;
    return true;
}

} // namespace RTPSignalling
