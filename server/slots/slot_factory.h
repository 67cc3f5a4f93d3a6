// The maker of one slot kind. Every factory links itself in front of the
// global registry when it is built, so the newest factory is asked first;
// factories live until the process ends. Each keeps the list of the slots it
// made that are still alive.
#pragma once

#include <functional>
#include <list>

#include "server/schema/LGCP.h"
#include "server/slots/slot.h"

class SlotFactory {
public:
    SlotFactory();
    virtual ~SlotFactory();
    SlotFactory(const SlotFactory&) = delete;
    SlotFactory& operator=(const SlotFactory&) = delete;

    virtual const char* GetName() const = 0;
    // A new, unnumbered slot when the parameters are this kind's and can be
    // served; null lets the next factory try.
    virtual Slot* INewSlot(LGCP::CreateParams const& params) = 0;
    // Adds this kind's resources to the report.
    virtual void Query(LGCP::Resources& resources) = 0;
    // Starts learning what Query reports when that takes time (a helper
    // program to ask): true when ready is called later, from the loop, once
    // Query can tell; false when there is nothing to wait for. The report
    // waits for every kind, while the loop goes on.
    virtual bool IPrepareQuery(const std::function<void()>& /*ready*/) { return false; }
    // Offered every trunk status signal.
    virtual void SelfSignal(LGCP::Signal const&) {}

    // INewSlot, and the slot joins this factory's list.
    Slot* NewSlot(LGCP::CreateParams const& params);
    // Takes the slot out of the list (nothing when it is not there).
    void Remove(Slot* slot);
    // A slot built but not made after all (a device refused a setting of
    // its create as invalid): released as a destroy releases it, so what
    // it started and switched on goes again, and deleted; INewSlot then
    // answers null. For kinds whose release ends at once.
    static void DiscardUnmade(Slot* slot);

    const std::list<Slot*>& slots() const { return mSlots; }
    // The factory registered before this one.
    SlotFactory* next() const { return mNext; }

private:
    std::list<Slot*> mSlots;
    SlotFactory* mNext;
};

// Head of the registry: the factory built last.
extern SlotFactory* firstFactory;
