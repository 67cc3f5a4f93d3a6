// The factory of the mixer slots: one Mixer per unit that the driver
// reports, found again by every resources report (the query command and a
// reload), which is also the only scan: before the first no mixer slot can
// be made. It holds "/dev/mixer", opened for each request, and the retry
// of what its units owe.
#pragma once

#include <iosfwd>
#include <memory>
#include <vector>

#include "board/voice_requests.h"
#include "holder/device_holder.h"
#include "media/mixer_slots.h"
#include "server/slots/slot_factory.h"

namespace Mixer {

class MixerFactory : public SlotFactory, private Device::Holder::State {
public:
    static constexpr size_t kMaxMixers = 100;

    static MixerFactory& instance();
    MixerFactory();

    const char* GetName() const override { return "Mixer"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    // Scans the units, then reports them.
    void Query(LGCP::Resources& resources) override;

    void RefreshResources();
    // The first mixer of the unit found by the last scan, null when none.
    Mixer* findMixer(int unit) const;
    // The smallest channel and input counts over the units, -1 while unknown.
    int min_channels() const { return mMinChannels; }
    int min_inputs() const { return mMinInputs; }
    const std::vector<std::shared_ptr<Mixer>>& mixers() const { return mMixers; }
    bool version_valid() const { return mVersionValid; }
    void PutHeader(std::ostream& out) const;

    // One request on the mixer, the units' owed ends told first: the
    // ioctl's result with its errno, -1 when the device cannot be opened.
    int ctl(unsigned long request, void* record);
    Device::Holder& device() { return mDevice; }

private:
    bool untold(uint64_t present) override;
    void reconcile(Device::Tally& made) override;
    // findMixer, with the refusal's line when there is no such unit.
    Mixer* unit_for(int unit) const;
    void ReadVersion();

    bool mVersionValid = false;
    Device::Voice::Version mVersion{};
    int mMinInputs = -1;
    int mMinChannels = -1;
    std::vector<std::shared_ptr<Mixer>> mMixers;
    Device::Holder mDevice;
};

} // namespace Mixer
