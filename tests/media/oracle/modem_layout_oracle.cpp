// The interface requests and records of the digital modems, tied to the
// kernel's own headers: the board's definitions must be the published ones.
#include <linux/if.h> // before hdlc/ioctl.h, which uses IFNAMSIZ
#include <linux/hdlc/ioctl.h>
#include <linux/sockios.h>

#include <cstddef>

#include <gtest/gtest.h>

#include "board/modem_requests.h"

namespace If = Device::NetIf;

static_assert(If::kGetFlags == SIOCGIFFLAGS && If::kSetFlags == SIOCSIFFLAGS, "flag requests");
static_assert(If::kGetIndex == SIOCGIFINDEX && If::kWanDev == SIOCWANDEV, "index and WAN requests");
static_assert(If::kUp == IFF_UP && If::kLoopback == IFF_LOOPBACK && If::kPointToPoint == IFF_POINTOPOINT, "flags");
static_assert(If::kGetIface == IF_GET_IFACE && If::kProtoHdlc == IF_PROTO_HDLC && If::kProtoPpp == IF_PROTO_PPP,
              "settings types");
static_assert(If::kNameSize == IFNAMSIZ, "name size");
static_assert(sizeof(If::Request) == sizeof(struct ifreq), "interface request");
static_assert(offsetof(If::Request, flags) == offsetof(struct ifreq, ifr_flags), "flags field");
static_assert(offsetof(If::Request, index) == offsetof(struct ifreq, ifr_ifindex), "index field");
static_assert(offsetof(If::Request, settings) == offsetof(struct ifreq, ifr_settings), "settings field");
static_assert(sizeof(If::Settings) == sizeof(if_settings) && offsetof(If::Settings, size) == offsetof(if_settings, size) &&
                  offsetof(If::Settings, buffer) == offsetof(if_settings, ifs_ifsu),
              "settings record");
static_assert(sizeof(If::RawHdlc) == sizeof(raw_hdlc_proto) && offsetof(If::RawHdlc, parity) == offsetof(raw_hdlc_proto, parity),
              "raw HDLC settings");

TEST(ModemLayoutOracle, TheKernelsHeadersAgree)
{
    // The checks are the static assertions above; reaching here means they held.
    SUCCEED();
}
