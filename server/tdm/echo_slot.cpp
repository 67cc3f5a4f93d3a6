#include "server/tdm/echo_slot.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "board/device.h"
#include "runtime/fd.h"
#include "board/hal_requests.h"
#include "server/slots/slot_refusal.h"

static_assert(EchoFactory::kBuses == Device::Hal::kEchoBuses, "one flag per bus the board reports");

void EchoSlot::IAfterCreate()
{
    OnChangeOutputStream(true);
    OnChangeInputStream(true);
}

EchoFactory::EchoFactory()
{
    Scan();
}

void EchoFactory::Scan()
{
    mPresent.fill(0);
    std::clog << "Scanning echo channels ..." << std::endl;
    Fd hal(Device::open(Device::Hal::kDevice, O_RDONLY | O_CLOEXEC));
    Device::Hal::EchoBuses buses{};
    if (!hal || Device::ioctl(hal.get(), Device::Hal::HW_ECHO_BUSES, &buses) != 0) {
        int err = errno;
        std::cerr << "echo: can't tell the echo buses: " << std::strerror(err) << std::endl;
        return;
    }
    for (unsigned bus = 0; bus < kBuses; ++bus)
        mPresent[bus] = buses.present[bus] != 0;
}

Slot* EchoFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_echo())
        return nullptr;
    unsigned bus = static_cast<unsigned>(params.get_echo().get_bus().getValue());
    unsigned channel = static_cast<unsigned>(params.get_echo().get_channel().getValue());
    if (!present(bus))
        return nullptr;
    if (channel >= kChannels) {
        std::cerr << "echo-slot: channel " << params.get_echo().get_channel().getValue() << " is not on bus " << bus
                  << std::endl;
        RefuseCommand(LGCP::ErrorCause::invalidParams);
        return nullptr;
    }
    return new EchoSlot(kChannels * bus + channel);
}

void EchoFactory::Query(LGCP::Resources& resources)
{
    for (unsigned bus = 0; bus < kBuses; ++bus)
        if (mPresent[bus])
            resources.get_echoBus().push_back(ASN1::INTEGER(static_cast<int>(bus)));
}
