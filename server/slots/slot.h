// A slot: one endpoint the controller addresses by number (an E1 or BRI time
// slot, a shared-bus channel, an RTP stream, a mixer port ...). Slots are
// joined in pairs, source to receiver; a source feeds any number of
// receivers, a receiver hears one source. The side with the higher
// connection priority makes the switch connection; by default both sides
// are TDM endpoints joined on the board's switch.
//
// Slots are made by their factory and owned by the slot table (Slots), which
// numbers them, hands them the controller's commands and deletes them.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "board/device.h"
#include "runtime/multiplexer.h"
#include "server/control/ctrl_server.h"
#include "server/slots/channel_user.h"
#include "server/slots/device_events.h"
#include "server/slots/slot_phase.h"
#include "server/switch/handed_channels.h"
#include "server/schema/ACP.h"
#include "server/schema/LEMZGW.h"
#include "server/schema/LGCP.h"
#include "server/schema/TERM.h"

class Slot;
class SlotFactory;
struct SwitchPathOwner;
class Slots;

class Slot : private ChannelHolder {
public:
    static constexpr unsigned no_id = ~0u;

    // What holds the slot's board channel. Every kind says which: a driver
    // gives a channel that it took back to the next slot that asks, so a
    // slot that missed the loss would go on answering for another call.
    enum class Hold {
        // Nothing takes the channel back: the kind has none, or one fixed by
        // what it names itself (a trunk or bus time slot, a mixer channel, a
        // network interface, an HDLC line channel opened again at need; the
        // link's own controller channel is handed out, and the link holds
        // it in the index itself).
        fixed,
        // A descriptor that a driver handed the channel to, given to
        // HoldChannel once the slot has it: the channel is lost when that
        // descriptor ends.
        descriptor,
        // Another slot's channel (a B channel beside its D channel): that
        // slot ends it with LoseChannel.
        owner,
    };

    explicit Slot(Hold hold) : mHold(hold) {}
    virtual ~Slot();
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;

    // Trunk and time slot of a trunk time-slot slot, -1 for other kinds.
    virtual int GetTrunk() { return -1; }
    virtual int GetTrunkTimeSlot() { return -1; }
    virtual void OnTrunkStatus(unsigned /*trunk*/, ACP::TrunkState::NamedNumber const& /*state*/) {}
    // Once the slot is numbered and its creation answered: announce streams here.
    virtual void IAfterCreate() {}
    // Begin releasing: true = released now; false = on_release() follows later.
    virtual bool IBeforeDestroy() { return true; }
    // Commands; false is answered unsupported.
    virtual bool IActivate(TERM::TermActivateParams const&) { return false; }
    virtual bool IDeactivate() { return false; }
    virtual bool IUserData(std::vector<char> const&) { return false; }
    virtual bool Ioctl(LGCP::IoctlParams const&) { return false; }
    // Of two connected slots, the higher one drives the switch (ties: see llConnect).
    virtual int GetConnectionPriority() { return 0; }
    virtual bool IHwConnectTransmitter(Slot& receiver);
    virtual bool IHwConnectReceiver(Slot& source);
    virtual bool IHwDisconnectTransmitter(Slot& receiver);
    virtual bool IHwDisconnectReceiver(Slot& source);
    // May the slot start transmitting (its first receiver) or receiving?
    virtual bool IOnOutputStream() { return false; }
    virtual bool IOnInputStream() { return false; }
    // The last receiver went, the source went, or a connection failed.
    virtual void IOnOutputRelease() {}
    virtual void IOnInputRelease() {}
    // Switch input the slot transmits on, switch output it receives on.
    virtual int IGetTransmitChannel() { return -1; }
    virtual int IGetReceiveChannel() { return -1; }
    virtual const char* GetName() const = 0;

    // "05:trunk"; "na:trunk" before numbering.
    void Put(std::ostream& out) const;

