// The monitoring service: a control service that takes the controller's
// display command. It is configured from the configuration file at start;
// this build samples no board state and makes no SNMP agent links yet, so
// the configuration is read and kept for them, and the controller's comings
// and goings change nothing.
#pragma once

#include <iosfwd>

#include "server/control/ctrl_server.h"

namespace IniFile {
class File;
} // namespace IniFile

class MonitoringCtl : public CtrlSrv::Service {
public:
    // The service of the process, built on first use.
    static MonitoringCtl* instance();

    MonitoringCtl() = default;
    ~MonitoringCtl() override = default;
    MonitoringCtl(const MonitoringCtl&) = delete;
    MonitoringCtl& operator=(const MonitoringCtl&) = delete;

    // Takes the "snmpagent" blocks of the file (none when it did not open).
    void Configure(IniFile::File& file);

    void OnConnect() override {}
    void OnDisconnect() override {}
    // Takes display only, answered with success.
    bool OnCommand(const LGCP::Command& cmd) override;

    // The number of "snmpagent" blocks configured.
    int agents() const { return mAgents; }
    void PutHeader(std::ostream& out) const;

private:
    int mAgents = 0;
};
