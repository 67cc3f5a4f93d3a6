// Peers of the TPKT listeners: blocking client sockets on loopback, and the
// listener started on a port found free.
#pragma once

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include <string>

#include "runtime/inet4_addr.h"
#include "tests/runtime/loop_support.h"

namespace vbtest {

inline std::string tpkt(const std::string& payload)
{
    size_t n = payload.size() + 4;
    return std::string{'\x03', '\x00', static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)} + payload;
}

// Listen takes a port: another process may take a probed one first.
template <class Listener>
int listen_on_free_port(Listener& listener)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        int port = TcpListener(-1).port;
        if (port > 0 && listener.Listen(static_cast<unsigned short>(port)))
            return port;
    }
    ADD_FAILURE() << "no free port to listen on";
    return 0;
}

struct Peer {
    Fd fd;

    explicit Peer(int port)
    {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = TcpListener::loopback(port);
        if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
            fd.reset();
    }
    void write(const std::string& bytes)
    {
        EXPECT_EQ(::send(fd.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // What has arrived once the loop ran until want bytes came, or for up
    // to ms of loop time; "EOF" is appended when the listener closed.
    std::string read(size_t want, unsigned ms = 2000)
    {
        std::string got;
        bool eof = false;
        run_until(
            [&] {
                char buf[4096];
                for (;;) {
                    ssize_t n = ::recv(fd.get(), buf, sizeof(buf), MSG_DONTWAIT);
                    if (n > 0) {
                        got.append(buf, static_cast<size_t>(n));
                        continue;
                    }
                    // A reset (the listener closed with data unread) ends it too.
                    eof = eof || n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
                    break;
                }
                return eof || got.size() >= want;
            },
            ms);
        return eof ? got + "EOF" : got;
    }
    INet4::Addr local() const
    {
        sockaddr_in a{};
        socklen_t n = sizeof(a);
        ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &n);
        return INet4::Addr(a);
    }
};

} // namespace vbtest
