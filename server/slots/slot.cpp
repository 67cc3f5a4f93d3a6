#include "server/slots/slot.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iostream>

#include "server/switch/hw_mux.h"
#include "server/slots/slot_factory.h"
#include "server/slots/slots.h"

// Deleting a slot never leaves a pointer to it behind: its factory's list
// and its neighbours forget it (the slot table has cut the connections
// already; this only covers what is left).
Slot::~Slot()
{
    // The kind's reader went with the kind.
    mHanded.Release();
    if (mFactory)
        mFactory->Remove(this);
    LogicalDisconnect();
    for (Slot* receiver : mReceivers)
        receiver->mSource = nullptr;
}

bool Slot::HoldChannel(int channel, const Fd& fd, Event* reader)
{
    return mHanded.Take(*this, channel, fd, reader, static_cast<bool>(fd));
}

void Slot::Step(SlotEvent event)
{
    SlotPhase next = NextPhase(mPhase, event);
    if (next == mPhase)
        return;
    std::clog << *this << ": " << RuleOf(mPhase).name << " -> " << RuleOf(next).name << std::endl;
    mPhase = next;
}

void Slot::LoseChannel(const Device::End& end)
{
    if (IsLost())
        return;
    Step(SlotEvent::lose);
    // Out of the index and not watched from here on: the kind's hooks
    // below may end the slot. The last copy of a descriptor gives the
    // channel back.
    mHanded.Release();
    LetGoChannel(*this);
    LeaveOutputs(*this);
    for (ChannelUser* user : mChannelUsers)
        user->LeaveChannel();
    IOnChannelLost(end);
}

void Slot::Put(std::ostream& out) const
{
    char text[16];
    if (id <= 1023)
        std::snprintf(text, sizeof(text), "%02u", id);
    else if (id == no_id)
        std::snprintf(text, sizeof(text), "na");
    else
        std::snprintf(text, sizeof(text), "i%u", id);
    out << text << ':' << GetName();
}

std::ostream& operator<<(std::ostream& out, const Slot& slot)
{
    slot.Put(out);
    return out;
}

// A draining slot's destroy was answered: the controller heard that the
// number is gone, so what the slot's end still reports stays here.
void Slot::SendSignal(LGCP::Signal const& sig)
{
    if (RuleOf(mPhase).draining)
        return;
    Slots::instance()->SendSignal(id, sig);
}

void Slot::LogicalConnect(Slot& source)
{
    mSource = &source;
    auto& list = source.mReceivers;
    auto at = std::lower_bound(list.begin(), list.end(), this);
    if (at == list.end() || *at != this)
        list.insert(at, this);
}

void Slot::LogicalDisconnect()
{
    if (!mSource)
        return;
    auto& list = mSource->mReceivers;
    list.erase(std::remove(list.begin(), list.end(), this), list.end());
    mSource = nullptr;
}

bool Slot::BeforeDestroy()
{
    Step(SlotEvent::release);
    if (IBeforeDestroy())
        Step(SlotEvent::end);
    if (!RuleOf(mPhase).released)
        return false;
    if (mFactory)
        mFactory->Remove(this);
    else
        std::cerr << "slot: internal error!!! BeforeDestroy() not connected to factory" << std::endl;
    return true;
}

HandedChannel* Slot::OrderlyEnd()
{
    HandedChannel* handle = IOrderlyEnd();
    if (handle)
        Step(SlotEvent::drain);
    return handle;
}

void Slot::on_release()
{
    if (!IsReleasing() || RuleOf(mPhase).released)
        return;
    Step(SlotEvent::end);
    if (mFactory)
        mFactory->Remove(this);
    Slots::instance()->on_release(this);
}

// ---------------------------------------------------------------- streams

