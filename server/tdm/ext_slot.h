// An external line reached over a fixed pair of shared-bus channels. It
// transmits from the start; its receiving side is switched on by
// activation (the line claims the idle byte of its bus channel, which
// sends it while no path holds the channel) and off again by deactivation
// (the claim goes). Several lines may receive on one bus channel, beside a
// map slot there: what one of them does with the channel never cuts a
// path that another holds on it.
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

class ExtFactory : public SlotFactory {
public:
    const char* GetName() const override { return "Ext"; }
    // Bus channels 0..2047 each way; others are refused as invalid.
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources&) override {}
};
