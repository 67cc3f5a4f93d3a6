#include "server/slots/slots.h"

#include <algorithm>
#include <iostream>

#include "runtime/mux_time.h"
#include "server/slots/slot_factory.h"

namespace {

Slots* gScoped = nullptr;

// How long slots still releasing get when the controller has gone.
const int kReleasePauseMs = 1000;

// What a destroy, or a create in its place, of a slot already releasing is
// answered with; so is every command on a draining slot, and every
// connection naming one.
const LGCP::ErrorCause::NamedNumber kNotEndable = LGCP::ErrorCause::destroyInProgress;

bool serves(const Slot& slot)
{
    return RuleOf(slot.GetPhase()).serves;
}

// What a command on a slot whose phase serves none is answered with: a
// draining slot was destroyed already; a lost one's channel went, and its
// connections with it.
LGCP::ErrorCause::NamedNumber refusal(const Slot& slot)
{
    return RuleOf(slot.GetPhase()).draining ? kNotEndable : LGCP::ErrorCause::internal;
}

// A destroy, or a create in its place, starts the release only once.
bool endable(const Slot& slot)
{
    return !RuleOf(slot.GetPhase()).releasing;
}

void erase(std::list<Slot*>& list, Slot* slot)
{
    auto it = std::find(list.begin(), list.end(), slot);
    if (it != list.end())
        list.erase(it);
}

} // namespace

Slots* Slots::instance()
{
    if (gScoped)
        return gScoped;
    static Slots one;
    return &one;
}

Slots::Scoped::Scoped() : mOld(gScoped)
{
    gScoped = &mSlots;
}

Slots::Scoped::~Scoped()
{
    gScoped = mOld;
}

Slots::Slots() : mTable(size, nullptr) {}

// Only at the end of the process (or of a test): the slots go without
// their release.
Slots::~Slots()
{
    mDrains.clear();
    mDrained.clear();
    mLive.splice(mLive.end(), mPending);
    while (!mLive.empty()) {
        Slot* slot = mLive.front();
        mLive.pop_front();
        delete slot;
    }
}

bool Slots::OnCommand(LGCP::Command const& cmd)
{
    return IsSlotPresent() ? OnSlotCommand(cmd) : OnBaseCommand(cmd);
}

bool Slots::OnBaseCommand(LGCP::Command const& cmd)
{
    if (!cmd.is_query())
        return false;
    CmdQuery();
    return true;
}

bool Slots::OnSlotCommand(LGCP::Command const& cmd)
{
    switch (cmd.currentSelection()) {
    case LGCP::Command::e_connect:
        CmdConnect(cmd.get_connect().getValue());
        return true;
    case LGCP::Command::e_disconnect:
        CmdDisconnect();
        return true;
    case LGCP::Command::e_create:
        CmdCreate(cmd.get_create());
        return true;
    case LGCP::Command::e_destroy:
        CmdDestroy();
        return true;
    case LGCP::Command::e_activate:
    case LGCP::Command::e_deactivate:
    case LGCP::Command::e_userData:
    case LGCP::Command::e_ioctl:
        CmdSlotHook(cmd);
        return true;
    default:
        return false;
    }
}

// The answer, and the controller's later commands, wait for the report,
// which follows the answer as before.
void Slots::CmdQuery()
{
    AskReport({true, holdResponse()});
}

void Slots::CmdConnect(unsigned target)
{
    if (target >= size) {
        Error(LGCP::ErrorCause::invalidSlot);
        return;
    }
    Slot* current = at(GetSlot());
    Slot* receiver = at(target);
    if (!current || !receiver)
        Error(LGCP::ErrorCause::slotNotExists);
    else if (!serves(*current))
        Error(refusal(*current));
    else if (!serves(*receiver))
        Error(refusal(*receiver));
    else if (Connect(*current, *receiver))
        Success();
    else
        Error(LGCP::ErrorCause::connectFail);
}

void Slots::CmdDisconnect()
{
    Slot* current = at(GetSlot());
    if (!current)
        Error(LGCP::ErrorCause::slotNotExists);
    else if (!serves(*current))
        Error(refusal(*current));
    else if (Disconnect(*current))
        Success();
    else
        Error(LGCP::ErrorCause::disconnectFail);
}

