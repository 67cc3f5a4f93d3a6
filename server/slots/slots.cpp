#include "server/slots/slots.h"

#include <algorithm>
#include <iostream>

#include "runtime/mux_time.h"
#include "server/slots/slot_factory.h"

namespace {

Slots* gScoped = nullptr;

// How long slots still releasing get when the controller has gone.
const int kReleasePauseMs = 1000;

// What a command on a slot that lost its channel is answered with. Its
// connections went with the channel.
const LGCP::ErrorCause::NamedNumber kLost = LGCP::ErrorCause::internal;

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

void Slots::CmdQuery()
{
    Success();
    UpdateHardwareResources();
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
    else if (current->IsLost() || receiver->IsLost())
        Error(kLost);
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
    else if (current->IsLost())
        Error(kLost);
    else if (Disconnect(*current))
        Success();
    else
        Error(LGCP::ErrorCause::disconnectFail);
}

void Slots::CmdCreate(LGCP::CreateParams const& params)
{
    unsigned n = GetSlot();
    if (Slot* old = at(n)) {
        if (old->IsReleasing()) {
            Error(LGCP::ErrorCause::destroyInProgress);
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
    } else if (slot->IsReleasing()) {
        Error(LGCP::ErrorCause::destroyInProgress);
    } else if (Destroy(slot)) {
        Success();
    } else {
        // Any sequence number is valid, 0 too: the flag says an answer waits.
        slot->delayedSeq = delayResponse();
        slot->mAnswerPending = true;
    }
}

void Slots::CmdSlotHook(LGCP::Command const& cmd)
{
    Slot* slot = at(GetSlot());
    if (!slot) {
        Error(LGCP::ErrorCause::slotNotExists);
        return;
    }
    if (slot->IsLost()) {
        Error(kLost);
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
    DropConnections(*slot);
    slot->mReleasing = true;
    if (!slot->BeforeDestroy())
        return false;
    int_destroy(slot);
    return true;
}

void Slots::on_release(Slot* slot)
{
    if (slot->mAnswerPending)
        delayedSuccess(slot->id, slot->delayedSeq);
    int_destroy(slot);
}

void Slots::int_destroy(Slot* slot)
{
    erase(mLive, slot);
    erase(mPending, slot);
    if (at(slot->id) == slot)
        mTable[slot->id] = nullptr;
    // A releasing slot still takes commands: whatever it was joined to
    // meanwhile is cut before it goes.
    if (slot->GetSource() || !slot->GetReceivers().empty())
        DropConnections(*slot);
    delete slot;
}

void Slots::UpdateHardwareResources()
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
    while (!mLive.empty()) {
        Slot* slot = mLive.front();
        if (slot->IsReleasing() || !Destroy(slot)) {
            erase(mLive, slot);
            mPending.push_back(slot);
        }
    }
    if (mPending.empty())
        return;
    // No loop turn happens meanwhile: this only gives the devices time.
    Mux::clock().poll(nullptr, 0, kReleasePauseMs);
    while (!mPending.empty())
        int_destroy(mPending.front());
}
