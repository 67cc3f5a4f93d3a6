// RTP peers on the loopback for the RTP slot tests and the end-to-end
// tests: UDP sockets, RTP packets (RFC 3550 5.1) and the creation of an
// rtp slot towards a peer.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/fd.h"
#include "server/schema/LGCP.h"

namespace vbtest {

// A UDP socket on 127.0.0.1 (or another loopback address), on a port of the
// kernel's choice or the one given.
struct UdpPeer {
    Fd s;
    explicit UdpPeer(uint16_t port = 0, const char* host = "127.0.0.1")
    {
        s.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in a = to(port);
        ::inet_pton(AF_INET, host, &a.sin_addr);
        ::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    static sockaddr_in to(uint16_t port)
    {
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        return a;
    }
    uint16_t port() const
    {
        sockaddr_in a = {};
        socklen_t len = sizeof(a);
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
        return ntohs(a.sin_port);
    }
    void send(uint16_t port, const std::string& bytes) const
    {
        sockaddr_in a = to(port);
        ::sendto(s.get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof(a));
    }
    bool ready() const
    {
        pollfd p{s.get(), POLLIN, 0};
        return ::poll(&p, 1, 0) == 1;
    }
    // The TOS and TTL of each datagram come with it from now on (take_ip).
    void receive_ip_fields() const
    {
        int one = 1;
        ::setsockopt(s.get(), IPPROTO_IP, IP_RECVTOS, &one, sizeof(one));
        ::setsockopt(s.get(), IPPROTO_IP, IP_RECVTTL, &one, sizeof(one));
    }
    // The next datagram with its TOS and TTL (-1 when not given).
    std::string take_ip(int& tos, int& ttl) const
    {
        char buf[2048], control[256];
        iovec v{buf, sizeof(buf)};
        msghdr m = {};
        m.msg_iov = &v, m.msg_iovlen = 1, m.msg_control = control, m.msg_controllen = sizeof(control);
        ssize_t n = ::recvmsg(s.get(), &m, 0);
        tos = ttl = -1;
        for (cmsghdr* c = CMSG_FIRSTHDR(&m); n > 0 && c; c = CMSG_NXTHDR(&m, c)) {
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TOS)
                tos = *reinterpret_cast<unsigned char*>(CMSG_DATA(c));
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
                ttl = *reinterpret_cast<int*>(CMSG_DATA(c));
        }
        return n > 0 ? std::string(buf, size_t(n)) : std::string();
    }
    // The next datagram, "" when none waits.
    std::string take() const
    {
        char buf[2048];
        ssize_t n = ::recv(s.get(), buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, size_t(n)) : std::string();
    }
};

// A port the controller names to the server for its own socket: the kernel
// cannot give one there, so an even port p with p and p + 1 free (RFC 3550
// 11) is taken from outside the kernel's ephemeral range, where no bind to
// port 0 of any process lands. Test processes keep apart by blocks of
// ports, each held by one process through a lock (an abstract socket that
// the kernel lets go with the process); the block's pairs are handed out in
// turn, each one that the server still holds passed over.
inline uint16_t free_rtp_port()
{
    const unsigned block_pairs = 64;
    static Fd lock;
    static unsigned block = unsigned(::getpid());
    static unsigned next = 0;
    unsigned low = 32768, high = 60999;
    std::ifstream("/proc/sys/net/ipv4/ip_local_port_range") >> low >> high;
    unsigned first = high < 65000 ? high + 1 : low - 8192, last = high < 65000 ? 65534 : low - 2;
    if (low < 9216 && high >= 65000)
        first = 1024, last = 65534; // no room outside the range: the locks alone keep tests apart
    first = (first + 1) / 2 * 2;
    const unsigned blocks = std::max(1u, (last + 1 - first) / (2 * block_pairs));
    const auto block_lock = [&](unsigned b) {
        Fd l(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        const std::string name = "voxbridge-test-ports-" + std::to_string(first + b * 2 * block_pairs);
        name.copy(a.sun_path + 1, sizeof(a.sun_path) - 2);
        const auto len = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + name.size());
        if (::bind(l.get(), reinterpret_cast<sockaddr*>(&a), len) != 0)
            l.reset();
        return l;
    };
    for (unsigned tried = 0; tried <= 2 * blocks; ++tried, ++block) {
        // With every block held elsewhere, one is shared.
        for (unsigned i = 0; i < blocks && !lock; ++i)
            if (!(lock = block_lock(block % blocks)))
                ++block;
        const unsigned base = first + block % blocks * 2 * block_pairs;
        for (unsigned i = 0; i < block_pairs; ++i) {
            const auto p = uint16_t(base + next++ % block_pairs * 2);
            UdpPeer rtp(p), rtcp(uint16_t(p + 1));
            if (rtp.port() == p && rtcp.port() == p + 1)
                return p;
        }
        lock.reset(); // the block is spent: the next one
    }
    return 0;
}

// A remote peer with its RTP and RTCP sockets, on an even port pair of the
// kernel's choice.
struct Remote {
    UdpPeer rtp, rtcp;
    uint16_t port = 0;
    Remote()
    {
        for (int attempt = 0; attempt < 1000 && !port; ++attempt) {
            UdpPeer a;
            const uint16_t p = a.port();
            if (p % 2 != 0)
                continue;
            UdpPeer b(uint16_t(p + 1));
            if (b.port() != p + 1)
                continue;
            rtp = std::move(a);
            rtcp = std::move(b);
            port = p;
        }
    }
};

// One RTP packet (RFC 3550 5.1) without CSRCs.
inline std::string rtp_packet(uint8_t pt, uint16_t seq, uint32_t ts, uint32_t ssrc, const std::string& payload)
{
    std::string p(12, '\0');
    p[0] = char(0x80), p[1] = char(pt);
    p[2] = char(seq >> 8), p[3] = char(seq);
    for (int i = 0; i < 4; ++i)
        p[4 + i] = char(ts >> (24 - 8 * i)), p[8 + i] = char(ssrc >> (24 - 8 * i));
    return p + payload;
}

// An RTP packet that carries ext as its header extension of profile,
// zero-padded to words (RFC 3550 5.3.1), before the payload.
inline std::string rtp_with_extension(uint16_t profile, const std::string& ext, uint8_t pt = 8,
                                      const std::string& payload = "")
{
    std::string p = rtp_packet(pt, 1, 160, 0x51515151, "");
    p[0] = char(0x90);
    size_t words = (ext.size() + 3) / 4;
    p += std::string{char(profile >> 8), char(profile & 0xFF), char(words >> 8), char(words)};
    return p + ext + std::string(4 * words - ext.size(), '\0') + payload;
}

inline uint32_t word_at(const std::string& bytes, size_t at)
{
    return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
           uint32_t(uint8_t(bytes[at + 2])) << 8 | uint8_t(bytes[at + 3]);
}

// The creation of an rtp slot towards 127.0.0.1:port.
inline LGCP::Command create_rtp(uint16_t port, TERM::Payload::NamedNumber payload = TERM::Payload::ptG711_Alaw)
{
    LGCP::Command c;
    LGCP::CreateRtpParams& r = c.get_create().get_rtp();
    r.get_codecRTP().set_payload(payload);
    r.get_codecRTP().get_dhost().set_iaddr("127.0.0.1");
    r.get_codecRTP().get_dhost().set_port(port);
    r.set_txPayload(payload);
    r.set_rxPayload(payload);
    return c;
}

} // namespace vbtest
