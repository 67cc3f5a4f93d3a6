// A message channel over one TCP connection, framed by TPKT (RFC 1006):
// the controller link and the outgoing agent links both ride on it.
//
// The channel is a protocol family of a stream layer with a TPKT layer on
// top. Its user, a Control::Notify, hears of connects, of disconnects (always
// from a DPC, after the stack has unwound) and of every received payload.
#pragma once

#include <iosfwd>
#include <string>

#include "board/failure_runs.h"
#include "runtime/fd.h"
#include "runtime/inet4_addr.h"
#include "runtime/protocol.h"
#include "runtime/strm_protocol.h"
#include "runtime/timer.h"
#include "runtime/tpkt_protocol.h"

namespace Control {

class Notify {
public:
    virtual ~Notify() = default;
    virtual void OnConnect() = 0;
    virtual void OnDisconnect() = 0;
    // One received TPKT payload.
    virtual void OnMessage(const char* data, int length) = 0;
};

class Service : private ProtocolsFamily {
public:
    struct State {
        enum Type { Idle = 0, Connecting = 1, Deactivating = 2, Connected = 3 };
    };

    Service();
    ~Service() override;
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    void Bind(Notify* notify) { mNotify = notify; }
    void UnBind() { mNotify = nullptr; }

    // The name in the stream layer's log lines.
    const std::string& service_name() const;
    void service_name(const std::string& name);
    // The channel's own buffers (frames read, messages sent) may come from
    // the pool's reserve: for the controller link only, whose answers must
    // get through however full the slots' queues are.
    void UseReserve(bool on);

    bool Activate();
    // Stops listening or connecting; a served connection is left alone.
    void Deactivate();
    // Takes the connection down; the user hears of it on the next pass.
    void Disconnect();
    // One frame to the peer, only while Connected.
    void Send(const char* data, int length);
    void Release();

    State::Type state() const { return mState; }
    // The peer address text of the current (or last) connection.
    const std::string& peer_name() const { return mName; }
    bool verbose() const { return mVerbose; }
    void PutHeader(std::ostream& out) const;

protected:
    explicit Service(bool verbose);

    virtual bool ImplActivate() = 0;
    virtual void ImplDeactivate() = 0;
    virtual void ImplOnDisconnect() = 0;

    // The connection to the peer called name is up on fd: the stack takes
    // a duplicate of it and the user is told. False, with errno and
    // nothing changed, when the stack could not take the connection.
    bool SetConnected(const Fd& fd, const std::string& name);

private:
    void on_message(Packet& p) override;
    void on_activated(Protocol*) override {}
    void on_deactivated(Protocol* p, Protocol_status s) override;
    void OnDeactivateDPC();

    std::string mName;
    bool mVerbose = true;
    State::Type mState = State::Idle;
    Notify* mNotify = nullptr;
    StrmProtocol* mStream = nullptr;
    Tpkt_protocol* mTpkt = nullptr;
    bool mUseReserve = false;
    // SetConnected is bringing the stack up: a failure then is its own.
    bool mStarting = false;
    // Sends dropped while not connected.
    Device::FailureRuns mDropped;
    Dpc mDisconnectDpc;
};

const char* GetTextNotation(Service::State::Type state);

// A channel over TCP: socket options and the peer's address.
class ServiceNet : public Service {
public:
    const INet4::Addr& peer() const { return mPeer; }

protected:
    ServiceNet() = default;
    explicit ServiceNet(bool verbose) : Service(verbose) {}

    // A TCP connection is up; ignored while the last one is still unwinding.
    // False, with errno, when it cannot be served.
    bool Connected(const Fd& fd, const INet4::Addr& peer);

private:
    INet4::Addr mPeer;
};

} // namespace Control