void Slots::CmdCreate(LGCP::CreateParams const& params)
{
    unsigned n = GetSlot();
    if (Slot* old = at(n)) {
        if (!endable(*old)) {
            Error(kNotEndable);
            return;
        }
        Destroy(old);
        if (at(n)) {
            Error(LGCP::ErrorCause::slotIdBusy);
            return;
        }
    }
    Slot* slot = nullptr;
    for (SlotFactory* f = firstFactory; f && !slot; f = f->next())
        slot = f->NewSlot(params);
    if (!slot) {
        Error(LGCP::ErrorCause::insufficientResources);
        return;
    }
    slot->id = n;
    mLive.push_back(slot);
    mTable[n] = slot;
    // The answer goes first: the slot's stream signals follow it.
    Success();
    slot->IAfterCreate();
}

void Slots::CmdDestroy()
{
    Slot* slot = at(GetSlot());
    if (!slot) {
        Error(LGCP::ErrorCause::slotNotExists);
    } else if (!endable(*slot)) {
        Error(kNotEndable);
    } else if (Destroy(slot) || RuleOf(slot->GetPhase()).draining) {
        Success();
    } else {
        mDelayedAnswers[slot] = delayResponse();
    }
}

void Slots::CmdSlotHook(LGCP::Command const& cmd)
{
    Slot* slot = at(GetSlot());
    if (!slot) {
        Error(LGCP::ErrorCause::slotNotExists);
        return;
    }
    if (!serves(*slot)) {
        Error(refusal(*slot));
        return;
    }
    bool done = false;
    if (cmd.is_activate())
        done = slot->IActivate(cmd.get_activate());
    else if (cmd.is_deactivate())
        done = slot->IDeactivate();
    else if (cmd.is_userData())
        done = slot->IUserData(cmd.get_userData());
    else
        done = slot->Ioctl(cmd.get_ioctl());
    if (done)
        Success();
    else
        Error(LGCP::ErrorCause::unsupported);
}

void Slots::DropConnections(Slot& slot)
{
    LetGo(slot);
    if (DisconnectReceivers(slot, "mux internal error: expected slots not exists.") && !slot.GetReceivers().empty())
        std::cerr << "mux internal error: unexpected slots exists." << std::endl;
}

bool Slots::Destroy(Slot* slot)
{
    HandedChannel* handle = slot->OrderlyEnd();
    if (handle && handle->Drain(this)) {
        mDrains.push_back(Drain{handle, slot});
        return false;
    }
    return Release(slot);
}

void Slots::IDrainEnded(const HandedChannel* handle)
{
    auto it = std::find_if(mDrains.begin(), mDrains.end(), [&](const Drain& d) { return d.handle == handle; });
    if (it == mDrains.end())
        return;
    mDrained.push_back(it->slot);
    mDrains.erase(it);
    mReleaseDrained.set(0, &Slots::ReleaseDrained, this);
}

void Slots::ReleaseDrained()
{
    while (!mDrained.empty()) {
        Slot* slot = mDrained.front();
        mDrained.erase(mDrained.begin());
        Release(slot);
    }
}

bool Slots::EndDrain(Slot* slot)
{
    auto it = std::find_if(mDrains.begin(), mDrains.end(), [&](const Drain& d) { return d.slot == slot; });
    if (it != mDrains.end()) {
        HandedChannel* handle = it->handle;
        mDrains.erase(it);
        handle->EndDrain();
        return true;
    }
    auto drained = std::find(mDrained.begin(), mDrained.end(), slot);
    if (drained == mDrained.end())
        return false;
    mDrained.erase(drained);
    return true;
}

// The kind's hook may end its release inside: the slot is deleted here,
// once the hook has returned.
bool Slots::Release(Slot* slot)
{
    DropConnections(*slot);
    mInRelease.push_back(slot);
    bool released = slot->BeforeDestroy();
    mInRelease.pop_back();
    if (!released)
        return false;
    int_destroy(slot);
    return true;
}