    // To the controller, with this slot's number and no sequence number;
    // nothing once a drain runs (the controller heard the slot is gone).
    void SendSignal(LGCP::Signal const& sig);
    void OnTonecEvent(LGCP::TonecEvent const& event);
    void OnNumber(std::string const& number);
    void OnModem(TERM::ModemProceeding const& value);
    void OnModem(TERM::ModemInformation const& value);
    void OnActivated();
    void OnDeactivated();
    void OnAbort(int code);
    void OnUserData(std::vector<char> const& data);
    void OnIoctlResponse(LGCP::IoctlResponse const& response);
    void OnRtpRadioEvent(TERM::RtpRadioRequest const& request);
    void OnVADEvent(LGCP::VADEvent const& event);
    void OnProtoLemzEvent(LEMZGW::ProtoLemzPackets const& packets);
    void OnSDEvent(LGCP::SDEvent const& event);
    void OnRtpEvent(LGCP::RtpEvent const& event);

    // Stream announcements: a signal on every change; going off also lets
    // the connections of that side go.
    void OnChangeInputStream(bool on);
    void OnChangeOutputStream(bool on);

    // The end of a release that IBeforeDestroy left pending: the slot is
    // released, and deleted inside this call unless its IBeforeDestroy is
    // still running (then the table deletes it once that returns).
    void on_release();
    // The release starts: IBeforeDestroy. True when the release ended,
    // there or inside it; the slot then leaves its factory's list.
    bool BeforeDestroy();
    // An orderly end (a destroy) starts, before any connection goes: the
    // kind ends what runs on its channel in order and names the handle of
    // the channel that ends so, whose drain the table then waits for; the
    // slot is draining from here on. Null, nothing changed, for a kind
    // with nothing that ends in order.
    HandedChannel* OrderlyEnd();

    // The graph alone, no hooks and no switch.
    void LogicalConnect(Slot& source);
    void LogicalDisconnect();

    // Device events into controller signals. A tone detection is the tone
    // receiver's Params record.
    void processTonecEvent(tonec_params const& params);
    void processToneGenEvent();
    void processVADEvent(Hardware::DSProcVADEvent const& event);
    void processToneFltEvent(dsproc_tone_event const* event);
    void processFlagsEvent(dsproc_flags_event const* event);
    void processBSSEvent(dsproc_bss_event const* event);
    void processSDEvent(Hardware::DSProcSDEvent const& event);
    void processRtpEvent(rtp_event const& event);

    // Where the slot is in its life (slot_phase.h).
    SlotPhase GetPhase() const { return mPhase; }
    // The slot's board channel is gone: the slot table answers every
    // command on it but destroy, and every connection to it, with an error,
    // so that it never answers as if it still carried anything.
    bool IsLost() const { return RuleOf(mPhase).lost; }
    Hold GetHold() const { return mHold; }
    // Whether a descriptor holds the channel now.
    bool HoldsChannel() const { return mHanded.watched(); }
    // The channel went back to its driver (its descriptor ended, its engine
    // ended, its owner lost it): once, the slot lets go of everything it
    // held on it while it still names it (its connections, released on the
    // switch or owed; what its channel users switched on), then the kind
    // forgets the channel (IOnChannelLost), and the slot is lost from then on.
    void LoseChannel(const Device::End& end);

    Slot* GetSource() const { return mSource; }
    // Sorted by address, no duplicates.
    const std::vector<Slot*>& GetReceivers() const { return mReceivers; }
    // The factory that made the slot, null when it went first.
    SlotFactory* GetFactory() const { return mFactory; }
    bool IsInputActive() const { return mInputActive; }
    bool IsOutputActive() const { return mOutputActive; }
    bool IsReleasing() const { return RuleOf(mPhase).releasing; }

