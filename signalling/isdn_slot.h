// Slots of an ISDN D channel whose data channel the slot serves itself,
// with no HDLC object and no switch connection of its own: the isdn slot
// allocates a channel of the multichannel HDLC controller and offers its
// switch channel as the slot's transmit and receive channel, so that the
// controller joins it to a line like any other slot; the ats-qsig slot
// runs the same data link on a DSP data channel, which can add B channels
// (ats-qsig-b slots). The only layer is the user-side data link; layer 3
// octets travel to and from the controller as userData.
#pragma once

#include <iosfwd>
#include <vector>

#include "board/held.h"
#include "holder/device_holder.h"
#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/protocol.h"
#include "runtime/timer.h"
#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"
#include "signalling/generic_hdlc.h"
#include "signalling/lapd.h"

class AtsQsigBSlot;

class IsdnSlot : public Slot, public ProtocolsFamily, public ISDN::LAPD::Notify, public GenericHDLC {
public:
    // The descriptor holds an allocated controller channel; the slot keeps
    // a copy and takes the layer over.
    IsdnSlot(const Fd& fd, ISDN::LAPD* lapd);
    ~IsdnSlot() override;

    bool IActivate(TERM::TermActivateParams const&) override;
    bool IDeactivate() override;
    bool IUserData(std::vector<char> const& octets) override;
    bool Ioctl(LGCP::IoctlParams const&) override { return false; }
    bool IOnOutputStream() override { return true; }
    bool IOnInputStream() override { return true; }
    int IGetTransmitChannel() override { return mChannel; }
    int IGetReceiveChannel() override { return mChannel; }
    const char* GetName() const override { return "MCC"; }

    // GenericHDLC, for the layer.
    bool hdlc_transmit(Packet& frame) override;
    bool is_open() const override { return static_cast<bool>(mEvent.fd); }
    bool is_ready() const override { return mReady; }

    void on_activated(Protocol*) override;
    void on_deactivated(Protocol*, Protocol_status) override;
    void on_message(Packet& p) override;
    bool transmit(Packet&) override { return false; }
    void OnLAPD_FlowStatusChange(ISDN::LAPD*) override {}

    void OnEvent(int fd, short revents);
    void PutHeader(std::ostream& out) const;
    // False when the slot could not take its copy of the descriptor.
    bool watching() const { return static_cast<bool>(mEvent.fd); }
    ISDN::LAPD& lapd() const { return *mLapd; }

protected:
    // For the kinds that learn their channel otherwise.
    IsdnSlot(const Fd& fd, ISDN::LAPD* lapd, int channel, const char* eventName);
    // The driver ended the channel: nothing is read or sent on it again.
    void IOnChannelLost(const Device::End& end) override;
    // A destroy: nothing is read any more; what the layer sends meanwhile
    // still goes.
    HandedChannel* IOrderlyEnd() override;
    // The link speaks on its channel until the channel goes.
    bool IWritesThrough() const override { return true; }
    Event mEvent;

private:
    void SendLinkInfo();
    // Input is polled for until the release.
    short Reading() const;

    int mChannel;
    ISDN::LAPD* mLapd; // owned by the stack
    bool mReady = false;
    bool mPoolEmpty = false; // frames are being dropped for want of a buffer
};

class AtsQsigSlot : public IsdnSlot, private Device::Holder::State {
public:
    // The descriptor is an open of the DSP data channel device.
    AtsQsigSlot(const Fd& fd, ISDN::LAPD* lapd);
    ~AtsQsigSlot() override;

    bool IBeforeDestroy() override;
    const char* GetName() const override { return "ATS-QSIG"; }

    // A B channel of subslot 0..2, or null with a line on the error stream.
    AtsQsigBSlot* NewBChannel(unsigned subslot);
    // The driver's descriptor, -1 once released.
    int fd() const { return mEvent.fd.get(); }
    // A B channel that goes.
    void Forget(AtsQsigBSlot* b);
    // Takes B channel subslot off the driver. One it refuses is owed, with
    // an error line: the holder of the B channel requests tells it again
    // before the next request on the descriptor and by its retry, until
    // the driver takes it; a refusal as invalid is given up.
    void RemoveBChannel(unsigned subslot, int channel);
    // Removals still owed.
    size_t owed() const { return mOwed.size(); }

protected:
    // The B channels go with the data channel.
    void IOnChannelLost(const Device::End& end) override;

private:
    struct BChannel {
        unsigned subslot;
        int channel;
    };

    void LoseBChannels(const Device::End& end);
    // Asks the driver for the removal: made, owed (refused), or given up
    // (refused as invalid), with its line.
    Device::Outcome Remove(const BChannel& b, bool first);
    // Holder::State: removals are owed on the present descriptor.
    bool untold(uint64_t present) override;
    // Tells the driver the removals owed.
    void reconcile(Device::Tally& made) override;
    // The driver drops every B channel with the data channel.
    void ForgetOwed();

    std::vector<AtsQsigBSlot*> mBChannels;
    std::vector<BChannel> mOwed;
    // The B channel requests on a copy of the data channel's descriptor.
    Device::Holder mRequests;
};

// A B channel beside an ats-qsig D channel. It keeps its signalling slot
// itself, not its number: numbers are given again once a slot is gone.
class AtsQsigBSlot : public Slot {
public:
    AtsQsigBSlot(AtsQsigSlot* signalling, unsigned subslot, int channel);
    ~AtsQsigBSlot() override;

    bool IBeforeDestroy() override;
    bool IOnOutputStream() override { return true; }
    bool IOnInputStream() override { return true; }
    int IGetTransmitChannel() override { return mChannel; }
    int IGetReceiveChannel() override { return mChannel; }
    const char* GetName() const override { return "ATS-QSIG-B"; }
    void PutHeader(std::ostream& out) const;

    unsigned subslot() const { return mSubslot; }
    // The signalling slot went before this one, and the channel with it.
    void Orphan();

protected:
    // The driver freed the B channel with its data channel.
    void IOnChannelLost(const Device::End& end) override;

private:
    AtsQsigSlot* mSignalling;
    unsigned mSubslot;
    int mChannel;
};

class IsdnFactory : public SlotFactory {
public:
    IsdnFactory();
    ~IsdnFactory() override;
    // The factory that registered last and still lives.
    static IsdnFactory* instance();

    const char* GetName() const override { return "ISDN"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources&) override {}
    Slot* FindSlot(unsigned id) const;
    void PutHeader(std::ostream& out) const;

private:
    Slot* NewIsdnSlot(LGCP::IsdnParams const& params);
    Slot* NewAtsQsigSlot(LGCP::AtsQsigParams const& params);
    Slot* NewAtsQsigBSlot(LGCP::AtsQsigBParams const& params);

    IsdnFactory* mPrevious;
};
