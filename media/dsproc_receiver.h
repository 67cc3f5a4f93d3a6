// Voice processing of the board's DSP "/dev/dsp" for slots that own a DSP
// time slot: voice activity (VAD), signal detection (SD), the BSS quality
// score, noise gate (NG), SELCAL squelch hold, mute, delays, receive gain
// and a tone filter.
//
// A slot mixes in DSProcReceiver, which keeps what it switched on; the one
// DSProcReceiverService holds the device, issues every request and hands
// each 24-byte event record to the first receiver built for its time slot.
#pragma once

#include <cstdint>
#include <iosfwd>

#include "board/dsp_requests.h"
#include "media/receiver_service.h"
#include "runtime/cyclic_list.h"
#include "runtime/multiplexer.h"
#include "server/schema/LGCP.h"
#include "server/slots/channel_user.h"
#include "server/slots/device_events.h"

namespace Hardware {

class DSProcReceiverService;

class DSProcReceiver : public ChannelUser {
public:
    // What the controller asked for, beside the descriptor that was told
    // it; the id of its last enable (its events carry it).
    struct Feature {
        Device::Held<> held;
        uint32_t id = 0;
        // -1 not known, 0 off, 1 on.
        int32_t state() const { return held.known() ? held.on() : -1; }
    };

    // Node of the module's list of live receivers.
    struct Link : Containers::CyclicList {
        DSProcReceiver* owner;
    };

    DSProcReceiver();
    virtual ~DSProcReceiver();
    DSProcReceiver(const DSProcReceiver&) = delete;
    DSProcReceiver& operator=(const DSProcReceiver&) = delete;

    virtual void dsproc_vad_event(DSProcVADEvent const& event) = 0;
    virtual void dsproc_bss_event(dsproc_bss_event const* event) = 0;
    virtual void dsproc_sd_event(DSProcSDEvent const& event) = 0;
    virtual void dsproc_tone_flt_event(dsproc_tone_event const* event) = 0;
    virtual void dsproc_flags_event(dsproc_flags_event const* event) = 0;
    virtual uint32_t dsproc_timeslot() const = 0;

    bool configureVAD(LGCP::VADParams const& params);
    bool enableVAD(bool on, Policy policy = Policy::told);
    bool disableVAD();
    bool enableBSS(bool on, Policy policy = Policy::told);
    bool disableBSS();
    bool enableNG(bool on, Policy policy = Policy::told);
    bool disableNG();
    bool enableSelcalSh(bool on, Policy policy = Policy::told);
    bool disableSelcalSh();
    bool configureSD();
    bool enableSD(bool on, Policy policy = Policy::told);
    bool disableSD();
    bool enableMute(bool a, bool b, Policy policy = Policy::told);
    bool disableMute();
    // The delays are a held setting (all 0 is none): given with
    // Policy::held they reach a device that is missing now once it is back.
    bool configureDelays(uint32_t rx, uint32_t tx, uint32_t selcal, Policy policy = Policy::told);
    bool configureRxGain(int8_t gain_dB);
    bool configureToneFilter(uint32_t freq, uint32_t enable, int32_t dur_th_msec, int32_t det_lvl_dB);
    bool disableToneAll();
    // Before the owning slot goes: what it switched on, off. An off the
    // device refuses is owed by the service after the receiver is gone.
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

    const Feature& vad() const { return mVad; }
    const Feature& bss() const { return mBss; }
    const Feature& ng() const { return mNg; }
    const Feature& selcalSh() const { return mSelcalSh; }
    const Feature& sd() const { return mSd; }
    // The delays, all 0 none.
    struct Delays {
        uint32_t rx, tx, selcal;
        bool operator==(const Delays& o) const { return rx == o.rx && tx == o.tx && selcal == o.selcal; }
    };
    // -1 not known, 0 off, 1 on.
    int32_t mute_a() const { return mMute.known() ? (mMute.asked() & Device::Dsp::kMuteA) != 0 : -1; }
    int32_t mute_b() const { return mMute.known() ? (mMute.asked() & Device::Dsp::kMuteB) != 0 : -1; }
    bool delays_set() const { return mDelays.on() || !mDelays.known(); }
    bool rx_gain_set() const { return mRxGainSet; }

private:
    friend class DSProcReceiverService;

