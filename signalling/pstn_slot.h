// The slot of one signalling link of a PSTN trunk: an SS7 signalling link
// (MTP level 2), an ISDN D channel of an E1 (PRI) or a BRI line, user or
// network side, or a CAS trunk, which has no link here. The slot owns one
// HDLC channel of the controller and a stack of one layer on it; layer 3
// octets (or MSUs) travel to and from the controller as userData, and the
// link information goes up every 3000 ms.
#pragma once

#include <memory>

#include "runtime/protocol.h"
#include "runtime/timer.h"
#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"
#include "signalling/hdlc.h"
#include "signalling/hdlc_link_slot.h"
#include "signalling/lapd.h"
#include "signalling/lapd_nt.h"
#include "signalling/ss7_slc.h"

class PstnSlot : public HdlcLinkSlot, public ProtocolsFamily, public ISDN::LAPD::Notify {
public:
    enum Kind { kSs7OrCas = 0, kPri = 1, kBriUser = 2, kBriNetwork = 3 };
    static constexpr unsigned kUpdateMs = 3000;

    explicit PstnSlot(LGCP::PstnParams const& params);
    ~PstnSlot() override;

    // Slot
    void OnTrunkStatus(unsigned trunk, ACP::TrunkState::NamedNumber const& state) override;
    bool IActivate(TERM::TermActivateParams const&) override;
    bool IDeactivate() override;
    bool IUserData(std::vector<char> const& octets) override;
    bool Ioctl(LGCP::IoctlParams const& params) override;
    bool IHwConnectTransmitter(Slot& receiver) override;
    bool IHwConnectReceiver(Slot& source) override;
    bool IHwDisconnectTransmitter(Slot& receiver) override;
    bool IHwDisconnectReceiver(Slot& source) override;
    const char* GetName() const override { return "pstn"; }

    // HDLC::Notify: for the layer that serves the channel.
    void on_hdlc_receive(Packet& frame) override;
    void on_hdlc_error(Cause::Type cause) override;
    void on_hdlc_ready() override;

    // The stack's reports.
    void on_activated(Protocol*) override;
    void on_deactivated(Protocol*, Protocol_status) override;
    void on_message(Packet& p) override;
    // The frames of the BRI network side, which talks to no channel itself.
    bool transmit(Packet& frame) override;
    void OnLAPD_FlowStatusChange(ISDN::LAPD* link) override;

    void OnUpdateTimer();

    Kind kind() const { return mKind; }
    int trunk_index() const { return mTrunkIndex; }
    SS7::SLC* link() const { return mLink; }
    ISDN::LAPD* lapd() const { return mLapd; }
    ISDN::LAPD_NT* lapd_nt() const { return mLapdNt; }

private:
    // A destroy takes the link down first: an SS7 link's farewell (SIOS).
    void IEndLink() override { deactivate(); }
    // Opens the channel and starts the link; false, reported deactivated
    // unless quiet (a connection, whose answer tells), when the channel
    // does not open.
    bool iactivate(bool quiet = false);
    void leave(bool orderly);
    void send_isdn_info();
    void send_ss7_info();
    // The link's out queue (LAPD) or transmission buffer (SS7) takes no
    // more messages.
    bool queue_full() const;

    Kind mKind = kSs7OrCas;
    int mTrunkIndex = 0;
    SS7::SLC* mLink = nullptr;       // owned by the stack
    ISDN::LAPD* mLapd = nullptr;     // owned by the stack
    ISDN::LAPD_NT* mLapdNt = nullptr; // owned by the stack
    HDLC::Notify* mRelay = nullptr;
    ACP::TrunkState::NamedNumber mLastTrunkState = ACP::TrunkState::unknown;
    Timer mUpdate;
};

class PstnFactory : public SlotFactory {
public:
    const char* GetName() const override { return "PSTN"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources&) override {}
    // The E1 trunks' states reach the slots.
    void SelfSignal(LGCP::Signal const& sig) override;
};
