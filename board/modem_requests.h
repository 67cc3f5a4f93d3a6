// Requests of the DSP modem driver "/dev/mctl" and of the generic-HDLC
// network interfaces that carry digital data calls. The modem driver takes
// plain request numbers: the argument is a value, or the address of a
// record of 32-bit words whose first word is the modem number. Shared by
// the server and whatever stands in for the driver. Words are in the
// machine's byte order.
//
// The interface requests are the published Linux ones (sockios.h, if.h,
// hdlc/ioctl.h), spelt out here so that this header needs neither the
// kernel's headers nor glibc's <net/if.h>, which clash.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Device {
namespace Modem {

constexpr char kDevice[] = "/dev/mctl";
// The data device of modem N is kDataPrefix + N.
constexpr char kDataPrefix[] = "/dev/mdm";

// Value 0; allocates a modem for this descriptor, the result is its number.
constexpr unsigned long MDM_ALLOCATE = 0xbb0b;
// Value 0; the result is the allocated modem's switch time slot.
constexpr unsigned long MDM_TIMESLOT = 0xbb15;
// {N, mask}: digital data mode.
constexpr unsigned long MDM_SET_DDM = 0xbb16;
// {N, -1}: every modem parameter back to its default.
constexpr unsigned long MDM_RESET_PARAMS = 0xbb3a;
// {N, offset, value}: one modem parameter.
constexpr unsigned long MDM_SET_PARAM = 0xbb38;
// {N, -1}: answer, originate, originate a fax.
constexpr unsigned long MDM_ANSWER = 0xbb03;
constexpr unsigned long MDM_ORIGINATE = 0xbb04;
constexpr unsigned long MDM_FAX_ORIGINATE = 0xbb40;
// Value: the previous modem number (-1 first); the result is the next one,
// ENODEV ends the list.
constexpr unsigned long MDM_ENUMERATE = 0xbb0c;

// Bits of the digital data mode mask (V.120 sets none).
enum DdmBit : uint32_t { kDdmV110 = 1, kDdm8Bit = 2, kDdm7Bit = 4 };

struct Ddm {
    int32_t modem;
    uint32_t mask;
};
struct Command {
    int32_t modem;
    int32_t unused; // always -1
};
struct Param {
    int32_t modem;
    int32_t offset;
    int32_t value;
};
static_assert(sizeof(Ddm) == 8 && sizeof(Command) == 8 && sizeof(Param) == 12, "words");

} // namespace Modem

namespace NetIf {

// SIOCGIFFLAGS, SIOCSIFFLAGS, SIOCGIFINDEX, SIOCWANDEV
constexpr unsigned long kGetFlags = 0x8913;
constexpr unsigned long kSetFlags = 0x8914;
constexpr unsigned long kGetIndex = 0x8933;
constexpr unsigned long kWanDev = 0x894a;

// IFF_UP, IFF_LOOPBACK, IFF_POINTOPOINT
constexpr int16_t kUp = 0x1;
constexpr int16_t kLoopback = 0x8;
constexpr int16_t kPointToPoint = 0x10;

// IF_GET_IFACE, IF_PROTO_HDLC, IF_PROTO_PPP
constexpr uint32_t kGetIface = 1;
constexpr uint32_t kProtoHdlc = 0x2000;
constexpr uint32_t kProtoPpp = 0x2001;

constexpr size_t kNameSize = 16;
// What kGetIface fills; the word at kChannelOffset is the channel on
// the board's switch.
constexpr size_t kIfaceSize = 128;
constexpr size_t kChannelOffset = 12;

// The settings of kWanDev (SIOCWANDEV): a type and the buffer of its settings.
struct Settings {
    uint32_t type;
    uint32_t size;
    void* buffer;
};

// The kernel's interface request: a name and one of the values.
struct Request {
    char name[kNameSize];
    union {
        int16_t flags;
        int32_t index;
        Settings settings;
        char room[24];
    };
};

// The raw-HDLC settings of kProtoHdlc.
struct RawHdlc {
    uint16_t encoding;
    uint16_t parity;
};
static_assert(sizeof(RawHdlc) == 4, "two half-words");

} // namespace NetIf
} // namespace Device
