#include "media/mixer_factory.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <set>

#include "board/device.h"
#include "media/device_paths.h"
#include "runtime/ext.h"
#include "runtime/fd.h"

namespace Mixer {

using namespace Device::Mixer;

namespace {
// What the board reports of its DSP budget; fixed by the mixer's design.
const int kDpuPerMixer = 770;
const int kDpuPerEc = 17;
const int kDpuPerLms = 24;

// The mixer keeps its mixes whoever holds it open: opened for each request.
Device::Holder::Setup holderSetup()
{
    Device::Holder::Setup setup(GetMixerDevName(), O_RDONLY, "device \"/dev/mixer\" open fail: ");
    setup.transient = true;
    return setup;
}
} // namespace

MixerFactory::MixerFactory()
    : mDevice([this](std::ostream& out) { PutHeader(out); }, holderSetup())
{
    mDevice.attach(*this);
}

MixerFactory& MixerFactory::instance()
{
    static MixerFactory factory;
    return factory;
}

void MixerFactory::PutHeader(std::ostream& out) const
{
    out << "mixer: ";
}

int MixerFactory::ctl(unsigned long request, void* record)
{
    mDevice.device();
    return mDevice.ioctl(request, record);
}

// A unit that vanished owes nothing: its mixes went with it, and one that
// comes back is a new mixer, reset.
bool MixerFactory::untold(uint64_t)
{
    return std::any_of(mMixers.begin(), mMixers.end(), [](const std::shared_ptr<Mixer>& m) { return m->owes(); });
}

void MixerFactory::reconcile(Device::Tally& made)
{
    for (size_t i = 0; i < mMixers.size(); ++i)
        if (!mMixers[i]->reconcile(made))
            return;
}

Mixer* MixerFactory::findMixer(int unit) const
{
    for (auto& m : mMixers)
        if (!m->stale && m->unit() == unit)
            return m.get();
    return nullptr;
}

Slot* MixerFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (params.is_mixerOut()) {
        Mixer* m = unit_for(params.get_mixerOut().get_unit().getValue());
        return m ? m->New(params.get_mixerOut()) : nullptr;
    }
    if (params.is_mixerIn()) {
        Mixer* m = unit_for(params.get_mixerIn().get_unit().getValue());
        return m ? m->New(params.get_mixerIn()) : nullptr;
    }
    return nullptr;
}

// The units are known only from the resources report, so the refusal says
// which ones the last one found.
Mixer* MixerFactory::unit_for(int unit) const
{
    Mixer* m = findMixer(unit);
    if (m)
        return m;
    std::cerr << ext::header(this) << "no mixer unit " << unit << ", units found by the last query:";
    size_t known = 0;
    for (auto& k : mMixers)
        if (!k->stale)
            std::cerr << " " << k->unit(), ++known;
    std::cerr << (known ? "" : " none") << std::endl;
    return nullptr;
}

void MixerFactory::Query(LGCP::Resources& resources)
{
    RefreshResources();
    auto& list = resources.get_mixer();
    list.clear();
    for (auto& m : mMixers) {
        LGCP::MixerResources_subtype r;
        r.set_unit(m->unit());
        r.set_tdm_inputs(std::max(mMinChannels, 0));
        r.set_tdm_outputs(std::max(mMinChannels, 0));
        r.set_mixer_inputs(std::max(mMinInputs, 0));
        r.set_dpu_per_mixer(kDpuPerMixer);
        r.set_dpu_per_ec(kDpuPerEc);
        r.set_dpu_per_lms(kDpuPerLms);
        list.push_back(r);
    }
}

// A driver that reports a unit twice in one walk would never let the walk
// end, so the walk ends there, and after kMaxMixers queries in any case
// (not at kMaxMixers known mixers: a rescan of that many would see none).
void MixerFactory::RefreshResources()
{
    for (auto& m : mMixers)
        m->stale = true;
    mMinInputs = mMinChannels = -1;
    mix_unit r{-1, 0, 0, 0};
    std::set<int> seen;
    for (size_t queries = 0; queries < kMaxMixers; ++queries) {
        if (ctl(MIX_UNIT_QUERY, &r) < 0 || !seen.insert(r.unit).second)
            break;
        mMinInputs = mMinInputs < 0 ? r.mixer_inputs : std::min(mMinInputs, r.mixer_inputs);
        mMinChannels = mMinChannels < 0 ? r.tdm_channels : std::min(mMinChannels, r.tdm_channels);
        auto known = std::find_if(mMixers.begin(), mMixers.end(),
                                  [&](const std::shared_ptr<Mixer>& m) { return m->unit() == r.unit; });
        if (known != mMixers.end()) {
            (*known)->stale = false;
            continue;
        }
        mMixers.push_back(std::make_shared<Mixer>(*this, r.unit));
        mMixers.back()->Reset();
    }
    std::vector<std::shared_ptr<Mixer>> gone;
    for (auto& m : mMixers)
        if (m->stale)
            gone.push_back(m);
    mMixers.erase(std::remove_if(mMixers.begin(), mMixers.end(), [](const std::shared_ptr<Mixer>& m) { return m->stale; }),
                  mMixers.end());
    // Held here until each slot has heard of it: an abort may destroy a slot.
    for (auto& m : gone)
        m->Clear();
    ReadVersion();
}

void MixerFactory::ReadVersion()
{
    Fd fd(Device::open(GetVoiceDevName(), O_RDONLY | O_CLOEXEC));
    if (!fd) {
        std::cerr << ext::header(this) << "device " << ext::quoted(GetVoiceDevName())
                  << " open fail: " << std::strerror(errno) << std::endl;
        mVersionValid = false;
        return;
    }
    mVersionValid = Device::ioctl(fd.get(), Device::Voice::VOICE_VERSION, &mVersion) >= 0;
}

} // namespace Mixer
