// "/dev/hal" of the simulated board: the TDM time-slot switch, the bus
// clock selection, the eight BRI line chips on the SPI bus, the list of
// fitted echo-canceller buses, the DIP switch, the power supply state and
// the E1 LEDs.
//
// Switch: each output carries one input, sends a constant byte, or is
// disabled. What an input hears is simulated too: a shared-bus input hears
// what the bus output of the same number sends (the backplane loops it
// back), so a byte written to the bus can be read back, as the backplane
// tests do on the board; a stuck data line of a bus can be injected. Frames
// and other units follow the same connections (see SwitchPath).
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "board/hal_requests.h"
#include "simboard/board.h"
#include "simboard/switch_path.h"

namespace SimBoard {

class Hal : public Model {
public:
    static constexpr unsigned long kConnect = Device::Hal::SWITCH_CONNECT;
    static constexpr unsigned long kDisable = Device::Hal::SWITCH_DISABLE;
    static constexpr unsigned long kWrite = Device::Hal::SWITCH_WRITE;
    static constexpr unsigned long kRead = Device::Hal::SWITCH_READ;

    // 0..8191 local channels, 8192..10239 the shared backplane bus.
    static constexpr int kBusFirst = 8192;
    static constexpr int kChannels = 10240;
    static constexpr int kBusWidth = 128;
    static constexpr int kBuses = 16;
    // What a disabled shared-bus time slot reads as: nobody drives it.
    static constexpr uint8_t kFloating = 0xFF;

    static constexpr int kLineChips = 8;
    static constexpr int kLineStatus = 51;
    // Register 51 of a line in sync: carrier, frame, no alarm, no slip.
    static constexpr uint8_t kLineInSync = 0xC5;

    enum class Drive { disabled, connected, constant };
    struct Output {
        Drive drive = Drive::disabled;
        int32_t source = -1;
        uint8_t value = 0;
    };
    struct SpiWrite {
        int chip;
        int reg;
        int value;
        bool operator==(const SpiWrite& o) const { return chip == o.chip && reg == o.reg && value == o.value; }
    };

    Hal();
    // The switch, clock and line chips are the board's, not any channel's.
    bool watches_closes() const override { return false; }
    // "switch <channel>": what the output does.
    void port_commands(TestPort& port) override;

    // --- switch
    static bool valid(int32_t channel) { return channel >= 0 && channel < kChannels; }
    // The state of a valid output channel.
    const Output& output(int32_t channel) const { return mOutputs.at(static_cast<size_t>(channel)); }
    // The byte a valid channel's input hears: on the shared bus, what the
    // bus output of that number sends; elsewhere, what its line delivers.
    uint8_t received(int32_t channel) const;
    // The byte a local input receives from its line (0xFF until set).
    void set_line(int32_t channel, uint8_t byte) { mLine.at(static_cast<size_t>(channel)) = byte; }
    // Whether a valid output carries what source sends, directly or over
    // the shared bus.
    bool carries(int32_t output, int32_t source) const;
    // Units other than bytes across the switch.
    SwitchPath& path() { return mPath; }

    // A data line of the bus stuck at a level: every byte read from the bus
    // has that bit at that level.
    void stick_bit(int bus, int bit, bool high);
    void clear_stuck_bits();

    // --- bus clock: the codes selected so far, oldest first
    const std::vector<uint32_t>& clock_selects() const { return mClockSelects; }

    // --- line chips
    uint8_t reg(int chip, int reg) const { return mChips.at(static_cast<size_t>(chip)).at(static_cast<size_t>(reg)); }
    // What the line's status register shows.
    void set_line_status(int chip, uint8_t status) { mChips.at(static_cast<size_t>(chip)).at(kLineStatus) = status; }
    // A board without the SPI bus: every register access fails with ENODEV.
    void set_spi(bool present) { mSpi = present; }
    // One chip that fails every register access with error (0: none does).
    void fail_chip(int chip, int error) { mFailingChip = chip, mChipError = error; }
    // Every register write that succeeded, oldest first.
    const std::vector<SpiWrite>& spi_writes() const { return mSpiWrites; }

    // --- echo cancellers: bit n of mask set when bus n is fitted
    void set_echo_buses(uint16_t mask) { mEchoBuses = mask; }

    // --- DIP switch and power supply: the bytes their requests read
    // (0 and 2, mains only, until set)
    void set_dip(uint8_t byte) { mDip = byte; }
    void set_power(uint8_t byte) { mPower = byte; }
    // --- E1 LEDs: the last byte written, and every byte written, oldest first
    uint8_t leds() const { return mLeds; }
    const std::vector<uint8_t>& led_writes() const { return mLedWrites; }

private:
    struct Stuck {
        uint8_t mask = 0;
        uint8_t level = 0;
    };

    void handle_switch();
    void handle_spi();
    void handle_panel();
    // 0, or the errno of a register access.
    int spi_error(const Device::Hal::SpiRecord& r) const;
    uint8_t sends(int32_t channel, int depth) const;
    uint8_t hears(int32_t channel, int depth) const;

    std::vector<Output> mOutputs;
    std::vector<uint8_t> mLine;
    std::array<Stuck, kBuses> mStuck{};
    std::vector<uint32_t> mClockSelects;
    std::vector<std::array<uint8_t, 256>> mChips;
    bool mSpi = true;
    int mFailingChip = -1;
    int mChipError = 0;
    std::vector<SpiWrite> mSpiWrites;
    uint16_t mEchoBuses = 0x0003;
    SwitchPath mPath{*this};
    uint8_t mDip = 0;
    uint8_t mPower = 2;
    uint8_t mLeds = 0;
    std::vector<uint8_t> mLedWrites;
};

} // namespace SimBoard
