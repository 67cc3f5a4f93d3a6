// The heartbeat service: answers the controller's ping and drops a
// controller that has sent no command for two minutes.
#pragma once

#include <iosfwd>

#include "runtime/timer.h"
#include "server/control/ctrl_server.h"

class HeartBeatCtl : public CtrlSrv::Service {
public:
    static constexpr unsigned timeout_ms = 120000;

    static HeartBeatCtl& instance();
    ~HeartBeatCtl() override = default;

    void OnConnect() override {}
    void OnDisconnect() override { mTimeout.reset(); }
    // Sees every command first: each one restarts the time-out.
    bool OnCommand(const LGCP::Command& cmd) override;

    void ResetTimeOut();
    void OnHeartbeatTimeout(Timer*);
    bool armed() const { return mTimeout.pending(); }
    void PutHeader(std::ostream& out) const;

private:
    HeartBeatCtl() = default;

    Timer mTimeout;
};
