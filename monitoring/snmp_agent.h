// The links to the external SNMP agent processes: one TCP client link per
// "snmpagent" block of the configuration file, each carrying MON messages
// (aligned PER, one per TPKT frame), and the table of monitoring items whose
// values are batched per agent address type into snmp-set commands.
#pragma once

#include <iosfwd>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "board/failure_runs.h"
#include "runtime/inet4_addr.h"
#include "runtime/timer.h"
#include "runtime/tpkt_protocol.h"
#include "server/control/control_connector.h"
#include "server/schema/MON.h"

namespace IniFile {
class Section;
class SubSection;
} // namespace IniFile

// Told when an agent link comes up, so that the agent gets the whole state.
class ISnmpAgentNotify {
public:
    virtual ~ISnmpAgentNotify() = default;
    virtual void OnSnmpAgentConnect(const std::string&) {}
};

class SnmpAgentInstance : public Control::Notify {
public:
    // The kind of agent, a bit mask: the items meant for it share a bit.
    enum MonitoringAddressType : int { lemzgw = 1, tolv = 2, lemzgwVd = 4 };
    enum State { stateNew = 0, stateConfigured = 1, stateConnected = 2, stateLost = 3 };

    // A peer that has sent nothing for longer is dropped at the next send.
    static const int kSilenceMs = 30000;
    // A ping follows this long a silence of our own.
    static const unsigned kPingMs = 5000;

    SnmpAgentInstance();
    ~SnmpAgentInstance() override;
    SnmpAgentInstance(const SnmpAgentInstance&) = delete;
    SnmpAgentInstance& operator=(const SnmpAgentInstance&) = delete;

    // Reads one block and starts the link; false leaves it inactive.
    bool Activate(IniFile::SubSection& block);
    void Bind(ISnmpAgentNotify* notify) { mNotify = notify; }

    void Command(const MON::Command& command);
    void Send(const MON::Message& message);

    void OnConnect() override;
    void OnDisconnect() override;
    void OnMessage(const char* data, int length) override;

    int addressType() const { return mType; }
    const std::string& name() const { return mName; }
    int state() const { return mState; }
    const INet4::Addr& address() const { return mAddress; }
    bool connected() const;
    void PutHeader(std::ostream& out) const;

private:
    void SetPingTimer();
    void OnPingTimer(Timer*);
    void OnMessage(const MON::Message& message);
    // A frame the link cannot use: a line when a run of them starts.
    void BadFrame(const char* line);
    void OnResponse(const MON::Response&) {}
    void OnSignal(const MON::Signal&) {}

    std::unique_ptr<Control::ConnectorNet> mConnector;
    MonitoringAddressType mType = lemzgw;
    std::string mName;
    std::string mHeader;
    INet4::Addr mAddress;
    int mState = stateNew;
    uint32_t mStamp = 0;
    Timer mPing;
    ISnmpAgentNotify* mNotify = nullptr;
    // Frames that did not decode or asked something of us: a broken agent
    // sends them one after the other, and they cost one run.
    Device::FailureRuns mBadFrames;
    // Scratch of Send, kept to spare an allocation per message.
    std::vector<char> mOctets;
};

class SnmpAgentCtrl {
public:
    // The items, numbered as the agents know them.
    enum MonitoringItemType {
        driverBuild, softwareBuild, powerStatus, controllerStatus, gatewayDip, gatewayConfigVersion,
        extBoardStatus, extBoardSoftVer, extBoardType,
        emPhonePanelSoftVer, emPhoneCtrlSoftVer, emPhoneFpgaSoftVer, emPhoneStatus, emPhonePowerStatus,
        emPhoneMode, emPhoneHookStatus, emPhoneBaseStatus,
        routerTermCnt, controllerTermCnt, serverTermCnt, extBoardTermCnt,
        e1Connected, e1StatusDsc, e1SignalLoss, e1FrameAlignLoss, e1NegSlipCount, e1PosSlipCount,
        sgBuildVersion, sgFPGAVersion, sgBootVersion, sgBoardVersion,
        ifDescr, ifAdminStatus, ifOperStatus, temperature,
        itemCount
    };
    struct MonitoringItem {
        MonitoringItemType id;
        int mask;
        const char* group;
        const char* name;
    };

    // The largest MON message one frame of the link carries.
    static constexpr size_t kMaxMessage = Tpkt_protocol::max_payload;

    SnmpAgentCtrl();
    virtual ~SnmpAgentCtrl();
    SnmpAgentCtrl(const SnmpAgentCtrl&) = delete;
    SnmpAgentCtrl& operator=(const SnmpAgentCtrl&) = delete;

    // One link per block, in file order; a block that fails stays inactive.
    void CreateInstances(IniFile::Section& section);
    void Bind(ISnmpAgentNotify* notify);
    void UnBind() { Bind(nullptr); }

    // Queues one item value for the agents it is meant for; the queued
    // values leave together on the next loop pass.
    void Send(MonitoringItemType type, const std::string& value) { Send(type, 0, value); }
    void Send(MonitoringItemType type, int index, const std::string& value);
    // The controller's own set commands, at once to every agent.
    void Send(const MON::SnmpSetCommands& commands);
    void SendTrapsink(const std::list<std::string>& hosts);
    void OnDpcSend();

    const std::vector<std::unique_ptr<SnmpAgentInstance>>& instances() const { return mInstances; }
    static const MonitoringItem* item(MonitoringItemType type);

    // Whether the trap sink message of these hosts fits one frame.
    static bool Fits(const std::list<std::string>& hosts);

    // snmp-set commands cut into messages that an agent takes: each list no
    // longer than an agent decodes and no larger than one frame, in order.
    class SetBatches {
    public:
        SetBatches() { clear(); }
        // Takes the command over; bound is what it takes in a list (Bound).
        void append(MON::SnmpSetCommand* command, size_t bound);
        // The octets one command may take in a list; 0 when it does not encode.
        static size_t Bound(const MON::SnmpSetCommand& command);
        // Whether a command of that bound fits a message of its own.
        static bool Fits(size_t bound);
        // Every message with commands, oldest first.
        const std::vector<std::unique_ptr<MON::Command>>& commands() const { return mCommands; }
        void clear();

    private:
        void start();
        std::vector<std::unique_ptr<MON::Command>> mCommands;
        size_t mBytes = 0; // bound of the last message's encoding
    };

private:
    static const int kAllTypes = -1;
    // A command to every agent whose type shares a bit with types (every
    // agent for kAllTypes).
    void Deliver(const MON::Command& command, int types);
    static MON::SnmpSetCommand* NewItem(const MonitoringItem& item, int uniq, int index, const std::string& value);

    std::vector<std::unique_ptr<SnmpAgentInstance>> mInstances;
    Dpc mSend;
    unsigned mUniq = 1;
    ISnmpAgentNotify* mNotify = nullptr;
    // Pending snmp-set commands by address type.
    std::map<int, SetBatches> mPending;
};
