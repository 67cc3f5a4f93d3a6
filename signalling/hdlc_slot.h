// Raw access to one HDLC channel carrying addressed frames. The
// controller sends frame bodies with the ioctl hdlcPackages; the slot
// frames each with its address and a pair of 3-bit counters, queues it
// and writes it when the channel takes it, through a destroy's drain too.
// Received frames for its address are collected and returned in batches as
// the ioctl response hdlcPackages: a frame whose fifth octet has bit 7 set
// announces more to come (the batch waits up to 100 ms), any other frame
// ends the batch. A batch also goes as soon as its signal could take no
// further package: 128 of them, or as many octets as one frame to the
// controller carries.
//
// Frame: address (2 octets, big-endian), control (bits 7..5 the sender's
// counter, bits 4..0 the counter last received from the other side),
// body.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>

#include "asn1/descriptors.h"
#include "runtime/clean_queue.h"
#include "runtime/timer.h"
#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"
#include "signalling/hdlc.h"
#include "signalling/hdlc_link_slot.h"

class HdlcSlot : public HdlcLinkSlot {
public:
    static constexpr unsigned kUpdateMs = 3000;
    static constexpr unsigned kFlushMs = 100;
    static constexpr unsigned kQueue = 120;
    // Packages one signal carries at most: a longer list does not encode.
    static constexpr unsigned kBatch = ASN1::MaximumArraySize;

    explicit HdlcSlot(LGCP::HdlcParams const& params);
    ~HdlcSlot() override;

    bool IActivate(TERM::TermActivateParams const&) override;
    bool IDeactivate() override;
    bool Ioctl(LGCP::IoctlParams const& params) override;
    bool IHwConnectTransmitter(Slot& receiver) override;
    bool IHwConnectReceiver(Slot& source) override;
    bool IHwDisconnectTransmitter(Slot& receiver) override;
    bool IHwDisconnectReceiver(Slot& source) override;
    const char* GetName() const override { return "hdlc-slot"; }

    void on_hdlc_receive(Packet& frame) override;
    void on_hdlc_error(Cause::Type cause) override;
    void on_hdlc_ready() override;
    size_t hdlc_unwritten() const override { return mQueuedOctets; }

    void OnUpdateTimer();
    void flushResponce();
    void PutHeader(std::ostream& out) const;

    unsigned queued() const { return mQueue.count(); }

private:
    // Opens the channel; false, reported deactivated unless quiet, when it
    // does not open.
    bool iactivate(bool quiet = false);
    // The channel's line channel is the connected slot's.
    bool join(int tdm, const char* hook);
    bool settle(int tdm, bool quiet = false);
    // After a connection went: the channel on the line of one that stays.
    // lost: the going slot's line when that slot lost its channel, else -1.
    void follow(int tdm, int lost);
    int held_line(const Slot* goingSource, const Slot* goingReceiver);
    // Whether a connection that this slot makes gives it that line.
    bool joined_line(int tdm);
    void trace(const char* what) const;
    // Adds a received body to the batch, sending the batch first when the
    // body would take its signal past one control frame, and after it when
    // it is the batch's 128th. A body that no signal carries (the codec
    // encodes none of 16384 octets or more) is dropped with a line.
    void collect(const Packet& body);
    void send_batch();

    LGCP::IoctlResponse mBatch;
    size_t mBatchOctets = 0; // the batch's packages, encoded
    uint32_t mTrunkIndex;
    Timer mUpdate;
    Timer mFlush;
    CleanQueue<Packet, kQueue> mQueue;
    size_t mQueuedOctets = 0; // the frames in mQueue
    uint16_t mAddress;
    uint8_t mOwn = 0;
    uint8_t mPeer = 0;
};

class HdlcSlotFactory : public SlotFactory {
public:
    const char* GetName() const override { return "HdlcSlotFactory"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources&) override {}
    void SelfSignal(LGCP::Signal const& sig) override;
};
