// Requests of the voice codec device "/dev/voice". Shared by the server and
// whatever stands in for the driver. Words are in the machine's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Device {
namespace Voice {

constexpr char kDevice[] = "/dev/voice";

// A pointer to a u32 codec mask; the result is how many codecs of that
// kind the board offers.
constexpr unsigned long VOICE_CODEC_COUNT = 0x40045602;
// Fills the driver's version record.
constexpr unsigned long VOICE_VERSION = 0x4014560a;

// Codec masks the server asks for.
constexpr uint32_t kG711 = 1;
constexpr uint32_t kG723 = 2;
constexpr uint32_t kG729 = 4;
constexpr uint32_t kG711mcc = 8;
constexpr uint32_t kUniversal = 65;
constexpr uint32_t kG722 = 256;

// The layout of the words is the driver's.
struct Version {
    uint32_t words[5];
};
static_assert(sizeof(Version) == 20, "five words");

} // namespace Voice
} // namespace Device
