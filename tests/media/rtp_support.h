// RTP slots made by the real factory on the simulated board's RTP engine,
// with UDP peers on the loopback and a loop that runs until something
// arrived: what the RTP slot tests drive.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <string>

#include "board/rtp_requests.h"
#include "media/rtp_factory.h"
#include "media/rtp_slot.h"
#include "simboard/rtp.h"
#include "simboard/voice.h"
#include "tests/media/media_support.h"
#include "tests/runtime/loop_support.h"

namespace vbtest {

// Runs the loop until cond holds or timeout_ms of real time passed, whatever
// the loop's clock; whether it holds. A short timer bounds each poll, so
// the deadline is seen also under a virtual clock that never moves.
inline bool run_real(const std::function<bool()>& cond, int timeout_ms = 2000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    FnDpc check([&] {
        if (cond() || std::chrono::steady_clock::now() > deadline)
            multiplexer.terminate();
    });
    check.dpc.Activate();
    Timer bound;
    struct Rearm {
        Timer* t;
        void fire() { t->set<Rearm>(5, &Rearm::fire, this); }
    } rearm{&bound};
    rearm.fire();
    multiplexer.run(false, true);
    return cond();
}

// A UDP socket on 127.0.0.1, on a port of the kernel's choice or the one given.
struct UdpPeer {
    Fd s;
    explicit UdpPeer(uint16_t port = 0)
    {
        s.reset(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in a = to(port);
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
    // The next datagram, "" when none waits.
    std::string take() const
    {
        char buf[2048];
        ssize_t n = ::recv(s.get(), buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, size_t(n)) : std::string();
    }
};

// An even port p with p and p + 1 free on the loopback (RFC 3550 11).
inline uint16_t free_rtp_port()
{
    for (;;) {
        UdpPeer probe;
        uint16_t p = probe.port() & ~1;
        probe.s.close();
        UdpPeer a(p), b(uint16_t(p + 1));
        if (a.port() == p && b.port() == p + 1)
            return p;
    }
}

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

inline LGCP::Command ioctl_command(const std::function<void(LGCP::IoctlParams&)>& fill)
{
    LGCP::Command c;
    fill(c.get_ioctl());
    return c;
}

struct RtpWorld : MediaWorld {
    RtpFactory factory_;

    SimBoard::RtpEngine& engine() { return *sim.board.find<SimBoard::RtpEngine>(Device::Rtp::kDevice); }
    SimBoard::VoiceDevice& voice() { return *sim.board.find<SimBoard::VoiceDevice>(Device::Voice::kDevice); }
    // Descriptors of the process, once the board has let go of the closed ones.
    int fds()
    {
        sim.board.sweep();
        return settled_fd_count();
    }
    RtpSlot* rtp(unsigned n) { return dynamic_cast<RtpSlot*>(slots().at(n)); }
    // The last begin record the engine received.
    rtp_connection_params begun()
    {
        rtp_connection_params p;
        auto r = sim.board.ioctls(Device::Rtp::kDevice, Device::Rtp::RTP_BEGIN_SESSION).back();
        std::memcpy(&p, r.in.data(), sizeof(p));
        return p;
    }
};

} // namespace vbtest
