// The monitoring service: a control service that watches the board. Three
// timers sample versions, configuration, framers and temperature (after
// 1 s, then every 60 s), power, DIP switch and network interfaces (every
// 2 s) and the controller's presence (every 5 s); the store keeps the
// values and writes the status files (a file it owes after a failed write
// is written again at every 2 s sample); each change goes to the SNMP agents
// as an item; power changes go to the controller as the power signal; the
// controller's display command feeds the store, the agents and the E1 LEDs.
//
// "/dev/hal" has its own holder: a request failing with ENODEV lets the
// descriptor go, and the next sample opens the device again, writing the
// LEDs as the controller set them (the holder's retry does too, once a
// second, while they are not on the device). A run of the same failure is
// one line, and one with its count when it ends.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>

#include "board/held.h"
#include "holder/device_holder.h"
#include "monitoring/monitoring_data.h"
#include "monitoring/snmp_agent.h"
#include "runtime/timer.h"
#include "server/control/ctrl_server.h"

namespace IniFile {
class File;
} // namespace IniFile

class MonitoringCtl : public CtrlSrv::Service, public ISnmpAgentNotify {
public:
    static const unsigned kBackgroundFirstMs = 1000;
    static const unsigned kBackgroundMs = 60000;
    static const unsigned kPowerMs = 2000;
    static const unsigned kControllerMs = 5000;

    // The process search of the controller check: (name, pid tried first)
    // to a pid or -1.
    using ProcessFinder = std::function<int(const char*, int)>;

    // The service of the process, built on first use.
    static MonitoringCtl* instance();

    MonitoringCtl();
    ~MonitoringCtl() override;
    MonitoringCtl(const MonitoringCtl&) = delete;
    MonitoringCtl& operator=(const MonitoringCtl&) = delete;

    // One agent link per "snmpagent" block (none when the file did not open).
    void Configure(IniFile::File& file);

    // A new controller hears the power state from the first read that works.
    void OnConnect() override;
    void OnDisconnect() override;
    // Takes display only; answers invalidParams, storing nothing, for data
    // that could not reach the agents; internal when the LEDs refused what
    // it asks (a wish given while the device is missing is held, written
    // when it opens again, and answered success); else success.
    bool OnCommand(const LGCP::Command& cmd) override;
    void OnSignal(const LGCP::Signal& sig) override;
    void OnSnmpAgentConnect(const std::string& name) override;

    // "/dev/hal" is open, opening it on demand, with the LEDs as asked.
    bool IsOpen();
    void setProcessFinder(ProcessFinder finder) { mFindProcess = std::move(finder); }

    MonitoringDataHolder& holder() { return mHolder; }
    SnmpAgentCtrl& agents() { return mAgents; }
    // The LEDs as the controller set them.
    uint8_t ledByte() const { return mLeds.byte.asked(); }
    void PutHeader(std::ostream& out) const;

    // Samplers, each run by its timer.
    void doVersionsCheck();
    void doConfigCheck();
    void doFramerCheck();
    void doTemperatureCheck();
    void doPowerCheck();
    void doDipCheck();
    void doNetIfCheck();
    void doControllerCheck();

    // The item feed: each builds the items of its values and queues them.
    void sendSnmpDriverBuild();
    void sendSnmpSoftwareBuild();
    void sendSnmpPowerStatus();
    void sendSnmpControllerStatus();
    void sendSnmpGatewayDip();
    void sendSnmpGatewayConfigVersion();
    void sendSnmpTemperature();
    void sendSnmpStatusBuildVersion();
    void sendSnmpStatusFPGAVersion();
    void sendSnmpStatusBootVersion();
    void sendSnmpStatusBoardVersion();
    void sendSnmpBoardStatus(const LGCP::BoardStatusParams& board);
    void sendSnmpBoardStatuses();
    void sendSnmpEmPhoneStatus(const LGCP::EmPhoneStatusParams& phone);
    void sendSnmpEmPhoneStatuses();
    void sendSnmpRouterTermCnt();
    void sendSnmpControllerTermCnt();
    void sendSnmpServerTermCnt();
    void sendSnmpBoardTermCnt();
    void sendSnmpFramerStatus(const FramerDataHolder& framer);
    void sendSnmpFramerStatus();
    void sendSnmpNetIfStatus(const NetIfDataHolder& netIf);
    void sendSnmpNetIfStatus();
    void sendSnmpTrapReceivers();
    void sendSnmpCommands();
    void sendSnmpCommands(const MON::SnmpSetCommands& commands);
    // The full resend, from the resend DPC.
    void OnDpcSend();

private:
    void onBkgCheckTimer();
    void onPowerCheckTimer();
    void onControllerCheckTimer();
    void sendPowerStatus();
    // False when the board refused what the display asks of it.
    bool OnDisplayCMD(const LGCP::DisplayParams& params);
    bool setFramerLed(const LGCP::FramerInfo& info);
    // Whether the display data can reach the agents: an em-phone row within
    // the 32-bit indexes, trap sinks that fit one message.
    bool reachesAgents(const LGCP::DisplayParams& params) const;
    // The table row of a phone; false when its id has none.
    static bool emPhoneRow(const LGCP::EmPhoneStatusParams& phone, int& row);
    // One byte through a pointer; false when the request failed (what
    // names it in the log).
    bool halByte(const char* what, unsigned long request, uint8_t& byte);
    bool writeLeds(uint8_t byte);
    void sendTermCounters(LGCP::TermCounterOwner::NamedNumber owner, SnmpAgentCtrl::MonitoringItemType type);

    // The LEDs as the controller set them, written again to a descriptor
    // that does not carry them.
    struct Leds : Device::Holder::State {
        explicit Leds(MonitoringCtl& owner) : owner(owner) {}
        bool untold(uint64_t present) override { return byte.untold(present); }
        void reconcile(Device::Tally&) override;
        MonitoringCtl& owner;
        Device::Held<uint8_t> byte{Device::Policy::shown};
    };

    Device::Holder mHal;
    Leds mLeds{*this};
    MonitoringDataHolder mHolder;
    SnmpAgentCtrl mAgents;
    Timer mBackground;
    Timer mPower;
    Timer mController;
    // A controller came and has not heard the power state yet.
    bool mPowerOwed = false;
    Dpc mResend;
    ProcessFinder mFindProcess;
};
