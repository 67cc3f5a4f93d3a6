#include "server/control/heartbeat.h"

#include <iostream>

#include "runtime/ext.h"

HeartBeatCtl& HeartBeatCtl::instance()
{
    static HeartBeatCtl heartbeat;
    return heartbeat;
}

void HeartBeatCtl::PutHeader(std::ostream& out) const
{
    out << "HeartBeatCtl: ";
}

bool HeartBeatCtl::OnCommand(const LGCP::Command& cmd)
{
    ResetTimeOut();
    if (!cmd.is_ping())
        return false;
    Success();
    return true;
}

void HeartBeatCtl::ResetTimeOut()
{
    mTimeout.set(timeout_ms, &HeartBeatCtl::OnHeartbeatTimeout, this);
}

void HeartBeatCtl::OnHeartbeatTimeout(Timer*)
{
    std::clog << ext::header(this) << "heartbeat timeout!!!" << std::endl;
    // The server this service is bound to: the process's ctrlServer.
    if (server)
        server->OnHeartbeatTimeout();
}
