// Loopback TCP peers for the control link tests, and log lines stamped
// with loop time.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/tcp.h>

#include <string>
#include <utility>
#include <vector>

#include "runtime/mux_time.h"
#include "server/control/socket_retry.h"
#include "tests/runtime/stack_support.h"

namespace vbtest {

inline uint16_t local_port(const Fd& s)
{
    sockaddr_in a = {};
    socklen_t len = sizeof(a);
    ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Listening on port (0: one of the kernel's choice), or connected to it.
inline Fd tcp_socket(uint16_t port, bool listen, in_addr_t address = INADDR_LOOPBACK)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    sockaddr* sa = reinterpret_cast<sockaddr*>(&a);
    bool ok = listen ? !::bind(s.get(), sa, sizeof(a)) && !::listen(s.get(), 4) : !::connect(s.get(), sa, sizeof(a));
    return ok ? std::move(s) : Fd();
}

inline std::string peer_text(const Fd& client)
{
    return "127.0.0.1:" + std::to_string(local_port(client));
}

// What has arrived so far; eof set once the peer has closed.
inline std::string drain(const Fd& s, bool* eof = nullptr)
{
    std::string got;
    char buf[4096];
    ssize_t n;
    while ((n = ::recv(s.get(), buf, sizeof(buf), MSG_DONTWAIT)) > 0)
        got.append(buf, size_t(n));
    if (eof && n == 0)
        *eof = true;
    return got;
}

// A TCP option of the descriptor of this process at the far end of client's
// connection.
inline int served_option(const Fd& client, int option, int level = IPPROTO_TCP)
{
    sockaddr_in other = {};
    int v = -1;
    DIR* d = ::opendir("/proc/self/fd");
    while (dirent* e = ::readdir(d)) {
        int fd = std::atoi(e->d_name);
        socklen_t len = sizeof(other);
        if (fd != client.get() && !::getpeername(fd, reinterpret_cast<sockaddr*>(&other), &len) &&
            ntohs(other.sin_port) == local_port(client)) {
            len = sizeof(v);
            ::getsockopt(fd, level, option, &v, &len);
            break;
        }
    }
    ::closedir(d);
    return v;
}

// A client served and let go, before a test that runs short of
// descriptors: the sanitizer's first look at a type needs descriptors of
// its own, so every type the serving path meets is looked at here.
inline void serve_once(uint16_t port, const int& connects, const int& disconnects)
{
    int before = connects;
    Fd client = tcp_socket(port, false);
    write_all(client.get(), std::string("\x03\x00\x00\x05x", 5));
    EXPECT_TRUE(run_until([&] { return connects > before; }));
    run_until([] { return false; }, 1100);
    client.close();
    EXPECT_TRUE(run_until([&] { return disconnects == connects; }));
}

// The socket retry's timer fired once, before a test that runs short of
// descriptors (see serve_once): a socket that no loop can watch is retried.
inline void retry_a_socket_once(Mux::VirtualClock& clock)
{
    Control::SocketRetry retry([](std::ostream&) {}, [] {}, false);
    Event none;
    retry.Watch(none, Fd(), POLLIN);
    clock.advance_ms(Control::SocketRetry::make_retry_ms);
    multiplexer.timers_schedule();
}

// Every line written to a stream, with the loop time it was written at.
struct StampedLines : std::streambuf {
    explicit StampedLines(std::ostream& s) : stream(s), old(s.rdbuf(this)) {}
    ~StampedLines() override { stream.rdbuf(old); }
    int overflow(int c) override
    {
        if (c == '\n')
            lines.emplace_back(Mux::milliseconds(), line), line.clear();
        else
            line += char(c);
        return c;
    }
    // Gaps in ms between the lines that hold text.
    std::vector<uint32_t> gaps(const std::string& text) const
    {
        std::vector<uint32_t> out, at;
        for (const auto& l : lines)
            if (l.second.find(text) != std::string::npos)
                at.push_back(l.first);
        for (size_t i = 1; i < at.size(); ++i)
            out.push_back(at[i] - at[i - 1]);
        return out;
    }

    std::ostream& stream;
    std::streambuf* old;
    std::string line;
    std::vector<std::pair<uint32_t, std::string>> lines;
};

} // namespace vbtest
