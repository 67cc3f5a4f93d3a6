// The signals a slot sends to the controller, and the device events that
// become signals.
#include <cstdio>
#include <iostream>

#include "server/slot.h"

void Slot::OnTonecEvent(LGCP::TonecEvent const& event)
{
    LGCP::Signal sig;
    sig.set_tonec(event);
    SendSignal(sig);
}

void Slot::OnNumber(std::string const& number)
{
    LGCP::Signal sig;
    sig.set_number(number);
    SendSignal(sig);
}

void Slot::OnModem(TERM::ModemProceeding const& value)
{
    LGCP::Signal sig;
    sig.set_modemProceeding(value);
    SendSignal(sig);
}

void Slot::OnModem(TERM::ModemInformation const& value)
{
    LGCP::Signal sig;
    sig.set_modemInformation(value);
    SendSignal(sig);
}

void Slot::OnActivated()
{
    LGCP::Signal sig;
    sig.set_activated();
    SendSignal(sig);
}

void Slot::OnDeactivated()
{
    LGCP::Signal sig;
    sig.set_deactivated(LGCP::DeactivateCause::networkError);
    SendSignal(sig);
}

void Slot::OnAbort(int code)
{
    LGCP::Signal sig;
    sig.set_abort(code);
    SendSignal(sig);
}

void Slot::OnUserData(std::vector<char> const& data)
{
    LGCP::Signal sig;
    sig.set_userData(data);
    SendSignal(sig);
}

void Slot::OnIoctlResponse(LGCP::IoctlResponse const& response)
{
    LGCP::Signal sig;
    sig.set_ioctl(response);
    SendSignal(sig);
}

void Slot::OnRtpRadioEvent(TERM::RtpRadioRequest const& request)
{
    LGCP::Signal sig;
    sig.set_rtpExt(request);
    SendSignal(sig);
}

void Slot::OnVADEvent(LGCP::VADEvent const& event)
{
    LGCP::Signal sig;
    sig.set_vad(event);
    SendSignal(sig);
}

void Slot::OnProtoLemzEvent(LEMZGW::ProtoLemzPackets const& packets)
{
    LGCP::Signal sig;
    sig.set_protoLemz(packets);
    SendSignal(sig);
}

void Slot::OnSDEvent(LGCP::SDEvent const& event)
{
    LGCP::Signal sig;
    sig.set_sd(event);
    SendSignal(sig);
}

void Slot::OnRtpEvent(LGCP::RtpEvent const& event)
{
    LGCP::Signal sig;
    sig.set_rtp(event);
    SendSignal(sig);
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

void Slot::processTonecEvent(Hardware::TonecReceiver::Params const& params)
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
        LGCP::Signal sig;
        sig.get_selcal().set_in_progress((e->flags & kSelcal) != 0);
        SendSignal(sig);
    }
}

void Slot::processBSSEvent(dsproc_bss_event const* e)
{
    // Room for every float: the largest prints 39 digits before the point.
    char text[64];
    std::snprintf(text, sizeof(text), "%4.6f", static_cast<double>(e->score));
    LGCP::Signal sig;
    sig.get_bss().set_score(text);
    SendSignal(sig);
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
