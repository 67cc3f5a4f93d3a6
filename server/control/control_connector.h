// The connecting side of a control channel: connects out to host:port and
// keeps trying, fast at first and then slowly, after failures and losses.
#pragma once

#include <cstdint>
#include <string>

#include "holder/device_holder.h"
#include "server/control/control_service.h"
#include "server/control/socket_retry.h"

namespace Control {

// A connection is owed while the link is active and has none: it is asked
// through the reconcile holder, whose retry tells it again, fast at first
// and then slowly.
class ConnectorNet : public ServiceNet, private Device::Holder::State {
public:
    // Fast retries after activation before the slow ones take over.
    static constexpr int fast_retries = 7;

    ConnectorNet(const std::string& host, unsigned short port);

    // The connect event's handler.
    void OnSocketEvent(int fd, short revents);

protected:
    bool ImplActivate() override;
    void ImplDeactivate() override;
    void ImplOnDisconnect() override;

    // An attempt is waiting for the connect event.
    bool connecting() const { return static_cast<bool>(mSocket); }

private:
    void TryConnect();
    void Succeeded();
    // The next attempt: fast while retries last, else after slow_ms.
    void Retry(unsigned slow_ms);
    // The connection is owed, asked again after ms.
    void Owe(unsigned ms);
    // Holder::State: the owed connection.
    bool untold(uint64_t present) override;
    void reconcile(Device::Tally& made) override;

    uint16_t mPort;
    std::string mHost;
    Fd mSocket;
    Event mConnect;
    int mRetries = 0;
    INet4::Addr mAddress;
    SocketRetry mSockets;
    // A connection is owed, asked again after mOwedMs.
    bool mOwed = false;
    unsigned mOwedMs = 0;
    // Last: its retry goes first.
    Device::Holder mLink;
};

} // namespace Control
