// DTMF, IVA and SELCAL services and the tone generator of the board's tone
// driver "/dev/dtmf", for slots that own a DSP time slot.
//
// A slot mixes in TonecReceiver: it names its DSP time slot, receives the
// detector events of that time slot and turns them into signals, plays
// digit sequences and the wait tone, and switches off what it switched on
// before it goes. The one TonecReceiverService holds the device, issues
// every request and hands each event record to the first receiver built
// for its time slot.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "board/dtmf_requests.h"
#include "media/receiver_service.h"
#include "runtime/cyclic_list.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"
#include "server/schema/LGCP.h"
#include "server/slots/channel_user.h"
#include "server/schema/TERM.h"

namespace Dtmf {
// The keys of the ITU-T Q.23 grid and their low and high frequencies.
extern const char strRep[17];
extern const uint16_t freq1[16];
extern const uint16_t freq2[16];
extern std::map<char, std::pair<uint16_t, uint16_t>> tonesValidator;
} // namespace Dtmf

namespace Hardware {

class TonecReceiverService;

class TonecReceiver : public ChannelUser {
public:
    using Params = tonec_params;

    // Node of the module's list of live receivers.
    struct Link : Containers::CyclicList {
        TonecReceiver* owner;
    };

    // One setting of the generator: frequencies and amplitudes, all 0 silent.
    struct Tone {
        uint16_t freq1, freq2, amp1, amp2;
        bool operator==(const Tone& o) const
        {
            return freq1 == o.freq1 && freq2 == o.freq2 && amp1 == o.amp1 && amp2 == o.amp2;
        }
    };

    TonecReceiver();
    virtual ~TonecReceiver();
    TonecReceiver(const TonecReceiver&) = delete;
    TonecReceiver& operator=(const TonecReceiver&) = delete;

    // A detection of this time slot that carried the detector's id.
    virtual void tonec_event(Params const& params) = 0;
    virtual uint32_t tonec_timeslot() const = 0;
    // A digit sequence was played to its end.
    virtual void tone_gen_complete() {}

    // The detectors, rejection and the echo canceller are held settings:
    // what a receiver asked for is told again to a device that forgot it
    // (Policy::held also when the device does not take it now).
    bool configureDTMF(LGCP::DTMFParams const& params);
    bool enableDTMF(bool on, Policy policy = Policy::told);
    bool disableDTMF();
    bool echoCancel(bool on, Policy policy = Policy::told);
    bool enableDTMFReject(bool on, Policy policy = Policy::told);
    // A steady tone; the generator's last tone is held and sounds again
    // when the device comes back.
    bool enableToneGenerator(uint16_t freq1, uint16_t freq2, uint16_t amp1, uint16_t amp2);
    bool enableSilence();
    // Without force, only a running digit sequence is stopped.
    bool disableToneGenerator(bool force);
    bool enableIVA(bool on, Policy policy = Policy::told);
    bool configureIVA(LGCP::IVAParams const& params);
    // Whether the code went to the generator.
    bool translateSelcal(TERM::SelcalCommand const& cmd);
    // Plays the digits; a call while a sequence plays replaces its rest.
    // False when the sequence cannot be played or its first tone fails.
    bool translateDTMF(LGCP::TranslateDtmfParams const& params);
    // The wait tone: 425 Hz for 1 s, 3 s of silence, again. It ends a
    // running digit sequence; cancelling it ends its cadence. False, and
    // no cadence, when its first tone fails. A cancel during a digit
    // sequence leaves it playing; otherwise it answers the generator's off.
    bool activateAudibleCall();
    bool cancelAudibleCall();
    // Before the owning slot goes: detectors, rejection, the echo canceller
    // and the generator off. An off the device refuses is owed by the
    // service after the receiver is gone.
    void CleanBeforeDestroy();
    // The slot lost its time slot: no event of it reaches this receiver any more.
    void LeaveTimeslot();
    // The channel went back to its driver: what the receiver switched on
    // goes, and no event of that time slot reaches it any more.
    void LeaveChannel() override
    {
        CleanBeforeDestroy();
        LeaveTimeslot();
    }

