// Requests of the board's hardware access device "/dev/hal": the TDM switch,
// the bus clock, the SPI bus of the BRI line chips, the echo-canceller
// buses, the DIP switch, the power supply state and the E1 LEDs. Shared by
// the server and whatever stands in for the driver. Words are in the
// machine's byte order.
#pragma once

#include <cstdint>

namespace Device {
namespace Hal {

constexpr char kDevice[] = "/dev/hal";

// TDM switch, records of 32-bit words.
constexpr unsigned long SWITCH_CONNECT = 0x80084d02; // {destination, source}
constexpr unsigned long SWITCH_DISABLE = 0x80044d03; // {channel}
constexpr unsigned long SWITCH_WRITE = 0xc0084d04;   // {channel, byte to send}
constexpr unsigned long SWITCH_READ = 0xc0084d05;    // {channel, 255 in, byte received out}

// Records of the switch requests.
struct ChannelRecord {
    int32_t channel;
};
// connect: {destination, source}; write: {channel, byte}; read: {channel, byte}.
struct PairRecord {
    int32_t channel;
    int32_t value;
};
static_assert(sizeof(PairRecord) == 8 && sizeof(ChannelRecord) == 4, "records are 32-bit words");

// Bus clock source, the code passed as the argument value itself.
constexpr unsigned long HW_CLOCK_SELECT = 0x80044301;

// Line chip registers over SPI. A read answers the register's value as the
// request's result; the data byte of its record goes in as 0xFF.
constexpr unsigned long SPI_WRITE = 0xc0034204;
constexpr unsigned long SPI_READ = 0xc0034203;
struct SpiRecord {
    uint8_t channel;
    uint8_t reg;
    uint8_t data;
};
static_assert(sizeof(SpiRecord) == 3, "three bytes on the wire");

// Which echo-canceller buses are fitted: byte n is non-zero when bus n is.
constexpr unsigned long HW_ECHO_BUSES = 0x40104501;
constexpr unsigned kEchoBuses = 16;
struct EchoBuses {
    uint8_t present[kEchoBuses];
};
static_assert(sizeof(EchoBuses) == 16, "one byte per bus");

// DIP switch, power supply state and E1 LEDs: one byte each, through a
// pointer to it. The power byte: 0 and 3 both supplies, 1 standby, 2 main.
// The LED byte has two bits per E1 line n: bit 2n the link, bit 2n+1 the line.
constexpr unsigned long HAL_DIP_READ = 0xC0014205;
constexpr unsigned long HAL_POWER_READ = 0xC0014206;
constexpr unsigned long HAL_LEDS_WRITE = 0xC0014207;

} // namespace Hal
} // namespace Device
