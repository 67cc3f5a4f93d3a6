// The connecting side of a control channel: connects out to host:port and
// keeps trying, fast at first and then slowly, after failures and losses.
#pragma once

#include <cstdint>
#include <string>

#include "server/control/control_service.h"
#include "server/control/socket_retry.h"

namespace Control {

class ConnectorNet : public ServiceNet {
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

    uint16_t mPort;
    std::string mHost;
    Fd mSocket;
    Timer mRetry;
    Event mConnect;
    int mRetries = 0;
    INet4::Addr mAddress;
    SocketRetry mSockets;
};

} // namespace Control
