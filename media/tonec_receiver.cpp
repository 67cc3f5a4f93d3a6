#include "media/tonec_receiver.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "board/device.h"
#include "media/device_paths.h"
#include "media/receiver_list.h"
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

// Every live receiver of this module, in construction order.
ReceiverList<TonecReceiver, &TonecReceiver::tonec_timeslot> receivers;

const unsigned kDefaultDuration = 70; // ms, tone and pause of a digit
const uint16_t kDefaultAmp = 16384;
const uint16_t kWaitFreq = 425;
const uint16_t kWaitAmp = 2048;
const unsigned kWaitOn = 1000;
const unsigned kWaitOff = 3000;
const uint16_t kSilenceFreq = 1000;
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
    receivers.add(mLink, this);
}

TonecReceiver::~TonecReceiver()
{
    receivers.remove(mLink);
}

void TonecReceiver::LeaveTimeslot()
{
    receivers.remove(mLink);
}

bool TonecReceiver::configureDTMF(LGCP::DTMFParams const& params)
{
    return TonecReceiverService::instance().configureDTMF(tonec_timeslot(), params);
}

bool TonecReceiver::enableDTMF(bool on)
{
    return TonecReceiverService::instance().enableDTMF(*this, on);
}

bool TonecReceiver::disableDTMF()
{
    return enableDTMF(false);
}

bool TonecReceiver::echoCancel(bool on)
{
    return TonecReceiverService::instance().echoCancel(tonec_timeslot(), on);
}

bool TonecReceiver::enableDTMFReject(bool on)
{
    TonecReceiverService& s = TonecReceiverService::instance();
    if (s.forgotten(on, mRejectEnabled, mRejectTold)) {
        mRejectEnabled = false;
        return true;
    }
    bool done = s.enableDTMFReject(tonec_timeslot(), on) || !s.failed_off(on);
    if (done) {
        mRejectEnabled = on;
        mRejectTold = s.descriptor();
    }
    return done;
}

bool TonecReceiver::dial(uint16_t f1, uint16_t f2, uint16_t a1, uint16_t a2)
{
    bool done = TonecReceiverService::instance().enableToneGenerator(tonec_timeslot(), f1, f2, a1, a2);
    if (done)
        mGenerating = f1 || f2 || a1 || a2;
    return done;
}

bool TonecReceiver::enableToneGenerator(uint16_t f1, uint16_t f2, uint16_t a1, uint16_t a2)
{
    return dial(f1, f2, a1, a2);
}

bool TonecReceiver::enableSilence()
{
    return dial(kSilenceFreq, kSilenceFreq, 0, 0);
}

bool TonecReceiver::disableToneGenerator(bool force)
{
    if (!force && !mPlaying)
        return false;
    // Whatever cadence runs (digits or the wait tone) ends here.
    mCadence.reset();
    mPlaying = false;
    return dial(0, 0, 0, 0);
}

