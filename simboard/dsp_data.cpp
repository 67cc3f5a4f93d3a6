#include "simboard/dsp_data.h"

#include <cerrno>

namespace SimBoard {

namespace DspData = Device::DspData;

DspDataDevice::DspDataDevice()
{
    handle(DspData::DSP_DATA_TIMESLOT, [this](Call& c) {
        Open* o = of(c.channel);
        return o ? o->number : -EBADF;
    }, Arg::value);
    handle(DspData::DSP_DATA_ADD_B, [this](Call& c) { return add(c.channel, c.record<DspData::BChannel>()); },
           Arg::filled);
    handle(DspData::DSP_DATA_REMOVE_B,
           [this](Call& c) { return remove(c.channel, c.record<DspData::BChannel>()); });
}

int DspDataDevice::open(Channel& channel)
{
    for (unsigned i = 0; i < kMaxOpens; ++i) {
        if (mOpens.count(i))
            continue;
        Open& o = mOpens[i];
        o.channel = &channel;
        o.number = kFirstChannel + 4 * static_cast<int32_t>(i);
        if (SwitchPath* p = SwitchPath::of(board()))
            p->attach(o.number, &o);
        return 0;
    }
    return ENOSPC;
}

DspDataDevice::Open* DspDataDevice::of(Channel& channel)
{
    for (auto& o : mOpens)
        if (o.second.channel == &channel)
            return &o.second;
    return nullptr;
}

const DspDataDevice::Open* DspDataDevice::find(int32_t number) const
{
    sweep();
    for (auto& o : mOpens)
        if (o.second.number == number)
            return &o.second;
    return nullptr;
}

size_t DspDataDevice::opens() const
{
    sweep();
    return mOpens.size();
}

int DspDataDevice::add(Channel& channel, DspData::BChannel& r)
{
    Open* o = of(channel);
    if (!o)
        return -EBADF;
    if (r.subslot >= DspData::kSubslots)
        return -EINVAL;
    if (o->b[r.subslot])
        return -EBUSY;
    o->b[r.subslot] = true;
    r.channel = o->number + 1 + static_cast<int32_t>(r.subslot);
    return 0;
}

int DspDataDevice::remove(Channel& channel, const DspData::BChannel& r)
{
    Open* o = of(channel);
    if (!o)
        return -EBADF;
    if (r.subslot >= DspData::kSubslots || !o->b[r.subslot] ||
        r.channel != o->number + 1 + static_cast<int32_t>(r.subslot))
        return -EINVAL;
    o->b[r.subslot] = false;
    return 0;
}

ssize_t DspDataDevice::write(Channel& channel, int, const void* buf, size_t count)
{
    Open* o = of(channel);
    if (!o)
        return -EBADF;
    if (SwitchPath* p = SwitchPath::of(board()))
        p->send(o->number, buf, count);
    return static_cast<ssize_t>(count);
}

void DspDataDevice::closed(Channel& channel)
{
    for (auto it = mOpens.begin(); it != mOpens.end(); ++it) {
        if (it->second.channel != &channel)
            continue;
        if (SwitchPath* p = SwitchPath::of(board()))
            p->detach(&it->second);
        mOpens.erase(it);
        return;
    }
}

} // namespace SimBoard
