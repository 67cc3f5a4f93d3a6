// An external line reached over a fixed pair of shared-bus channels. It
// transmits from the start; its receiving side is switched on by
// activation (the bus channel then sends the idle byte until a source is
// connected) and off again by deactivation. Several lines may receive on
// one bus channel, beside a map slot there: what one of them does with
// the channel never cuts a path that another holds on it.
#pragma once

#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"

class ExtSlot : public Slot {
public:
    // Switch channels on the shared bus.
    ExtSlot(int tx, int rx) : Slot(Hold::fixed), tx(tx), rx(rx) {}

    void IAfterCreate() override;
    bool IActivate(TERM::TermActivateParams const&) override;
    bool IDeactivate() override;
    bool IBeforeDestroy() override;
    bool IOnOutputStream() override { return true; }
    // A source is accepted only while activated.
    bool IOnInputStream() override { return IsInputActive(); }
    int IGetTransmitChannel() override { return tx; }
    int IGetReceiveChannel() override { return rx; }
    const char* GetName() const override { return "bri"; }

    const int tx;
    const int rx;
};

// What is left of a shared-bus output that a slot lets go (a deactivation,
// a destroy): a path that another maker holds there stays; the idle byte
// stays, or is asked again, while an activated external line remains on
// the channel; else the output is disabled (or the switch owes it).
enum class BusOutputLeft { path, idle, disabled };
BusOutputLeft LeaveBusOutput(const Slot& leaving, int channel);

class ExtFactory : public SlotFactory {
public:
    const char* GetName() const override { return "Ext"; }
    // Bus channels 0..2047 each way; others are refused as invalid.
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources&) override {}
};