void Slots::on_release(Slot* slot)
{
    if (std::find(mInRelease.begin(), mInRelease.end(), slot) != mInRelease.end())
        return;
    auto answer = mDelayedAnswers.find(slot);
    if (answer != mDelayedAnswers.end())
        delayedSuccess(slot->id, answer->second);
    int_destroy(slot);
}

void Slots::int_destroy(Slot* slot)
{
    erase(mLive, slot);
    erase(mPending, slot);
    mDelayedAnswers.erase(slot);
    mDrains.erase(std::remove_if(mDrains.begin(), mDrains.end(), [&](const Drain& d) { return d.slot == slot; }),
                  mDrains.end());
    mDrained.erase(std::remove(mDrained.begin(), mDrained.end(), slot), mDrained.end());
    if (at(slot->id) == slot)
        mTable[slot->id] = nullptr;
    // A releasing slot still takes commands: whatever it was joined to
    // meanwhile is cut before it goes.
    if (slot->GetSource() || !slot->GetReceivers().empty())
        DropConnections(*slot);
    LeaveOutputs(*slot);
    delete slot;
}

void Slots::UpdateHardwareResources()
{
    // One more waiting for the same factories would tell the same.
    for (const Report& r : mReports)
        if (!r.answer)
            return;
    AskReport({false, CtrlSrv::Seq()});
}

// A report asked while the factories prepare one waits for that one: none
// waits longer than a factory's own bound.
void Slots::AskReport(const Report& report)
{
    mReports.push_back(report);
    if (mPreparing > 0)
        return;
    std::weak_ptr<Slots*> self = mSelf;
    auto ready = [self] {
        if (std::shared_ptr<Slots*> table = self.lock())
            if (--(*table)->mPreparing == 0)
                (*table)->SendReports();
    };
    for (SlotFactory* f = firstFactory; f; f = f->next())
        mPreparing += f->IPrepareQuery(ready);
    if (mPreparing == 0)
        SendReports();
}

void Slots::SendReports()
{
    std::vector<Report> reports;
    reports.swap(mReports);
    for (const Report& report : reports) {
        if (report.answer)
            delayedSuccess(CtrlSrv::no_slot, report.seq);
        SendReport();
        if (report.answer)
            resumeCommands();
    }
}

void Slots::SendReport()
{
    LGCP::Signal sig;
    LGCP::Resources& r = sig.get_query();
    for (ASN1::INTEGER* count : {&r.get_rtp_g729(), &r.get_rtp_g723(), &r.get_rtp_g711(), &r.get_rtp_g711mcc(),
                                 &r.get_rtp_g722(), &r.get_modem(), &r.get_mcc_data(), &r.get_mcc_bri(),
                                 &r.get_mcc_trans(), &r.get_t38_instances(), &r.get_digital_modems(), &r.get_lin16()})
        count->setValue(0);
    r.set_mux(true);
    for (SlotFactory* f = firstFactory; f; f = f->next())
        f->Query(r);
    SendSignal(CtrlSrv::no_slot, sig);
}

void Slots::OnSignal(LGCP::Signal const& sig)
{
    if (!sig.is_trunkStatus())
        return;
    for (SlotFactory* f = firstFactory; f; f = f->next())
        f->SelfSignal(sig);
}

void Slots::OnDisconnect()
{
    // The queries of the controller that went are answered to nobody.
    mReports.erase(std::remove_if(mReports.begin(), mReports.end(), [](const Report& r) { return r.answer; }),
                   mReports.end());
    while (!mLive.empty()) {
        Slot* slot = mLive.front();
        if (!endable(*slot) || !Destroy(slot)) {
            erase(mLive, slot);
            mPending.push_back(slot);
        }
    }
    if (mPending.empty())
        return;
    // No loop turn happens meanwhile: this only gives the devices time.
    Mux::clock().poll(nullptr, 0, kReleasePauseMs);
    while (!mPending.empty()) {
        Slot* slot = mPending.front();
        // A slot that still drained has its release now.
        if (!EndDrain(slot) || !Release(slot))
            int_destroy(slot);
    }
}
