// The heartbeat service: answers the controller's ping and drops a
// controller that has sent no command for two minutes. The two minutes
// run from the connect on, so that a peer that connects and stays silent
// cannot keep the one controller place from the real controller.
#pragma once

#include <iosfwd>

#include "runtime/timer.h"
#include "server/control/ctrl_server.h"

class HeartBeatCtl : public CtrlSrv::Service {
public:
    static constexpr unsigned timeout_ms = 120000;

    static HeartBeatCtl& instance();
    ~HeartBeatCtl() override = default;

    void OnConnect() override { ResetTimeOut(); }
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
