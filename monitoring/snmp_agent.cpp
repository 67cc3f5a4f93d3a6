#include "monitoring/snmp_agent.h"

#include <iostream>

#include "asn1/coder_env.h"
#include "asn1/descriptors.h"
#include "runtime/ext.h"
#include "runtime/ini_file.h"
#include "runtime/mux_time.h"

namespace {

const IniFile::Symbol<SnmpAgentInstance::MonitoringAddressType> monitoringAddressTypes[] = {
    {"lemzgw", SnmpAgentInstance::lemzgw},
    {"lemzgw.vd", SnmpAgentInstance::lemzgwVd},
    {"tolv", SnmpAgentInstance::tolv},
    {nullptr, SnmpAgentInstance::lemzgw},
};

typedef SnmpAgentCtrl C;
const SnmpAgentCtrl::MonitoringItem kItems[] = {
    {C::driverBuild, 6, "gatewayCommon", "driverBuild"},
    {C::softwareBuild, 6, "gatewayCommon", "softwareBuild"},
    {C::powerStatus, 6, "gatewayCommon", "powerStatus"},
    {C::controllerStatus, 6, "gatewayCommon", "controllerStatus"},
    {C::gatewayDip, 6, "gatewayCommon", "gatewayDip"},
    {C::gatewayConfigVersion, 6, "gatewayCommon", "gatewayConfigVersion"},
    {C::extBoardStatus, 2, "extBoardTable", "extBoardStatus"},
    {C::extBoardSoftVer, 2, "extBoardTable", "extBoardSoftVer"},
    {C::extBoardType, 2, "extBoardTable", "extBoardType"},
    {C::emPhonePanelSoftVer, 2, "emPhoneTable", "emPhonePanelSoftVer"},
    {C::emPhoneCtrlSoftVer, 2, "emPhoneTable", "emPhoneCtrlSoftVer"},
    {C::emPhoneFpgaSoftVer, 2, "emPhoneTable", "emPhoneFpgaSoftVer"},
    {C::emPhoneStatus, 2, "emPhoneTable", "emPhoneStatus"},
    {C::emPhonePowerStatus, 2, "emPhoneTable", "emPhonePowerStatus"},
    {C::emPhoneMode, 2, "emPhoneTable", "emPhoneMode"},
    {C::emPhoneHookStatus, 2, "emPhoneTable", "emPhoneHookStatus"},
    {C::emPhoneBaseStatus, 2, "emPhoneTable", "emPhoneBaseStatus"},
    {C::routerTermCnt, 6, "gatewayTermCounters", "routerTermCnt"},
    {C::controllerTermCnt, 6, "gatewayTermCounters", "controllerTermCnt"},
    {C::serverTermCnt, 6, "gatewayTermCounters", "serverTermCnt"},
    {C::extBoardTermCnt, 2, "extBoardTermCntTable", "extBoardTermCnt"},
    {C::e1Connected, 2, "e1Table", "e1Connected"},
    {C::e1StatusDsc, 2, "e1Table", "e1StatusDsc"},
    {C::e1SignalLoss, 2, "e1Table", "e1SignalLoss"},
    {C::e1FrameAlignLoss, 2, "e1Table", "e1FrameAlignLoss"},
    {C::e1NegSlipCount, 2, "e1Table", "e1NegSlipCount"},
    {C::e1PosSlipCount, 2, "e1Table", "e1PosSlipCount"},
    {C::sgBuildVersion, 4, "statusGeneral", "sgBuildVersion"},
    {C::sgFPGAVersion, 4, "statusGeneral", "sgFPGAVersion"},
    {C::sgBootVersion, 4, "statusGeneral", "sgBootVersion"},
    {C::sgBoardVersion, 4, "statusGeneral", "sgBoardVersion"},
    {C::ifDescr, 6, "ifTable", "ifDescr"},
    {C::ifAdminStatus, 6, "ifTable", "ifAdminStatus"},
    {C::ifOperStatus, 6, "ifTable", "ifOperStatus"},
    {C::temperature, 2, "gatewayCommon", "temperature"},
};
static_assert(sizeof(kItems) / sizeof(kItems[0]) == SnmpAgentCtrl::itemCount, "one row per item");

// The run of frames that an agent sent and the link could not use.
const char* const kBadFrames = "receive";

// What a message of snmp-set commands takes besides its commands: the
// choice indexes and extension bits, and the list's length determinant
// (X.691 11.9.3.6, two octets for 128 commands), aligned.
const size_t kEnvelope = 4;

// The octets of a value's own aligned-PER encoding; 0 when it does not encode.
size_t encodedSize(const ASN1::AbstractData& value)
{
    std::vector<char> octets;
    return ASN1::CoderEnv().encodeOctets(value, octets) ? octets.size() : 0;
}

MON::Command trapsinks(const std::list<std::string>& hosts)
{
    MON::Command command;
    ASN1::SEQUENCE_OF<MON::SnmpTrapsink>& sinks = command.get_snmp_trapsink_set().get_trapsinks();
    for (const std::string& host : hosts) {
        MON::SnmpTrapsink sink;
        sink.set_host(host);
        sinks.push_back(sink);
    }
    return command;
}

} // namespace

