#include "runtime/strm_protocol.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>

#include "runtime/ext.h"
#include "runtime/mux_time.h"
#include "runtime/packet_quota.h"

StrmProtocol::StrmProtocol()
{
    init();
}

StrmProtocol::StrmProtocol(Fd fd)
{
    init();
    attach(std::move(fd));
}

StrmProtocol::~StrmProtocol()
{
    release();
}

void StrmProtocol::init()
{
    mRead.Bind("StrmProtocol::on_event", &StrmProtocol::on_event, this);
    mFlush.Bind(this, &StrmProtocol::on_flush);
}

void StrmProtocol::attach(Fd fd)
{
    release();
    mFd = std::move(fd);
    // A fresh socket has nothing queued: a positive TIOCOUTQ means this
    // system reports the free room instead.
    int q = 0;
    mOutqReportsFree = mFd && ::ioctl(mFd.get(), TIOCOUTQ, &q) == 0 && q > 0;
}

void StrmProtocol::release()
{
    if (!mFd)
        return;
    mFlush.Deactivate();
    mOut.clear();
    mRead.Release();
    mFd.close();
}

void StrmProtocol::local_activate()
{
    if (!mFd) {
        on_deactivate(new Protocol_status_error(this, "fd not attached"));
        return;
    }
    if (!mRead.Schedule(mFd, POLLIN)) {
        // Whoever activated the stack may report why it went down at once.
        int err = errno;
        on_error(std::string("fd not watched: ") + std::strerror(err));
        errno = err;
        return;
    }
    on_activate();
}

void StrmProtocol::local_deactivate()
{
    release();
    on_deactivate(new Protocol_status_success(this, "success"));
}

void StrmProtocol::on_error(const std::string& text)
{
    release();
    on_deactivate(new Protocol_status_error(this, text));
}

void StrmProtocol::on_event(int, short revents)
{
    if (revents & POLLERR) {
        on_error(std::string("pollerr: ") + std::strerror(errno));
        return;
    }
    // Data before the hang-up: a closing peer's last bytes are still read,
    // and its end of stream then shows as a read of 0.
    if ((revents & POLLIN) && do_read())
        return;
    if (revents & POLLHUP)
        on_error(std::string("pollhup: ") + std::strerror(errno));
}

bool StrmProtocol::do_read()
{
    Packet p;
    try {
        PacketQuota::ReserveAccess access(mUseReserve);
        p.reserve_head(0);
    } catch (const std::bad_alloc&) {
        // The bytes stay in the socket for a later pass; dropping them
        // would cut the stream in the middle of a frame.
        if (nobuf++ == 0)
            std::cerr << ext::header(this) << "packet pool empty, read deferred" << std::endl;
        return true;
    }
    if (nobuf) {
        std::clog << ext::header(this) << "packet pool available again after " << nobuf << " deferred reads"
                  << std::endl;
        nobuf = 0;
    }

    read_measure.begin();
    ssize_t n = ::recv(mFd.get(), p->data, packet_max_size, MSG_DONTWAIT | MSG_NOSIGNAL);
    int err = errno;
    read_measure.end();
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR))
        return false;
    if (n <= 0) {
        on_error(std::string("read error: ") + std::strerror(err));
        return true;
    }
    p->tail += n;
    p.check("put");
    on_message(p);
    return true;
}

bool StrmProtocol::message(Packet& p)
{
    p.passert(!p.null(), "null packet");
    if (!mFd)
        return false;
    const uint8_t* pos = p.get()->data;
    const uint8_t* end = p.get()->tail;
    if (mGather && multiplexer.servicing()) {
        if (mOut.empty())
            mFlush.Activate();
        mOut.insert(mOut.end(), pos, end);
        return true;
    }
    // What was gathered goes first: the stream keeps the order of messages.
    return flush() && write_out(pos, end);
}

void StrmProtocol::on_flush()
{
    mFlush.Deactivate();
    flush();
}

bool StrmProtocol::flush()
{
    if (mOut.empty())
        return true;
    bool ok = write_out(mOut.data(), mOut.data() + mOut.size());
    mOut.clear();
    return ok;
}

bool StrmProtocol::write_out(const uint8_t* pos, const uint8_t* end)
{
    write_measure.begin();
    uint32_t t0 = Mux::milliseconds();
    while (pos < end) {
        // Non-blocking whatever the descriptor's mode, so the budget holds.
        ssize_t n = ::send(mFd.get(), pos, static_cast<size_t>(end - pos), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            pos += n;
            continue;
        }
        int err = errno;
        if (err == EINTR)
            continue;
        if (err != EAGAIN && err != EWOULDBLOCK) {
            write_failed(err);
            return false;
        }
        int budget = write_budget_ms - static_cast<int32_t>(Mux::milliseconds() - t0);
        int r = 0;
        if (budget > 0) {
            multiplexer.resetWD();
            pollfd pfd = {mFd.get(), POLLOUT, 0};
            r = Mux::clock().poll(&pfd, 1, budget);
            err = errno;
            multiplexer.resetWD();
        }
        if (r == 1 || (r < 0 && err == EINTR))
            continue;
        write_failed(0);
        return false;
    }
    write_measure.end();
    return true;
}

// err 0: the budget ran out.
void StrmProtocol::write_failed(int err)
{
    write_measure.end();
    std::cerr << ext::header(this) << (err ? "write error" : "write timeout");
    put_figures(std::cerr);
    if (err)
        std::cerr << ", error=" << std::strerror(err);
    std::cerr << std::endl;
    ++overflow;
    on_error(err ? std::string("write error: ") + std::strerror(err) : std::string("write timeout"));
}

void StrmProtocol::put_figures(std::ostream& out) const
{
    out << ", sendbuf=" << sendbuf_space() << ", recvbuf=" << recvbuf_space() << ", free=" << free_space()
        << ", inq=" << inq_space() << ", outq=" << outq_space();
}

namespace {
int sockopt(int fd, int option)
{
    int v = 0;
    socklen_t len = sizeof(v);
    if (::getsockopt(fd, SOL_SOCKET, option, &v, &len) != 0)
        return -1;
    return v;
}

int ioctl_int(int fd, unsigned long request)
{
    int v = 0;
    if (::ioctl(fd, request, &v) != 0)
        return -1;
    return v;
}
} // namespace

int StrmProtocol::sendbuf_space() const
{
    return sockopt(mFd.get(), SO_SNDBUF);
}

int StrmProtocol::recvbuf_space() const
{
    return sockopt(mFd.get(), SO_RCVBUF);
}

int StrmProtocol::inq_space() const
{
    return ioctl_int(mFd.get(), FIONREAD);
}

int StrmProtocol::outq_space() const
{
    return ioctl_int(mFd.get(), TIOCOUTQ);
}

int StrmProtocol::free_space() const
{
    int outq = outq_space();
    return mOutqReportsFree ? outq : sendbuf_space() - outq;
}

void StrmProtocol::PutHeader(std::ostream& out) const
{
    out << "SockStream[" << service_name << "]: ";
}
