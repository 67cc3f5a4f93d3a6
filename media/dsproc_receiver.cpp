#include "media/dsproc_receiver.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "board/device.h"
#include "media/device_paths.h"
#include "runtime/ext.h"
#include "runtime/trace_ctl.h"

using namespace Device::Dsp;

namespace Hardware {

namespace {

// The fixed VAD words of drivers before version 2.
const uint32_t kVadV1Words[3] = {3, 127, 0};
const uint32_t kMuteBoth = kMuteA | kMuteB;

Configure record(uint32_t timeslot, uint32_t kind)
{
    Configure r;
    std::memset(&r, 0, sizeof(r));
    r.timeslot = timeslot;
    r.kind = kind;
    return r;
}


} // namespace

// ---------------------------------------------------------------- receiver

DSProcReceiver::DSProcReceiver()
{
    DSProcReceiverService::receivers().add(mLink, this);
}

DSProcReceiver::~DSProcReceiver()
{
    DSProcReceiverService::receivers().remove(mLink);
}

void DSProcReceiver::LeaveTimeslot()
{
    DSProcReceiverService::receivers().remove(mLink);
}

bool DSProcReceiver::configureVAD(LGCP::VADParams const& params)
{
    return DSProcReceiverService::instance().configureVAD(dsproc_timeslot(), params);
}

bool DSProcReceiver::enableVAD(bool on, Policy policy)
{
    return DSProcReceiverService::instance().enableVAD(*this, on, policy);
}

bool DSProcReceiver::disableVAD()
{
    return enableVAD(false);
}

bool DSProcReceiver::enableBSS(bool on, Policy policy)
{
    return DSProcReceiverService::instance().enableBSS(*this, on, policy);
}

bool DSProcReceiver::disableBSS()
{
    return enableBSS(false);
}

bool DSProcReceiver::enableNG(bool on, Policy policy)
{
    return DSProcReceiverService::instance().enableNG(*this, on, policy);
}

bool DSProcReceiver::disableNG()
{
    return enableNG(false);
}

bool DSProcReceiver::enableSelcalSh(bool on, Policy policy)
{
    return DSProcReceiverService::instance().enableSelcalSh(*this, on, policy);
}

bool DSProcReceiver::disableSelcalSh()
{
    return enableSelcalSh(false);
}

bool DSProcReceiver::configureSD()
{
    return DSProcReceiverService::instance().configureSD(dsproc_timeslot());
}

bool DSProcReceiver::enableSD(bool on, Policy policy)
{
    return DSProcReceiverService::instance().enableSD(*this, on, policy);
}

bool DSProcReceiver::disableSD()
{
    return enableSD(false);
}

bool DSProcReceiver::enableMute(bool a, bool b, Policy policy)
{
    return DSProcReceiverService::instance().enableMute(*this, a, b, policy);
}

bool DSProcReceiver::disableMute()
{
    return enableMute(false, false);
}

bool DSProcReceiver::configureDelays(uint32_t rx, uint32_t tx, uint32_t selcal, Policy policy)
{
    return DSProcReceiverService::instance().configureDelays(*this, rx, tx, selcal, policy);
}

bool DSProcReceiver::configureRxGain(int8_t gain_dB)
{
    bool done = DSProcReceiverService::instance().configureRxGain(dsproc_timeslot(), gain_dB);
    mRxGainSet = gain_dB != 0 || (!done && mRxGainSet);
    return done;
}

bool DSProcReceiver::configureToneFilter(uint32_t freq, uint32_t enable, int32_t dur_th_msec, int32_t det_lvl_dB)
{
    return DSProcReceiverService::instance().configureToneFilter(dsproc_timeslot(), freq, enable, dur_th_msec,
                                                                 det_lvl_dB);
}

bool DSProcReceiver::disableToneAll()
{
    return DSProcReceiverService::instance().disableToneAll(*this);
}

// What another live slot of the time slot holds on stays on: a mixer's
// input and output of one channel share it.
void DSProcReceiver::CleanBeforeDestroy()
{
    DSProcReceiverService& service = DSProcReceiverService::instance();
    auto mine = [&](Feature DSProcReceiver::*f) {
        return service.holds_alone(*this, [f](DSProcReceiver& r) -> auto& { return (r.*f).held; });
    };
    if (mine(&DSProcReceiver::mVad))
        enableVAD(false);
    if (mine(&DSProcReceiver::mBss))
        disableBSS();
    if (mine(&DSProcReceiver::mNg))
        disableNG();
    if (mine(&DSProcReceiver::mSelcalSh))
        disableSelcalSh();
    // Signal detection left on would report into the next slot of the time slot.
    if (mine(&DSProcReceiver::mSd))
        disableSD();
    if (delays_set() && !service.held_by_another(*this, &DSProcReceiver::mDelays))
        configureDelays(0, 0, 0);
    if (service.holds_alone(*this, &DSProcReceiver::mMute))
        disableMute();
    service.clean_unheld(*this);
    service.leave(*this);
}

// ----------------------------------------------------------------- service

namespace {
const DeviceService::Setup kSetup{"dsproc", GetDSPDevName(), O_RDWR, "open dsproc fail, VAD proceeding disabled: ",
                                  "DSProcReceiverService::OnEvent", sizeof(Device::Dsp::Event)};
} // namespace

DSProcReceiverService::DSProcReceiverService() : ReceiverService(kSetup) {}

void DSProcReceiverService::dispatch_record(const void* record)
{
    Device::Dsp::Event e;
    std::memcpy(&e, record, sizeof(e));
    dispatch(e);
}

bool DSProcReceiverService::configure(Configure& r, const char* name)
{
    return request(DSPROC_CONFIGURE, &r, name, r.timeslot) >= 0;
}

bool DSProcReceiverService::configureVAD(uint32_t timeslot, LGCP::VADParams const& params)
{
    if (!ready("configure VAD", timeslot))
        return false;
    int version = request_value(DSPROC_VERSION, 0, "DSPROC_CONFIGURE VAD", timeslot);
    if (version < 0)
        return false;
    Configure r = record(timeslot, kVad);
    if (version == kVadV2) {
        if (!params.is_v2()) {
            std::cerr << ext::header(this) << "DSPROC_CONFIGURE VAD: params not specified for v2: "
                      << " timeslot=" << timeslot << std::endl;
            return false;
        }
        const TERM::VADParamsV2& v2 = params.get_v2();
        r.p.vad.voice_th_msec = static_cast<uint16_t>(v2.get_voice_th_msec().getValue());
        r.p.vad.silence_th_msec = static_cast<uint16_t>(v2.get_silence_th_msec().getValue());
        r.p.vad.e_th_dB = static_cast<uint8_t>(v2.get_e_th_dB().getValue());
    } else {
        std::memcpy(r.p.words.w, kVadV1Words, sizeof(kVadV1Words));
    }
    if (!configure(r, "DSPROC_CONFIGURE VAD"))
        return false;
    std::clog << ext::header(this) << "DSPROC_CONFIGURE VAD"
              << " ts=" << timeslot << std::endl;
    return true;
}

bool DSProcReceiverService::configureSD(uint32_t timeslot)
{
    if (!ready("configure SD", timeslot))
        return false;
    Configure r = record(timeslot, kSd);
    if (!configure(r, "DSPROC_CONFIGURE SD"))
        return false;
    std::clog << ext::header(this) << "DSPROC_CONFIGURE SD"
              << " ts=" << timeslot << std::endl;
    return true;
}

bool DSProcReceiverService::configureDelays(DSProcReceiver& receiver, uint32_t rx, uint32_t tx, uint32_t selcal,
                                            Policy policy)
{
    uint32_t ts = receiver.dsproc_timeslot();
    return change_at(ts, receiver.mDelays, &Owed::delays, DSProcReceiver::Delays{rx, tx, selcal}, policy,
                     [&](const DSProcReceiver::Delays& d) { return tell_delays(ts, d); });
}

bool DSProcReceiverService::tell_delays(uint32_t ts, const DSProcReceiver::Delays& d)
{
    if (!present_for("configure Delays", ts))
        return false;
    Configure r = record(ts, kDelays);
    r.p.words = WordParams{{d.rx, d.tx, d.selcal}};
    if (!configure(r, "DSPROC_CONFIGURE DELAYS"))
        return false;
    std::clog << ext::header(this) << "DSPROC_CONFIGURE DELAYS"
              << " ts=" << ts << " rx=" << d.rx << " tx=" << d.tx << " selcal=" << d.selcal << std::endl;
    return true;
}

bool DSProcReceiverService::configureRxGain(uint32_t timeslot, int8_t gain_dB)
{
    // A gain set anew is the new slot's: an owed reset must not undo it.
    if (gain_dB != 0)
        take_over(timeslot, &Owed::rxGain);
    if (!ready("Configure Rx gain", timeslot))
        return false;
    Configure r = record(timeslot, kRxGain);
    r.p.gain.gain_dB = gain_dB;
    if (!configure(r, "DSPROC_CONFIGURE Rx Gain"))
        return false;
    std::clog << ext::header(this) << "DSPROC_CONFIGURE RX GAIN"
              << " ts=" << timeslot << " gain_dB=" << int(gain_dB) << std::endl;
    return true;
}

bool DSProcReceiverService::configureToneFilter(uint32_t timeslot, uint32_t freq, uint32_t enable,
                                                int32_t dur_th_msec, int32_t det_lvl_dB)
{
    take_over(timeslot, &Owed::tones);
    if (!ready("Configure Tone Filter", timeslot))
        return false;
    Configure r = record(timeslot, kToneFilter);
    r.p.tone.freq = static_cast<uint16_t>(freq);
    r.p.tone.enable = static_cast<uint8_t>(enable);
    r.p.tone.dur_th_msec = static_cast<uint16_t>(dur_th_msec);
    r.p.tone.det_lvl_dB = static_cast<int8_t>(det_lvl_dB);
    if (!configure(r, "DSPROC_CONFIGURE Tone Filter"))
        return false;
    std::clog << ext::header(this) << "DSPROC_CONFIGURE TONE FILTER"
              << " ts=" << timeslot << " freq=" << freq << ", en=" << enable << ", dur_th_msec=" << dur_th_msec
              << ", det_lvl_dB=" << det_lvl_dB << std::endl;
    return true;
}

bool DSProcReceiverService::disableToneAll(DSProcReceiver& receiver)
{
    return tones_off(receiver.dsproc_timeslot());
}

bool DSProcReceiverService::tones_off(uint32_t ts)
{
    if (!ready("Disable All Tone", ts))
        return false;
    Enable r{ts, 0, kToneFilter};
    if (request(DSPROC_DISABLE, &r, "Disable All Tone", ts) < 0)
        return false;
    std::clog << ext::header(this) << "DISABLE ALL TONE done: "
              << " ts=" << ts << std::endl;
    return true;
}

// The state is what the controller asked for; the device is asked whenever
// its present descriptor was not told so.
bool DSProcReceiverService::enableFeature(DSProcReceiver& receiver, const Held& h, bool on, Policy policy)
{
    uint32_t ts = receiver.dsproc_timeslot();
    DSProcReceiver::Feature& feature = receiver.*h.feature;
    return change_at(ts, feature.held, h.owed, on, policy, [&](bool want) {
        if (!present_for(std::string(want ? "DSPROC_ENABLE " : "DSPROC_DISABLE ") + h.name, ts))
            return false;
        uint32_t id = want ? next_id() : 0;
        if (!send(Enable{ts, id, h.bit}, h.name, want))
            return false;
        if (want)
            feature.id = id;
        return true;
    });
}

// A feature's lines name its id; the mute's do not.
bool DSProcReceiverService::send(Enable r, const char* name, bool on, bool quiet)
{
    bool named = (r.mask & kMuteBoth) == 0;
    std::string request = std::string(on ? "DSPROC_ENABLE " : "DSPROC_DISABLE ") + name;
    std::string id = on && named ? " id=" + std::to_string(r.id) : std::string();
    if (this->request(on ? DSPROC_ENABLE : DSPROC_DISABLE, &r, request, r.timeslot, id) < 0)
        return false;
    if (!quiet)
        std::cerr << ext::header(this) << request << " done:"
                  << " timeslot=" << r.timeslot << id << std::endl;
    return true;
}

bool DSProcReceiverService::enableVAD(DSProcReceiver& receiver, bool on, Policy policy)
{
    return enableFeature(receiver, kHeld[0], on, policy);
}

bool DSProcReceiverService::enableBSS(DSProcReceiver& receiver, bool on, Policy policy)
{
    return enableFeature(receiver, kHeld[1], on, policy);
}

bool DSProcReceiverService::enableNG(DSProcReceiver& receiver, bool on, Policy policy)
{
    return enableFeature(receiver, kHeld[2], on, policy);
}

bool DSProcReceiverService::enableSelcalSh(DSProcReceiver& receiver, bool on, Policy policy)
{
    return enableFeature(receiver, kHeld[3], on, policy);
}

bool DSProcReceiverService::enableSD(DSProcReceiver& receiver, bool on, Policy policy)
{
    return enableFeature(receiver, kHeld[4], on, policy);
}

namespace {
uint32_t mute_mask(bool a, bool b)
{
    return (a ? kMuteA : 0u) | (b ? kMuteB : 0u);
}
} // namespace

bool DSProcReceiverService::enableMute(DSProcReceiver& receiver, bool a, bool b, Policy policy)
{
    return change_at(receiver.dsproc_timeslot(), receiver.mMute, &Owed::mute, mute_mask(a, b), policy,
                     [&](uint32_t mask) { return tell_mute(receiver, mask, false); });
}

// A mute on takes a new id, and a restore keeps the one it has; off lifts both.
bool DSProcReceiverService::tell_mute(DSProcReceiver& receiver, uint32_t mask, bool restoring)
{
    uint32_t ts = receiver.dsproc_timeslot();
    bool on = mask != 0;
    if (!present_for(on ? "DSPROC_ENABLE MUTE" : "DSPROC_DISABLE MUTE", ts))
        return false;
    uint32_t id = !on ? 0 : restoring && receiver.mMuteId ? receiver.mMuteId : next_id();
    if (!send(Enable{ts, id, on ? mask : kMuteBoth}, "MUTE", on, restoring))
        return false;
    if (on)
        receiver.mMuteId = id;
    return true;
}

// The features a receiver holds on, as the device must be told them again.
const DSProcReceiverService::Held DSProcReceiverService::kHeld[5] = {
    {&DSProcReceiver::mVad, &Owed::vad, kVad, "VAD"},
    {&DSProcReceiver::mBss, &Owed::bss, kBss, "BSS"},
    {&DSProcReceiver::mNg, &Owed::ng, kNg, "NG"},
    {&DSProcReceiver::mSelcalSh, &Owed::selcalSh, kSelcalSh, "SELCAL_SH"},
    {&DSProcReceiver::mSd, &Owed::sd, kSd, "SD"},
};

// Each feature keeps its id, so the events it gives match it as before.
// What the device refuses now stays asked for and untold: the next retry,
// or the receiver's next enable, asks again; what it refuses as invalid is
// given up (Device::Held::restore).
template <class Visit>
void DSProcReceiverService::each_held(Visit visit)
{
    receivers().each([&](DSProcReceiver& r) {
        uint32_t ts = r.dsproc_timeslot();
        for (const Held& h : kHeld) {
            DSProcReceiver::Feature& f = r.*h.feature;
            visit(f.held, [this, &f, &h, ts](bool on) {
                if (on && f.id == 0)
                    f.id = next_id();
                return send(Enable{ts, on ? f.id : 0, h.bit}, h.name, on, true);
            });
        }
        visit(r.mMute, [this, &r](uint32_t mask) { return tell_mute(r, mask, true); });
        visit(r.mDelays, [this, ts](const DSProcReceiver::Delays& d) { return tell_delays(ts, d); });
    });
}

// What is owed of receivers that went, all offs, each by its time slot.
template <class Visit>
void DSProcReceiverService::owed_at(uint32_t ts, Owed& o, Visit visit)
{
    for (const Held& h : kHeld)
        visit(o.*h.owed, [this, &h, ts](bool) { return send(Enable{ts, 0, h.bit}, h.name, false, true); });
    visit(o.mute, [this, ts](uint32_t) { return send(Enable{ts, 0, kMuteBoth}, "MUTE", false, true); });
    visit(o.delays,
          [this, ts](const DSProcReceiver::Delays&) { return tell_delays(ts, DSProcReceiver::Delays{0, 0, 0}); });
    visit(o.rxGain, [this, ts](bool) { return configureRxGain(ts, 0); });
    visit(o.tones, [this, ts](bool) { return tones_off(ts); });
}

unsigned long DSProcReceiverService::restore()
{
    return restore_all();
}

bool DSProcReceiverService::untold(uint64_t present)
{
    return untold_all(present);
}

// The receive gain and the tone filters are not held: nothing tells them
// again, so only the clean-up's refused offs are owed (a device that went
// forgot them anyway; one that calls the time slot invalid has nothing to
// take off). A receiver of the time slot that sets them anew takes them
// over.
void DSProcReceiverService::clean_unheld(DSProcReceiver& receiver)
{
    uint32_t ts = receiver.dsproc_timeslot();
    bool gain = receiver.mRxGainSet;
    receiver.mRxGainSet = false;
    bool shared = false, othersGain = false;
    receivers().each([&](DSProcReceiver& r) {
        if (&r == &receiver || r.dsproc_timeslot() != ts)
            return;
        shared = true;
        othersGain = othersGain || r.mRxGainSet;
    });
    device();
    if (gain && !othersGain)
        end(ts, &Owed::rxGain, [&](bool) { return configureRxGain(ts, 0); });
    // Another slot of the time slot may have filters of its own: the last
    // one to go switches them all off.
    if (!shared)
        end(ts, &Owed::tones, [&](bool) { return tones_off(ts); });
}

void DSProcReceiverService::leave(DSProcReceiver& receiver)
{
    for (const Held& h : kHeld)
        bequeath(receiver, [&h](DSProcReceiver& r) -> auto& { return (r.*h.feature).held; }, h.owed);
    bequeath(receiver, &DSProcReceiver::mMute, &Owed::mute);
    bequeath(receiver, &DSProcReceiver::mDelays, &Owed::delays);
}

// -------------------------------------------------------------- the events

void DSProcReceiverService::trace_event(const Device::Dsp::Event& e) const
{
    std::clog << ext::header(this) << "dsproc event: "
              << " timeslot=" << e.timeslot << " id=" << e.id << " type=" << e.type << std::endl;
    switch (e.type) {
    case kVad:
        std::clog << ext::header(this) << "dsproc vad event: "
                  << " dir_mask=" << e.d[0] << " vad_rx=" << e.d[1] << " vad_tx=" << e.d[2] << std::endl;
        break;
    case kSd:
        std::clog << ext::header(this) << "dsproc sd event: "
                  << " sd_rx=" << static_cast<int32_t>(e.d[0]) << std::endl;
        break;
    case kBss: {
        float score;
        std::memcpy(&score, &e.d[0], sizeof(score));
        std::clog << ext::header(this) << "dsproc bss event: "
                  << " score=" << score << std::endl;
        break;
    }
    case kFlags:
        std::clog << ext::header(this) << "dsproc flags event: "
                  << " flags=" << ext::OutUnsignedInHex(e.d[0]) << ", mask=" << ext::OutUnsignedInHex(e.d[1])
                  << std::endl;
        break;
    default:
        break;
    }
}

void DSProcReceiverService::dispatch(const Device::Dsp::Event& e)
{
    if (traces.signallingEvents)
        trace_event(e);
    if (DSProcReceiver* r = receivers().find(e.timeslot))
        return deliver(*r, e);
    if (traces.signallingEvents)
        std::cerr << ext::header(this) << "receive dsproc event from unknown timeslot " << e.timeslot << std::endl;
}

namespace {
// A VAD or SD event passes when the feature is not off and the id is its own.
bool admitted(const DSProcReceiverService* s, const DSProcReceiver::Feature& f, const Device::Dsp::Event& e,
              const char* name)
{
    if (f.state() == 0) {
        if (traces.signallingEvents)
            std::clog << ext::header(s) << "ignore spurious dsproc " << name << " event (dsproc disabled): "
                      << " timeslot=" << e.timeslot << " id=" << e.id << " type=" << e.type << std::endl;
        return false;
    }
    if (e.id != f.id) {
        if (traces.signallingEvents)
            std::clog << ext::header(s) << "ignore spurious dsproc " << name << " event: "
                      << " timeslot=" << e.timeslot << " id=" << e.id << " type=" << e.type << " rid=" << f.id
                      << std::endl;
        return false;
    }
    return true;
}
} // namespace

void DSProcReceiverService::deliver(DSProcReceiver& r, const Device::Dsp::Event& e)
{
    switch (e.type) {
    case kVad:
        if (admitted(this, r.mVad, e, "vad"))
            r.dsproc_vad_event(DSProcVADEvent{(e.d[0] & 1) ? static_cast<int32_t>(e.d[1]) : -1,
                                              (e.d[0] & 2) ? static_cast<int32_t>(e.d[2]) : -1});
        break;
    case kSd:
        if (admitted(this, r.mSd, e, "sd"))
            r.dsproc_sd_event(DSProcSDEvent{static_cast<int32_t>(e.d[0])});
        break;
    case kBss:
        if (r.mBss.state() == 0) {
            if (traces.signallingEvents)
                std::clog << ext::header(this) << "ignore spurious dsproc bss event (dsproc disabled): "
                          << " timeslot=" << e.timeslot << " id=" << e.id << std::endl;
        } else {
            dsproc_bss_event b;
            std::memcpy(&b, e.d, sizeof(b));
            r.dsproc_bss_event(&b);
        }
        break;
    case kToneFilter: {
        dsproc_tone_event t;
        std::memcpy(&t, e.d, sizeof(t));
        r.dsproc_tone_flt_event(&t);
        break;
    }
    case kFlags: {
        dsproc_flags_event f;
        std::memcpy(&f, e.d, sizeof(f));
        r.dsproc_flags_event(&f);
        break;
    }
    default:
        break;
    }
}

} // namespace Hardware
