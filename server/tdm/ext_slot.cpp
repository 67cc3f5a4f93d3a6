#include "server/tdm/ext_slot.h"

#include <iostream>

#include "server/switch/hw_mux.h"
#include "server/slots/slot_refusal.h"

void ExtSlot::IAfterCreate()
{
    OnChangeOutputStream(true);
}

// A path that another slot holds on the shared channel is left to it: the
// idle byte follows once it goes.
bool ExtSlot::IActivate(TERM::TermActivateParams const&)
{
    if (GetSource())
        return true;
    if (!HwMux::instance()->Idle(rx, OwnClaims(*this))) {
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
    HwMux::instance()->Leave(rx, OwnClaims(*this));
    return true;
}

// The destroy goes on whatever the switch answers: it owes the release.
bool ExtSlot::IBeforeDestroy()
{
    HwMux::instance()->Leave(rx, OwnClaims(*this));
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
