// A channel of an echo-canceller bus: 32 channels per bus, on the local
// switch channels 32 * bus + channel. Which of the 16 buses the board has
// fitted is asked of the board once, when the factory is built.
#pragma once

#include <array>

#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"

class EchoSlot : public Slot {
public:
    explicit EchoSlot(unsigned channel) : Slot(Hold::fixed), channel(channel) {}

    void IAfterCreate() override;
    bool IOnOutputStream() override { return true; }
    bool IOnInputStream() override { return true; }
    int IGetTransmitChannel() override { return static_cast<int>(channel); }
    int IGetReceiveChannel() override { return static_cast<int>(channel); }
    const char* GetName() const override { return "echo"; }

    const unsigned channel;
};

class EchoFactory : public SlotFactory {
public:
    static constexpr unsigned kBuses = 16;
    static constexpr unsigned kChannels = 32;

    // Scans the buses.
    EchoFactory();

    const char* GetName() const override { return "Echo"; }
    // On a fitted bus; a channel beyond the bus is refused as invalid.
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    // The fitted buses, in order.
    void Query(LGCP::Resources& resources) override;
    // Asks the board which buses are fitted; none when it cannot tell.
    void Scan();

    bool present(unsigned bus) const { return bus < kBuses && mPresent[bus]; }

private:
    std::array<unsigned char, kBuses> mPresent{};
};
