#include "server/control/control_connector.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "runtime/ext.h"

namespace Control {

namespace {

const unsigned fast_retry_ms = 1000;
const unsigned connect_error_retry_ms = 20000;
const unsigned event_error_retry_ms = 15000;
const unsigned socket_error_retry_ms = 12000;
const unsigned reconnect_ms = 10000;

} // namespace

namespace {

// Nothing to open: the holder only keeps asking for the connection.
Device::Holder::Setup link_setup(const unsigned& ms)
{
    Device::Holder::Setup s(nullptr, 0, "");
    s.transient = true;
    s.retryMs = [&ms] { return ms; };
    return s;
}

} // namespace

ConnectorNet::ConnectorNet(const std::string& host, unsigned short port)
    : mPort(port), mHost(host), mSockets(this, &ConnectorNet::TryConnect),
      mLink([this](std::ostream& out) { PutHeader(out); }, link_setup(mOwedMs))
{
    mConnect.Bind("ConnectorNet::OnSocketEvent", &ConnectorNet::OnSocketEvent, this);
    mLink.attach(*this);
}

bool ConnectorNet::ImplActivate()
{
    mRetries = fast_retries;
    TryConnect();
    // False when the connector gave up at once (its socket cannot be made non-blocking).
    return state() != Service::State::Idle;
}

void ConnectorNet::ImplDeactivate()
{
    Release();
    mSocket.close();
    mOwed = false;
    mLink.close();
    mConnect.Release();
    mSockets.Stop();
}

void ConnectorNet::ImplOnDisconnect()
{
    Owe(reconnect_ms);
}

void ConnectorNet::Owe(unsigned ms)
{
    mOwed = true;
    mOwedMs = ms;
    mLink.changed();
}

bool ConnectorNet::untold(uint64_t)
{
    return mOwed;
}

void ConnectorNet::reconcile(Device::Tally&)
{
    if (mOwed)
        TryConnect();
}

void ConnectorNet::Retry(unsigned slow_ms)
{
    unsigned ms = slow_ms;
    if (mRetries > 0) {
        --mRetries;
        ms = fast_retry_ms;
    }
    Owe(ms);
}

void ConnectorNet::TryConnect()
{
    mOwed = false;
    // Out of descriptors the link waits for them: it is tried again.
    mSocket = mSockets.Make();
    if (!mSocket)
        return;
    if (!NonBlockMode(mSocket.get())) {
        std::cerr << ext::header(this) << "can't set socket to non block mode: " << std::strerror(errno)
                  << std::endl;
        Deactivate();
        return;
    }
    // Only a dotted quad is taken: a name would need a blocking look-up.
    mAddress.Reset();
    int err = EINVAL;
    if (mAddress.Assign(mHost + ":" + std::to_string(mPort), nullptr))
        err = ::connect(mSocket.get(), mAddress.sa(), INet4::Addr::size()) == 0 ? 0 : errno;
    if (err == 0) {
        std::clog << ext::header(this) << "already connected to " << mAddress.GetString() << std::endl;
        Succeeded();
        return;
    }
    if (err == EINPROGRESS) {
        if (!mSockets.Watch(mConnect, mSocket, POLLOUT))
            mSocket.close();
        return;
    }
    std::cerr << ext::header(this) << "can't connect to " << mHost << ":" << mPort << " : " << std::strerror(err)
              << std::endl;
    mSocket.close();
    Retry(connect_error_retry_ms);
}

void ConnectorNet::Succeeded()
{
    Fd sock = std::move(mSocket);
    if (Connected(sock, mAddress))
        return;
    std::cerr << ext::header(this) << "can't serve connection to " << mAddress.GetString() << ": "
              << std::strerror(errno) << std::endl;
    ImplOnDisconnect();
}

void ConnectorNet::OnSocketEvent(int, short revents)
{
    if (revents & (POLLERR | POLLHUP)) {
        std::cerr << ext::header(this) << "fail to connect to " << mAddress.GetString() << std::endl;
        mConnect.Release();
        mSocket.close();
        Retry(event_error_retry_ms);
        return;
    }
    if (!(revents & POLLOUT))
        return;
    mConnect.Release();
    int value = 0;
    socklen_t len = sizeof(value);
    if (::getsockopt(mSocket.get(), SOL_SOCKET, SO_ERROR, &value, &len) != 0) {
        std::cerr << ext::header(this) << "getsockopt(SOL_SOCKET,SO_ERROR) fail: " << std::strerror(errno)
                  << std::endl;
        Deactivate();
        return;
    }
    if (value == 0) {
        std::cout << ext::header(this) << "connected to " << mAddress.GetString() << "." << std::endl;
        Succeeded();
        return;
    }
    std::cerr << ext::header(this) << "fail to connect to " << mAddress.GetString() << std::endl;
    mSocket.close();
    Retry(socket_error_retry_ms);
}

} // namespace Control
