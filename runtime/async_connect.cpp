#include "runtime/async_connect.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "runtime/inet4_addr.h"

namespace ASync {

Connect::Connect()
{
    // Bound once: the handler stays valid while a completion handler
    // restarts the attempt from inside it.
    mEvent.Bind("Connect::OnSocketEvent", &Connect::OnSocketEvent, this);
}

Connect::~Connect()
{
    delete mHandler;
}

void Connect::Bind(Handler* handler)
{
    if (handler != mHandler) {
        delete mHandler;
        mHandler = handler;
    }
}

void Connect::UnBind()
{
    delete mHandler;
    mHandler = nullptr;
}

void Connect::Start(const std::string& address, unsigned timeout)
{
    mStatus = Status::Running;
    mEvent.Release();
    mTimer.reset();
    mSocket.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (!mSocket || !mSocket.NonBlock()) {
        Complete(Status::Failed);
        return;
    }
    // A text that does not parse must not fall back to 0.0.0.0, which
    // Linux takes for the local host.
    INet4::Addr addr;
    int port = -1;
    if (!addr.Assign(address, &port) || port <= 0) {
        Complete(Status::Failed);
        return;
    }
    if (::connect(mSocket.get(), addr.sa(), INet4::Addr::size()) == 0) {
        Complete(Status::Connected);
        return;
    }
    if (errno != EINPROGRESS) {
        Complete(Status::Failed);
        return;
    }
    mEvent.Schedule(mSocket, POLLOUT);
    mTimer.set(timeout, &Connect::OnTimeOut, this);
}

void Connect::Stop()
{
    Complete(Status::Stopped);
}

void Connect::OnSocketEvent(int fd, short revents)
{
    if (revents & (POLLERR | POLLHUP | POLLNVAL)) {
        Complete(Status::Failed);
    } else if (revents & POLLOUT) {
        int error = 0;
        socklen_t len = sizeof(error);
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
            Complete(Status::Failed);
        else
            Complete(Status::Connected);
    }
}

void Connect::OnTimeOut(Timer*)
{
    Complete(Status::Failed);
}

void Connect::Complete(Status::Type status)
{
    if (mStatus != Status::Running)
        return;
    mStatus = status;
    Fd connected;
    if (status == Status::Connected)
        connected = std::move(mSocket);
    mSocket.reset();
    mEvent.Release();
    mTimer.reset();
    // Last action: the handler may restart the attempt or destroy the owner.
    if (mHandler)
        mHandler->Invoke(status, std::move(connected));
}

} // namespace ASync
