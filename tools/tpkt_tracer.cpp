#include "tools/tpkt_tracer.h"

#include <cerrno>
#include <iostream>
#include <memory>

using TpktLink::SendFrame;

// ------------------------------------------------------------- TPKTTracer

TPKTTracer::~TPKTTracer()
{
    mConnections.clear();
    mListener.Release();
}

bool TPKTTracer::Listen(unsigned short port)
{
    return TpktLink::Listen(mListener, port, "TPKTTracer::OnEvent", &TPKTTracer::OnEvent, this);
}

void TPKTTracer::OnEvent(int fd, short revents)
{
    if (!(revents & POLLIN))
        return;
    INet4::Addr peer;
    for (Fd s; (s = TpktLink::AcceptPeer(fd, peer, "ACP connection open from "));) {
        auto c = std::make_unique<Connection>(this);
        // A peer the loop cannot watch is closed (with s) and never kept.
        if (c->Watch(s, "TPKTTracer::OnDataEvent", &TPKTTracer::OnDataEvent, this))
            mConnections.push_back(std::move(c));
        else
            TpktLink::Unwatched(peer);
    }
}

void TPKTTracer::OnDataEvent(int fd, short revents)
{
    Connections::iterator pos = FindConnection(fd);
    if (pos == mConnections.end())
        return;
    mCurrent = pos;
    if ((*pos)->Read(revents) == Connection::close)
        CloseConnection(pos);
    mCurrent = mConnections.end();
    mClosed.reset();
}

bool TPKTTracer::Deliver(const void* payload, unsigned length)
{
    mDelivering = mCurrent->get();
    if (receiver)
        receiver->OnFrame(payload, length);
    mDelivering = nullptr;
    return mCurrent != mConnections.end();
}

TPKTTracer::Connections::iterator TPKTTracer::FindConnection(int fd)
{
    return TpktLink::FindBySocket(mConnections, fd);
}

void TPKTTracer::CloseConnection(Connections::iterator pos)
{
    if (pos == mCurrent)
        mCurrent = mConnections.end();
    std::unique_ptr<Connection> gone = std::move(*pos);
    mConnections.erase(pos);
    if (gone.get() == mDelivering) {
        // The receiver still reads the payload in its buffer.
        gone->event.Release();
        mClosed = std::move(gone);
    }
}

bool TPKTTracer::SendTo(Connections::iterator pos, const void* data, unsigned size)
{
    if (SendFrame((*pos)->event.fd.get(), data, size) == static_cast<ssize_t>(size + TpktLink::header_size))
        return true;
    CloseConnection(pos);
    return false;
}

void TPKTTracer::Send(const void* data, unsigned size)
{
    if (size > TpktLink::max_payload)
        return;
    if (mDelivering) {
        if (mCurrent != mConnections.end())
            SendTo(mCurrent, data, size);
        return;
    }
    for (auto it = mConnections.begin(); it != mConnections.end();) {
        auto next = std::next(it);
        SendTo(it, data, size);
        it = next;
    }
}

// ---------------------------------------------------------- TPKTTracerP2P

TPKTTracerP2P::~TPKTTracerP2P()
{
    mConnections.clear();
    mListener.Release();
}

bool TPKTTracerP2P::Listen(unsigned short port)
{
    if (!TpktLink::Listen(mListener, port, "TPKTTracerP2P::OnEvent", &TPKTTracerP2P::OnEvent, this))
        return false;
    mPort = port;
    return true;
}

void TPKTTracerP2P::OnEvent(int fd, short revents)
{
    if (!(revents & POLLIN))
        return;
    INet4::Addr peer;
    for (Fd s; (s = TpktLink::AcceptPeer(fd, peer, "TPKT peer-to-peer connection open from "));) {
        auto c = std::make_unique<Connection>(this, peer);
        // A peer the loop cannot watch is closed (with s) and never reported.
        if (!c->Watch(s, "TPKTTracerP2P::OnDataEvent", &TPKTTracerP2P::OnDataEvent, this)) {
            TpktLink::Unwatched(peer);
            continue;
        }
        mConnections.push_back(std::move(c));
        if (receiver)
            receiver->OnConnected(peer, mConnections.back()->event.fd.get());
    }
}

void TPKTTracerP2P::OnDataEvent(int fd, short revents)
{
    Connections::iterator pos = FindConnection(fd);
    if (pos == mConnections.end())
        return;
    if ((*pos)->Read(revents) == Connection::close)
        CloseConnection(pos);
    mClosed.reset();
}

bool TPKTTracerP2P::Deliver(Connection* from, const void* payload, unsigned length)
{
    mServing = from;
    if (receiver)
        receiver->OnFrame(from->peer, payload, length);
    bool open = mServing != nullptr;
    mServing = nullptr;
    return open;
}

TPKTTracerP2P::Connections::iterator TPKTTracerP2P::FindConnection(int fd)
{
    return TpktLink::FindBySocket(mConnections, fd);
}

TPKTTracerP2P::Connections::iterator TPKTTracerP2P::FindConnection(const INet4::Addr& peer)
{
    for (auto it = mConnections.begin(); it != mConnections.end(); ++it)
        if ((*it)->peer.IsEqual(peer))
            return it;
    return mConnections.end();
}

void TPKTTracerP2P::CloseConnection(Connections::iterator pos)
{
    // Out of the list before the receiver hears of it, so that nothing it
    // does meanwhile finds the connection again.
    std::unique_ptr<Connection> gone = std::move(*pos);
    mConnections.erase(pos);
    if (receiver)
        receiver->OnClosed(gone->peer);
    std::clog << "TPKT peer-to-peer connection close for ";
    gone->peer.Put(std::clog);
    std::clog << std::endl;
    if (gone.get() == mServing) {
        // The receiver's callback still holds a reference to its peer.
        mServing = nullptr;
        gone->event.Release();
        mClosed = std::move(gone);
    }
}

int TPKTTracerP2P::Send(const INet4::Addr& peer, const void* data, unsigned size)
{
    Connections::iterator pos = FindConnection(peer);
    if (pos == mConnections.end())
        return -EFAULT;
    ssize_t n = SendFrame((*pos)->event.fd.get(), data, size);
    if (n == -EMSGSIZE)
        return -EMSGSIZE;
    if (n != static_cast<ssize_t>(size + TpktLink::header_size))
        CloseConnection(pos);
    return static_cast<int>(n);
}

int TPKTTracerP2P::Close(const INet4::Addr& peer)
{
    Connections::iterator pos = FindConnection(peer);
    if (pos == mConnections.end())
        return -EFAULT;
    CloseConnection(pos);
    return 0;
}

bool TPKTTracerP2P::IsConnected(const INet4::Addr& peer)
{
    return FindConnection(peer) != mConnections.end();
}