    // Number 0..1023 in the slot table; no_id until numbered.
    unsigned id = no_id;

protected:
    // The channel a driver handed the slot with fd, which the slot holds
    // from now on: a copy of fd is watched for its end until the channel
    // is lost or the slot goes (an empty fd: another slot's descriptor
    // holds the channel, and that slot ends it). reader is the kind's own
    // reader of fd, if it has one: a claim serves it before the loss, so
    // nothing that came before the end is dropped. A kind that reads the
    // descriptor itself reports the end it reads with LoseChannel too.
    // Any other holder that still names channel has lost it, although
    // its end may still wait to be read: that loss runs now, before this
    // slot is numbered or joined, so it can never release what this slot
    // holds. False when no copy could be taken: the slot then holds
    // nothing.
    bool HoldChannel(int channel, const Fd& fd, Event* reader = nullptr);
    // The slot holds no channel from now on (a session that ends here).
    void ReleaseChannel() { mHanded.Release(); }
    // Lets its detectors and features go with the channel.
    void UsesChannel(ChannelUser& user) { mChannelUsers.push_back(&user); }
    // The kind's part of a loss, after its connections and channel users
    // went: it forgets the channel (and its descriptors), stops what ran on
    // it as a destroy would, and tells the controller by its own means.
    virtual void IOnChannelLost(const Device::End& /*end*/) {}
    // An orderly end starts (OrderlyEnd): the kind stops reading its
    // channel (it polls only for room while it still has something to
    // write; what it must still write it tells by IUnwritten), ends what
    // runs on it in order, and names the handle of the channel that ends
    // so. Null when nothing it wrote can wait there.
    virtual HandedChannel* IOrderlyEnd() { return nullptr; }
    // The handle of the channel the slot holds itself.
    HandedChannel& OwnChannel() { return mHanded; }

private:
    void IChannelLost(const Device::End& end) override { LoseChannel(end); }

    // The one way the phase changes: "old -> new" in the trace log.
    void Step(SlotEvent event);

    friend class SlotFactory;

    std::vector<Slot*> mReceivers;
    Slot* mSource = nullptr;
    // The factory that made the slot, whose list of live slots it leaves
    // when its release ends or it is deleted.
    SlotFactory* mFactory = nullptr;
    bool mInputActive = false;
    bool mOutputActive = false;
    SlotPhase mPhase = SlotPhase::live;
    const Hold mHold;
    HandedChannel mHanded;
    std::vector<ChannelUser*> mChannelUsers;
};

std::ostream& operator<<(std::ostream& out, const Slot& slot);

// receiver hears source. Refusals leave the graph as it was.
bool Connect(Slot& source, Slot& receiver);
// receiver leaves its source; a refused switch disconnection leaves it joined.
bool Disconnect(Slot& receiver);
// receiver leaves its source whatever the switch answers (a slot or a
// stream goes): the switch releases a path it could not let go as soon as
// the device takes it.
void LetGo(Slot& receiver);
// The switch part alone, made by the side of higher priority.
bool llConnect(Slot& source, Slot& receiver);
bool llDisconnect(Slot& receiver);
// The default switch operations.
bool MuxConnect(Slot& source, Slot& receiver);
bool MuxDisconnect(Slot& receiver);
// MuxDisconnect for a kind that leaves the line whatever the switch
// answers (a link): a refused idle byte is owed, told until taken.
void MuxLetGo(Slot& receiver);
// Lets each receiver of source go once (by release); false, after writing
// missing to the error log, when the list ran out early.
bool DisconnectReceivers(Slot& source, const char* missing, void (*release)(Slot&) = LetGo);
// The slot's own board channel went back to the driver, which may hand it
// to another slot at once: every connection of the slot goes now, while
// the slot still answers its channel, so that each kind hears that the
// connection went, the switch releases each path that the connection (or
// a link for it) made (or owes the release), and nothing done with the
// slot later names that channel. A path that another maker holds on the
// same output is left to it.
void LetGoChannel(Slot& slot);
// The maker of what a slot claims on the switch by itself (the idle byte
// of an output it receives on), as against a connection's paths.
SwitchPathOwner OwnClaims(const Slot& slot);
// The slot lets go of the idle bytes it claims on the switch (it goes, or
// its channel went): each output falls to what others ask there.
void LeaveOutputs(const Slot& slot);
