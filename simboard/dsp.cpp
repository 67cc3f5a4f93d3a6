#include "simboard/dsp.h"

#include <cerrno>

#include "simboard/test_port.h"

namespace SimBoard {

using namespace Device::Dsp;

DspDevice::DspDevice()
{
    handle(DSPROC_CONFIGURE, [this](Call& c) {
        auto& r = c.record<Configure>();
        TimeSlot* t = at(r.timeslot);
        if (!t)
            return -EINVAL;
        t->configs[r.kind] = r;
        return 0;
    });
    handle(DSPROC_ENABLE, [this](Call& c) { return enable(c.record<Enable>(), true); });
    handle(DSPROC_DISABLE, [this](Call& c) { return enable(c.record<Enable>(), false); });
    handle(DSPROC_VERSION, [this](Call&) { return mVersion; }, Arg::value);
}

int DspDevice::enable(const Enable& r, bool on)
{
    TimeSlot* t = at(r.timeslot);
    if (!t || r.mask == 0)
        return -EINVAL;
    for (uint32_t bit = 1; bit != 0; bit <<= 1)
        if (r.mask & bit)
            t->features[bit] = Feature{on, on ? r.id : t->features[bit].id};
    return 0;
}

DspDevice::TimeSlot DspDevice::timeslot(uint32_t ts) const
{
    auto it = mSlots.find(ts);
    return it == mSlots.end() ? TimeSlot() : it->second;
}

DspDevice::Feature DspDevice::feature(uint32_t ts, uint32_t bit) const
{
    TimeSlot t = timeslot(ts);
    auto it = t.features.find(bit);
    return it == t.features.end() ? Feature() : it->second;
}

const Configure* DspDevice::config(uint32_t ts, uint32_t kind) const
{
    auto it = mSlots.find(ts);
    if (it == mSlots.end())
        return nullptr;
    auto c = it->second.configs.find(kind);
    return c == it->second.configs.end() ? nullptr : &c->second;
}

void DspDevice::last_closed()
{
    for (auto& s : mSlots)
        s.second.features.clear();
}

size_t DspDevice::event(uint32_t ts, uint32_t type, uint32_t d0, uint32_t d1, uint32_t d2, int64_t id)
{
    bool reportsWhenOn = type == kVad || type == kSd || type == kBss;
    if (reportsWhenOn && !feature(ts, type).on)
        return 0;
    Device::Dsp::Event e{ts, id == kFeatureId ? feature(ts, type).id : static_cast<uint32_t>(id), type, {d0, d1, d2}};
    return post_raw(&e, sizeof(e));
}

} // namespace SimBoard

namespace SimBoard {

void DspDevice::port_commands(TestPort& port)
{
    port.add("dsp", 5, "<ts> <type> <d0> <d1> <d2>", [this](const TestPort::Args& a) {
        uint32_t v[5];
        for (size_t i = 0; i < 5; ++i)
            if (!TestPort::number(a[i], v[i]))
                return TestPort::error("bad number " + a[i]);
        return TestPort::ok(std::to_string(event(v[0], v[1], v[2], v[3], v[4])));
    });
}

} // namespace SimBoard
