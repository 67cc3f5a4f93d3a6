#include "tools/tpkt_link.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <iostream>

namespace TpktLink {

namespace {
const uint8_t kVersion = 3;
} // namespace

Fd OpenListener(unsigned short port)
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!s)
        return s;
    int on = 1;
    INet4::Addr any;
    any.Assign(static_cast<unsigned long>(htonl(INADDR_ANY)));
    sockaddr_in sin = any.sin();
    sin.sin_port = htons(port);
    if (::setsockopt(s.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
        ::bind(s.get(), reinterpret_cast<sockaddr*>(&sin), sizeof(sin)) != 0 || ::listen(s.get(), 1) != 0 ||
        !s.NonBlock())
        s.reset();
    return s;
}

Fd AcceptPeer(int listenFd, INet4::Addr& peer, const char* opening)
{
    socklen_t len = INet4::Addr::size();
    int fd;
    do
        fd = ::accept4(listenFd, peer.sa(), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        std::clog << opening;
        peer.Put(std::clog);
        std::clog << std::endl;
    }
    return Fd(fd);
}

void Unwatched(const INet4::Addr& peer)
{
    std::cerr << "TPKT connection from ";
    peer.Put(std::cerr);
    std::cerr << " closed: no descriptor to watch it" << std::endl;
}

ssize_t SendFrame(int fd, const void* data, unsigned size)
{
    if (size > max_payload)
        return -EMSGSIZE;
    unsigned total = size + header_size;
    uint8_t head[header_size] = {kVersion, 0, static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total)};
    iovec parts[2] = {{head, header_size}, {const_cast<void*>(data), size}};
    msghdr msg{};
    msg.msg_iov = parts;
    msg.msg_iovlen = 2;
    ssize_t n;
    do
        n = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n < 0 ? -errno : n;
}

bool Connection::HeaderDone()
{
    if (mHeader[0] != kVersion || mHeader[1] != 0)
        return false;
    unsigned length = (static_cast<unsigned>(mHeader[2]) << 8) | mHeader[3];
    if (length < header_size || length - header_size > buffer.size())
        return false;
    received = 0;
    expected = length - header_size;
    // An empty frame (RFC 1006 allows none, some peers send them) is skipped.
    state = expected == 0 ? header : payload;
    if (state == header)
        expected = header_size;
    return true;
}

Connection::Result Connection::Read(short revents)
{
    if (!(revents & (POLLIN | POLLERR | POLLHUP)))
        return idle;
    for (unsigned taken = 0; taken < bytes_per_readiness;) {
        uint8_t* into = state == header ? mHeader : buffer.data();
        ssize_t n = ::recv(event.fd.get(), into + received, expected - received, MSG_NOSIGNAL);
        if (n == 0)
            return close;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return revents & (POLLERR | POLLHUP) ? close : idle;
            return close;
        }
        received += static_cast<unsigned>(n);
        taken += static_cast<unsigned>(n);
        if (received < expected)
            continue;
        if (state == header) {
            if (!HeaderDone())
                return close;
            continue;
        }
        unsigned length = expected;
        state = header;
        expected = header_size;
        received = 0;
        if (!Deliver(buffer.data(), length))
            return stopped;
    }
    return idle;
}

} // namespace TpktLink
