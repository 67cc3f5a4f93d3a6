// TCP servers that exchange TPKT-framed messages with any number of peers on
// a port of their user's choice, inside the loop.
//
// TPKTTracer hands the frames of every peer to one receiver; what it sends
// goes to the peer being served (from inside the receiver's callback) or to
// every peer. TPKTTracerP2P addresses each peer by its address.
//
// What a receiver's callback is handed (the payload, the peer's address)
// stays valid until the callback returns: a connection closed meanwhile
// (by the receiver, or by a send to it that failed) is out of the list and
// its socket closed at once, but freed only after the callback.
#pragma once

#include <list>
#include <memory>

#include "runtime/inet4_addr.h"
#include "runtime/multiplexer.h"
#include "tools/tpkt_link.h"

class TPKTTracer {
public:
    class Receiver {
    public:
        virtual ~Receiver() = default;
        virtual void OnFrame(const void* payload, unsigned length) = 0;
    };

    class Connection;
    typedef std::list<std::unique_ptr<Connection>> Connections;

    static const unsigned buffer_size = 512;

    TPKTTracer() = default;
    ~TPKTTracer();
    TPKTTracer(const TPKTTracer&) = delete;
    TPKTTracer& operator=(const TPKTTracer&) = delete;

    // False when the port cannot be listened on.
    bool Listen(unsigned short port);
    // Sends nothing for a payload that a frame cannot hold. A peer that
    // does not take the whole frame at once is closed. Inside the callback
    // it reaches the peer being served only, and nobody once that is closed.
    void Send(const void* data, unsigned size);

    void OnEvent(int fd, short revents);
    void OnDataEvent(int fd, short revents);
    Connections::iterator FindConnection(int fd);
    void CloseConnection(Connections::iterator pos);

    // The peer being served, connections().end() outside the callback.
    Connections::iterator current() { return mCurrent; }
    const Connections& connections() const { return mConnections; }

    // Not owned; set by the user.
    Receiver* receiver = nullptr;

private:
    friend class Connection;
    bool Deliver(const void* payload, unsigned length);
    // Sends to one peer; closes it on failure. False when it was closed.
    bool SendTo(Connections::iterator pos, const void* data, unsigned size);

    Event mListener;
    Connections mConnections;
    Connections::iterator mCurrent = mConnections.end();
    // The connection whose frame the receiver has, while it has it.
    Connection* mDelivering = nullptr;
    // That connection, closed during the callback: freed after it.
    std::unique_ptr<Connection> mClosed;
};

class TPKTTracerP2P {
public:
    class Receiver {
    public:
        virtual ~Receiver() = default;
        virtual void OnConnected(const INet4::Addr& peer, int fd) = 0;
        virtual void OnClosed(const INet4::Addr& peer) = 0;
        virtual void OnFrame(const INet4::Addr& peer, const void* payload, unsigned length) = 0;
    };

    class Connection;
    typedef std::list<std::unique_ptr<Connection>> Connections;

    static const unsigned buffer_size = 2048;

    TPKTTracerP2P() = default;
    ~TPKTTracerP2P();
    TPKTTracerP2P(const TPKTTracerP2P&) = delete;
    TPKTTracerP2P& operator=(const TPKTTracerP2P&) = delete;

    bool Listen(unsigned short port);
    // The bytes sent; -EFAULT without a connection to peer, -EMSGSIZE for a
    // payload that a frame cannot hold, -errno when sending failed. A
    // failed or short send closes the connection.
    int Send(const INet4::Addr& peer, const void* data, unsigned size);
    // 0, or -EFAULT without a connection to peer.
    int Close(const INet4::Addr& peer);
    bool IsConnected(const INet4::Addr& peer);

    void OnEvent(int fd, short revents);
    void OnDataEvent(int fd, short revents);
    Connections::iterator FindConnection(int fd);
    Connections::iterator FindConnection(const INet4::Addr& peer);
    void CloseConnection(Connections::iterator pos);

    unsigned short port() const { return mPort; }

    // Not owned; set by the user.
    Receiver* receiver = nullptr;

private:
    friend class Connection;
    bool Deliver(Connection* from, const void* payload, unsigned length);

    Event mListener;
    Connections mConnections;
    unsigned short mPort = 0;
    // The connection whose frame is being delivered; cleared when the
    // receiver closes it meanwhile.
    Connection* mServing = nullptr;
    // That connection, closed during the callback: freed after it.
    std::unique_ptr<Connection> mClosed;
};

// A peer of each listener: the frame reader, delivering to its listener.
class TPKTTracer::Connection : public TpktLink::Connection {
public:
    explicit Connection(TPKTTracer* owner) : TpktLink::Connection(buffer_size), mOwner(owner) {}

protected:
    bool Deliver(const uint8_t* payload, unsigned length) override { return mOwner->Deliver(payload, length); }

private:
    TPKTTracer* mOwner;
};

class TPKTTracerP2P::Connection : public TpktLink::Connection {
public:
    Connection(TPKTTracerP2P* owner, const INet4::Addr& from)
        : TpktLink::Connection(buffer_size), peer(from), mOwner(owner)
    {
    }

    INet4::Addr peer;

protected:
    bool Deliver(const uint8_t* payload, unsigned length) override
    {
        return mOwner->Deliver(this, payload, length);
    }

private:
    TPKTTracerP2P* mOwner;
};
