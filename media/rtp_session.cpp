#include "media/rtp_session.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "board/device.h"
#include "media/device_paths.h"
#include "runtime/ext.h"
#include "runtime/inet4_addr.h"

namespace {

struct Codec {
    TERM::Payload::NamedNumber payload;
    uint16_t pt;
};
// RFC 3551 6 for the static payload types; 128 and 136 are the board's own.
const Codec kCodecs[] = {
    {TERM::Payload::ptG711_Alaw, 8},     {TERM::Payload::ptG711_Ulaw, 0},     {TERM::Payload::ptG723, 4},
    {TERM::Payload::ptG729, 18},         {TERM::Payload::ptG711mcc_Alaw, 136}, {TERM::Payload::ptG711mcc_Ulaw, 128},
    {TERM::Payload::ptG728, 15},         {TERM::Payload::ptG722, 9},
};

const Codec* codec(TERM::Payload::NamedNumber payload)
{
    for (const Codec& c : kCodecs)
        if (c.payload == payload)
            return &c;
    return nullptr;
}

std::string strerror_now()
{
    return std::strerror(errno);
}

} // namespace

uint16_t translateCodec(TERM::Payload::NamedNumber payload, TERM::Payload::NamedNumber override_)
{
    bool g711 = override_ == TERM::Payload::ptG711_Alaw || override_ == TERM::Payload::ptG711_Ulaw;
    const Codec* c = codec(g711 && override_ != payload ? override_ : payload);
    return c ? c->pt : 0;
}

bool isRtpCodec(TERM::Payload::NamedNumber payload)
{
    return codec(payload) != nullptr;
}

bool RtpSession::fill(const std::string& header, TERM::RtpParams const& p, TERM::Payload const& rx,
                      TERM::Payload const& tx)
{
    params = rtp_connection_params();
    const TERM::HostAddress& dhost = p.get_dhost();
    const TERM::HostAddress* local = p.has_shost() ? &p.get_shost() : &dhost;
    const char* refused = nullptr;
    std::string what;
    if (!INet4::ParseDottedQuad(dhost.get_iaddr(), params.remote_addr))
        refused = "bad remote address ", what = dhost.get_iaddr();
    else if (p.has_shost() && !INet4::ParseDottedQuad(p.get_shost().get_iaddr(), params.local_addr))
        refused = "bad local address ", what = p.get_shost().get_iaddr();
    else if (dhost.get_port().getValue() >= 65535 || local->get_port().getValue() >= 65535)
        refused = "no RTCP port after RTP port ", what = "65535";
    if (refused) {
        std::clog << header << "rtp do not created: " << refused << ext::quoted(what) << std::endl;
        return false;
    }
    params.remote_port = static_cast<uint16_t>(dhost.get_port().getValue());
    params.local_port = static_cast<uint16_t>(local->get_port().getValue());
    auto payload = static_cast<TERM::Payload::NamedNumber>(p.get_payload().getValue());
    params.rx_pt = translateCodec(payload, static_cast<TERM::Payload::NamedNumber>(rx.getValue()));
    params.tx_pt = translateCodec(payload, static_cast<TERM::Payload::NamedNumber>(tx.getValue()));
    params.packet_factor = p.has_pfactor() ? static_cast<uint16_t>(p.get_pfactor().getValue()) : 0;
    params.vad = p.has_vad() && p.get_vad().getValue() ? 1 : 0;
    params.crate = p.has_crate() && p.get_crate().getValue() != 0 ? 1 : 0;
    params.ssrc = p.has_ssrc() ? static_cast<uint32_t>(p.get_ssrc().getValue()) : static_cast<uint32_t>(std::rand());
    params.ttl = p.has_ttl() ? static_cast<uint32_t>(p.get_ttl().getValue()) : 0;
    params.tos = p.has_qos_dscp() ? (static_cast<uint32_t>(p.get_qos_dscp().getValue()) * 4) & 0xFC : 0xFFFFFFFF;
    peer = sockaddr_in();
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = params.remote_addr;
    peer.sin_port = htons(static_cast<uint16_t>(params.remote_port + 1));
    return true;
}

bool RtpSession::open(const std::string& header)
{
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    if (!sock) {
        std::clog << header << "rtp do not created: can not create socket [errno=" << strerror_now() << "]"
                  << std::endl;
        return false;
    }
    int one = 1;
    if (reuse_rtcp_port)
        ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    uint16_t port = static_cast<uint16_t>(params.local_port + 1);
    sockaddr_in any = {};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    any.sin_port = htons(port);
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0) {
        std::clog << header << "rtp do not created: can not bind socket [errno=" << strerror_now() << ", port=" << port
                  << "]" << std::endl;
        return false;
    }
    if (!BeginRtpSession(header, params, -1, rtp, channel, channel_flags))
        return false;
    rtcp = std::move(sock);
    return true;
}

bool BeginRtpSession(const std::string& header, const rtp_connection_params& params, int channel, Fd& rtp,
                     int& added, uint32_t channel_flags)
{
    using namespace Device::Rtp;
    // Non-blocking: the slot reads its events until the device has no more.
    Fd dev(Device::open(GetRtpDevName(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!dev) {
        std::cerr << header << "device " << ext::quoted(GetRtpDevName()) << " open fail: " << strerror_now()
                  << std::endl;
        return false;
    }
    rtp_connection_params record = params;
    if (Device::ioctl(dev.get(), RTP_BEGIN_SESSION, &record) < 0) {
        std::cerr << header << "begin session fail !!! " << strerror_now() << std::endl;
        return false;
    }
    rtp_channel_info info = {channel, -1, -1, channel_flags};
    if (Device::ioctl(dev.get(), RTP_ADD_CHANNEL, &info) < 0) {
        std::cerr << header << "add channel fail !!!" << std::endl;
        return false;
    }
    rtp = std::move(dev);
    added = info.tdm;
    return true;
}
