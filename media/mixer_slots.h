// Slots on the board's TDM mixer "/dev/mixer": an output channel whose mix
// the mixer sends into the switch, and an input channel that takes a stream
// from the switch and may add itself to a summator channel's mix. Both own
// their channel's DSP time slot, so tone and voice processing work on them.
// One Mixer stands for each unit the driver reports; a unit that vanished
// lives on, out of the factory's list, until its last slot goes, and its
// slots are lost slots: a unit found again is a new mixer, reset.
#pragma once

#include <iosfwd>
#include <list>
#include <memory>
#include <set>
#include <utility>

#include "board/mixer_requests.h"
#include "media/dsproc_receiver.h"
#include "media/tonec_receiver.h"
#include "server/slots/slot.h"

namespace Device {
class Tally;
}

namespace Mixer {

// One request on a fresh open of the device, which is never held open:
// the ioctl's result with its errno, or -1 when the device cannot be opened.
// What the device owes is told first (MixerFactory::ctl).
int mixer_ctl(unsigned long request, void* record);

class Mixer;
class MixerFactory;

class MixerSlot : public Slot {
public:
    MixerSlot(std::shared_ptr<Mixer> mixer, int channel, int timeslot)
        : Slot(Hold::fixed), mMixer(std::move(mixer)), mChannel(channel), mTimeslot(timeslot)
    {
    }
    ~MixerSlot() override;

    // The switch output goes idle, then the mixer undoes the slot's mix.
    bool IBeforeDestroy() override;
    void IOnChannelLost(const Device::End& end) override;
    Mixer& mixer() const { return *mMixer; }
    int channel() const { return mChannel; }
    int timeslot() const { return mTimeslot; }

    // Whether the slot put tx into rx's mix and answers for that entry.
    virtual bool holds(int rx, int tx) const = 0;

protected:
    virtual void ReleaseInMixer() = 0;

private:
    // Keeps a unit that vanished alive until its last slot is gone.
    std::shared_ptr<Mixer> mMixer;

protected:
    const int mChannel;
    const int mTimeslot;
};

class TdmInput : public MixerSlot, private Hardware::TonecReceiver, private Hardware::DSProcReceiver {
public:
    TdmInput(std::shared_ptr<Mixer> mixer, int channel, int timeslot);
    ~TdmInput() override;

    bool Ioctl(LGCP::IoctlParams const& params) override;
    bool IOnInputStream() override { return true; }
    int IGetReceiveChannel() override { return mTimeslot; }
    const char* GetName() const override { return "mixer tdm input"; }
    // The channel whose mix holds this input's entry, -1 when none does.
    int summator() const { return mSummator; }
    bool holds(int rx, int tx) const override { return rx == mSummator && tx == mChannel; }

private:
    friend class Mixer;
    template <class S>
    friend int shared_ioctl(S& slot, LGCP::IoctlParams const& p);

    void tonec_event(Params const& params) override { processTonecEvent(params); }
    uint32_t tonec_timeslot() const override { return static_cast<uint32_t>(mTimeslot); }
    void dsproc_vad_event(Hardware::DSProcVADEvent const& e) override { processVADEvent(e); }
    void dsproc_bss_event(struct dsproc_bss_event const* e) override { processBSSEvent(e); }
    void dsproc_sd_event(Hardware::DSProcSDEvent const& e) override { processSDEvent(e); }
    void dsproc_tone_flt_event(dsproc_tone_event const* e) override { processToneFltEvent(e); }
    void dsproc_flags_event(struct dsproc_flags_event const* e) override { processFlagsEvent(e); }
    uint32_t dsproc_timeslot() const override { return static_cast<uint32_t>(mTimeslot); }
    void ReleaseInMixer() override;

    bool mSummatorSet = false;
    int mSummator = -1;
};

class TdmOutput : public MixerSlot, private Hardware::TonecReceiver, private Hardware::DSProcReceiver {
public:
    TdmOutput(std::shared_ptr<Mixer> mixer, int channel, int timeslot);
    ~TdmOutput() override;

    bool Ioctl(LGCP::IoctlParams const& params) override;
    bool IOnOutputStream() override { return true; }
    int IGetTransmitChannel() override { return mTimeslot; }
    const char* GetName() const override { return "mixer tdm output"; }
    bool holds(int rx, int tx) const override { return rx == mChannel && mInputs.count(tx) != 0; }

private:
    friend class Mixer;
    template <class S>
    friend int shared_ioctl(S& slot, LGCP::IoctlParams const& p);

