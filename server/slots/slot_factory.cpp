#include "server/slots/slot_factory.h"

#include <algorithm>

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
    if (slot) {
        slot->mFactory = this;
        mSlots.push_back(slot);
    }
    return slot;
}

void SlotFactory::Remove(Slot* slot)
{
    auto it = std::find(mSlots.begin(), mSlots.end(), slot);
    if (it != mSlots.end())
        mSlots.erase(it);
}