// ------------------------------------------------------ SnmpAgentInstance

SnmpAgentInstance::SnmpAgentInstance() : mBadFrames([this](std::ostream& out) { out << mHeader << ": "; }) {}

SnmpAgentInstance::~SnmpAgentInstance()
{
    mBadFrames.end_all();
    mPing.reset();
    mConnector.reset();
}

bool SnmpAgentInstance::Activate(IniFile::SubSection& block)
{
    std::string host;
    IniFile::Reader reader("snmpagent: ", std::cerr);
    reader.mRequired.add(&host, "host");
    reader.mRequired.add(&mName, "name");
    reader.mRequired.add(&mType, "name", monitoringAddressTypes);
    if (!reader.parse(block))
        return false;
    int port = -1;
    if (!mAddress.Assign(host, &port) || port < 0)
        return false;
    mState = stateConfigured;
    std::string quad = mAddress.GetString();
    quad.erase(quad.rfind(':'));
    mHeader = "snmpagent." + mName + " " + mAddress.GetString();
    mConnector.reset(new Control::ConnectorNet(quad, static_cast<unsigned short>(port)));
    mConnector->service_name(mHeader);
    mConnector->Bind(this);
    mConnector->Activate();
    return true;
}

bool SnmpAgentInstance::connected() const
{
    return mConnector && mConnector->state() == Control::Service::State::Connected;
}

void SnmpAgentInstance::PutHeader(std::ostream& out) const
{
    out << mHeader;
}

void SnmpAgentInstance::Command(const MON::Command& command)
{
    MON::Message message;
    message.get_pdu().set_command(command);
    Send(message);
}

void SnmpAgentInstance::Send(const MON::Message& message)
{
    if (!connected())
        return;
    mOctets.clear();
    if (!ASN1::CoderEnv().encodeOctets(message, mOctets)) {
        std::clog << ext::header(this) << ": encode MON message fail!!!" << std::endl;
        return;
    }
    mConnector->Send(mOctets.data(), static_cast<int>(mOctets.size()));
    SetPingTimer();
    uint32_t now = Mux::milliseconds();
    if (static_cast<int32_t>(now - mStamp) > kSilenceMs) {
        std::clog << ext::header(this) << ": ping timeout !!!" << " now=" << now << " stamp=" << mStamp << std::endl;
        mConnector->Disconnect();
    }
}

void SnmpAgentInstance::SetPingTimer()
{
    mPing.set(kPingMs, &SnmpAgentInstance::OnPingTimer, this);
}

void SnmpAgentInstance::OnPingTimer(Timer*)
{
    MON::Command ping;
    ping.set_ping();
    Command(ping);
}

void SnmpAgentInstance::OnConnect()
{
    mState = stateConnected;
    std::clog << ext::header(this) << ": connected." << std::endl;
    mStamp = Mux::milliseconds();
    if (mNotify)
        mNotify->OnSnmpAgentConnect(mName);
}

void SnmpAgentInstance::OnDisconnect()
{
    std::clog << ext::header(this) << ": connection lost, reset snmpagent instance" << std::endl;
    mPing.reset();
    mBadFrames.end_all();
    if (mState == stateConnected)
        mState = stateLost;
}

void SnmpAgentInstance::OnMessage(const char* data, int length)
{
    mStamp = Mux::milliseconds();
    MON::Message message;
    if (length < 0 || !ASN1::CoderEnv().decode(data, data + length, message, true)) {
        BadFrame(": receive : decode error!");
        return;
    }
    OnMessage(message);
}

void SnmpAgentInstance::OnMessage(const MON::Message& message)
{
    const MON::PDU& pdu = message.get_pdu();
    if (!pdu.is_response() && !pdu.is_signal()) {
        BadFrame(": receive unknown message type");
        return;
    }
    mBadFrames.succeeded(kBadFrames);
    if (pdu.is_response())
        OnResponse(pdu.get_response());
    else
        OnSignal(pdu.get_signal());
}

void SnmpAgentInstance::BadFrame(const char* line)
{
    if (mBadFrames.failed(kBadFrames, 0))
        std::cerr << ext::header(this) << line << std::endl;
}

// ----------------------------------------------------------- SnmpAgentCtrl

SnmpAgentCtrl::SnmpAgentCtrl()
{
    mSend.Bind(this, &SnmpAgentCtrl::OnDpcSend);
    // Types 0 and 1 (lemzgw) take no items.
    for (int type : {SnmpAgentInstance::tolv, SnmpAgentInstance::lemzgwVd})
        mPending[type];
}