    bool dtmf_active() const { return mDtmf.on(); }
    bool iva_active() const { return mIva.on(); }
    bool rejection_enabled() const { return mReject.on(); }
    bool echo_cancelling() const { return mEcho.on(); }
    const Tone& tone() const { return mTone.asked(); }
    bool playing() const { return mPlaying; }
    uint32_t detector_id() const { return mDetectorId; }

private:
    friend class TonecReceiverService;

    // Events are taken while either detector is on.
    bool accepts() const { return mDtmf.on() || mIva.on(); }
    bool started(bool firstTone);
    bool play_digit();
    void OnDigit();
    void OnTone();
    bool wait_tone(Policy policy);
    void OnWaitTone();
    void OnWaitSilence();
    // A cadence's later steps are held: the cadence goes on quietly on a
    // missing device, and its present tone sounds when it is back.
    bool dial(const Tone& tone, Policy policy = Policy::told);

    // Two detectors, two settings: one must not switch the other's events
    // off. Rejection, the echo canceller and the first switch-off of IVA
    // are sent whatever the time slot's last user left.
    Device::Held<> mDtmf;
    Device::Held<> mIva = Device::Held<>::unknown();
    Device::Held<> mReject = Device::Held<>::unknown();
    Device::Held<> mEcho = Device::Held<>::unknown();
    Device::Held<Tone> mTone;
    Timer mCadence; // the digit sequence's or the wait tone's
    bool mPlaying = false;
    uint32_t mDetectorId = 0;
    LGCP::TranslateDtmfParams mSequence;
    size_t mNextDigit = 0;
    Link mLink;
};

// What receivers that went still owe a time slot.
struct TonecOwed {
    Device::Held<> dtmf, iva, reject, echo;
    Device::Held<TonecReceiver::Tone> tone;
};

class TonecReceiverService
    : public ReceiverService<TonecReceiverService, TonecReceiver, &TonecReceiver::tonec_timeslot, TonecOwed> {
public:
    TonecReceiverService();

    bool configureDTMF(uint32_t timeslot, LGCP::DTMFParams const& params);
    bool echoCancel(TonecReceiver& receiver, bool on, Policy policy);
    bool enableDTMFReject(TonecReceiver& receiver, bool on, Policy policy);
    bool enableDTMF(TonecReceiver& receiver, bool on, Policy policy);
    bool dial(TonecReceiver& receiver, const TonecReceiver::Tone& tone, Policy policy);
    bool configureIVA(TonecReceiver& receiver, LGCP::IVAParams const& params);
    bool enableIVA(TonecReceiver& receiver, bool on, Policy policy);
    bool translateSelcal(TonecReceiver& receiver, TERM::SelcalCommand const& cmd);
    // The receiver goes: the offs the device refused stay owed to its time slot.
    void leave(TonecReceiver& receiver);

    // The last id handed out (tests start it near its wrap).
    using ReceiverService::last_id;
    using ReceiverService::set_last_id;

private:
    friend ReceiverService;

    // A held on/off setting of one time slot, switched by one request
    // each way with the time slot as its value; the log texts are
    // "<name><on|off>[ts] ok" and "<name><on|off> fail:".
    struct Switch {
        Device::Held<> TonecReceiver::*held;
        Device::Held<> Owed::*owed;
        unsigned long on, off;
        const char* name;
        const char* onSuffix;
        const char* offSuffix;
    };
    static const Switch kIva, kReject, kEcho;
    bool change_switch(TonecReceiver& receiver, const Switch& sw, bool on, Policy policy);
    bool switch_request(const Switch& sw, uint32_t timeslot, bool on, bool quiet = false);
    // The DTMF detector: on with a new id, or off.
    bool tell_dtmf(TonecReceiver& receiver, bool on);
    bool disable_detector(uint32_t timeslot);
    bool enable_detector(uint32_t timeslot, uint32_t id);
    bool tell_tone(uint32_t timeslot, const TonecReceiver::Tone& tone);
    void dispatch_record(const void* record) override;
    unsigned long restore() override;
    bool untold(uint64_t present) override;
    // Every setting the receivers hold and every off owed, with the
    // request that tells it.
    template <class Visit>
    void each_held(Visit visit);
    template <class Visit>
    void owed_at(uint32_t timeslot, Owed& owed, Visit visit);
    void dispatch(const Device::Dtmf::Event& e);
};

} // namespace Hardware
