#include "simboard/e1.h"

#include <algorithm>
#include <cerrno>

namespace SimBoard {

using Device::E1::Status;

// ------------------------------------------------------------ maintenance

E1Maintenance::E1Maintenance()
{
    handle(Device::E1::E1_GET_STATUS, [this](Call& c) {
        auto& r = c.record<Status>();
        if (r.trunk >= kTrunks)
            return -EINVAL;
        if (int error = trunk(r.trunk).failure)
            return -error;
        Status s = status(r.trunk);
        r.slips = s.slips;
        r.lossBF = s.lossBF;
        r.lossCarrier = s.lossCarrier;
        r.lossAIS = s.lossAIS;
        r.lossRAI = s.lossRAI;
        r.state = s.state;
        return 0;
    });
    handle(Device::E1::E1_SET_TCLK, [this](Call& c) {
        mTclk = static_cast<uint32_t>(c.value());
        if (recording())
            mTclkWrites.push_back(mTclk);
        return 0;
    }, Arg::value);
    handle(Device::E1::E1_SET_CLOCK_SOURCE, [this](Call& c) {
        if (recording())
            mClockSources.push_back(static_cast<uint32_t>(c.value()));
        return 0;
    }, Arg::value);
}

void E1Maintenance::raise(unsigned n, Alarm alarm)
{
    Trunk& t = trunk(n);
    auto i = static_cast<size_t>(alarm);
    if (!t.alarms[i])
        ++t.counts[i];
    t.alarms[i] = true;
}

void E1Maintenance::clear(unsigned n, Alarm alarm)
{
    trunk(n).alarms[static_cast<size_t>(alarm)] = false;
}

void E1Maintenance::slip(unsigned n, uint32_t count)
{
    trunk(n).slips += count;
}

void E1Maintenance::force_state(unsigned n, uint32_t state)
{
    trunk(n).forced = true;
    trunk(n).forcedState = state;
}

void E1Maintenance::release_state(unsigned n)
{
    trunk(n).forced = false;
}

void E1Maintenance::fail_status(unsigned n, int error)
{
    trunk(n).failure = error;
}

Status E1Maintenance::status(unsigned n) const
{
    const Trunk& t = mTrunks.at(n);
    Status s{};
    s.trunk = n;
    s.slips = t.slips;
    s.lossCarrier = t.counts[static_cast<size_t>(Alarm::los)];
    s.lossBF = t.counts[static_cast<size_t>(Alarm::lof)];
    s.lossAIS = t.counts[static_cast<size_t>(Alarm::ais)];
    s.lossRAI = t.counts[static_cast<size_t>(Alarm::rai)];
    static const uint32_t kByRank[] = {Device::E1::kLossCarrier, Device::E1::kLossBF, Device::E1::kAis,
                                       Device::E1::kRai};
    s.state = Device::E1::kNormal;
    for (size_t i = t.alarms.size(); i-- > 0;)
        if (t.alarms[i])
            s.state = kByRank[i];
    if (t.forced)
        s.state = t.forcedState;
    return s;
}

// -------------------------------------------------------------------- CAS

E1Cas::E1Cas()
{
    using namespace Device::Cas;
    handle(CAS_OPEN, [this](Call& c) {
        if (c.value() >= kTrunks)
            return -EINVAL;
        mTrunks[c.value()].open = true;
        return 0;
    }, Arg::value);
    handle(CAS_CLOSE, [this](Call& c) {
        if (c.value() >= kTrunks || !mTrunks[c.value()].open)
            return -EINVAL;
        close_trunk(mTrunks[c.value()]);
        return 0;
    }, Arg::value);
    handle(CAS_CHANNEL, [this](Call& c) {
        auto& r = c.record<ChannelRecord>();
        Slot* s = channel(r.cas);
        if (!s || r.disable > 1)
            return -EINVAL;
        s->enabled = r.disable == 0;
        s->tx = s->enabled ? r.cas.tx & 0xF : 0;
        return 0;
    });
    handle(CAS_SET, [this](Call& c) {
        auto& r = c.record<Record>();
        Slot* s = enabled(r);
        if (s)
            s->tx = r.tx & 0xF;
        return s ? 0 : -EINVAL;
    });
    handle(CAS_GET, [this](Call& c) {
        auto& r = c.record<Record>();
        if (Slot* s = enabled(r)) {
            r.rx = s->rx;
            r.tx = s->tx;
            return 0;
        }
        return -EINVAL;
    });
}

E1Cas::Slot* E1Cas::channel(const Device::Cas::Record& r)
{
    if (r.path >= kTrunks || r.timeslot >= kTimeSlots || r.timeslot == Device::Cas::kFramingSlot ||
        r.timeslot == Device::Cas::kSignallingSlot || !mTrunks[r.path].open)
        return nullptr;
    return &mTrunks[r.path].slots[r.timeslot];
}

E1Cas::Slot* E1Cas::enabled(const Device::Cas::Record& r)
{
    Slot* s = channel(r);
    return s && s->enabled ? s : nullptr;
}

void E1Cas::close_trunk(Trunk& t)
{
    t.open = false;
    for (Slot& s : t.slots) {
        s.enabled = false;
        s.tx = 0;
    }
}

bool E1Cas::is_open(unsigned trunk) const
{
    sweep();
    return mTrunks.at(trunk).open;
}

const E1Cas::Slot& E1Cas::slot(unsigned trunk, unsigned timeslot) const
{
    sweep();
    return mTrunks.at(trunk).slots.at(timeslot);
}

void E1Cas::far_end(unsigned trunk, unsigned timeslot, uint8_t abcd)
{
    sweep();
    Trunk& t = mTrunks.at(trunk);
    Slot& s = t.slots.at(timeslot);
    uint8_t bits = abcd & 0xF;
    bool changed = s.rx != bits;
    s.rx = bits;
    if (!changed || !s.enabled || !t.open)
        return;
    Device::Cas::Record r{trunk, timeslot, s.rx, s.tx, {0, 0}};
    for (Channel* ch : mChannels)
        ch->post(&r, sizeof(r));
}

int E1Cas::open(Channel& channel)
{
    mChannels.push_back(&channel);
    return 0;
}

void E1Cas::closed(Channel& channel)
{
    mChannels.erase(std::remove(mChannels.begin(), mChannels.end(), &channel), mChannels.end());
    if (mChannels.empty())
        for (Trunk& t : mTrunks)
            close_trunk(t);
}

} // namespace SimBoard
