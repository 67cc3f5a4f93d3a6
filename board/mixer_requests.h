// Requests of the board's TDM mixer "/dev/mixer". A mixer unit has numbered
// TDM channels; each channel can carry a mix, the weighted sum of other
// channels of the same unit. Shared by the server and whatever stands in for
// the driver. Words are in the machine's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Device {
namespace Mixer {

constexpr char kDevice[] = "/dev/mixer";

// Empties the mix of the named channel (mix_slot).
constexpr unsigned long MIX_RX_CLEAR = 0x800c4d02;
// Adds tx to rx's mix with the gain (mix_record).
constexpr unsigned long MIX_RX_ADD = 0x801c4d03;
// Removes tx from rx's mix (mix_record, gain not read).
constexpr unsigned long MIX_RX_REMOVE = 0x801c4d04;
// The result is the channel's switch time slot (mix_slot).
constexpr unsigned long MIX_TDM = 0x800c4d06;
// Fills the record with the unit after the given one (-1: the first),
// although the number announces input only; fails after the last.
constexpr unsigned long MIX_UNIT_QUERY = 0x80104d07;

// The gain a channel takes when none is given.
constexpr int32_t kDefaultGain = 32767;

enum SlotType : uint32_t { kTdm = 0 };

struct mix_slot {
    int32_t dev_no;
    uint32_t type;
    int32_t number;
};
static_assert(sizeof(mix_slot) == 12, "three words");

struct mix_record {
    mix_slot rx;
    mix_slot tx;
    int32_t gain;
};
static_assert(sizeof(mix_record) == 28 && offsetof(mix_record, gain) == 24, "seven words");

struct mix_unit {
    int32_t unit;
    int32_t tdm_channels;
    int32_t unused;
    int32_t mixer_inputs;
};
static_assert(sizeof(mix_unit) == 16 && offsetof(mix_unit, mixer_inputs) == 12, "four words");

} // namespace Mixer
} // namespace Device
