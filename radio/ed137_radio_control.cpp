// The ED-137 control: the states in the controller's TERM types, the
// receive and send paths, and the gateway's rules, keep-alive and
// supervision.
#include "radio/ed137_radio_control.h"

#include <arpa/inet.h>
#include <poll.h>

#include <iostream>

#include "asn1/avn_encoder.h"
#include "radio/modifier_addresses.h"
#include "runtime/mux_time.h"

namespace RTPSignalling {

namespace {

uint32_t word(bool b)
{
    return b ? 1 : 0;
}

void header_to(ED137RadioState const& s, TERM::ED137RadioHeader& h)
{
    h.set_ptt(static_cast<TERM::ED137RadioPTT::NamedNumber>(s.ptt));
    h.set_squ(static_cast<TERM::ED137RadioSQU::NamedNumber>(s.squ));
    h.set_ptt_id(s.ptt_id);
    h.set_ptt_mute(s.ptt_mute > 0);
    h.set_ptt_summation(s.ptt_summation != 0);
    h.set_sct(s.sct != 0);
}

void sqi_to(ED137RadioState const& s, TERM::ED137RadioExtensionSQI& q)
{
    q.set_bss_method(static_cast<TERM::ED137RadioBSSMethod::NamedNumber>(s.bss_method));
    q.set_bss_quality(s.bss_quality);
}

} // namespace

void ED137RadioParams::Init(TERM::ED137RadioResponse const& r)
{
    if (r.has_transmission_depend_on_squ())
        transmission_depend_on_squ = word(r.get_transmission_depend_on_squ().getValue());
    if (r.has_sigtime())
        sigtime = static_cast<uint32_t>(r.get_sigtime().getValue());
    if (r.has_r2s_keepalive_period())
        keepalive_period = static_cast<uint32_t>(r.get_r2s_keepalive_period().getValue());
    if (r.has_r2s_keepalive_multiplier())
        keepalive_multiplier = static_cast<uint32_t>(r.get_r2s_keepalive_multiplier().getValue());
    type = static_cast<uint32_t>(r.get_type().getValue());
    txrxmode = static_cast<uint32_t>(r.get_txrxmode().getValue());
}

bool ED137RadioState::IsEqual(ED137RadioState const& o) const
{
    return flags == o.flags && ptt == o.ptt && squ == o.squ && ptt_id == o.ptt_id && ptt_mute == o.ptt_mute &&
           ptt_summation == o.ptt_summation && sct == o.sct && bss_method == o.bss_method &&
           bss_quality == o.bss_quality && source_address == o.source_address && source_ssrc == o.source_ssrc;
}

void ED137RadioState::header(TERM::ED137RadioHeader const& h)
{
    ptt = static_cast<uint32_t>(h.get_ptt().getValue());
    squ = static_cast<uint32_t>(h.get_squ().getValue());
    ptt_id = static_cast<uint32_t>(h.get_ptt_id().getValue());
    ptt_mute = word(h.get_ptt_mute().getValue());
    ptt_summation = word(h.get_ptt_summation().getValue());
    sct = word(h.get_sct().getValue());
}

void ED137RadioState::sqi(TERM::ED137RadioExtensionSQI const& q)
{
    flags |= rx_header | sqi_valid;
    bss_method = static_cast<uint32_t>(q.get_bss_method().getValue());
    bss_quality = static_cast<uint32_t>(q.get_bss_quality().getValue());
}

void ED137RadioState::DecodeASN(TERM::ED137RadioStatus const& status)
{
    flags = rx_header | header_valid;
    header(status.get_header());
    if (status.has_sqi())
        sqi(status.get_sqi());
}

void ED137RadioState::DecodeASN(TERM::ED137RadioModifier const& modifier)
{
    flags = 0;
    ParseAddress(modifier.get_addr().get_session_addr(), source_address);
    source_ssrc = static_cast<uint32_t>(modifier.get_addr().get_session_ssrc().getValue());
    TERM::ED137RadioModifierParams const& p = modifier.get_params();
    if (p.is_rx()) {
        flags |= rx_header | header_valid;
        header(p.get_rx().get_header());
        if (p.get_rx().has_sqi())
            sqi(p.get_rx().get_sqi());
    } else if (p.is_tx()) {
        flags |= tx_header | header_valid;
        header(p.get_tx().get_header());
    }
}

void ED137RadioState::EncodeASN(TERM::ED137RadioModifierParams& params) const
{
    if (is_rx()) {
        TERM::ED137RadioRxCommand& rx = params.get_rx();
        header_to(*this, rx.get_header());
        if (flags & sqi_valid)
            sqi_to(*this, rx.include_sqi());
    } else if (is_tx()) {
        header_to(*this, params.get_tx().get_header());
    }
}

void ED137RadioControl::Init()
{
    uint32_t now = Mux::milliseconds();
    set_last_tick(now);
    mLastRxSent = mLastNotify = mLastPacket = now;
    r2s_proto_init(&mCurrent, R2S_TYPE_NONE);
    r2s_proto_init(&mPrevious, R2S_TYPE_NONE);
}

template <class Choice>
bool ED137RadioControl::SendED137(Choice const& choice)
{
    if (!choice.is_ed_137())
        return false;
    ED137RadioState copy = mRadio;
    copy.DecodeASN(choice.get_ed_137());
    SendRadioStateToChan(copy);
    return true;
}

bool ED137RadioControl::SendASNToChan(TERM::RadioStatus const& status)
{
    return SendED137(status);
}

bool ED137RadioControl::SendASNToChan(TERM::RadioModifier const& modifier)
{
    return AddressesParse(modifier, *this) && SendED137(modifier);
}

int ED137RadioControl::DecodeProto(r2s_proto const& p, ED137RadioState& s)
{
    s.source_address = p.source_addr;
    s.source_ssrc = p.source_ssrc;
    if (p.type == R2S_TYPE_TX) {
        r2s_proto_tx_header const& h = p.header.tx;
        s.flags |= ED137RadioState::tx_header | ED137RadioState::header_valid;
        s.ptt = h.ptt_type, s.ptt_id = h.ptt_id, s.ptt_mute = h.pm, s.ptt_summation = h.ptts;
        return 0;
    }
    if (p.type != R2S_TYPE_RX)
        return -1;
    r2s_proto_rx_header const& h = p.header.rx;
    s.flags |= ED137RadioState::rx_header | ED137RadioState::header_valid;
    s.ptt = h.ptt_type, s.squ = h.squ, s.ptt_id = h.ptt_id;
    s.ptt_mute = h.pm, s.ptt_summation = h.ptts, s.sct = h.sct;
    unsigned count = p.count < unsigned(r2s_proto_max_additionals) ? p.count : r2s_proto_max_additionals;
    for (unsigned i = 0; i < count; ++i) {
        r2s_proto_additional const& a = p.additionals[i];
        if (a.kind != R2S_RX_SQI)
            continue;
        // ED-137B puts the quality index in the high five bits and the
        // method in the low three.
        s.flags |= ED137RadioState::sqi_valid;
        s.bss_quality = a.f[0];
        s.bss_method = a.f[1];
    }
    return 0;
}

void ED137RadioControl::EncodeStatusASN(ED137RadioState const& s, TERM::RtpRadioRequest& request)
{
    TERM::ED137RadioStatus& status = request.get_status().get_ed_137();
    header_to(s, status.get_header());
    sqi_to(s, status.include_sqi());
}

void ED137RadioControl::EncodeASN(ED137RadioState const& radio, ED137RadioState const& chan,
                                  TERM::RtpRadioRequest& request)
{
    EncodeStatusASN(radio, request);
    TERM::ED137RadioModifier& m = request.include_request().get_ed_137();
    char text[INET_ADDRSTRLEN] = {};
    in_addr a;
    a.s_addr = chan.source_address;
    inet_ntop(AF_INET, &a, text, sizeof text);
    m.get_addr().set_session_addr(text);
    m.get_addr().set_session_ssrc(chan.source_ssrc);
    chan.EncodeASN(m.get_params());
}

void ED137RadioControl::OnRtpExtEvent(int, short revents)
{
    if (!(revents & POLLIN))
        return;
    if (trace())
        std::clog << GetPrefix() << "receive extension packet(s)!" << std::endl;
    uint32_t now = Mux::milliseconds();
    set_last_tick(now);
    r2s_proto_init(&mPrevious, R2S_TYPE_NONE);
    unsigned count = 0;
    unsigned char buf[Device::RtpExt::kMaxPayload];
    for (;;) {
        ssize_t n = ReadPayload(buf, sizeof buf);
        if (n < 0)
            break;
        r2s_proto_init(&mCurrent, R2S_TYPE_NONE);
        // The voice side sends TX headers only.
        int r = r2s_proto_unpack_tx(&mCurrent, buf, static_cast<int>(n));
        if (r != 0) {
            stats().unpack_error = r;
            continue;
        }
        ++stats().unpacked;
        mLastPacket = now;
        mCurrent.source_addr = source().addr;
        mCurrent.source_ssrc = source().ssrc;
        // Of a run from one sender only the last counts.
        if (count > 0 && cmp_r2s_proto_source(&mCurrent, &mPrevious) != 0)
            OnRtpProtoRXEvent(mPrevious);
        mPrevious = mCurrent;
        ++count;
    }
    if (count > 0)
        OnRtpProtoRXEvent(mPrevious);
}

void ED137RadioControl::OnRtpProtoRXEvent(r2s_proto const& p)
{
    ED137RadioState s;
    DecodeProto(p, s);
    if (!AccessFormChanToRadio(s))
        return;
    uint32_t now = Mux::milliseconds();
    // The same header again within an interval is a repetition.
    if (s.IsEqual(mChan) && elapsed(now, mLastNotify) < interval())
        return;
    PutProtoFromChanToRadio(s);
    TERM::RtpRadioRequest request;
    EncodeASN(mRadio, s, request);
    if (trace())
        std::clog << GetPrefix() << " command=0x" << std::hex << s.flags << std::dec
                  << " send extension to controller: " << request << std::endl;
    mLastNotify = now;
    if (notify())
        notify()->RadioControlNotify(request);
}

bool ED137RadioControl::NeedSendProto(ED137RadioState const& s) const
{
    // Frame count or sigtime 0: the driver sends only what it is given, so
    // every status goes out.
    if (init_params().w[3] < 1 || init_params().w[2] < 1)
        return true;
    return !s.IsEqual(mRadio);
}

// A state already sent is not sent again, but it still asks for its
// owner's filter, which the board may not carry yet.
void ED137RadioControl::SendRadioStateToChan(ED137RadioState const& s)
{
    if (NeedSendProto(s))
        SendNewState(s);
    in_addr owner;
    owner.s_addr = mRadio.source_address;
    UpdateAccess(mRadio.ptt != 0, owner);
}

void ED137RadioControl::SendNewState(ED137RadioState const& s)
{
    if (PutProtoFromRadioToChan(s) == 0) {
        r2s_proto p;
        if (EncodeProto(s, p) == 0) {
            SendProtoToChan(p);
            uint32_t now = Mux::milliseconds();
            set_last_tick(now);
            if (role() == gateway && s.is_rx())
                mLastRxSent = now;
        }
    }
    if (trace()) {
        TERM::RtpRadioRequest status;
        EncodeStatusASN(mRadio, status);
        std::clog << GetPrefix() << "command=0x" << std::hex << s.flags << std::dec
                  << " receive extension from controller: " << status.get_status() << std::endl;
    }
}

int ED137RadioControl::SendProtoToChan(r2s_proto& p)
{
    unsigned char buf[Device::RtpExt::kMaxPayload];
    return WritePacked(buf, r2s_proto_pack(&p, buf, sizeof buf));
}

unsigned long ED137RadioGWControl::ProcessRadioStatus(unsigned long now_ms, unsigned long interval)
{
    uint32_t now = static_cast<uint32_t>(now_ms);
    uint32_t limit = mParams.keepalive_period * mParams.keepalive_multiplier;
    if (limit != 0 && elapsed(now, mLastPacket) >= limit && notify())
        notify()->RadioControlNotify(kED137PartnerLost);
    if (elapsed(now, mLastRxSent) >= interval) {
        // The keep-alive is an RX header whatever was sent last: after a TX
        // command the state would be of neither kind and the partner would
        // refuse every keep-alive.
        mRadio.flags = (mRadio.flags & ~uint32_t(ED137RadioState::tx_header)) | ED137RadioState::rx_header |
                       ED137RadioState::header_valid;
        r2s_proto p;
        if (EncodeProto(mRadio, p) == 0) {
            SendProtoToChan(p);
            mLastRxSent = now;
        }
    }
    uint32_t e = elapsed(now, mLastRxSent);
    return e >= 1 && e < interval ? interval - e + 10 : interval;
}

namespace {

// Source, kind and header always; the SQI values only when s has them.
void store(ED137RadioState const& s, ED137RadioState& into)
{
    uint32_t method = into.bss_method, quality = into.bss_quality;
    into = s;
    if (!(s.flags & ED137RadioState::sqi_valid))
        into.bss_method = method, into.bss_quality = quality;
}

} // namespace

int ED137RadioGWControl::PutProtoFromRadioToChan(ED137RadioState const& s)
{
    store(s, mRadio);
    return 0;
}

int ED137RadioGWControl::PutProtoFromChanToRadio(ED137RadioState const& s)
{
    store(s, mChan);
    return 0;
}

bool ED137RadioGWControl::AccessFormChanToRadio(ED137RadioState const&)
{
    bool sends = mParams.type == 2 || mParams.type == 3 || mParams.type == 4; // radio-txrx, radio, coupling
    bool transmits = mParams.txrxmode == 0 || mParams.txrxmode == 2;         // tx, txrx
    return sends && transmits;
}

int ED137RadioGWControl::EncodeProto(ED137RadioState const& s, r2s_proto& p)
{
    if (s.is_rx()) {
        r2s_proto_init(&p, R2S_TYPE_RX);
        r2s_proto_set_rx_header(&p, s.ptt, s.squ, s.ptt_id, s.ptt_mute, s.ptt_summation, s.sct);
        if (s.flags & ED137RadioState::sqi_valid)
            r2s_proto_add_rx_sqi(&p, s.bss_quality, s.bss_method); // quality in the high bits
        return 0;
    }
    if (s.is_tx()) {
        r2s_proto_init(&p, R2S_TYPE_TX);
        r2s_proto_set_tx_header(&p, s.ptt, s.ptt_id, s.ptt_mute, s.ptt_summation);
        return 0;
    }
    return -1;
}

} // namespace RTPSignalling
