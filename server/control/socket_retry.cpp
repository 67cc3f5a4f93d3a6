#include "server/control/socket_retry.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <utility>

namespace Control {

namespace {

const char* const create_socket = "create socket";
const char* const accept_connection = "accept connection";

// Errors of a shortage, which the next try meets again until it is over.
bool short_of_resources(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

} // namespace

constexpr unsigned SocketRetry::make_retry_ms;
constexpr unsigned SocketRetry::accept_pause_ms;

SocketRetry::SocketRetry(std::function<void(std::ostream&)> header, std::function<void()> retry, bool verbose)
    : mHeader(std::move(header)), mRetry(std::move(retry)), mVerbose(verbose), mRuns(mHeader)
{
}

Fd SocketRetry::Make()
{
    Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
    if (sock) {
        // A run that its watch met goes on until a socket is watched.
        if (!mWatchFailing)
            mRuns.succeeded(create_socket);
        return sock;
    }
    NotMade(errno);
    return sock;
}

bool SocketRetry::Watch(Event& event, const Fd& sock, short events)
{
    mWatchFailing = !event.Schedule(sock, events);
    if (!mWatchFailing) {
        mRuns.succeeded(create_socket);
        return true;
    }
    NotMade(errno);
    return false;
}

void SocketRetry::NotMade(int err)
{
    Failed(create_socket, "can't create socket:", err);
    mTimer.set(make_retry_ms, &SocketRetry::Again, this);
    errno = err;
}

Fd SocketRetry::Accept(Event& listen, INet4::Addr& peer)
{
    socklen_t len = INet4::Addr::size();
    Fd sock(::accept4(listen.fd.get(), peer.sa(), &len, SOCK_CLOEXEC));
    int err = errno;
    if (sock) {
        mRuns.succeeded(accept_connection);
    } else if (short_of_resources(err)) {
        Failed(accept_connection, "can't accept connection: ", err);
        // The waiting client keeps the listener readable: it stays in the
        // loop, its descriptor kept, but asks for nothing until the pause ends.
        if (!mPaused)
            mPausedEvents = listen.events;
        mPaused = &listen;
        listen.SetEvents(0);
        mTimer.set(accept_pause_ms, &SocketRetry::Resume, this);
    }
    errno = err;
    return sock;
}

void SocketRetry::Resume()
{
    mPaused->SetEvents(mPausedEvents);
    mPaused = nullptr;
}

void SocketRetry::Stop()
{
    mTimer.reset();
    if (mPaused)
        Resume();
    mWatchFailing = false;
    mRuns.end_all();
}

void SocketRetry::Failed(const char* what, const char* line, int err)
{
    if (!mVerbose || !mRuns.failed(what, err))
        return;
    mHeader(std::cerr);
    std::cerr << line << std::strerror(err) << std::endl;
}

} // namespace Control
