#include "server/tdm/ext_slot.h"

#include <iostream>

#include "server/switch/hw_mux.h"
#include "server/slots/slot_refusal.h"

void ExtSlot::IAfterCreate()
{
    OnChangeOutputStream(true);
}

// Activating again must leave a connected source on the channel; with
// none, the idle byte is asked again, as a switch opened again forgot it.
bool ExtSlot::IActivate(TERM::TermActivateParams const&)
{
    if (GetSource())
        return true;
    if (!HwMux::instance()->Disconnect(rx)) {
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
    if (HwMux::instance()->Disable(rx))
        return true;
    RefuseCommand(LGCP::ErrorCause::internal);
    return false;
}

// The destroy goes on whatever the switch answers: it owes the release.
bool ExtSlot::IBeforeDestroy()
{
    HwMux::instance()->Disable(rx);
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
