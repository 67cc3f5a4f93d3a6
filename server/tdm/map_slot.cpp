#include "server/tdm/map_slot.h"

#include <iostream>

#include "server/switch/hw_mux.h"
#include "server/slots/slot_refusal.h"
#include "server/slots/slots.h"

namespace {

const int kBuses = HwMux::kBusChannels / HwMux::kBusWidth;

bool valid(LGCP::SharedChannel const& c)
{
    unsigned bus = static_cast<unsigned>(c.get_bus().getValue());
    unsigned channel = static_cast<unsigned>(c.get_channel().getValue());
    return bus < kBuses && channel < HwMux::kBusWidth;
}

} // namespace

int GetMapTimeSlot(LGCP::SharedChannel const& channel)
{
    return HwMux::kBusFirst + HwMux::kBusWidth * channel.get_bus().getValue() + channel.get_channel().getValue();
}

// A slot deleted without its release (the table going at exit) must not
// stay behind as an owner.
MapSlot::~MapSlot()
{
    if (MapFactory* factory = GetSlotFactory())
        factory->Forget(this);
}

void MapSlot::IAfterCreate()
{
    if (IsRxExists())
        OnChangeInputStream(true);
    if (IsTxExists())
        OnChangeOutputStream(true);
}

bool MapSlot::IBeforeDestroy()
{
    if (MapFactory* factory = GetSlotFactory())
        factory->ReleaseMapSlot(this);
    return true;
}

int MapSlot::GetTxLogChannel() const
{
    return tx - HwMux::kBusFirst;
}

int MapSlot::GetRxLogChannel() const
{
    return rx - HwMux::kBusFirst;
}

MapFactory* MapSlot::GetSlotFactory() const
{
    return static_cast<MapFactory*>(GetFactory());
}

MapFactory::MapFactory() : mOwners(HwMux::kBusChannels, nullptr) {}

Slot* MapFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_map())
        return nullptr;
    LGCP::MapParams const& p = params.get_map();
    // The decoder keeps both numbers in range; a value built otherwise must
    // not index the owner table.
    if ((p.has_transmitter() && !valid(p.get_transmitter())) || (p.has_receiver() && !valid(p.get_receiver()))) {
        std::cerr << "map-slot: shared channel out of range" << std::endl;
        RefuseCommand(LGCP::ErrorCause::invalidParams);
        return nullptr;
    }
    auto* slot = new MapSlot(p.has_transmitter() ? GetMapTimeSlot(p.get_transmitter()) : -1,
                             p.has_receiver() ? GetMapTimeSlot(p.get_receiver()) : -1);
    AllocateMapSlot(slot);
    return slot;
}

void MapFactory::Take(int channel, MapSlot* slot)
{
    MapSlot*& entry = mOwners[static_cast<size_t>(channel)];
    // A slot that transmits and receives on one bus channel meets itself.
    if (entry && entry != slot) {
        MapSlot* old = entry;
        std::cerr << "map-slot: two slots require the same ipc-slot, remove old." << std::endl;
        std::cerr << "new slot " << *slot << " <-> old slot " << *old << std::endl;
        Slots::instance()->Destroy(old);
    }
    entry = slot;
}

void MapFactory::AllocateMapSlot(MapSlot* slot)
{
    if (slot->IsRxExists())
        Take(slot->GetRxLogChannel(), slot);
    if (slot->IsTxExists())
        Take(slot->GetTxLogChannel(), slot);
}

// An entry held by another slot is left to it, and so is the receiving
// channel while another path or an activated external line uses it: the
// slot lets go of its own claim there. A disable the switch could not make
// is owed by it, so the destroy holds either way.
void MapFactory::ReleaseMapSlot(MapSlot* slot)
{
    if (slot->IsRxExists()) {
        int channel = slot->GetRxLogChannel();
        if (HwMux::instance()->Leave(slot->rx, OwnClaims(*slot)) == HwMux::Left::disabled)
            std::clog << "map: disable map channel " << channel << std::endl;
        if (mOwners[static_cast<size_t>(channel)] != slot)
            std::cerr << "map-slot: internal error! MapFactory::ReleaseMapSlot() code 1" << std::endl;
        else
            mOwners[static_cast<size_t>(channel)] = nullptr;
    }
    if (slot->IsTxExists() && slot->tx != slot->rx) {
        int channel = slot->GetTxLogChannel();
        if (mOwners[static_cast<size_t>(channel)] != slot)
            std::cerr << "map-slot: internal error! MapFactory::ReleaseMapSlot() code 2" << std::endl;
        else
            mOwners[static_cast<size_t>(channel)] = nullptr;
    }
}

void MapFactory::Forget(MapSlot* slot)
{
    for (int channel : {slot->GetRxLogChannel(), slot->GetTxLogChannel()})
        if (channel >= 0 && channel < HwMux::kBusChannels && mOwners[static_cast<size_t>(channel)] == slot)
            mOwners[static_cast<size_t>(channel)] = nullptr;
}
