#include "server/control/control_acceptor.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "runtime/ext.h"

namespace Control {

namespace {

const unsigned bind_retry_ms = 5000;
const unsigned check_period_ms = 1000;
// Bytes of TCP_INFO asked for: enough for the fields read here on every
// kernel this runs on.
const socklen_t tcp_info_size = 92;

} // namespace

AcceptorNet::AcceptorNet(int port, bool verbose)
    : ServiceNet(verbose), mPort(static_cast<uint16_t>(port)), mSockets(this, &AcceptorNet::BindSocket, verbose)
{
    mListen.Bind("AcceptorNet::OnSocketEvent", &AcceptorNet::OnSocketEvent, this);
}

bool AcceptorNet::ImplActivate()
{
    BindSocket();
    // A listen failure has deactivated the acceptor already.
    return state() != State::Idle;
}

// A socket that cannot be made (out of descriptors) and a port in use are
// both tried again every 5000 ms, for ever: the controller's port must come
// up once the cause is gone.
void AcceptorNet::BindSocket()
{
    if (!mSocket) {
        mSocket = mSockets.Make();
        if (!mSocket)
            return;
        int one = 1;
        ::setsockopt(mSocket.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    }
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(mPort);
    if (::bind(mSocket.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        if (verbose())
            std::cerr << ext::header(this) << "can't bind to socket: " << ext::quoted(std::strerror(errno))
                      << "  waiting..." << std::endl;
        mRetry.set(bind_retry_ms, &AcceptorNet::BindSocket, this);
        return;
    }
    if (::listen(mSocket.get(), 1) != 0) {
        if (verbose())
            std::cerr << ext::header(this) << "can't listen socket: " << std::strerror(errno) << std::endl;
        Deactivate();
        return;
    }
    if (!NonBlockMode(mSocket.get())) {
        if (verbose())
            std::cerr << ext::header(this) << "can't set socket to non block mode: " << std::strerror(errno)
                      << std::endl;
        Deactivate();
        return;
    }
    if (!mSockets.Watch(mListen, mSocket, POLLIN))
        mSocket.close();
}

void AcceptorNet::ImplDeactivate()
{
    mRetry.reset();
    mListen.Release();
    mSocket.close();
    mSockets.Stop();
}

void AcceptorNet::OnSocketEvent(int, short revents)
{
    if (!(revents & POLLIN))
        return;
    // While the last connection unwinds, newcomers wait in the backlog:
    // the next pass, after the disconnect, serves them.
    while (state() != State::Deactivating) {
        INet4::Addr peer;
        Fd sock = mSockets.Accept(mListen, peer);
        if (!sock)
            return;
        if (state() != State::Connected) {
            Serve(sock, peer);
            continue;
        }
        if (verbose())
            std::cerr << ext::header(this) << "refuse connection from " << peer.GetString() << std::endl;
        ImplRefuseConnection();
    }
}

void AcceptorNet::Serve(const Fd& sock, const INet4::Addr& peer)
{
    if (!NonBlockMode(sock.get())) {
        if (verbose())
            std::cerr << ext::header(this) << "can't set socket to non block mode: " << std::strerror(errno)
                      << std::endl;
        return;
    }
    if (verbose())
        std::cout << ext::header(this) << "new connection from " << peer.GetString() << std::endl;
    // Serving takes copies of the socket; at the descriptor limit one of
    // them fails, and a connection that nobody reads is closed at once.
    if (ImplConnected(sock) && Connected(sock, peer))
        return;
    int err = errno;
    ImplOnDisconnect();
    std::cerr << ext::header(this) << "can't serve connection from " << peer.GetString() << ": "
              << std::strerror(err) << std::endl;
}

// ----------------------------------------------- AcceptorNetCheckConnection

bool AcceptorNetCheckConnection::ImplActivate()
{
    AcceptorNet::ImplActivate();
    CheckConnection();
    return true;
}

void AcceptorNetCheckConnection::ImplDeactivate()
{
    mCheck.reset();
    AcceptorNet::ImplDeactivate();
}

bool AcceptorNetCheckConnection::ImplConnected(const Fd& fd)
{
    mConnection = fd;
    return static_cast<bool>(mConnection);
}

void AcceptorNetCheckConnection::ImplOnDisconnect()
{
    // Our duplicate would keep the socket open, and the peer would never
    // see the end of a connection that we dropped.
    if (mConnection)
        ::shutdown(mConnection.get(), SHUT_RDWR);
    mConnection.close();
}

void AcceptorNetCheckConnection::ImplRefuseConnection()
{
    if (mCheckState != CheckState::Idle)
        return;
    mProbes = 2;
    SetupKeepAlive(true);
    SetCheckState(CheckState::CheckConnection);
}

void AcceptorNetCheckConnection::SetCheckState(CheckState::Type s)
{
    mCheckState = s;
    if (verbose())
        std::clog << ext::header(this) << "CheckConnectionState "
                  << (s == CheckState::Idle ? "Idle" : "CheckConnection") << std::endl;
}

void AcceptorNetCheckConnection::SetupKeepAlive(bool fast)
{
    int fd = mConnection.get();
    int on = 1, idle = fast ? 1 : 7200, interval = fast ? 1 : 75, count = fast ? 3 : 9;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof(idle));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof(interval));
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof(count));
}

void AcceptorNetCheckConnection::Close()
{
    mCheckState = CheckState::Idle;
    SetupKeepAlive(false);
    Disconnect();
    if (verbose())
        std::clog << ext::header(this) << "CheckConnectionState Idle" << std::endl;
}

void AcceptorNetCheckConnection::CheckConnection()
{
    if (state() == State::Connected)
        Probe();
    mCheck.set(check_period_ms, &AcceptorNetCheckConnection::CheckConnection, this);
}

void AcceptorNetCheckConnection::Probe()
{
    unsigned char info[tcp_info_size] = {};
    socklen_t len = tcp_info_size;
    if (::getsockopt(mConnection.get(), IPPROTO_TCP, TCP_INFO, info, &len) == 0 && len >= 2) {
        if (info[0] != TCP_ESTABLISHED) {
            if (verbose())
                std::cerr << ext::header(this) << "connection from " << peer_name()
                          << " closed: tcp socket change state." << std::endl;
            Close();
            return;
        }
        if (mCheckState == CheckState::CheckConnection) {
            if (info[1] == 0) {
                SetupKeepAlive(false);
                SetCheckState(CheckState::Idle);
            } else if (--mProbes < 1) {
                mProbes = 0;
                if (verbose())
                    std::cerr << ext::header(this) << "connection from " << peer_name()
                              << " closed: tcp socket change ca_state." << std::endl;
                Close();
                return;
            }
        }
    }
    int err = 0;
    len = sizeof(err);
    if (::getsockopt(mConnection.get(), SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    if (err == 0)
        return;
    if (verbose())
        std::cerr << ext::header(this) << "connection from " << peer_name() << " closed: " << std::strerror(err)
                  << std::endl;
    Close();
}

} // namespace Control
