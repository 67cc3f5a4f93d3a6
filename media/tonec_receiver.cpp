#include "media/tonec_receiver.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "board/device.h"
#include "media/device_paths.h"
#include "runtime/ext.h"

using namespace Device::Dtmf;

namespace Dtmf {

const char strRep[17] = "0123456789*#ABCD";
const uint16_t freq1[16] = {941, 697, 697, 697, 770, 770, 770, 852, 852, 852, 941, 941, 697, 770, 852, 941};
const uint16_t freq2[16] = {1336, 1209, 1336, 1477, 1209, 1336, 1477, 1209, 1336, 1477, 1209, 1477, 1633, 1633, 1633, 1633};

namespace {
std::map<char, std::pair<uint16_t, uint16_t>> grid()
{
    std::map<char, std::pair<uint16_t, uint16_t>> m;
    for (size_t i = 0; i < 16; ++i)
        m[strRep[i]] = {freq1[i], freq2[i]};
    return m;
}
} // namespace

std::map<char, std::pair<uint16_t, uint16_t>> tonesValidator = grid();

} // namespace Dtmf

namespace Hardware {

namespace {

const unsigned kDefaultDuration = 70; // ms, tone and pause of a digit
const uint16_t kDefaultAmp = 16384;
const TonecReceiver::Tone kWaitTone{425, 0, 2048, 2048};
const unsigned kWaitOn = 1000;
const unsigned kWaitOff = 3000;
// The pause between tones: the generator running with no amplitude.
const TonecReceiver::Tone kSilence{1000, 1000, 0, 0};
const uint16_t kSelcalAmp = 12000;
const size_t kSelcalSigns = sizeof(SelcalDial::signs);

bool fits16(const ASN1::INTEGER& v)
{
    return v.getValue() >= 0 && v.getValue() <= 0xFFFF;
}

uint16_t or_default(bool present, const ASN1::INTEGER& v, uint16_t otherwise)
{
    return present ? static_cast<uint16_t>(v.getValue()) : otherwise;
}

// Frequencies, amplitudes and durations that the generator record holds.
// A tone of no duration is never heard, so a digit of it is not played; a
// pause of none is, as the digits' own edges still part distinct digits.
bool playable(const LGCP::TranslateDtmfParams& p)
{
    for (auto it = p.get_digits().begin(); it != p.get_digits().end(); ++it)
        if (!fits16((*it).get_freq1()) || !fits16((*it).get_freq2()))
            return false;
    return (!p.has_amp1() || fits16(p.get_amp1())) && (!p.has_amp2() || fits16(p.get_amp2())) &&
           (!p.has_toneDuration() || p.get_toneDuration().getValue() > 0) &&
           (!p.has_pauseDuration() || p.get_pauseDuration().getValue() >= 0);
}

} // namespace

// ---------------------------------------------------------------- receiver

TonecReceiver::TonecReceiver()
{
    TonecReceiverService::receivers().add(mLink, this);
}

TonecReceiver::~TonecReceiver()
{
    TonecReceiverService::receivers().remove(mLink);
}

void TonecReceiver::LeaveTimeslot()
{
    TonecReceiverService::receivers().remove(mLink);
}

bool TonecReceiver::configureDTMF(LGCP::DTMFParams const& params)
{
    return TonecReceiverService::instance().configureDTMF(tonec_timeslot(), params);
}

bool TonecReceiver::enableDTMF(bool on, Policy policy)
{
    return TonecReceiverService::instance().enableDTMF(*this, on, policy);
}

bool TonecReceiver::disableDTMF()
{
    return enableDTMF(false);
}

bool TonecReceiver::echoCancel(bool on, Policy policy)
{
    return TonecReceiverService::instance().echoCancel(*this, on, policy);
}

bool TonecReceiver::enableDTMFReject(bool on, Policy policy)
{
    return TonecReceiverService::instance().enableDTMFReject(*this, on, policy);
}

bool TonecReceiver::dial(const Tone& tone, Policy policy)
{
    return TonecReceiverService::instance().dial(*this, tone, policy);
}

bool TonecReceiver::enableToneGenerator(uint16_t f1, uint16_t f2, uint16_t a1, uint16_t a2)
{
    return dial(Tone{f1, f2, a1, a2});
}

bool TonecReceiver::enableSilence()
{
    return dial(kSilence);
}

bool TonecReceiver::disableToneGenerator(bool force)
{
    if (!force && !mPlaying)
        return false;
    // Whatever cadence runs (digits or the wait tone) ends here.
    mCadence.reset();
    mPlaying = false;
    return dial(Tone{});
}

bool TonecReceiver::enableIVA(bool on, Policy policy)
{
    return TonecReceiverService::instance().enableIVA(*this, on, policy);
}

bool TonecReceiver::configureIVA(LGCP::IVAParams const& params)
{
    return TonecReceiverService::instance().configureIVA(*this, params);
}

bool TonecReceiver::translateSelcal(TERM::SelcalCommand const& cmd)
{
    return TonecReceiverService::instance().translateSelcal(*this, cmd);
}

bool TonecReceiver::translateDTMF(LGCP::TranslateDtmfParams const& params)
{
    if (!playable(params)) {
        std::cerr << ext::header(&TonecReceiverService::instance()) << "DTMF_DIAL fail:"
                  << " timeslot=" << tonec_timeslot() << " values out of range, sequence ignored" << std::endl;
        return false;
    }
    mSequence = params;
    mNextDigit = 0;
    if (mPlaying)
        return true;
    mPlaying = true;
    return started(play_digit());
}

// A sequence or wait tone whose first tone the generator did not take is
// not played at all: the controller hears no end of it, and the generator
// is left silent.
bool TonecReceiver::started(bool firstTone)
{
    if (!firstTone)
        disableToneGenerator(true);
    return firstTone;
}

// Tone of the next digit, or the end of the sequence; whether the
// generator took the tone (an end always counts as taken). Only the first
// digit answers the controller; the others are held.
bool TonecReceiver::play_digit()
{
    Policy policy = mNextDigit == 0 ? Policy::told : Policy::held;
    const auto& digits = mSequence.get_digits();
    if (mNextDigit >= digits.size()) {
        disableToneGenerator(true);
        tone_gen_complete();
        return true;
    }
    const LGCP::DualTone& d = digits[mNextDigit++];
    bool done = dial(Tone{static_cast<uint16_t>(d.get_freq1().getValue()),
                          static_cast<uint16_t>(d.get_freq2().getValue()),
                          or_default(mSequence.has_amp1(), mSequence.get_amp1(), kDefaultAmp),
                          or_default(mSequence.has_amp2(), mSequence.get_amp2(), kDefaultAmp)},
                     policy);
    unsigned ms = mSequence.has_toneDuration() ? static_cast<unsigned>(mSequence.get_toneDuration().getValue())
                                               : kDefaultDuration;
    mCadence.set(ms, &TonecReceiver::OnTone, this);
    return done;
}

void TonecReceiver::OnDigit()
{
    play_digit();
}

void TonecReceiver::OnTone()
{
    dial(kSilence, Policy::held);
    unsigned ms = mSequence.has_pauseDuration() ? static_cast<unsigned>(mSequence.get_pauseDuration().getValue())
                                                : kDefaultDuration;
    mCadence.set(ms, &TonecReceiver::OnDigit, this);
}

bool TonecReceiver::activateAudibleCall()
{
    // The wait tone takes the generator: a running sequence ends unfinished.
    mPlaying = false;
    return started(wait_tone(Policy::told));
}

bool TonecReceiver::wait_tone(Policy policy)
{
    bool done = dial(kWaitTone, policy);
    mCadence.set(kWaitOn, &TonecReceiver::OnWaitSilence, this);
    return done;
}

void TonecReceiver::OnWaitTone()
{
    wait_tone(Policy::held);
}

void TonecReceiver::OnWaitSilence()
{
    dial(kSilence, Policy::held);
    mCadence.set(kWaitOff, &TonecReceiver::OnWaitTone, this);
}

bool TonecReceiver::cancelAudibleCall()
{
    return mPlaying || disableToneGenerator(true);
}

// What another live slot of the time slot holds on stays on: a mixer's
// input and output of one channel share it.
void TonecReceiver::CleanBeforeDestroy()
{
    TonecReceiverService& service = TonecReceiverService::instance();
    if (service.holds_alone(*this, &TonecReceiver::mDtmf))
        disableDTMF();
    if (service.holds_alone(*this, &TonecReceiver::mIva))
        enableIVA(false);
    if (service.holds_alone(*this, &TonecReceiver::mReject))
        enableDTMFReject(false);
    // Left on, it would cancel into the next user of the time slot.
    if (service.holds_alone(*this, &TonecReceiver::mEcho))
        echoCancel(false);
    // A generator left on would sound into the next user of the time slot.
    bool sounding = mTone.on() || mPlaying || mCadence.pending();
    if (sounding && !service.held_by_another(*this, &TonecReceiver::mTone))
        disableToneGenerator(true);
    mCadence.reset();
    mPlaying = false;
    service.leave(*this);
}

// ----------------------------------------------------------------- service

namespace {
const DeviceService::Setup kSetup{"tonec", GetDTMFDevName(), O_RDONLY, "open tonec fail, DTMF proceeding disabled: ",
                                  "TonecReceiverService::OnEvent", sizeof(Device::Dtmf::Event)};
} // namespace

TonecReceiverService::TonecReceiverService() : ReceiverService(kSetup) {}

void TonecReceiverService::dispatch_record(const void* record)
{
    Device::Dtmf::Event e;
    std::memcpy(&e, record, sizeof(e));
    dispatch(e);
}

bool TonecReceiverService::configureDTMF(uint32_t timeslot, LGCP::DTMFParams const& params)
{
    if (!ready("configure DTMF", timeslot))
        return false;
    const auto& t = params.get_threshold();
    DetectorConfig r{timeslot, static_cast<uint32_t>(t.get_twist().getValue()),
                     static_cast<uint32_t>(t.get_ratio().getValue()),
                     static_cast<uint32_t>(params.get_level().get_silence().getValue()),
                     static_cast<uint32_t>(t.get_noise().getValue())};
    if (request(DTMF_CONFIGURE_DETECTOR, &r, "DTMF_CONFIGURE_DETECTOR", timeslot) < 0)
        return false;
    std::clog << ext::header(this) << "DTMF_CONFIGURE_DETECTOR"
              << " ts=" << timeslot << " twist=" << r.twist << " ratio=" << r.ratio << " noise=" << r.noise
              << " silence=" << r.silence << std::endl;
    return true;
}

const TonecReceiverService::Switch TonecReceiverService::kIva{
    &TonecReceiver::mIva, &Owed::iva, IVA_DETECTOR_ENABLE, IVA_DETECTOR_DISABLE, "IVA_DETECTOR", "_ENABLE", "_DISABLE"};
const TonecReceiverService::Switch TonecReceiverService::kReject{&TonecReceiver::mReject,
                                                                 &Owed::reject,
                                                                 DTMF_REJECTION_ENABLE,
                                                                 DTMF_REJECTION_DISABLE,
                                                                 "DTMF_REJECTION",
                                                                 "_ENABLE",
                                                                 "_DISABLE"};
const TonecReceiverService::Switch TonecReceiverService::kEcho{
    &TonecReceiver::mEcho, &Owed::echo, CHANNEL_LMS_ON, CHANNEL_LMS_OFF, "CHANNEL_LMS", "_ON", "_OFF"};

bool TonecReceiverService::switch_request(const Switch& sw, uint32_t timeslot, bool on, bool quiet)
{
    std::string text = std::string(sw.name) + (on ? sw.onSuffix : sw.offSuffix);
    if (!present_for(text, timeslot) || request_value(on ? sw.on : sw.off, timeslot, text, timeslot) < 0)
        return false;
    if (!quiet)
        std::clog << ext::header(this) << text << "[" << timeslot << "] ok" << std::endl;
    return true;
}

bool TonecReceiverService::change_switch(TonecReceiver& receiver, const Switch& sw, bool on, Policy policy)
{
    uint32_t ts = receiver.tonec_timeslot();
    return change_at(ts, receiver.*sw.held, sw.owed, on, policy,
                     [&](bool want) { return switch_request(sw, ts, want); });
}

bool TonecReceiverService::echoCancel(TonecReceiver& receiver, bool on, Policy policy)
{
    return change_switch(receiver, kEcho, on, policy);
}

bool TonecReceiverService::enableDTMFReject(TonecReceiver& receiver, bool on, Policy policy)
{
    return change_switch(receiver, kReject, on, policy);
}

bool TonecReceiverService::enableIVA(TonecReceiver& receiver, bool on, Policy policy)
{
    return change_switch(receiver, kIva, on, policy);
}

bool TonecReceiverService::enableDTMF(TonecReceiver& receiver, bool on, Policy policy)
{
    return change_at(receiver.tonec_timeslot(), receiver.mDtmf, &Owed::dtmf, on, policy,
                     [&](bool want) { return tell_dtmf(receiver, want); });
}

// The id advances also when the request fails, never without the device.
bool TonecReceiverService::tell_dtmf(TonecReceiver& receiver, bool on)
{
    uint32_t ts = receiver.tonec_timeslot();
    const char* name = on ? "DTMF_ENABLE_DETECTOR" : "DTMF_DISABLE_DETECTOR";
    if (!on)
        return disable_detector(ts);
    if (!present_for(name, ts))
        return false;
    uint32_t id = next_id();
    if (!enable_detector(ts, id))
        return false;
    std::cerr << ext::header(this) << name << " done: timeslot=" << ts << " id=" << id << std::endl;
    receiver.mDetectorId = id;
    return true;
}

bool TonecReceiverService::disable_detector(uint32_t ts)
{
    const char* name = "DTMF_DISABLE_DETECTOR";
    if (!present_for(name, ts) || request_value(DTMF_DISABLE_DETECTOR, ts, name, ts) < 0)
        return false;
    std::cerr << ext::header(this) << name << " done: timeslot=" << ts << std::endl;
    return true;
}

bool TonecReceiverService::enable_detector(uint32_t ts, uint32_t id)
{
    DetectorEnable r{ts, id};
    return request(DTMF_ENABLE_DETECTOR, &r, "DTMF_ENABLE_DETECTOR", ts, " id=" + std::to_string(id)) >= 0;
}

// The detectors keep their ids, so the events they give match them as
// before (one held before it was ever told takes its first now). What the
// device refuses now stays asked for and untold: the next retry, or the
// receiver's next change, asks again; what it refuses as invalid is given
// up (Device::Held::restore). A request may find the device gone again:
// the rest waits for it.
template <class Visit>
void TonecReceiverService::each_held(Visit visit)
{
    receivers().each([&](TonecReceiver& r) {
        uint32_t ts = r.tonec_timeslot();
        visit(r.mDtmf, [this, &r, ts](bool on) {
            if (!on)
                return tell_dtmf(r, false);
            if (r.mDetectorId == 0)
                r.mDetectorId = next_id();
            return enable_detector(ts, r.mDetectorId);
        });
        for (const Switch* sw : {&kIva, &kReject, &kEcho})
            visit(r.*sw->held, [this, sw, ts](bool on) { return switch_request(*sw, ts, on, true); });
        visit(r.mTone, [this, ts](const TonecReceiver::Tone& t) { return tell_tone(ts, t); });
    });
}

// What is owed of receivers that went, all offs, each by its time slot.
template <class Visit>
void TonecReceiverService::owed_at(uint32_t ts, Owed& o, Visit visit)
{
    visit(o.dtmf, [this, ts](bool) { return disable_detector(ts); });
    for (const Switch* sw : {&kIva, &kReject, &kEcho})
        visit(o.*sw->owed, [this, sw, ts](bool) { return switch_request(*sw, ts, false, true); });
    visit(o.tone, [this, ts](const TonecReceiver::Tone&) { return tell_tone(ts, TonecReceiver::Tone{}); });
}

unsigned long TonecReceiverService::restore()
{
    return restore_all();
}

bool TonecReceiverService::untold(uint64_t present)
{
    return untold_all(present);
}

void TonecReceiverService::leave(TonecReceiver& receiver)
{
    bequeath(receiver, &TonecReceiver::mDtmf, &Owed::dtmf);
    for (const Switch* sw : {&kIva, &kReject, &kEcho})
        bequeath(receiver, sw->held, sw->owed);
    bequeath(receiver, &TonecReceiver::mTone, &Owed::tone);
}

bool TonecReceiverService::dial(TonecReceiver& receiver, const TonecReceiver::Tone& tone, Policy policy)
{
    uint32_t ts = receiver.tonec_timeslot();
    return change_at(ts, receiver.mTone, &Owed::tone, tone, policy,
                     [&](const TonecReceiver::Tone& t) { return tell_tone(ts, t); });
}

bool TonecReceiverService::tell_tone(uint32_t ts, const TonecReceiver::Tone& t)
{
    if (!present_for("DTMF_DIAL", ts))
        return false;
    Dial r{ts, t.freq1, t.freq2, t.amp1, t.amp2};
    return request(DTMF_DIAL, &r, "DTMF_DIAL", ts) >= 0;
}

bool TonecReceiverService::configureIVA(TonecReceiver& receiver, LGCP::IVAParams const& params)
{
    uint32_t ts = receiver.tonec_timeslot();
    if (!ready("configure IVA", ts))
        return false;
    IvaConfig r{ts, static_cast<int32_t>(params.get_det_lvl_dB().getValue())};
    if (request(IVA_CONFIGURE_DETECTOR, &r, "IVA_CONFIGURE_DETECTOR", ts) < 0)
        return false;
    std::clog << ext::header(this) << "IVA_CONFIGURE_DETECTOR"
              << " ts=" << ts << " det_lvl_dB=" << r.det_lvl_dB << std::endl;
    return true;
}

bool TonecReceiverService::translateSelcal(TonecReceiver& receiver, TERM::SelcalCommand const& cmd)
{
    uint32_t ts = receiver.tonec_timeslot();
    const std::string& signs = cmd.get_signs();
    if (signs.size() < kSelcalSigns) {
        std::cerr << ext::header(this) << "SELCAL_DIAL fail:"
                  << " timeslot=" << ts << " incorect signs:" << ext::quoted(signs) << std::endl;
        return false;
    }
    if (cmd.has_amp() && !fits16(cmd.get_amp())) {
        std::cerr << ext::header(this) << "SELCAL_DIAL fail:"
                  << " timeslot=" << ts << " amp out of range:" << cmd.get_amp().getValue() << std::endl;
        return false;
    }
    if (!ready("SELCAL_DIAL", ts))
        return false;
    SelcalDial r{};
    r.timeslot = ts;
    r.amp = or_default(cmd.has_amp(), cmd.get_amp(), kSelcalAmp);
    std::memcpy(r.signs, signs.data(), kSelcalSigns);
    return request(SELCAL_DIAL, &r, "SELCAL_DIAL", ts) >= 0;
}

// -------------------------------------------------------------- the events

void TonecReceiverService::dispatch(const Device::Dtmf::Event& e)
{
    std::clog << ext::header(this) << "dtmf event: "
              << " timestamp=" << e.timestamp << " timeslot=" << e.timeslot << " code=" << e.code << " id=" << e.id
              << std::endl;
    TonecReceiver* r = receivers().find(e.timeslot);
    if (!r) {
        std::cerr << ext::header(this) << "receive tonec event from unknown timeslot " << e.timeslot << std::endl;
        return;
    }
    if (!r->accepts())
        std::clog << ext::header(this) << "ignore spurious dtmf event (DTMF disabled): "
                  << " timestamp=" << e.timestamp << " timeslot=" << e.timeslot << " code=" << e.code
                  << " id=" << e.id << std::endl;
    else if (e.id == r->mDetectorId)
        r->tonec_event(TonecReceiver::Params{e.code, e.timestamp});
    else
        std::clog << ext::header(this) << "ignore spurious dtmf event: "
                  << " timestamp=" << e.timestamp << " timeslot=" << e.timeslot << " code=" << e.code
                  << " id=" << e.id << " rid=" << r->mDetectorId << std::endl;
}

} // namespace Hardware
