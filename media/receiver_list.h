// The live receivers of one device service, in construction order, and
// the search for the first one built for a time slot. Events come in runs
// for one time slot, so the last find is kept while no receiver is built
// or goes (a receiver's time slot is fixed for its life).
#pragma once

#include <cstdint>

#include "runtime/cyclic_list.h"

namespace Hardware {

// R has a public `struct Link : Containers::CyclicList { R* owner; }`.
template <class R, uint32_t (R::*Timeslot)() const>
class ReceiverList {
public:
    void add(typename R::Link& link, R* owner)
    {
        link.owner = owner;
        link.InternalAddTail(mAnchor);
        ++mGeneration;
    }
    // Once: a receiver that left its time slot early goes again with its owner.
    void remove(typename R::Link& link)
    {
        if (link.empty())
            return;
        link.InternalRemove();
        link.InternalInit();
        ++mGeneration;
    }

    // Calls f(receiver) for each, in construction order; f adds or
    // removes none.
    template <class F>
    void each(F f)
    {
        for (Containers::CyclicList* node : mAnchor)
            f(*static_cast<typename R::Link*>(node)->owner);
    }

    // The first receiver built for the time slot, null when there is none.
    R* find(uint32_t timeslot)
    {
        if (mFoundGeneration == mGeneration && (mFound->*Timeslot)() == timeslot)
            return mFound;
        for (Containers::CyclicList* node : mAnchor) {
            R* r = static_cast<typename R::Link*>(node)->owner;
            if ((r->*Timeslot)() == timeslot) {
                mFound = r;
                mFoundGeneration = mGeneration;
                return r;
            }
        }
        return nullptr;
    }

private:
    Containers::CyclicList mAnchor;
    uint64_t mGeneration = 0;
    uint64_t mFoundGeneration = ~uint64_t(0);
    R* mFound = nullptr;
};

} // namespace Hardware