void Slot::OnChangeInputStream(bool on)
{
    if (mInputActive == on)
        return;
    // Set first: the release hooks that Disconnect calls may ask again.
    mInputActive = on;
    LGCP::Signal sig;
    if (on) {
        sig.get_receiver().set_active(IGetReceiveChannel());
    } else {
        LetGo(*this);
        sig.get_receiver().set_inactive();
    }
    SendSignal(sig);
}

// Hooks may change the list meanwhile: the first receiver is taken afresh
// each time.
bool DisconnectReceivers(Slot& source, const char* missing, void (*release)(Slot&))
{
    for (size_t n = source.GetReceivers().size(); n > 0; --n) {
        if (source.GetReceivers().empty()) {
            std::cerr << missing << std::endl;
            return false;
        }
        release(*source.GetReceivers().front());
    }
    return true;
}

void Slot::OnChangeOutputStream(bool on)
{
    if (mOutputActive == on)
        return;
    mOutputActive = on;
    LGCP::Signal sig;
    if (on) {
        sig.get_transmitter().set_active(IGetTransmitChannel());
    } else {
        DisconnectReceivers(*this, "mux: internal error: expected slots not exists.");
        sig.get_transmitter().set_inactive();
    }
    SendSignal(sig);
}

// ------------------------------------------------------------- connection

bool Slot::IHwConnectTransmitter(Slot& receiver)
{
    return MuxConnect(*this, receiver);
}

bool Slot::IHwConnectReceiver(Slot& source)
{
    return MuxConnect(source, *this);
}

bool Slot::IHwDisconnectTransmitter(Slot& receiver)
{
    return MuxDisconnect(receiver);
}

bool Slot::IHwDisconnectReceiver(Slot&)
{
    return MuxDisconnect(*this);
}

// The switch paths of a connection are the connection's own.
static HwMux::Owner MadeBy(Slot* source, Slot& receiver)
{
    return HwMux::Owner{source, &receiver};
}

HwMux::Owner OwnClaims(const Slot& slot)
{
    return HwMux::Owner{&slot, nullptr};
}

void LeaveOutputs(const Slot& slot)
{
    HwMux::instance()->LeaveAll(OwnClaims(slot));
}

bool MuxConnect(Slot& source, Slot& receiver)
{
    int tx = source.IGetTransmitChannel();
    int rx = receiver.IGetReceiveChannel();
    if (HwMux::instance()->Join(tx, rx, MadeBy(&source, receiver)) == HwMux::Joined::refused)
        return false;
    std::clog << "mux: slot " << source << " [" << tx << "] -> " << receiver << " [" << rx << "]" << std::endl;
    return true;
}

// The receiver left idle holds the idle byte of its output until it goes
// (or loses its channel). A path that another maker holds there by now (a
// link's own, or a later connection's) is left to it.
bool MuxDisconnect(Slot& receiver)
{
    int rx = receiver.IGetReceiveChannel();
    if (!HwMux::instance()->Rest(rx, MadeBy(receiver.GetSource(), receiver), OwnClaims(receiver)))
        return false;
    std::clog << "mux: disconnect slot " << receiver << " [" << rx << "]" << std::endl;
    return true;
}

// A refusal is owed: the receiver's output falls to its idle byte all the
// same, told again until the switch takes it.
static void OweRest(Slot& receiver, Slot* source)
{
    HwMux::instance()->Rest(receiver.IGetReceiveChannel(), MadeBy(source, receiver), OwnClaims(receiver), true);
}

void MuxLetGo(Slot& receiver)
{
    if (!MuxDisconnect(receiver))
        OweRest(receiver, receiver.GetSource());
}

bool llConnect(Slot& source, Slot& receiver)
{
    if (source.GetConnectionPriority() > receiver.GetConnectionPriority())
        return source.IHwConnectTransmitter(receiver);
    return receiver.IHwConnectReceiver(source);
}

bool llDisconnect(Slot& receiver)
{
    Slot* source = receiver.GetSource();
    if (!source)
        return false;
    if (receiver.GetConnectionPriority() > source->GetConnectionPriority())
        return receiver.IHwDisconnectReceiver(*source);
    return source->IHwDisconnectTransmitter(receiver);
}

