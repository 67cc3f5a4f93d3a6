#include "media/mixer_slots.h"

#include <cerrno>
#include <cstring>
#include <iostream>

#include "holder/device_holder.h"
#include "media/mixer_factory.h"
#include "runtime/ext.h"
#include "server/switch/hw_mux.h"
#include "server/slots/slot_factory.h"

namespace Mixer {

using namespace Device::Mixer;

int mixer_ctl(unsigned long request, void* record)
{
    return MixerFactory::instance().ctl(request, record);
}

namespace {
const char* strerror_now()
{
    return std::strerror(errno);
}
} // namespace

// The operations both kinds answer alike, each by what its device did (a
// missing or refusing device is never a success); -1 for the others.
template <class S>
int shared_ioctl(S& s, LGCP::IoctlParams const& p)
{
    using P = LGCP::IoctlParams;
    switch (p.currentSelection()) {
    case P::e_translateDTMF:
        return s.translateDTMF(p.get_translateDTMF());
    case P::e_dtmf_params:
        return s.configureDTMF(p.get_dtmf_params());
    case P::e_vad_params:
        return s.configureVAD(p.get_vad_params());
    case P::e_vad_enable:
        return s.enableVAD(p.get_vad_enable().getValue());
    case P::e_vad_disable:
        return s.disableVAD();
    case P::e_sd_params:
        return s.configureSD();
    case P::e_sd_enable:
        return s.enableSD(p.get_sd_enable().getValue());
    case P::e_sd_disable:
        return s.disableSD();
    case P::e_iva_enable:
        return s.enableIVA(p.get_iva_enable().getValue());
    case P::e_delays: {
        const LGCP::Delays& d = p.get_delays();
        if (d.has_selcal())
            std::cerr << ext::header(&s.mixer()) << "error: selcal delay isn't supported for mixer!!! Set to zero."
                      << std::endl;
        return s.configureDelays(d.has_rx() ? static_cast<uint32_t>(d.get_rx().getValue()) : 0,
                                 d.has_tx() ? static_cast<uint32_t>(d.get_tx().getValue()) : 0, 0);
    }
    case P::e_tone_filter: {
        const LGCP::ToneFilter& f = p.get_tone_filter();
        return s.configureToneFilter(static_cast<uint32_t>(f.get_freq().getValue()), f.get_enable().getValue() ? 1 : 0,
                                     static_cast<int32_t>(f.get_duration_th_msec().getValue()),
                                     static_cast<int32_t>(f.get_det_level_dB().getValue()));
    }
    default:
        return -1;
    }
}

// ------------------------------------------------------------------ slots

MixerSlot::~MixerSlot()
{
    // A slot that goes without its release (the table's end) leaves no
    // dangling entry behind.
    mMixer->forget(this);
}

// Only an input receives on its switch output, where it lets go of its own
// claim: an output of the same channel has the same time slot number, and
// a path that another maker holds there is left to it.
// A lost slot let go of all it held at its loss: the channel may be
// another slot's by now.
bool MixerSlot::IBeforeDestroy()
{
    if (IsLost())
        return true;
    if (IOnInputStream())
        HwMux::instance()->Leave(mTimeslot, OwnClaims(*this), true);
    ReleaseInMixer();
    return true;
}

// The unit went from the driver's report with its mixes: nothing is left
// to take out of them, and the channel is the next slot's to have.
void MixerSlot::IOnChannelLost(const Device::End& end)
{
    std::cerr << *this << " channel lost (" << end.why << ")" << std::endl;
    if (IOnInputStream())
        HwMux::instance()->Lose(mTimeslot);
    mMixer->forget(this);
}

TdmInput::TdmInput(std::shared_ptr<Mixer> mixer, int channel, int timeslot)
    : MixerSlot(std::move(mixer), channel, timeslot)
{
    UsesChannel(static_cast<TonecReceiver&>(*this));
    UsesChannel(static_cast<DSProcReceiver&>(*this));
}

TdmInput::~TdmInput()
{
    if (IsLost())
        return;
    TonecReceiver::CleanBeforeDestroy();
    DSProcReceiver::CleanBeforeDestroy();
}

void TdmInput::ReleaseInMixer()
{
    mixer().Release(*this);
}

bool TdmInput::Ioctl(LGCP::IoctlParams const& p)
{
    int shared = shared_ioctl(*this, p);
    if (shared >= 0)
        return shared != 0;
    using P = LGCP::IoctlParams;
    switch (p.currentSelection()) {
    case P::e_echoSuppressor:
        return echoCancel(p.get_echoSuppressor().getValue());
    case P::e_dtmf_enable:
        return enableDTMF(p.get_dtmf_enable().getValue());
    case P::e_dtmf_reject_enable:
        return enableDTMFReject(p.get_dtmf_reject_enable().getValue());
    case P::e_iva_params:
        return configureIVA(p.get_iva_params());
    case P::e_rx_gain:
        return configureRxGain(static_cast<int8_t>(p.get_rx_gain().get_gainDB().getValue() & 0xFF));
    default:
        return false;
    }
}

TdmOutput::TdmOutput(std::shared_ptr<Mixer> mixer, int channel, int timeslot)
    : MixerSlot(std::move(mixer), channel, timeslot)
{
    UsesChannel(static_cast<TonecReceiver&>(*this));
    UsesChannel(static_cast<DSProcReceiver&>(*this));
}

TdmOutput::~TdmOutput()
{
    if (IsLost())
        return;
    TonecReceiver::CleanBeforeDestroy();
    DSProcReceiver::CleanBeforeDestroy();
}

void TdmOutput::ReleaseInMixer()
{
    mixer().Release(*this);
}

bool TdmOutput::Ioctl(LGCP::IoctlParams const& p)
{
    int shared = shared_ioctl(*this, p);
    if (shared >= 0)
        return shared != 0;
    using P = LGCP::IoctlParams;
    switch (p.currentSelection()) {
    case P::e_dtmf_disable:
        return disableToneGenerator(false);
    case P::e_dtmf_reject_disable:
        return enableDTMFReject(false);
    case P::e_tone_gen_enable: {
        const LGCP::ToneGenerator& g = p.get_tone_gen_enable();
        disableToneGenerator(false);
        return enableToneGenerator(static_cast<uint16_t>(g.get_freq().getValue()), 0,
                                   static_cast<uint16_t>(g.get_amp().getValue()), 0);
    }
    case P::e_tone_gen_disable:
        return disableToneGenerator(true);
    default:
        return false;
    }
}

// ------------------------------------------------------------------ Mixer

void Mixer::PutHeader(std::ostream& out) const
{
    out << "mixer [" << mUnit << "]: ";
}

bool Mixer::Channel2Slot(LGCP::MixerChannel const& channel, mix_slot& slot) const
{
    slot = mix_slot{mUnit, kTdm, 0};
    if (!channel.is_tdm())
        return false;
    slot.number = channel.get_tdm().getValue();
    return true;
}

void Mixer::Reset()
{
    std::clog << ext::header(this) << "clear all inputs" << std::endl;
    int failed = 0;
    for (int n = 0; n < mFactory.min_channels(); ++n) {
        mix_slot s{mUnit, kTdm, n};
        failed += mFactory.ctl(MIX_RX_CLEAR, &s) < 0 ? 1 : 0;
    }
    if (failed)
        std::cerr << ext::header(this) << "reset fail: " << failed << " errors." << std::endl;
}

void Mixer::Clear()
{
    stale = true;
    // A copy: each loss takes its slot out of the list.
    std::list<MixerSlot*> slots = mSlots;
    for (MixerSlot* s : slots) {
        s->LoseChannel(Device::End{"unit gone", 0});
        s->OnAbort(0);
    }
}

int Mixer::CheckedTimeslot(LGCP::MixerChannel const& channel)
{
    mix_slot s;
    if (!Channel2Slot(channel, s) || s.number < 0 || s.number >= mFactory.min_channels()) {
        std::cerr << ext::header(this) << "channel " << channel << " is no tdm channel of the mixer" << std::endl;
        return -1;
    }
    int timeslot = mFactory.ctl(MIX_TDM, &s);
    if (timeslot < 0)
        std::cerr << ext::header(this) << "MIX_TDM" << " dev_no=" << mUnit << " type=" << 0 << " number=" << s.number
                  << " fail : " << strerror_now() << std::endl;
    return timeslot;
}

bool Mixer::ClearTX(LGCP::MixerChannel const& channel)
{
    mix_slot s;
    if (!Channel2Slot(channel, s)) {
        std::clog << ext::header(this) << "ClearTX error: translation fail" << std::endl;
        return false;
    }
    if (clear(s.number))
        return true;
    clear_failed(s.number, errno);
    return false;
}

bool Mixer::clear(int rx)
{
    mix_slot s{mUnit, kTdm, rx};
    if (mFactory.ctl(MIX_RX_CLEAR, &s) < 0)
        return false;
    mOwed.erase(mOwed.lower_bound({rx, kWholeMix}), mOwed.lower_bound({rx + 1, kWholeMix}));
    cleared(rx);
    return true;
}

void Mixer::end_mix(int rx)
{
    if (clear(rx))
        return;
    int error = errno;
    clear_failed(rx, error);
    owe(rx, kWholeMix, error);
}

bool Mixer::remove(int rx, int tx)
{
    mix_record r{{mUnit, kTdm, rx}, {mUnit, kTdm, tx}, 0};
    // ENOENT of the open is a missing device, not a missing entry.
    if (mFactory.ctl(MIX_RX_REMOVE, &r) < 0) {
        if (errno != ENOENT || mFactory.device().no_device())
            return false;
        remove_failed(rx, tx, ENOENT);
    }
    mOwed.erase({rx, tx});
    return true;
}

void Mixer::clear_failed(int rx, int error) const
{
    std::cerr << ext::header(this) << "MIX_RX_CLEAR" << " dev_no=" << mUnit << " type=" << kTdm << " number=" << rx
              << " fail : " << std::strerror(error) << std::endl;
}

void Mixer::remove_failed(int rx, int tx, int error) const
{
    std::cerr << ext::header(this) << "MIX_RX_REMOVE" << " rx.number=" << rx << " tx.number=" << tx
              << " fail : " << std::strerror(error) << std::endl;
}

void Mixer::owe(int rx, int tx, int error)
{
    // The mixer keeps its mixes whoever holds it open: an end it refused is
    // owed, by the one rule for ends.
    if (Device::refused_end(mFactory.device().no_device() ? 0 : error) == Device::Outcome::invalid)
        return;
    if (tx == kWholeMix)
        mOwed.erase(mOwed.lower_bound({rx, kWholeMix}), mOwed.lower_bound({rx + 1, kWholeMix}));
    else if (mOwed.count({rx, kWholeMix}))
        return;
    mOwed.insert({rx, tx});
    mFactory.device().changed();
}

// Retries of the same refusal make one run of lines, not one a second.
bool Mixer::reconcile(Device::Tally& made)
{
    Device::Holder& device = mFactory.device();
    const std::set<std::pair<int, int>> owed = mOwed;
    for (const auto& end : owed) {
        if (!mOwed.count(end))
            continue; // a clear made before took it
        bool whole = end.second == kWholeMix;
        const char* request = whole ? "MIX_RX_CLEAR" : "MIX_RX_REMOVE";
        if (whole ? clear(end.first) : remove(end.first, end.second)) {
            device.runs().succeeded(request);
            made.count("mix end(s) made");
            continue;
        }
        int error = errno;
        if (device.runs().failed(request, error))
            whole ? clear_failed(end.first, error) : remove_failed(end.first, end.second, error);
        if (device.no_device())
            return false;
        if (Device::refused_end(error) == Device::Outcome::invalid)
            mOwed.erase(end);
    }
    return true;
}

// A time slot carries one source: a second input of a channel would take
// the live input's stream, and a second output the live output's mix.
// An input and an output of one channel share its time slot.
bool Mixer::taken(int channel, bool input) const
{
    for (MixerSlot* s : mSlots)
        if (s->channel() == channel && s->IOnInputStream() == input) {
            std::cerr << ext::header(this) << "channel " << channel << " has a live "
                      << (input ? "input" : "output") << " already" << std::endl;
            return true;
        }
    return false;
}

bool Mixer::held(int rx, int tx) const
{
    for (MixerSlot* s : mSlots)
        if (s->holds(rx, tx))
            return true;
    return false;
}

void Mixer::cleared(int rx)
{
    for (MixerSlot* s : mSlots)
        if (auto* in = dynamic_cast<TdmInput*>(s))
            if (in->mSummator == rx)
                in->mSummator = -1;
}

bool Mixer::add(int rx, int tx, int gain)
{
    mix_record r{{mUnit, kTdm, rx}, {mUnit, kTdm, tx}, gain};
    if (mFactory.ctl(MIX_RX_ADD, &r) >= 0)
        return true;
    std::cerr << ext::header(this) << "MIX_RX_ADD" << " fail : " << strerror_now() << std::endl;
    return false;
}

// The output's mix is replaced only once the channel is known good, and a
// failed add leaves it empty rather than half built.
bool Mixer::SetTX(LGCP::MixerOutParams const& params)
{
    const LGCP::MixerChannel& out = params.get_channel();
    if (!ClearTX(out))
        return false;
    int rx = out.get_tdm().getValue();
    const auto& inputs = params.get_inputs();
    bool done = true;
    if (inputs.size() == 0)
        done = add(rx, rx, kDefaultGain);
    for (auto it = inputs.begin(); done && it != inputs.end(); ++it) {
        mix_slot tx;
        if (!Channel2Slot((*it).get_channel(), tx)) {
            std::cerr << ext::header(this) << "SetTX error: translation fail [2]" << std::endl;
            done = false;
            break;
        }
        done = add(rx, tx.number, (*it).get_gain().getValue());
    }
    if (!done)
        end_mix(rx);
    return done;
}

// Checked before the mix is touched: a second output would empty the
// live one's mix.
Slot* Mixer::New(LGCP::MixerOutParams const& params)
{
    int timeslot = CheckedTimeslot(params.get_channel());
    if (timeslot < 0)
        return nullptr;
    int channel = params.get_channel().get_tdm().getValue();
    if (taken(channel, false) || !SetTX(params))
        return nullptr;
    auto* slot = new TdmOutput(shared_from_this(), channel, timeslot);
    for (auto it = params.get_inputs().begin(); it != params.get_inputs().end(); ++it)
        slot->mInputs.insert((*it).get_channel().get_tdm().getValue());
    if (slot->mInputs.empty())
        slot->mInputs.insert(channel);
    mSlots.push_back(slot);
    return slot;
}

// The input answers for the entry only when it made it: one that another
// slot put there keeps its gain and outlives this input. An emptying of
// rx that is owed would take the new entry out again: it goes first.
bool Mixer::join(int rx, int tx, bool& made)
{
    made = false;
    if (held(rx, tx)) {
        std::clog << ext::header(this) << "channel " << tx << " already in the mix of " << rx << ", left as it is"
                  << std::endl;
        return true;
    }
    if (mOwed.count({rx, kWholeMix}) && !clear(rx)) {
        clear_failed(rx, errno);
        return false;
    }
    if (!add(rx, tx, kDefaultGain))
        return false;
    // An owed remove of this entry would undo the new input.
    mOwed.erase({rx, tx});
    made = true;
    return true;
}

// A refused add of a tdm summator refuses the input: answered as a
// success, it would never be heard in the mix.
Slot* Mixer::New(LGCP::MixerInParams const& params)
{
    int timeslot = CheckedTimeslot(params.get_channel());
    if (timeslot < 0)
        return nullptr;
    int channel = params.get_channel().get_tdm().getValue();
    if (taken(channel, true))
        return nullptr;
    bool summatorSet = false;
    int summator = -1;
    if (params.has_summator()) {
        mix_slot s;
        bool made = false;
        if (!Channel2Slot(params.get_summator(), s)) {
            // An rtp summator names nothing the mixer knows: nothing is sent.
            std::cerr << ext::header(this) << "wrong summator coding !" << std::endl;
        } else if (!join(s.number, channel, made)) {
            return nullptr;
        } else {
            summatorSet = true;
            summator = made ? s.number : -1;
        }
    }
    auto* slot = new TdmInput(shared_from_this(), channel, timeslot);
    slot->mSummatorSet = summatorSet;
    slot->mSummator = summator;
    if (params.has_ecm()) {
        const LGCP::EchoCancelMode& ecm = params.get_ecm();
        // Held: a device that is gone or refuses it now is told once it
        // takes it. One that refuses it as invalid refuses the input, whose
        // entry in the mix goes again.
        if (!slot->echoCancel(ecm.get_ec().getValue() || ecm.get_es().getValue(), Hardware::Policy::held)) {
            SlotFactory::DiscardUnmade(slot);
            return nullptr;
        }
    }
    mSlots.push_back(slot);
    return slot;
}

void Mixer::Release(TdmInput& slot)
{
    if (slot.playing()) {
        slot.enableSilence();
        slot.disableToneGenerator(true);
    }
    if (slot.mSummator >= 0 && !remove(slot.mSummator, slot.channel())) {
        int error = errno;
        remove_failed(slot.mSummator, slot.channel(), error);
        owe(slot.mSummator, slot.channel(), error);
    }
    forget(&slot);
}

void Mixer::Release(TdmOutput& slot)
{
    if (slot.playing()) {
        slot.enableSilence();
        slot.disableToneGenerator(true);
    }
    std::clog << ext::header(this) << "clear tdm output " << slot.channel() << std::endl;
    end_mix(slot.channel());
    forget(&slot);
    cleared(slot.channel());
}

} // namespace Mixer
