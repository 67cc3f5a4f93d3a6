// The item feed of the monitoring service: the held values turned into
// monitoring items (type, table row, value text) for the SNMP agents.
#include <cstdint>
#include <cstdio>
#include <list>
#include <sstream>
#include <vector>

#include "monitoring/monitoring_ctl.h"
#include "runtime/paths.h"
#include "runtime/version.h"

namespace {

typedef SnmpAgentCtrl Items;

const char kDriverVersion[] = "/proc/voice/version";
const char kBlanks[] = " \t\n\r\f\v";

// Counters, states and numbers the agents read as unsigned 32-bit values.
std::string u32(long long value)
{
    return std::to_string(static_cast<uint32_t>(value));
}

std::string bytes(const std::vector<char>& octets)
{
    return std::string(octets.begin(), octets.end());
}

// "drv 3.2 build 17" gives "3.2 [build 17]", "drv 3.2 b" gives "3.2 [b]",
// fewer words "none".
std::string driverBuild(const std::string& line)
{
    std::vector<std::string> pieces;
    for (size_t at = line.find_first_not_of(' '); at != std::string::npos; at = line.find_first_not_of(' ', at)) {
        size_t end = line.find(' ', at);
        std::string piece = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
        size_t first = piece.find_first_not_of(kBlanks);
        if (first == std::string::npos)
            piece.clear();
        else
            piece = piece.substr(first, piece.find_last_not_of(kBlanks) + 1 - first);
        pieces.push_back(piece);
        at = end;
    }
    if (pieces.size() >= 4)
        return pieces[1] + " [" + pieces[2] + " " + pieces[3] + "]";
    if (pieces.size() == 3)
        return pieces[1] + " [" + pieces[2] + "]";
    return "none";
}

} // namespace

void MonitoringCtl::sendSnmpDriverBuild()
{
    FILE* f = std::fopen(Paths::resolve(kDriverVersion).c_str(), "r");
    if (!f)
        return;
    char line[128] = {};
    if (std::fgets(line, 127, f))
        mAgents.Send(Items::driverBuild, driverBuild(line));
    std::fclose(f);
}

void MonitoringCtl::sendSnmpSoftwareBuild()
{
    std::ostringstream tag;
    Version::current.put(tag);
    mAgents.Send(Items::softwareBuild, tag.str());
}

void MonitoringCtl::sendSnmpPowerStatus()
{
    mAgents.Send(Items::powerStatus, u32(mHolder.powerStatus.getValue()));
}

void MonitoringCtl::sendSnmpControllerStatus()
{
    mAgents.Send(Items::controllerStatus, u32(mHolder.ownControllerStatus.getValue()));
}

void MonitoringCtl::sendSnmpGatewayDip()
{
    mAgents.Send(Items::gatewayDip, u32(mHolder.dipValue));
}

void MonitoringCtl::sendSnmpGatewayConfigVersion()
{
    mAgents.Send(Items::gatewayConfigVersion, u32(static_cast<long long>(mHolder.configFirst)));
}

void MonitoringCtl::sendSnmpTemperature()
{
    mAgents.Send(Items::temperature, mHolder.temperature);
}

void MonitoringCtl::sendSnmpStatusBuildVersion()
{
    mAgents.Send(Items::sgBuildVersion, mHolder.buildVersion);
}

void MonitoringCtl::sendSnmpStatusFPGAVersion()
{
    mAgents.Send(Items::sgFPGAVersion, mHolder.fpgaVersion);
}

void MonitoringCtl::sendSnmpStatusBootVersion()
{
    mAgents.Send(Items::sgBootVersion, mHolder.bootVersion);
}

void MonitoringCtl::sendSnmpStatusBoardVersion()
{
    mAgents.Send(Items::sgBoardVersion, mHolder.boardVersion);
}

void MonitoringCtl::sendSnmpBoardStatus(const LGCP::BoardStatusParams& board)
{
    int row = board.get_position().getValue();
    mAgents.Send(Items::extBoardStatus, row, std::to_string(board.get_status().getValue()));
    mAgents.Send(Items::extBoardSoftVer, row, bytes(board.get_version()));
    mAgents.Send(Items::extBoardType, row, std::to_string(board.get_type().getValue()));
}

void MonitoringCtl::sendSnmpBoardStatuses()
{
    for (const LGCP::BoardStatusParams& board : mHolder.boards)
        sendSnmpBoardStatus(board);
}

bool MonitoringCtl::emPhoneRow(const LGCP::EmPhoneStatusParams& phone, int& row)
{
    // Rows count from 1 and travel as 32-bit indexes: id 0 is row 1.
    long long id = phone.get_id().getValue();
    if (id < 0 || id >= INT32_MAX)
        return false;
    row = static_cast<int>(id + 1);
    return true;
}

bool MonitoringCtl::reachesAgents(const LGCP::DisplayParams& params) const
{
    // Single items always fit a message: no string of the control protocol
    // is longer than 16383 octets. The trap sinks go as one message, though,
    // and may not fit it.
    if (params.is_emPhone() && params.get_emPhone().is_phoneStatus()) {
        int row = 0;
        return emPhoneRow(params.get_emPhone().get_phoneStatus(), row);
    }
    if (params.is_snmpTrapReceivers()) {
        std::list<std::string> hosts;
        for (const ASN1::IA5String& host : params.get_snmpTrapReceivers())
            hosts.push_back(host);
        return SnmpAgentCtrl::Fits(hosts);
    }
    return true;
}

