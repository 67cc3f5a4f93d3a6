// Records of the RTP header-extension channel "/dev/rtp_ext". Shared by the
// server and whatever stands in for the driver. Words are in the machine's
// byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// Binds a new descriptor to a header-extension profile.
struct rtp_ext_init_params {
    uint16_t etype; // the extension's profile identifier
    uint16_t reserved;
    uint32_t w[4]; // values of the extension kind
};
static_assert(sizeof(rtp_ext_init_params) == 20 && offsetof(rtp_ext_init_params, w) == 4, "the init record");

// Joins the RTP session held by descriptor fd_rtp of process pid_rtp.
struct rtp_ext_attach_session_params {
    int32_t fd_rtp;
    int32_t pid_rtp;
};
static_assert(sizeof(rtp_ext_attach_session_params) == 8, "two words");

// The sender of the next waiting payload.
struct rtp_ext_source {
    uint32_t ssrc;
    uint32_t addr; // IPv4, network order
    uint32_t unused;
};
static_assert(sizeof(rtp_ext_source) == 12, "three words");

// The only sender whose payloads are accepted.
struct rtp_ext_filter {
    uint32_t addr; // IPv4, network order
    uint32_t zero;
};
static_assert(sizeof(rtp_ext_filter) == 8, "two words");

namespace Device {
namespace RtpExt {

constexpr char kDevice[] = "/dev/rtp_ext";

// The first request on a descriptor.
constexpr unsigned long RTP_EXT_INIT = 0xc0144500;          // rtp_ext_init_params
constexpr unsigned long RTP_EXT_ATTACH = 0xc0084501;        // rtp_ext_attach_session_params
constexpr unsigned long RTP_EXT_DETACH = 0x20004502;
// Before each read: who sent the payload that read will give.
constexpr unsigned long RTP_EXT_SOURCE = 0xc00c4503;        // rtp_ext_source
constexpr unsigned long RTP_EXT_SET_FILTER = 0xc0084504;    // rtp_ext_filter
constexpr unsigned long RTP_EXT_RESET_FILTER = 0x20004505;

// A payload read or written at once.
constexpr size_t kMaxPayload = 1024;
// The header-extension profile of LEMZ radio signalling.
constexpr uint16_t kLemzProfile = 0x1337;
// The profile of ED-137 R2S signalling.
constexpr uint16_t kED137Profile = 0x0167;

} // namespace RtpExt
} // namespace Device