bool TonecReceiver::enableIVA(bool on)
{
    return TonecReceiverService::instance().enableIVA(*this, on);
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
// generator took the tone (an end always counts as taken).
bool TonecReceiver::play_digit()
{
    const auto& digits = mSequence.get_digits();
    if (mNextDigit >= digits.size()) {
        disableToneGenerator(true);
        tone_gen_complete();
        return true;
    }
    const LGCP::DualTone& d = digits[mNextDigit++];
    bool done = dial(static_cast<uint16_t>(d.get_freq1().getValue()), static_cast<uint16_t>(d.get_freq2().getValue()),
                     or_default(mSequence.has_amp1(), mSequence.get_amp1(), kDefaultAmp),
                     or_default(mSequence.has_amp2(), mSequence.get_amp2(), kDefaultAmp));
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
    enableSilence();
    unsigned ms = mSequence.has_pauseDuration() ? static_cast<unsigned>(mSequence.get_pauseDuration().getValue())
                                                : kDefaultDuration;
    mCadence.set(ms, &TonecReceiver::OnDigit, this);
}

bool TonecReceiver::activateAudibleCall()
{
    // The wait tone takes the generator: a running sequence ends unfinished.
    mPlaying = false;
    return started(wait_tone());
}

bool TonecReceiver::wait_tone()
{
    bool done = dial(kWaitFreq, 0, kWaitAmp, kWaitAmp);
    mCadence.set(kWaitOn, &TonecReceiver::OnWaitSilence, this);
    return done;
}

void TonecReceiver::OnWaitTone()
{
    wait_tone();
}

void TonecReceiver::OnWaitSilence()
{
    enableSilence();
    mCadence.set(kWaitOff, &TonecReceiver::OnWaitTone, this);
}

void TonecReceiver::cancelAudibleCall()
{
    if (!mPlaying)
        disableToneGenerator(true);
}

void TonecReceiver::CleanBeforeDestroy()
{
    if (mDtmfActive)
        disableDTMF();
    if (mIvaActive)
        enableIVA(false);
    if (mRejectEnabled)
        enableDTMFReject(false);
    // A generator left on would sound into the next user of the time slot.
    if (mGenerating || mPlaying || mCadence.pending())
        disableToneGenerator(true);
}

// ----------------------------------------------------------------- service

namespace {
const DeviceService::Setup kSetup{"tonec", GetDTMFDevName(), O_RDONLY, "open tonec fail, DTMF proceeding disabled: ",
                                  "TonecReceiverService::OnEvent", sizeof(Device::Dtmf::Event)};
} // namespace

TonecReceiverService::TonecReceiverService() : DeviceService(kSetup) {}

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

bool TonecReceiverService::switch_request(unsigned long number, uint32_t timeslot, const char* name,
                                          const char* suffix)
{
    std::string text = std::string(name) + suffix;
    if (!ready(text.c_str(), timeslot) || request_value(number, timeslot, text, timeslot) < 0)
        return false;
    std::clog << ext::header(this) << text << "[" << timeslot << "] ok" << std::endl;
    return true;
}

bool TonecReceiverService::echoCancel(uint32_t timeslot, bool on)
{
    return switch_request(on ? CHANNEL_LMS_ON : CHANNEL_LMS_OFF, timeslot, "CHANNEL_LMS", on ? "_ON" : "_OFF");
}

bool TonecReceiverService::enableDTMFReject(uint32_t timeslot, bool on)
{
    return switch_request(on ? DTMF_REJECTION_ENABLE : DTMF_REJECTION_DISABLE, timeslot, "DTMF_REJECTION",
                          on ? "_ENABLE" : "_DISABLE");
}

// The flag is what the controller asked for; the device is asked whenever
// its present descriptor was not told so.
bool TonecReceiverService::enableDTMF(TonecReceiver& receiver, bool on)
{
    int dev = device();
    bool known = told(receiver.mDtmfTold);
    uint32_t ts = receiver.tonec_timeslot();
    if (!on) {
        if (!receiver.mDtmfActive)
            return true;
        // A descriptor that was not told, or went under the request, has no
        // detector to switch off.
        if (known && request_value(DTMF_DISABLE_DETECTOR, ts, "DTMF_DISABLE_DETECTOR", ts) < 0 && failed_off(on))
            return false;
        receiver.mDtmfActive = false;
        if (known && fd() >= 0)
            std::cerr << ext::header(this) << "DTMF_DISABLE_DETECTOR done:"
                      << " timeslot=" << ts << std::endl;
        return true;
    }
    if (receiver.mDtmfActive && known)
        return true;
    if (dev < 0) {
        failed("DTMF_ENABLE_DETECTOR", ts, 0);
        return false;
    }
    // The id advances also when the request fails; 0 is never handed out.
    if (++mEnableId == 0)
        mEnableId = 1;
    if (!enable_detector(ts, mEnableId))
        return false;
    std::cerr << ext::header(this) << "DTMF_ENABLE_DETECTOR done:"
              << " timeslot=" << ts << " id=" << mEnableId << std::endl;
    receiver.mDetectorId = mEnableId;
    receiver.mDtmfActive = true;
    receiver.mDtmfTold = descriptor();
    return true;
}

bool TonecReceiverService::enable_detector(uint32_t ts, uint32_t id)
{
    DetectorEnable r{ts, id};
    return request(DTMF_ENABLE_DETECTOR, &r, "DTMF_ENABLE_DETECTOR", ts, " id=" + std::to_string(id)) >= 0;
}

// The detectors keep their ids, so the events they give match them as
// before. What the device refuses now stays asked for and untold: the
// next retry, or the receiver's next enable, asks again.
unsigned long TonecReceiverService::restore()
{
    unsigned long again = 0;
    receivers.each([&](TonecReceiver& r) {
        uint32_t ts = r.tonec_timeslot();
        // A request may find the device gone again: the rest waits for it.
        if (fd() >= 0 && r.mDtmfActive && !told(r.mDtmfTold) && enable_detector(ts, r.mDetectorId))
            r.mDtmfTold = descriptor(), ++again;
        if (fd() >= 0 && r.mIvaActive && !told(r.mIvaTold) &&
            request_value(IVA_DETECTOR_ENABLE, ts, "IVA_DETECTOR_ENABLE", ts) >= 0)
            r.mIvaTold = descriptor(), ++again;
        if (fd() >= 0 && r.mRejectEnabled && !told(r.mRejectTold) &&
            request_value(DTMF_REJECTION_ENABLE, ts, "DTMF_REJECTION_ENABLE", ts) >= 0)
            r.mRejectTold = descriptor(), ++again;
    });
    return again;
}

bool TonecReceiverService::untold() const
{
    bool any = false;
    receivers.each([&](TonecReceiver& r) {
        any = any || (r.mDtmfActive && !told(r.mDtmfTold)) || (r.mIvaActive && !told(r.mIvaTold)) ||
              (r.mRejectEnabled && !told(r.mRejectTold));
    });
    return any;
}

bool TonecReceiverService::enableToneGenerator(uint32_t timeslot, uint16_t f1, uint16_t f2, uint16_t a1,
                                               uint16_t a2)
{
    if (device() < 0) {
        // A device that went took its generator's sound with it.
        if (!(f1 || f2 || a1 || a2))
            return true;
        failed("DTMF_DIAL", timeslot, 0);
        return false;
    }
    Dial r{timeslot, f1, f2, a1, a2};
    return request(DTMF_DIAL, &r, "DTMF_DIAL", timeslot) >= 0;
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

bool TonecReceiverService::enableIVA(TonecReceiver& receiver, bool on)
{
    if (forgotten(on, receiver.mIvaActive, receiver.mIvaTold)) {
        receiver.mIvaActive = false;
        return true;
    }
    if (!switch_request(on ? IVA_DETECTOR_ENABLE : IVA_DETECTOR_DISABLE, receiver.tonec_timeslot(), "IVA_DETECTOR",
                        on ? "_ENABLE" : "_DISABLE") &&
        failed_off(on))
        return false;
    receiver.mIvaActive = on;
    receiver.mIvaTold = descriptor();
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
    TonecReceiver* r = receivers.find(e.timeslot);
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