void MonitoringCtl::sendSnmpEmPhoneStatus(const LGCP::EmPhoneStatusParams& phone)
{
    int row = 0;
    if (!emPhoneRow(phone, row))
        return;
    mAgents.Send(Items::emPhonePanelSoftVer, row, bytes(phone.get_panelSV()));
    mAgents.Send(Items::emPhoneCtrlSoftVer, row, bytes(phone.get_ctrlSV()));
    mAgents.Send(Items::emPhoneFpgaSoftVer, row, bytes(phone.get_fpgaSV()));
    mAgents.Send(Items::emPhoneStatus, row, std::to_string(phone.get_status().getValue()));
    mAgents.Send(Items::emPhonePowerStatus, row, std::to_string(phone.get_powerStatus().getValue()));
    mAgents.Send(Items::emPhoneMode, row, std::to_string(phone.get_mode().getValue()));
    mAgents.Send(Items::emPhoneHookStatus, row, std::to_string(phone.get_hookStatus().getValue()));
    mAgents.Send(Items::emPhoneBaseStatus, row, std::to_string(phone.get_baseStatus().getValue()));
}

void MonitoringCtl::sendSnmpEmPhoneStatuses()
{
    for (const LGCP::EmPhoneStatusParams& phone : mHolder.emPhones)
        sendSnmpEmPhoneStatus(phone);
}

void MonitoringCtl::sendTermCounters(LGCP::TermCounterOwner::NamedNumber owner, SnmpAgentCtrl::MonitoringItemType type)
{
    for (const LGCP::TermCounter& counter : mHolder.termCounters) {
        if (counter.get_owner().getValue() != owner)
            continue;
        // An extension board's counter is a table row: without its id it has none.
        if (owner == LGCP::TermCounterOwner::extBoard && !counter.has_ownerId())
            continue;
        int row = owner == LGCP::TermCounterOwner::extBoard ? counter.get_ownerId().getValue() : 0;
        mAgents.Send(type, row, u32(counter.get_cnt().getValue()));
    }
}

void MonitoringCtl::sendSnmpRouterTermCnt()
{
    sendTermCounters(LGCP::TermCounterOwner::router, Items::routerTermCnt);
}

void MonitoringCtl::sendSnmpControllerTermCnt()
{
    sendTermCounters(LGCP::TermCounterOwner::controller, Items::controllerTermCnt);
}

void MonitoringCtl::sendSnmpServerTermCnt()
{
    sendTermCounters(LGCP::TermCounterOwner::server, Items::serverTermCnt);
}

void MonitoringCtl::sendSnmpBoardTermCnt()
{
    sendTermCounters(LGCP::TermCounterOwner::extBoard, Items::extBoardTermCnt);
}

void MonitoringCtl::sendSnmpFramerStatus(const FramerDataHolder& framer)
{
    int row = framer.number();
    mAgents.Send(Items::e1Connected, row, framer.connected() ? "1" : "0");
    mAgents.Send(Items::e1StatusDsc, row, framer.state());
    mAgents.Send(Items::e1SignalLoss, row, framer.lossOfSignal() ? "1" : "0");
    mAgents.Send(Items::e1FrameAlignLoss, row, framer.lossOfFrameAlignment() ? "1" : "0");
    mAgents.Send(Items::e1NegSlipCount, row, std::to_string(framer.slipsNegative()));
    mAgents.Send(Items::e1PosSlipCount, row, std::to_string(framer.slipsPositive()));
}

void MonitoringCtl::sendSnmpFramerStatus()
{
    for (const FramerDataHolder& framer : mHolder.framers)
        sendSnmpFramerStatus(framer);
}

void MonitoringCtl::sendSnmpNetIfStatus(const NetIfDataHolder& netIf)
{
    int row = netIf.index();
    mAgents.Send(Items::ifOperStatus, row, std::to_string(netIf.ifOperStatus()));
    mAgents.Send(Items::ifAdminStatus, row, std::to_string(netIf.ifAdminStatus()));
    mAgents.Send(Items::ifDescr, row, netIf.name());
}

void MonitoringCtl::sendSnmpNetIfStatus()
{
    for (const NetIfDataHolder& netIf : mHolder.netIfs)
        sendSnmpNetIfStatus(netIf);
}

void MonitoringCtl::sendSnmpTrapReceivers()
{
    mAgents.SendTrapsink(mHolder.trapReceivers);
}

void MonitoringCtl::sendSnmpCommands()
{
    mAgents.Send(mHolder.snmpCommands);
}

void MonitoringCtl::sendSnmpCommands(const MON::SnmpSetCommands& commands)
{
    mAgents.Send(commands);
}

void MonitoringCtl::OnDpcSend()
{
    sendSnmpTrapReceivers();
    sendSnmpDriverBuild();
    sendSnmpSoftwareBuild();
    sendSnmpPowerStatus();
    sendSnmpControllerStatus();
    sendSnmpGatewayDip();
    sendSnmpGatewayConfigVersion();
    sendSnmpTemperature();
    sendSnmpStatusBuildVersion();
    sendSnmpStatusFPGAVersion();
    sendSnmpStatusBootVersion();
    sendSnmpStatusBoardVersion();
    sendSnmpBoardStatuses();
    sendSnmpEmPhoneStatuses();
    sendSnmpRouterTermCnt();
    sendSnmpControllerTermCnt();
    sendSnmpServerTermCnt();
    sendSnmpBoardTermCnt();
    sendSnmpFramerStatus();
    sendSnmpNetIfStatus();
    sendSnmpCommands();
    mResend.Deactivate();
}
