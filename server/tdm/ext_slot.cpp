#include "server/tdm/ext_slot.h"

#include <iostream>
#include <optional>

#include "server/switch/hw_mux.h"
#include "server/slots/slot_refusal.h"
#include "server/slots/slots.h"

void ExtSlot::IAfterCreate()
{
    OnChangeOutputStream(true);
}

// A path that some slot or link made holds the output (not only its idle byte).
static bool PathHeld(const std::optional<HwMux::HeldPath>& held)
{
    return held && held->source >= 0;
}

static bool ActiveLineOn(int channel, const Slot& besides)
{
    for (Slot* slot : Slots::instance()->live()) {
        auto* line = dynamic_cast<const ExtSlot*>(slot);
        if (line && line != &besides && line->rx == channel && line->IsInputActive())
            return true;
    }
    return false;
}

BusOutputLeft LeaveBusOutput(const Slot& leaving, int channel)
{
    HwMux& mux = *HwMux::instance();
    std::optional<HwMux::HeldPath> held = mux.PathAt(channel);
    if (PathHeld(held))
        return BusOutputLeft::path;
    if (ActiveLineOn(channel, leaving)) {
        // A line that activated while a path held the channel never asked.
        if (!held)
            mux.Disconnect(channel);
        return BusOutputLeft::idle;
    }
    mux.Disable(channel);
    return BusOutputLeft::disabled;
}

// Activating again must leave a connected source on the channel; with
// none, the idle byte is asked again, as a switch opened again forgot it.
// A path that another slot holds on the shared channel is left to it: its
// end leaves the idle byte for this line.
bool ExtSlot::IActivate(TERM::TermActivateParams const&)
{
    if (GetSource())
        return true;
    if (!PathHeld(HwMux::instance()->PathAt(rx)) && !HwMux::instance()->Disconnect(rx)) {
        RefuseCommand(LGCP::ErrorCause::internal);
        return false;
    }
    if (!IsInputActive())
        OnChangeInputStream(true);
    return true;
}

// The switch owes a release it could not make: the answer is success then too.
bool ExtSlot::IDeactivate()
{
    OnChangeInputStream(false);
    LeaveBusOutput(*this, rx);
    return true;
}

// The destroy goes on whatever the switch answers: it owes the release.
bool ExtSlot::IBeforeDestroy()
{
    LeaveBusOutput(*this, rx);
    return true;
}

Slot* ExtFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_ext())
        return nullptr;
    int tx = params.get_ext().get_transmitter().getValue();
    int rx = params.get_ext().get_receiver().getValue();
    auto onBus = [](int channel) { return channel >= 0 && channel < HwMux::kBusChannels; };
    if (!onBus(tx) || !onBus(rx)) {
        std::cerr << "ext-slot: channels out of the shared bus: transmitter " << tx << ", receiver " << rx
                  << std::endl;
        RefuseCommand(LGCP::ErrorCause::invalidParams);
        return nullptr;
    }
    return new ExtSlot(HwMux::kBusFirst + tx, HwMux::kBusFirst + rx);
}
