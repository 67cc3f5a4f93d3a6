#include "runtime/strm_protocol.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>

#include "runtime/ext.h"
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
    mStall.reset();
    give_back();
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
    if ((revents & POLLOUT) && queued() && !drain())
        return;
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
        mFlush.Activate();
        return enqueue(pos, end);
    }
    // Behind bytes that wait, a message waits too: the stream keeps the
    // order of messages, and the socket says when it takes more.
    if (queued())
        return enqueue(pos, end);
    const uint8_t* start = pos;
    write_measure.begin();
    bool alive = write_some(pos, end);
    write_measure.end();
    if (!alive || !enqueue(pos, end))
        return false;
    waiting(pos != start);
    return true;
}

void StrmProtocol::on_flush()
{
    mFlush.Deactivate();
    drain();
}

bool StrmProtocol::write_some(const uint8_t*& pos, const uint8_t* end)
{
    while (pos < end) {
        // Non-blocking whatever the descriptor's mode: nothing waits here.
        ssize_t n = ::send(mFd.get(), pos, static_cast<size_t>(end - pos), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) {
            pos += n;
            continue;
        }
        int err = errno;
        if (err == EAGAIN || err == EWOULDBLOCK)
            return true;
        if (err != EINTR) {
            write_failed(err);
            return false;
        }
    }
    return true;
}

bool StrmProtocol::enqueue(const uint8_t* pos, const uint8_t* end)
{
    const size_t n = static_cast<size_t>(end - pos);
    if (n == 0)
        return true;
    if (queued() + n > mOutBound) {
        write_failed(0, "write queue over its bound", n);
        return false;
    }
    const bool full = mOut.size() + n > mOut.capacity();
    if (mOutHead && (full || mOutHead >= mOut.size() / 2)) {
        // What left is dropped from the front once it is half the queue,
        // so each byte is moved at most once on average, and before the
        // queue would grow: its memory stays within the bound.
        mOut.erase(mOut.begin(), mOut.begin() + static_cast<std::ptrdiff_t>(mOutHead));
        mOutHead = 0;
    }
    if (mOut.size() + n > mOut.capacity())
        mOut.reserve(std::min(mOutBound, std::max(2 * mOut.capacity(), mOut.size() + n)));
    mOut.insert(mOut.end(), pos, end);
    mHeldMost = std::max(mHeldMost, held());
    return true;
}

bool StrmProtocol::send_queue(bool& took)
{
    const uint8_t* start = mOut.data() + mOutHead;
    const uint8_t* pos = start;
    write_measure.begin();
    bool alive = write_some(pos, mOut.data() + mOut.size());
    write_measure.end();
    if (!alive)
        return false;
    mOutHead += static_cast<size_t>(pos - start);
    took = pos != start;
    return true;
}

bool StrmProtocol::drain()
{
    bool took = false;
    if (!send_queue(took))
        return false;
    waiting(took);
    return true;
}

void StrmProtocol::waiting(bool progressed)
{
    if (!queued()) {
        // A small queue is kept for the next pass's messages; a large one
        // goes back.
        if (mOut.capacity() > kept_bytes) {
            give_back();
        } else {
            mOut.clear();
            mOutHead = 0;
        }
        mStall.reset();
        mRead.SetEvents(POLLIN);
        return;
    }
    if (progressed || !mStall.pending()) {
        mUnsent = unsent();
        mStall.set(write_budget_ms, &StrmProtocol::on_stall, this);
    }
    mRead.SetEvents(POLLIN | POLLOUT);
}

void StrmProtocol::give_back()
{
    mHeldMost = std::max(mHeldMost, held());
    std::vector<uint8_t>().swap(mOut);
    mOutHead = 0;
}

int StrmProtocol::unsent() const
{
    int outq = outq_space();
    if (outq < 0 || !mOutqReportsFree)
        return outq;
    int sendbuf = sendbuf_space();
    return sendbuf < 0 ? -1 : sendbuf - outq;
}

// A peer that reads slowly may free room that poll does not report yet
// (TCP says so only once half the buffer is free), and what it reads out
// of the socket shows only in what the socket still holds: both count as
// taken before the peer is dropped.
void StrmProtocol::on_stall(Timer*)
{
    bool took = false;
    if (!send_queue(took))
        return;
    if (!took && (mUnsent < 0 || unsent() >= mUnsent)) {
        write_failed(0);
        return;
    }
    waiting(true);
}

void StrmProtocol::write_failed(int err, const char* what, size_t more)
{
    std::cerr << ext::header(this) << (err ? "write error" : what);
    put_figures(std::cerr);
    if (err)
        std::cerr << ", error=" << std::strerror(err);
    else
        std::cerr << ", queued=" << queued() + more << ", bound=" << mOutBound;
    std::cerr << std::endl;
    ++overflow;
    on_error(err ? std::string("write error: ") + std::strerror(err) : std::string(what));
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
