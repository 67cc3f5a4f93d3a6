// The listening side of a control channel: one client at a time, and the
// controller link's flavour that watches its connection every second.
#pragma once

#include <cstdint>

#include "server/control/control_service.h"
#include "server/control/socket_retry.h"

namespace Control {

class AcceptorNet : public ServiceNet {
public:
    AcceptorNet() : AcceptorNet(0) {}
    explicit AcceptorNet(int port) : AcceptorNet(port, true) {}
    AcceptorNet(int port, bool verbose);

    // The listen event's handler.
    void OnSocketEvent(int fd, short revents);

protected:
    bool ImplActivate() override;
    void ImplDeactivate() override;
    void ImplOnDisconnect() override {}
    virtual void ImplRefuseConnection() {}
    // Runs before the connection is served; false, with errno, when the
    // connection cannot be kept.
    virtual bool ImplConnected(const Fd&) { return true; }

private:
    void BindSocket();
    void Serve(const Fd& sock, const INet4::Addr& peer);

    uint16_t mPort;
    Fd mSocket;
    Timer mRetry; // the bind retry
    Event mListen;
    SocketRetry mSockets;
};

// The controller's acceptor: a second client makes it probe the current
// one fast, and a connection that TCP gives up on is dropped.
class AcceptorNetCheckConnection : public AcceptorNet {
public:
    struct CheckState {
        enum Type { Idle = 0, CheckConnection = 1 };
    };

    AcceptorNetCheckConnection() : AcceptorNetCheckConnection(0) {}
    explicit AcceptorNetCheckConnection(int port) : AcceptorNetCheckConnection(port, true) {}
    AcceptorNetCheckConnection(int port, bool verbose) : AcceptorNet(port, verbose) {}

    // Runs every 1000 ms from activation on.
    void CheckConnection();
    CheckState::Type check_state() const { return mCheckState; }

protected:
    bool ImplActivate() override;
    void ImplDeactivate() override;
    void ImplOnDisconnect() override;
    void ImplRefuseConnection() override;
    bool ImplConnected(const Fd& fd) override;

private:
    void Probe();
    void SetupKeepAlive(bool fast);
    // Drops the connection after a failed check.
    void Close();
    void SetCheckState(CheckState::Type s);

    Timer mCheck;
    Fd mConnection;
    CheckState::Type mCheckState = CheckState::Idle;
    int mProbes = 0;
};

} // namespace Control