    void tonec_event(Params const&) override {}
    uint32_t tonec_timeslot() const override { return static_cast<uint32_t>(mTimeslot); }
    void tone_gen_complete() override { processToneGenEvent(); }
    void dsproc_vad_event(Hardware::DSProcVADEvent const&) override {}
    void dsproc_bss_event(struct dsproc_bss_event const*) override {}
    void dsproc_sd_event(Hardware::DSProcSDEvent const&) override {}
    void dsproc_tone_flt_event(dsproc_tone_event const* e) override { processToneFltEvent(e); }
    void dsproc_flags_event(struct dsproc_flags_event const* e) override { processFlagsEvent(e); }
    uint32_t dsproc_timeslot() const override { return static_cast<uint32_t>(mTimeslot); }
    void ReleaseInMixer() override;

    // The channels its mix was built from.
    std::set<int> mInputs;
};

// One mixer unit. The device keeps its mixes whoever holds it open, so an
// end it refused (an input taken out of a mix, a mix emptied) is owed
// until it takes it: told again before every request on the mixer and by
// the retry. A live slot's request comes first: emptying a mix settles
// what was owed in it, an input that adds its entry again owns it, and an
// owed emptying is made before anything is added to that mix.
class Mixer : public std::enable_shared_from_this<Mixer> {
public:
    Mixer(MixerFactory& factory, int unit) : mFactory(factory), mUnit(unit) {}

    int unit() const { return mUnit; }
    bool stale = false;

    Slot* New(LGCP::MixerOutParams const& params);
    Slot* New(LGCP::MixerInParams const& params);
    void Release(TdmInput& slot);
    void Release(TdmOutput& slot);
    // False for an rtp channel, which the mixer cannot name.
    bool Channel2Slot(LGCP::MixerChannel const& channel, Device::Mixer::mix_slot& slot) const;

    // A new unit: every channel's mix emptied.
    void Reset();
    // The unit vanished, and its channels with it: each slot is lost, and
    // hears abort 0.
    void Clear();
    bool owes() const { return !mOwed.empty(); }
    // Tells the device the ends it owes; the first that finds no device
    // ends the step, false.
    bool reconcile(Device::Tally& made);
    size_t slots() const { return mSlots.size(); }
    void forget(MixerSlot* slot) { mSlots.remove(slot); }
    void PutHeader(std::ostream& out) const;

private:
    // The time slot of a tdm channel below the smallest channel count, -1
    // (logged) when there is none.
    int CheckedTimeslot(LGCP::MixerChannel const& channel);
    bool ClearTX(LGCP::MixerChannel const& channel);
    bool SetTX(LGCP::MixerOutParams const& params);
    bool add(int rx, int tx, int gain);
    // A new input's entry tx in rx's mix; false when the device refused it.
    // made: the input answers for the entry.
    bool join(int rx, int tx, bool& made);
    // Empties rx's mix, settling what was owed in it and the inputs that
    // had joined it; false (errno) when the device refused.
    bool clear(int rx);
    // clear, or the emptying owed when the device refused it.
    void end_mix(int rx);
    // Takes tx out of rx's mix; one that was not there is out already.
    bool remove(int rx, int tx);
    void clear_failed(int rx, int error) const;
    void remove_failed(int rx, int tx, int error) const;
    // The device refused an end with error: owed until it takes it, unless
    // it refused it as invalid.
    void owe(int rx, int tx, int error);
    // Whether a live input (or output) holds the channel, logged when one does.
    bool taken(int channel, bool input) const;
    // Whether a live slot answers for tx in rx's mix.
    bool held(int rx, int tx) const;
    // rx's mix was emptied: inputs that had joined it no longer hold an entry.
    void cleared(int rx);

    // tx of an owed end that empties the whole mix.
    static constexpr int kWholeMix = -1;

    MixerFactory& mFactory;
    int mUnit;
    std::list<MixerSlot*> mSlots;
    // The ends the device refused, as (rx, tx): a clear sorts before the
    // removes of its mix.
    std::set<std::pair<int, int>> mOwed;
};

} // namespace Mixer
