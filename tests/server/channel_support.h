// Loopback TCP peers for the control channel tests: a controller-side
// client, a listener for the connector, and lines stamped with loop time.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "runtime/fd.h"
#include "runtime/mux_time.h"
#include "server/control_service.h"
#include "tests/runtime/stack_support.h"

namespace vbtest {

inline sockaddr_in loopback(uint16_t port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

inline uint16_t local_port(int fd)
{
    sockaddr_in a = {};
    socklen_t len = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// A listening socket on a loopback port of the kernel's choice.
inline Fd listener(int backlog = 4)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(0);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) || ::listen(s.get(), backlog))
        return Fd();
    return s;
}

// A port that was free a moment ago.
inline uint16_t free_port()
{
    return local_port(listener().get());
}

// A blocking connect; the handshake completes in the kernel's backlog.
inline Fd connect_to(uint16_t port)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = loopback(port);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
        return Fd();
    return s;
}

inline std::string peer_text(const Fd& client)
{
    return "127.0.0.1:" + std::to_string(local_port(client.get()));
}

inline std::string tpkt(const std::string& payload)
{
    size_t n = payload.size() + 4;
    return std::string{3, 0, char(n >> 8), char(n & 0xFF)} + payload;
}

// What has arrived so far, without waiting; eof set once the peer closed.
inline std::string drain(const Fd& s, bool* eof = nullptr)
{
    std::string got;
    char buf[4096];
    for (;;) {
        ssize_t n = ::recv(s.get(), buf, sizeof(buf), MSG_DONTWAIT);
        if (n > 0) {
            got.append(buf, size_t(n));
            continue;
        }
        if (eof && n == 0)
            *eof = true;
        return got;
    }
}

// A descriptor of this process on the far side of client's connection.
inline int server_side_of(const Fd& client)
{
    sockaddr_in mine = {}, other = {};
    socklen_t len = sizeof(mine);
    ::getsockname(client.get(), reinterpret_cast<sockaddr*>(&mine), &len);
    DIR* d = ::opendir("/proc/self/fd");
    int found = -1;
    while (dirent* e = d ? ::readdir(d) : nullptr) {
        int fd = std::atoi(e->d_name);
        len = sizeof(other);
        if (fd != client.get() && ::getpeername(fd, reinterpret_cast<sockaddr*>(&other), &len) == 0 &&
            other.sin_port == mine.sin_port && other.sin_addr.s_addr == mine.sin_addr.s_addr) {
            found = fd;
            break;
        }
    }
    if (d)
        ::closedir(d);
    return found;
}

inline int sock_option(int fd, int level, int option)
{
    int v = -1;
    socklen_t len = sizeof(v);
    ::getsockopt(fd, level, option, &v, &len);
    return v;
}

// The user of a channel: counts and keeps what it hears.
struct ChannelUser : Control::Notify {
    void OnConnect() override { ++connects; }
    void OnDisconnect() override
    {
        ++disconnects;
        if (on_disconnect)
            on_disconnect();
    }
    void OnMessage(const char* data, int length) override { messages.emplace_back(data, size_t(length)); }

    int connects = 0, disconnects = 0;
    std::vector<std::string> messages;
    std::function<void()> on_disconnect;
};

// Every line written to a stream, with the loop time it was written at.
class StampedLines : public std::streambuf {
public:
    explicit StampedLines(std::ostream& s) : mStream(s), mOld(s.rdbuf(this)) {}
    ~StampedLines() override { mStream.rdbuf(mOld); }

    std::vector<std::pair<uint32_t, std::string>> lines;

    // Gaps in ms between the lines that hold text.
    std::vector<uint32_t> gaps(const std::string& text) const
    {
        std::vector<uint32_t> out;
        bool first = true;
        uint32_t last = 0;
        for (const auto& l : lines) {
            if (l.second.find(text) == std::string::npos)
                continue;
            if (!first)
                out.push_back(l.first - last);
            first = false;
            last = l.first;
        }
        return out;
    }

protected:
    int overflow(int c) override
    {
        if (c == '\n') {
            lines.emplace_back(Mux::milliseconds(), mLine);
            mLine.clear();
        } else if (c != EOF) {
            mLine += char(c);
        }
        return c;
    }

private:
    std::ostream& mStream;
    std::streambuf* mOld;
    std::string mLine;
};

} // namespace vbtest