    // VAD, SD and the mute are switched off at their first change whatever
    // the time slot's last user left.
    Feature mVad{Device::Held<>::unknown()};
    Feature mBss;
    Feature mNg;
    Feature mSelcalSh;
    Feature mSd{Device::Held<>::unknown()};
    Device::Held<uint32_t> mMute = Device::Held<uint32_t>::unknown(); // mask of kMuteA and kMuteB
    uint32_t mMuteId = 0;
    Device::Held<Delays> mDelays;
    bool mRxGainSet = false;
    Link mLink;
};

// What receivers that went still owe a time slot.
struct DSProcOwed {
    Device::Held<> vad, bss, ng, selcalSh, sd;
    // The tone filters all off, the receive gain back to 0.
    Device::Held<> tones, rxGain;
    Device::Held<uint32_t> mute;
    Device::Held<DSProcReceiver::Delays> delays;
};

class DSProcReceiverService
    : public ReceiverService<DSProcReceiverService, DSProcReceiver, &DSProcReceiver::dsproc_timeslot, DSProcOwed> {
public:
    DSProcReceiverService();

    bool configureVAD(uint32_t timeslot, LGCP::VADParams const& params);
    bool enableVAD(DSProcReceiver& receiver, bool on, Policy policy);
    bool enableBSS(DSProcReceiver& receiver, bool on, Policy policy);
    bool enableNG(DSProcReceiver& receiver, bool on, Policy policy);
    bool enableSelcalSh(DSProcReceiver& receiver, bool on, Policy policy);
    bool configureSD(uint32_t timeslot);
    bool enableSD(DSProcReceiver& receiver, bool on, Policy policy);
    bool enableMute(DSProcReceiver& receiver, bool a, bool b, Policy policy);
    bool configureDelays(DSProcReceiver& receiver, uint32_t rx, uint32_t tx, uint32_t selcal, Policy policy);
    bool configureRxGain(uint32_t timeslot, int8_t gain_dB);
    bool configureToneFilter(uint32_t timeslot, uint32_t freq, uint32_t enable, int32_t dur_th_msec,
                             int32_t det_lvl_dB);
    bool disableToneAll(DSProcReceiver& receiver);
    // DSPROC_DISABLE of every tone filter of the time slot.
    bool tones_off(uint32_t timeslot);
    // The receiver goes: the offs the device refused stay owed to its time slot.
    void leave(DSProcReceiver& receiver);
    // The clean-up's offs of what is no held setting (the receive gain, the
    // tone filters), unless another receiver of the time slot set it: one
    // that the present descriptor refused is owed to the time slot.
    void clean_unheld(DSProcReceiver& receiver);

private:
    friend ReceiverService;

    struct Held {
        DSProcReceiver::Feature DSProcReceiver::*feature;
        Device::Held<> Owed::*owed;
        uint32_t bit;
        const char* name;
    };
    static const Held kHeld[5];

    bool configure(Device::Dsp::Configure& r, const char* failure);
    bool enableFeature(DSProcReceiver& receiver, const Held& h, bool on, Policy policy);
    bool tell_mute(DSProcReceiver& receiver, uint32_t mask, bool restoring);
    bool tell_delays(uint32_t timeslot, const DSProcReceiver::Delays& d);
    // DSPROC_ENABLE (on) or DSPROC_DISABLE of the record, with its lines
    // (only its failure's when quiet).
    bool send(Device::Dsp::Enable r, const char* name, bool on, bool quiet = false);
    void dispatch_record(const void* record) override;
    unsigned long restore() override;
    bool untold(uint64_t present) override;
    // Every setting the receivers hold and every off owed, with the
    // request that tells it.
    template <class Visit>
    void each_held(Visit visit);
    template <class Visit>
    void owed_at(uint32_t timeslot, Owed& owed, Visit visit);
    void dispatch(const Device::Dsp::Event& e);
    void deliver(DSProcReceiver& r, const Device::Dsp::Event& e);
    void trace_event(const Device::Dsp::Event& e) const;
};

} // namespace Hardware
