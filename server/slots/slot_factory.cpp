#include "server/slots/slot_factory.h"

#include <algorithm>
#include <iostream>

#include "server/slots/slot.h"

// Constant-initialised, so it is null before any constructor runs: the
// factories that are global objects register before main.
SlotFactory* firstFactory = nullptr;

SlotFactory::SlotFactory() : mNext(firstFactory)
{
    firstFactory = this;
}

// Factories normally outlive every slot; one that goes first (at process
// exit, or a test's) leaves neither the registry nor its slots pointing at it.
SlotFactory::~SlotFactory()
{
    for (Slot* slot : mSlots)
        slot->mFactory = nullptr;
    for (SlotFactory** link = &firstFactory; *link; link = &(*link)->mNext)
        if (*link == this) {
            *link = mNext;
            break;
        }
}

Slot* SlotFactory::NewSlot(LGCP::CreateParams const& params)
{
    Slot* slot = INewSlot(params);
    // A kind whose channel a driver hands out holds the channel's
    // descriptor from the moment it names the channel. One that holds none
    // (a copy it could not take) would never learn that the driver took the
    // channel back, and would answer for the next slot's call: not made.
    if (slot && slot->GetHold() == Slot::Hold::descriptor && !slot->HoldsChannel() &&
        (slot->IGetTransmitChannel() >= 0 || slot->IGetReceiveChannel() >= 0)) {
        std::cerr << GetName() << ": a " << slot->GetName() << " slot holds no descriptor of its channel" << std::endl;
        delete slot;
        return nullptr;
    }
    if (slot) {
        slot->mFactory = this;
        mSlots.push_back(slot);
    }
    return slot;
}

void SlotFactory::DiscardUnmade(Slot* slot)
{
    slot->IBeforeDestroy();
    delete slot;
}

void SlotFactory::Remove(Slot* slot)
{
    auto it = std::find(mSlots.begin(), mSlots.end(), slot);
    if (it != mSlots.end())
        mSlots.erase(it);
}
