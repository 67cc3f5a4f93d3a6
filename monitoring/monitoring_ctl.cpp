#include "monitoring/monitoring_ctl.h"

#include <ostream>

#include "runtime/ini_file.h"

MonitoringCtl* MonitoringCtl::instance()
{
    static MonitoringCtl monitoring;
    return &monitoring;
}

void MonitoringCtl::Configure(IniFile::File& file)
{
    mAgents = file["snmpagent"].SubSectionCount();
}

bool MonitoringCtl::OnCommand(const LGCP::Command& cmd)
{
    if (!cmd.is_display())
        return false;
    Success();
    return true;
}

void MonitoringCtl::PutHeader(std::ostream& out) const
{
    out << "MonitoringCtl: ";
}
