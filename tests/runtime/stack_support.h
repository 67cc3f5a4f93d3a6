// Sockets, a recording service and a loop driver for the tests of the
// stream and TPKT layers.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/protocol.h"
#include "runtime/timer.h"
#include "tests/runtime/packet_support.h"

namespace vbtest {

struct SocketPair {
    Fd a;
    Fd b;
};

inline SocketPair unix_pair()
{
    int s[2] = {-1, -1};
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s);
    return SocketPair{Fd(s[0]), Fd(s[1])};
}

// A connected TCP pair over the loopback interface.
inline SocketPair tcp_pair()
{
    Fd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::listen(listener.get(), 1) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
        return SocketPair();
    Fd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (::connect(client.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
        return SocketPair();
    Fd server(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    int one = 1;
    ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ::setsockopt(server.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return SocketPair{std::move(server), std::move(client)};
}

// The owner of a stack: keeps every payload and every end it hears of.
class Recorder : public ProtocolsFamily {
public:
    void on_message(Packet& p) override
    {
        messages.push_back(content(p));
        if (on_payload)
            on_payload(p);
    }
    // Below the lowest layer: what would go on the wire.
    bool transmit(Packet& p) override
    {
        sent.push_back(content(p));
        return true;
    }
    void on_activated(Protocol* p) override
    {
        ++activated;
        ProtocolsFamily::on_activated(p);
    }
    void on_deactivated(Protocol* p, Protocol_status s) override
    {
        ends.push_back(s->message());
        end_sources.push_back(s->source);
        end_success.push_back(s->success());
        last_reporter = p;
    }

    std::vector<std::string> messages;
    std::vector<std::string> sent;
    std::function<void(Packet&)> on_payload;
    int activated = 0;
    std::vector<std::string> ends;
    std::vector<Protocol*> end_sources;
    std::vector<bool> end_success;
    Protocol* last_reporter = nullptr;
};

// Runs the loop until done() holds or ms of loop time have passed; true
// when done() held.
inline bool run_until(const std::function<bool()>& done, unsigned ms = 5000)
{
    struct Driver {
        std::function<bool()> done;
        bool met = false;
        Dpc check;
        Timer limit;
        void poll()
        {
            if (!met && done()) {
                met = true;
                multiplexer.terminate();
            }
        }
        void expire() { multiplexer.terminate(); }
    } d;
    d.done = done;
    d.check.Bind(&d, &Driver::poll);
    d.check.Activate();
    d.limit.set(ms, &Driver::expire, &d);
    multiplexer.run(false, true);
    return d.met;
}

// Writes all of s, whatever the descriptor's mode; false on an error.
inline bool write_all(int fd, const std::string& s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = ::send(fd, s.data() + done, s.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace vbtest
