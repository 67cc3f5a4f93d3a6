#include "server/tdm/trunk_slot.h"

#include <iostream>

#include "server/slots/slots.h"

// Built before main: they register in the factory registry, whose head is a
// constant-initialised pointer and so already null when they run.
TrunkFactory trunk0(0, 0), trunk1(1, 32), trunk2(2, 64), trunk3(3, 96);
TrunkBRIFactory trunk_bri0(0), trunk_bri1(1), trunk_bri2(2), trunk_bri3(3), trunk_bri4(4), trunk_bri5(5),
    trunk_bri6(6), trunk_bri7(7);

// A slot deleted without its release (the table going at exit) must not
// stay behind in its time slot.
TrunkSlot::~TrunkSlot()
{
    if (TrunkFactory* factory = GetSlotFactory())
        factory->ReleaseTrunkSlot(this);
}

TrunkFactory* TrunkSlot::GetSlotFactory() const
{
    return static_cast<TrunkFactory*>(GetFactory());
}

void TrunkSlot::IAfterCreate()
{
    OnChangeOutputStream(true);
    OnChangeInputStream(true);
}

bool TrunkSlot::IBeforeDestroy()
{
    if (TrunkFactory* factory = GetSlotFactory())
        factory->ReleaseTrunkSlot(this);
    return true;
}

TrunkFactory::TrunkFactory(unsigned trunk, unsigned base) : mTrunk(trunk), mBase(base) {}

void TrunkFactory::ReleaseTrunkSlot(TrunkSlot* slot)
{
    for (TrunkSlot*& entry : mSlots)
        if (entry == slot)
            entry = nullptr;
}

int TrunkFactory::Claim(LGCP::TrunkParams const& params, unsigned timeSlots)
{
    unsigned trunk = static_cast<unsigned>(params.get_trunk().getValue());
    unsigned timeSlot = static_cast<unsigned>(params.get_timeslot().getValue());
    if (trunk != mTrunk || timeSlot >= timeSlots)
        return -1;
    if (TrunkSlot* old = mSlots[timeSlot]) {
        std::cerr << "trunk-slot: two slots require the same timeslot, remove old." << std::endl;
        std::cerr << " old slot " << *old << std::endl;
        Slots::instance()->Destroy(old);
        mSlots[timeSlot] = nullptr;
    }
    return static_cast<int>(timeSlot);
}

TrunkSlot* TrunkFactory::Keep(int timeSlot, TrunkSlot* slot)
{
    mSlots[static_cast<size_t>(timeSlot)] = slot;
    return slot;
}

Slot* TrunkFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_trunk())
        return nullptr;
    int timeSlot = Claim(params.get_trunk(), kTimeSlots);
    return timeSlot < 0 ? nullptr : Keep(timeSlot, new TrunkSlot(static_cast<int>(mBase) + timeSlot));
}

Slot* TrunkBRIFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_trunk_bri())
        return nullptr;
    int channel = Claim(params.get_trunk_bri(), kChannels);
    return channel < 0 ? nullptr : Keep(channel, new TrunkBRISlot(static_cast<int>(base()) + channel));
}
