// Channels of the shared backplane bus: a map slot transmits on one bus
// channel, receives on one, or both (either may be missing). Every bus
// channel has one owner, whichever direction it uses it in: a new slot
// always wins its channels, and the slot that held one is destroyed.
#pragma once

#include <vector>

#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"

class MapFactory;

// The switch channel of a shared-bus channel: 8192 + 128 * bus + channel.
int GetMapTimeSlot(LGCP::SharedChannel const& channel);

class MapSlot : public Slot {
public:
    // Switch channels; -1 where the slot has no such direction.
    MapSlot(int tx, int rx) : Slot(Hold::fixed), tx(tx), rx(rx) {}
    ~MapSlot() override;

    void IAfterCreate() override;
    bool IBeforeDestroy() override;
    bool IOnOutputStream() override { return IsTxExists(); }
    bool IOnInputStream() override { return IsRxExists(); }
    int IGetTransmitChannel() override { return tx; }
    int IGetReceiveChannel() override { return rx; }
    const char* GetName() const override { return "map"; }

    bool IsTxExists() const { return tx >= 0; }
    bool IsRxExists() const { return rx >= 0; }
    // Bus channels 0..2047.
    int GetTxLogChannel() const;
    int GetRxLogChannel() const;
    MapFactory* GetSlotFactory() const;

    const int tx;
    const int rx;
};

class MapFactory : public SlotFactory {
public:
    MapFactory();

    const char* GetName() const override { return "Map"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources&) override {}

    // The slot becomes the owner of its bus channels, displacing the old ones.
    void AllocateMapSlot(MapSlot* slot);
    // Frees the slot's bus channels; its receiving one falls to what the
    // other slots there ask.
    void ReleaseMapSlot(MapSlot* slot);
    // Clears whatever the slot still owns, with no switch operation.
    void Forget(MapSlot* slot);

    // The owner of a bus channel 0..2047, null when none.
    MapSlot* owner(int channel) const { return mOwners.at(static_cast<size_t>(channel)); }

private:
    // Makes the slot the owner of the channel.
    void Take(int channel, MapSlot* slot);

    std::vector<MapSlot*> mOwners;
};