SnmpAgentCtrl::~SnmpAgentCtrl()
{
    mSend.Deactivate();
}

const SnmpAgentCtrl::MonitoringItem* SnmpAgentCtrl::item(MonitoringItemType type)
{
    return type >= 0 && type < itemCount ? &kItems[type] : nullptr;
}

void SnmpAgentCtrl::CreateInstances(IniFile::Section& section)
{
    for (IniFile::SubSection& block : section) {
        mInstances.emplace_back(new SnmpAgentInstance);
        mInstances.back()->Activate(block);
    }
}

void SnmpAgentCtrl::Bind(ISnmpAgentNotify* notify)
{
    mNotify = notify;
    for (auto& instance : mInstances)
        instance->Bind(notify);
}

MON::SnmpSetCommand* SnmpAgentCtrl::NewItem(const MonitoringItem& item, int uniq, int index, const std::string& value)
{
    MON::SnmpSetCommand* command = new MON::SnmpSetCommand;
    command->set_uniq(uniq);
    MON::IniName& name = command->get_id().get_name();
    name.set_section(item.group);
    name.set_name(item.name);
    name.set_index(index);
    command->set_value(value);
    return command;
}

bool SnmpAgentCtrl::Fits(const std::list<std::string>& hosts)
{
    MON::Message message;
    message.get_pdu().set_command(trapsinks(hosts));
    size_t size = encodedSize(message);
    return size != 0 && size <= kMaxMessage;
}

void SnmpAgentCtrl::SetBatches::clear()
{
    mCommands.clear();
    start();
}

void SnmpAgentCtrl::SetBatches::start()
{
    mCommands.emplace_back(new MON::Command);
    mCommands.back()->get_snmp_set();
    mBytes = kEnvelope;
}

size_t SnmpAgentCtrl::SetBatches::Bound(const MON::SnmpSetCommand& command)
{
    // Its own encoding and one octet more: inside a list it may start at any
    // bit of an octet (X.691 10.1) and so pad differently up to its first
    // aligned field.
    size_t size = encodedSize(command);
    return size ? size + 1 : 0;
}

bool SnmpAgentCtrl::SetBatches::Fits(size_t bound)
{
    return bound != 0 && kEnvelope + bound <= kMaxMessage;
}

void SnmpAgentCtrl::SetBatches::append(MON::SnmpSetCommand* command, size_t size)
{
    ASN1::SEQUENCE_OF<MON::SnmpSetCommand>* list = &mCommands.back()->get_snmp_set().get_commands();
    // A full list starts the next message; so does one that this command
    // would push past a frame (a command too large for any frame goes alone).
    if (list->size() >= ASN1::MaximumArraySize || (list->size() != 0 && mBytes + size > kMaxMessage)) {
        start();
        list = &mCommands.back()->get_snmp_set().get_commands();
    }
    list->append(command);
    mBytes += size;
}

void SnmpAgentCtrl::Send(MonitoringItemType type, int index, const std::string& value)
{
    const MonitoringItem* it = item(type);
    if (!it)
        return;
    for (auto& pending : mPending) {
        if (!(pending.first & it->mask))
            continue;
        // Built in place: the list takes it over, sparing a deep copy.
        std::unique_ptr<MON::SnmpSetCommand> command(NewItem(*it, static_cast<int>(mUniq++), index, value));
        size_t bound = SetBatches::Bound(*command);
        if (!SetBatches::Fits(bound)) {
            std::cerr << "SnmpAgentCtrl: item " << it->name << "[" << index << "] of " << value.size()
                      << " octets dropped: it fits no MON message" << std::endl;
            return;
        }
        pending.second.append(command.release(), bound);
        mSend.Activate();
    }
}

void SnmpAgentCtrl::OnDpcSend()
{
    for (auto& pending : mPending) {
        for (const auto& command : pending.second.commands())
            if (command->get_snmp_set().get_commands().size() != 0)
                Deliver(*command, pending.first);
        pending.second.clear();
    }
    mSend.Deactivate();
}

void SnmpAgentCtrl::Deliver(const MON::Command& command, int types)
{
    for (auto& instance : mInstances)
        if (types == kAllTypes || (instance->addressType() & types))
            instance->Command(command);
}

void SnmpAgentCtrl::Send(const MON::SnmpSetCommands& commands)
{
    // A full resend of many held commands goes out in several messages.
    SetBatches batches;
    for (const MON::SnmpSetCommand& command : commands.get_commands())
        batches.append(static_cast<MON::SnmpSetCommand*>(command.clone()), SetBatches::Bound(command));
    for (const auto& command : batches.commands())
        if (command->get_snmp_set().get_commands().size() != 0)
            Deliver(*command, kAllTypes);
}

void SnmpAgentCtrl::SendTrapsink(const std::list<std::string>& hosts)
{
    if (hosts.empty())
        return;
    Deliver(trapsinks(hosts), kAllTypes);
}
