// Records of the kernel RTP engine "/dev/rtp". Shared by the server and
// whatever stands in for the driver. Words are in the machine's byte order.
#pragma once

#include <cstddef>
#include <cstdint>

// One event of the RTP engine.
struct rtp_event {
    uint32_t type; // 1: packet detection
    uint32_t value;
    uint32_t timeout;
    uint32_t data[6];
};
static_assert(sizeof(rtp_event) == 36 && offsetof(rtp_event, data) == 12, "record size of the RTP engine");

// The session record: begins a session, and is kept by the slot.
struct rtp_connection_params {
    uint32_t remote_addr; // as inet_addr gives it
    uint16_t remote_port;
    uint16_t reserved0;
    uint32_t local_addr; // 0 when not given
    uint16_t local_port;
    uint16_t rx_pt; // payload type received (decoder)
    uint16_t tx_pt; // payload type sent (encoder)
    uint16_t packet_factor;
    uint8_t vad;
    uint8_t crate;
    uint16_t reserved1;
    uint32_t ssrc;
    uint32_t reserved2[2];
    uint32_t ttl;
    uint32_t tos; // 0xFFFFFFFF: not set
};
static_assert(sizeof(rtp_connection_params) == 44, "the session record");
static_assert(offsetof(rtp_connection_params, remote_port) == 4, "remote RTP port");
static_assert(offsetof(rtp_connection_params, local_addr) == 8, "local address");
static_assert(offsetof(rtp_connection_params, local_port) == 12, "local RTP port");
static_assert(offsetof(rtp_connection_params, rx_pt) == 14, "payload type received");
static_assert(offsetof(rtp_connection_params, tx_pt) == 16, "payload type sent");
static_assert(offsetof(rtp_connection_params, packet_factor) == 18, "packet factor");
static_assert(offsetof(rtp_connection_params, vad) == 20, "voice activity flag");
static_assert(offsetof(rtp_connection_params, crate) == 21, "crate flag");
static_assert(offsetof(rtp_connection_params, ssrc) == 24, "synchronisation source");
static_assert(offsetof(rtp_connection_params, ttl) == 36, "IP time to live");
static_assert(offsetof(rtp_connection_params, tos) == 40, "IP type of service");

// "Add channel": the driver returns the channel in tdm.
struct rtp_channel_info {
    int32_t tdm;
    int32_t dev_no;
    int32_t chn;
    uint32_t reserved;
};
static_assert(sizeof(rtp_channel_info) == 16 && offsetof(rtp_channel_info, chn) == 8, "four words");

// Joins the session of another process's descriptor.
struct rtp_attach_session_params {
    int32_t fd_rtp;
    int32_t pid_rtp;
};
static_assert(sizeof(rtp_attach_session_params) == 8, "two words");

namespace Device {
namespace Rtp {

constexpr char kDevice[] = "/dev/rtp";

// One session per open descriptor.
constexpr unsigned long RTP_BEGIN_SESSION = 0xc02c5200; // rtp_connection_params
constexpr unsigned long RTP_ADD_CHANNEL = 0xc0105202;   // rtp_channel_info
constexpr unsigned long RTP_TEARDOWN_R3 = 0x20005203;
constexpr unsigned long RTP_INPUT_START = 0x20005204;
constexpr unsigned long RTP_INPUT_STOP = 0x20005205;
constexpr unsigned long RTP_ATTACH_SESSION = 0xc0085209; // rtp_attach_session_params
constexpr unsigned long RTP_TEARDOWN_R10 = 0x2000520a;
constexpr unsigned long RTP_TEARDOWN_R11 = 0x2000520b;
// Packet detection: an rtp_event record {1, 0, timeout, 0, 0, timeout, ...}.
constexpr unsigned long RTP_SET_EVENT = 0xc024520c;
// A pointer to the event type (1) to switch off.
constexpr unsigned long RTP_RESET_EVENT = 0x8004520d;

constexpr uint32_t kPacketDetection = 1;

} // namespace Rtp
} // namespace Device
