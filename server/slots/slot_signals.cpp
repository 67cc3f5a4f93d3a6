// The signals a slot sends to the controller, and the device events that
// become signals.
#include <cstdio>
#include <iostream>

#include "server/slots/slot.h"

namespace {

// A signal with one alternative, which set fills in, sent by the slot.
template <class Set>
void send_with(Slot& slot, Set set)
{
    LGCP::Signal sig;
    set(sig);
    slot.SendSignal(sig);
}

} // namespace

void Slot::OnTonecEvent(LGCP::TonecEvent const& event)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_tonec(event); });
}

void Slot::OnNumber(std::string const& number)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_number(number); });
}

void Slot::OnModem(TERM::ModemProceeding const& value)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_modemProceeding(value); });
}

void Slot::OnModem(TERM::ModemInformation const& value)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_modemInformation(value); });
}

void Slot::OnActivated()
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_activated(); });
}

void Slot::OnDeactivated()
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_deactivated(LGCP::DeactivateCause::networkError); });
}

void Slot::OnAbort(int code)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_abort(code); });
}

void Slot::OnUserData(std::vector<char> const& data)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_userData(data); });
}

void Slot::OnIoctlResponse(LGCP::IoctlResponse const& response)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_ioctl(response); });
}

void Slot::OnRtpRadioEvent(TERM::RtpRadioRequest const& request)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_rtpExt(request); });
}

void Slot::OnVADEvent(LGCP::VADEvent const& event)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_vad(event); });
}

void Slot::OnProtoLemzEvent(LEMZGW::ProtoLemzPackets const& packets)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_protoLemz(packets); });
}

void Slot::OnSDEvent(LGCP::SDEvent const& event)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_sd(event); });
}

void Slot::OnRtpEvent(LGCP::RtpEvent const& event)
{
    send_with(*this, [&](LGCP::Signal& sig) { sig.set_rtp(event); });
}

// ----------------------------------------------------------- device events

namespace {

const uint32_t kCed = 17;
const uint32_t kCng = 18;
const uint32_t kLastDtmf = 127;
const int kLastIva = 20;
const int kIvaRingOff = 21;

const uint32_t kVadRx = 1u << 29;
const uint32_t kVadTx = 1u << 30;
const uint32_t kSelcal = 1u << 31;

const uint32_t kRtpPacketDetection = 1;

} // namespace

void Slot::processTonecEvent(tonec_params const& params)
{
    LGCP::TonecEvent event;
    event.set_timestamp(static_cast<int>(params.timestamp));
    LGCP::TonecCode& code = event.get_event();
    if (params.code == kCed) {
        code.set_ced();
    } else if (params.code == kCng) {
        code.set_cng();
    } else if (params.code <= kLastDtmf) {
        code.set_dtmf(params.code);
    } else {
        // The detector's IVA codes sit in the second byte; the code is a
        // signed word to the detector.
        int n = static_cast<int32_t>(params.code) >> 8;
        if (n >= 1 && n <= kLastIva) {
            code.get_iva().set_code(static_cast<unsigned>(n));
        } else if (n == kIvaRingOff) {
            code.get_iva().set_ringoff();
        } else {
            std::cerr << "bad DTMF code, ignored." << std::endl;
            return;
        }
    }
    OnTonecEvent(event);
}

void Slot::processToneGenEvent()
{
    LGCP::TonecEvent event;
    event.set_timestamp(0);
    event.get_event().set_dtmfDone();
    OnTonecEvent(event);
}

void Slot::processToneFltEvent(dsproc_tone_event const* e)
{
    LGCP::TonecEvent event;
    event.set_timestamp(0);
    LGCP::TonePresence& tone = event.get_event().get_tone_presence();
    tone.set_freq(static_cast<int>(e->freq));
    tone.set_presence(e->presence != 0);
    OnTonecEvent(event);
}

void Slot::processVADEvent(Hardware::DSProcVADEvent const& e)
{
    if (e.rx < 0 && e.tx < 0) {
        std::cerr << "bad VAD event, ignored." << std::endl;
        return;
    }
    LGCP::VADEvent event;
    if (e.rx >= 0)
        event.set_vad_rx(e.rx != 0);
    if (e.tx >= 0)
        event.set_vad_tx(e.tx != 0);
    OnVADEvent(event);
}

void Slot::processFlagsEvent(dsproc_flags_event const* e)
{
    if (e->mask & (kVadRx | kVadTx)) {
        LGCP::VADEvent event;
        if (e->mask & kVadRx)
            event.set_vad_rx((e->flags & kVadRx) != 0);
        if (e->mask & kVadTx)
            event.set_vad_tx((e->flags & kVadTx) != 0);
        OnVADEvent(event);
    }
    if (e->mask & kSelcal) {
        send_with(*this, [&](LGCP::Signal& sig) { sig.get_selcal().set_in_progress((e->flags & kSelcal) != 0); });
    }
}

void Slot::processBSSEvent(dsproc_bss_event const* e)
{
    // Room for every float: the largest prints 39 digits before the point.
    char text[64];
    std::snprintf(text, sizeof(text), "%4.6f", static_cast<double>(e->score));
    send_with(*this, [&](LGCP::Signal& sig) { sig.get_bss().set_score(text); });
}

void Slot::processSDEvent(Hardware::DSProcSDEvent const& e)
{
    if (e.rx < 0) {
        std::cerr << "bad SD event, ignored." << std::endl;
        return;
    }
    LGCP::SDEvent event;
    event.set_sd_rx(e.rx > 0);
    OnSDEvent(event);
}

void Slot::processRtpEvent(rtp_event const& e)
{
    if (e.type != kRtpPacketDetection)
        return;
    LGCP::RtpEvent event;
    LGCP::RtpPDEvent& pd = event.get_pd();
    pd.set_value(static_cast<int>(e.value));
    pd.set_timeout(static_cast<int>(e.timeout));
    OnRtpEvent(event);
}
