// Requests of the DSP data channel driver "/dev/dsp-data". Every open is
// one data channel (an HDLC D channel run by the DSP) with a switch
// channel of its own, and it can add up to three B channels beside it.
// Read and write move one frame per call. Shared by the server and
// whatever stands in for the driver. Words are in the machine's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Device {
namespace DspData {

constexpr char kDevice[] = "/dev/dsp-data";

// No argument, although the number announces a 4-byte result: the result
// is the data channel's switch channel.
constexpr unsigned long DSP_DATA_TIMESLOT = 0x40044211;
// Adds the B channel of a subslot; the driver fills in its switch channel
// although the number announces input only.
constexpr unsigned long DSP_DATA_ADD_B = 0x8008420f;
// Removes the B channel {subslot, channel}.
constexpr unsigned long DSP_DATA_REMOVE_B = 0x80084210;

constexpr uint32_t kSubslots = 3;

struct BChannel {
    uint32_t subslot; // 0..kSubslots-1
    int32_t channel;  // -1 in an add request
};
static_assert(sizeof(BChannel) == 8 && offsetof(BChannel, channel) == 4, "two words");

} // namespace DspData
} // namespace Device