// The receiver is cut from its source in the graph, with the release hooks.
static void LeaveSource(Slot& receiver)
{
    Slot* old = receiver.GetSource();
    receiver.LogicalDisconnect();
    receiver.IOnInputRelease();
    if (old->GetReceivers().empty())
        old->IOnOutputRelease();
}

// A pair joined already makes its path the latest on its output again,
// which a receiver sharing that output may have taken over meanwhile; a
// device opened again is told it first. A pair whose kind drives its own
// paths answers as it is.
static bool Joined(Slot& source, Slot& receiver)
{
    return HwMux::instance()->Renew(receiver.IGetReceiveChannel(), MadeBy(&source, receiver));
}

// The old source's path gave way to the new one: its claim goes with it.
static void Moved(Slot& old, Slot& receiver)
{
    HwMux& mux = *HwMux::instance();
    int rx = receiver.IGetReceiveChannel();
    if (mux.Holds(rx, MadeBy(&old, receiver)))
        mux.Leave(rx, MadeBy(&old, receiver));
    receiver.LogicalDisconnect();
    if (old.GetReceivers().empty())
        old.IOnOutputRelease();
}

// A pair in which a kind drives the switch itself (a link, on its own
// channel) rather than the default endpoints.
static bool DrivesItself(Slot& source, Slot& receiver)
{
    return std::max(source.GetConnectionPriority(), receiver.GetConnectionPriority()) > 0;
}

// A receiver that moves to another source keeps its old path until the
// new one is made: the new path takes the output over, and a refused one
// leaves the output, its record and the graph as they were. A link is on
// one line at a time: it leaves its old line first, and a refused new
// line brings it back to the old one, as a wish that the switch is told
// once it takes requests; the graph stays as it was. A pair joined
// already whose link is not up on its line (its channel ended, or did not
// open) brings it up there.
bool Connect(Slot& source, Slot& receiver)
{
    if (receiver.GetSource() == &source)
        return DrivesItself(source, receiver) ? llConnect(source, receiver) : Joined(source, receiver);
    if (source.GetReceivers().empty()) {
        if (!source.IOnOutputStream()) {
            std::cerr << "slot " << source << " don't have output stream to " << receiver << std::endl;
            return false;
        }
        source.OnChangeOutputStream(true);
    }
    Slot* old = receiver.GetSource();
    const bool relink = old && DrivesItself(*old, receiver);
    if (!old) {
        if (!receiver.IOnInputStream()) {
            std::cerr << "slot " << receiver << " don't have input stream from " << source << std::endl;
            return false;
        }
        receiver.OnChangeInputStream(true);
    } else if (relink) {
        llDisconnect(receiver);
    }

    if (llConnect(source, receiver)) {
        if (old)
            Moved(*old, receiver);
        receiver.LogicalConnect(source);
        return true;
    }

    if (!old) {
        receiver.IOnInputRelease();
    } else if (relink) {
        HwMux::Holding wishes;
        llConnect(*old, receiver);
    }
    if (source.GetReceivers().empty())
        source.IOnOutputRelease();
    return false;
}

// A pair whose switch path the device refuses to let go stays joined, in
// the graph and on the switch: the controller may ask again, and a destroy
// of either slot lets it go.
bool Disconnect(Slot& receiver)
{
    if (!receiver.GetSource())
        return true;
    if (!llDisconnect(receiver))
        return false;
    LeaveSource(receiver);
    return true;
}

void LetGo(Slot& receiver)
{
    Slot* source = receiver.GetSource();
    if (!source)
        return;
    if (!llDisconnect(receiver))
        OweRest(receiver, source);
    LeaveSource(receiver);
}

void LetGoChannel(Slot& slot)
{
    LetGo(slot);
    DisconnectReceivers(slot, "mux: internal error: expected slots not exists.");
}
