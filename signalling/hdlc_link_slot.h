// A slot whose signalling link runs on an HDLC channel of its own (the
// PSTN link and HDLC packet slots). It makes the switch paths of its
// connections itself, on the side of higher priority, as the channel's
// own paths; it takes both streams; and a channel that does not open is
// reported to the controller as deactivated. What the link wrote before
// it ends leaves on the line before the slot goes.
#pragma once

#include <memory>

#include "server/slots/slot.h"
#include "server/slots/slot_refusal.h"
#include "signalling/hdlc.h"

class HdlcLinkSlot : public Slot, public HDLC::Notify {
public:
    int GetConnectionPriority() override { return 1; }
    bool IOnOutputStream() override { return true; }
    bool IOnInputStream() override { return true; }

    const HDLC& channel() const { return *mChannel; }

    // A destroy: the link ends in order (its farewell goes out), and the
    // channel keeps its line paths, whichever way the slot is joined, until
    // what the link wrote left the line; its connections go after that.
    HandedChannel* IOrderlyEnd() override
    {
        IEndLink();
        mChannel->deactivate();
        return &mChannel->handed();
    }

protected:
    explicit HdlcLinkSlot(unsigned number = 0) : Slot(Hold::fixed), mChannel(new HDLC(number))
    {
        mChannel->notify = this;
    }

    // The link's own part of an orderly end, before its channel drains.
    virtual void IEndLink() {}

    // (Re)opens the channel on its line; false, reported deactivated,
    // when it does not open. quiet: a connection's line, whose refusal its
    // answer tells (the link stays on the line it had).
    bool OpenChannel(bool quiet = false)
    {
        // A slot on its way out opens nothing: its channel drains, or went.
        if (IsReleasing())
            return false;
        if (mChannel->activate()) {
            mDown = false;
            return true;
        }
        if (!quiet)
            ReportDown();
        return false;
    }

    // The controller's activate on the link's own channel, which open()
    // opens (reporting deactivated when it does not). Without its line the
    // channel waits for the connection, which opens it: the controller
    // hears deactivated meanwhile. A channel that does not open refuses
    // the command. Asked anew, a link down before is told again.
    template <class Open>
    bool ActivateOnLine(Open open)
    {
        mDown = false;
        if (!mChannel->has_line()) {
            ReportDown();
            return true;
        }
        if (open())
            return true;
        RefuseCommand(LGCP::ErrorCause::internal);
        return false;
    }

    // The controller hears deactivated once for a link that goes down;
    // the link stays down (its line kept, its channel closed) until the
    // controller's next activate or connect.
    void ReportDown()
    {
        if (mDown)
            return;
        mDown = true;
        OnDeactivated();
    }
    bool down() const { return mDown; }

    // A connection the controller asked now, rather than one given back
    // after a refused move (within a HwMux::Holding): its line is the
    // latest on its output, and it brings a link reported down up.
    static bool Commanded() { return !HwMux::instance()->wishing(); }

    std::unique_ptr<HDLC> mChannel;

private:
    bool mDown = false;
};
