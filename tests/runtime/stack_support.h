// Sockets, a recording service and a loop driver for the tests (and the
// benchmark) of the stream and TPKT layers.
#pragma once

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <functional>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/protocol.h"
#include "tests/runtime/loop_support.h"
#include "tests/runtime/packet_support.h"
#include "tests/support/test_support.h"

namespace vbtest {

struct SocketPair {
    Fd a, b;
};

inline SocketPair unix_pair()
{
    int s[2] = {-1, -1};
    ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, s);
    return SocketPair{Fd(s[0]), Fd(s[1])};
}

// A connected TCP pair over the loopback interface (empty on failure).
inline SocketPair tcp_pair()
{
    TcpListener listener(1);
    Fd client = listener.connect();
    if (!client)
        return SocketPair();
    SocketPair pair{listener.accept(), std::move(client)};
    int one = 1;
    ::setsockopt(pair.a.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ::setsockopt(pair.b.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return pair;
}

// The owner of a stack: keeps every payload and every end it hears of,
// and what its lowest layer would put on the wire.
struct Recorder : ProtocolsFamily {
    void on_message(Packet& p) override
    {
        messages.push_back(content(p));
        if (on_payload)
            on_payload(p);
    }
    bool transmit(Packet& p) override { return sent.push_back(content(p)), true; }
    void on_activated(Protocol* p) override { ++activated, ProtocolsFamily::on_activated(p); }
    void on_deactivated(Protocol* p, Protocol_status s) override
    {
        ends.push_back(s->message() + (s->success() ? "" : " (error)"));
        end_source = s->source;
        reporter = p;
    }

    std::vector<std::string> messages, sent, ends;
    std::function<void(Packet&)> on_payload;
    int activated = 0;
    const Protocol* end_source = nullptr;
    Protocol* reporter = nullptr;
};

} // namespace vbtest
