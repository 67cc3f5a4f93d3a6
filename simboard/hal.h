// "/dev/hal" of the simulated board. For now the TDM time-slot switch: each
// output carries one input, sends a constant byte, or is disabled. What an
// input hears is simulated too, so a byte written to a shared-bus output
// can be read back from the bus, as the backplane tests do on the board.
// Other parts of the hal device (clock selection, line chips, switches and
// LEDs) join by registering their requests with handle().
#pragma once

#include <cstdint>
#include <vector>

#include "simboard/board.h"

namespace SimBoard {

class Hal : public Model {
public:
    static constexpr unsigned long kConnect = 0x80084d02; // {destination, source}
    static constexpr unsigned long kDisable = 0x80044d03; // {channel}
    static constexpr unsigned long kWrite = 0xc0084d04;   // {channel, value}
    static constexpr unsigned long kRead = 0xc0084d05;    // {channel, value out}

    // 0..8191 local channels, 8192..10239 the shared backplane bus.
    static constexpr int kBusFirst = 8192;
    static constexpr int kChannels = 10240;
    // What a disabled shared-bus time slot reads as: nobody drives it.
    static constexpr uint8_t kFloating = 0xFF;

    enum class Drive { disabled, connected, constant };
    struct Output {
        Drive drive = Drive::disabled;
        int32_t source = -1;
        uint8_t value = 0;
    };

    Hal();

    static bool valid(int32_t channel) { return channel >= 0 && channel < kChannels; }
    // The state of a valid output channel.
    const Output& output(int32_t channel) const { return mOutputs.at(static_cast<size_t>(channel)); }
    // The byte a valid channel's input hears: on the shared bus, what the
    // bus output of that number sends; elsewhere, what its line delivers.
    uint8_t received(int32_t channel) const;
    // The byte a local input receives from its line (0xFF until set).
    void set_line(int32_t channel, uint8_t byte) { mLine.at(static_cast<size_t>(channel)) = byte; }

private:
    uint8_t sends(int32_t channel, int depth) const;
    uint8_t hears(int32_t channel, int depth) const;

    std::vector<Output> mOutputs;
    std::vector<uint8_t> mLine;
};

} // namespace SimBoard
