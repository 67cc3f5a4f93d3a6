// The slot table: the control service that owns every slot. It carries out
// the controller's slot commands on a table of 1024 numbers, asks the
// factories (newest first) to make slots, forwards trunk status to the
// factories, reports resources, and destroys everything when the
// controller goes.
//
// A slot number is free, or holds a slot whose phase (slot_phase.h)
// decides which commands it takes: a slot whose kind needs time to
// release stays in the table, refusing create and destroy, until it calls
// Slot::on_release; a slot that lost its board channel takes no command
// but its destroy (or a create in its place); a destroyed slot whose
// channel drains takes none at all.
//
// Every kind ends the same way: before any connection goes, the table asks
// the kind for the handle of its channel that ends in order (Slot::
// OrderlyEnd) and waits for that handle's drain, whose end it hears
// itself; only then do the connections and the kind's release go.
#pragma once

#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <vector>

#include "runtime/timer.h"
#include "server/control/ctrl_server.h"
#include "server/slots/slot.h"
#include "server/switch/handed_channels.h"

class Slots : public CtrlSrv::Service, private DrainWatcher {
public:
    static constexpr unsigned size = 1024;

    // The slot table of the process, built on first use.
    static Slots* instance();

    Slots();
    ~Slots() override;
    Slots(const Slots&) = delete;
    Slots& operator=(const Slots&) = delete;

    void OnConnect() override {}
    // Destroys every slot; slots still releasing after a one-second pause
    // are deleted regardless.
    void OnDisconnect() override;
    bool OnCommand(LGCP::Command const& cmd) override;
    // Trunk status goes to every factory.
    void OnSignal(LGCP::Signal const& sig) override;

    // Starts the slot's end: its release, once what it wrote left its
    // channel (Slot::OrderlyEnd): true when it has been deleted, false
    // when it drains or releases later.
    bool Destroy(Slot* slot);
    // The end of a late release: the delayed destroy answer, then deletion.
    void on_release(Slot* slot);
    // Forgets and deletes the slot.
    void int_destroy(Slot* slot);
    // Sends the resources report: the switch, and whatever each factory
    // adds, once every factory can tell (the loop goes on meanwhile).
    void UpdateHardwareResources();

    // The slot at number n, null when free or out of range.
    Slot* at(unsigned n) const { return n < size ? mTable[n] : nullptr; }
    // Live slots in creation order.
    const std::list<Slot*>& live() const { return mLive; }

    class Scoped;

private:
    bool OnSlotCommand(LGCP::Command const& cmd);
    bool OnBaseCommand(LGCP::Command const& cmd);
    void CmdQuery();
    void CmdConnect(unsigned target);
    void CmdDisconnect();
    void CmdCreate(LGCP::CreateParams const& params);
    void CmdDestroy();
    // activate, deactivate, userData and ioctl: the slot's hook decides.
    void CmdSlotHook(LGCP::Command const& cmd);
    // Cuts the slot's input and every receiver.
    void DropConnections(Slot& slot);
    // Disconnects the slot and runs its kind's release: true when it has
    // been deleted, false when it releases later.
    bool Release(Slot* slot);
    // A slot's drain ended (its channel drained, went, or could not wait
    // any longer): its release follows on the loop's next turn, outside
    // whatever hook ended the drain.
    void IDrainEnded(const HandedChannel* handle) override;
    void ReleaseDrained();
    // A report asked for: a query's (answered first) or one of its own.
    struct Report {
        bool answer;
        CtrlSrv::Seq seq;
    };
    void AskReport(const Report& report);
    // Every factory is ready: the reports asked for go out, in order.
    void SendReports();
    void SendReport();
    // Ends the drain of a slot that still drains (the controller went):
    // true when one ran.
    bool EndDrain(Slot* slot);

    std::vector<Slot*> mTable;
    std::list<Slot*> mLive;
    // Slots whose release is still running while the controller is gone.
    std::list<Slot*> mPending;
    // Slots whose IBeforeDestroy runs now (a hook may destroy another).
    std::vector<Slot*> mInRelease;
    // Destroys answered when the slot's release ends.
    std::map<const Slot*, CtrlSrv::Seq> mDelayedAnswers;
    // The slots whose channel drains, and the handle that drains it.
    struct Drain {
        HandedChannel* handle;
        Slot* slot;
    };
    std::vector<Drain> mDrains;
    // Slots whose drain ended, released on the next turn.
    std::vector<Slot*> mDrained;
    Timer mReleaseDrained;
    // Reports waiting for the factories, and how many are not ready yet.
    std::vector<Report> mReports;
    unsigned mPreparing = 0;
    // Tells the factories' ready calls whether this table still lives.
    std::shared_ptr<Slots*> mSelf = std::make_shared<Slots*>(this);
};

// Makes Slots::instance() return a table of its own while it lives.
class Slots::Scoped {
public:
    Scoped();
    ~Scoped();
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    Slots& slots() { return mSlots; }

private:
    Slots mSlots;
    Slots* mOld;
};
