// The memory of the monitoring service: the last sampled board values, the
// framers and network interfaces, and the display data the controller
// pushes, mirrored as small text files under "/var/monitoring/" for local
// tools. Every setter tells whether the value changed, so that only changes
// travel on to the SNMP agents.
//
// A status file is written whole or not at all: its text goes to a
// temporary file beside it, which replaces it only once every byte is
// written and closed, so a reader never finds one empty or cut short. A
// file that could not be written (a full disk) keeps what it held, costs one
// line per run of failures, and is owed: RewriteOwedFiles writes it again,
// with its latest text, until it holds it. Values that do not change would
// otherwise never be written again. A folder that has to be made again (it
// was removed, or a file stood in its place) makes every file under it
// owed, and so is a file that is no longer there (removed alone, or with
// a folder that another program made again), so whatever happened to the
// folder, the files hold the values again at the next sample.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>

#include "board/failure_runs.h"
#include "monitoring/framer_data.h"
#include "monitoring/netif_data.h"
#include "runtime/inet4_addr.h"
#include "server/schema/HSP.h"
#include "server/schema/LGCP.h"
#include "server/schema/MON.h"
#include "server/schema/TERM.h"

// The host's iaddr text (without the port).
std::string host2str(const TERM::HostAddress& host);
// The dotted quad of the address, without its port.
std::string dottedQuad(const INet4::Addr& address);

class MonitoringDataHolder {
public:
    // Clears the previous run's files, finds the framers and interfaces,
    // and makes the status folders.
    MonitoringDataHolder();
    // Removes the files directly under the status folder.
    ~MonitoringDataHolder();
    MonitoringDataHolder(const MonitoringDataHolder&) = delete;
    MonitoringDataHolder& operator=(const MonitoringDataHolder&) = delete;

    // Sampled values; a change writes the value's file.
    bool setDipValue(int value);
    bool setPowerStatus(const LGCP::POWERStatus& status);
    bool setConfigVersion(unsigned long first, unsigned long long second);
    // Sampled texts, kept without a file.
    bool setTemperature(const std::string& text) { return setText(temperature, text); }
    bool setBuildVersion(const std::string& text) { return setText(buildVersion, text); }
    bool setFPGAVersion(const std::string& text) { return setText(fpgaVersion, text); }
    bool setBootVersion(const std::string& text) { return setText(bootVersion, text); }
    bool setBoardVersion(const std::string& text) { return setText(boardVersion, text); }

    // The display command's data.
    void setDisplayStatus(const LGCP::DisplayParams& params);
    void setBoardStatus(const LGCP::BoardInfo& info);
    void setEmPhoneInfo(const LGCP::EmPhoneInfo& info);
    void setTermCounter(const LGCP::TermCounter& counter);
    void setSnmpTrapReceivers(const ASN1::SEQUENCE_OF<ASN1::IA5String>& receivers);
    void setSnmpCommands(const MON::SnmpSetCommands& commands);
    void setFramerStatusChanged(const LGCP::FramerInfo&) {}
    // True when the controller is the one at the own address and its
    // status is new or changed.
    bool setControllerStatus(const LGCP::ControllerInfo& info);

    // The controller has gone: the extension boards' files and list.
    void ClearControllerFiles();
    void ClearMonitorFiles();
    // The sample's turn: makes again the folders that went, then writes
    // again every file that a failure, a folder made again or a removal
    // left behind its value.
    void RewriteOwedFiles();
    // Status files (their paths as opened) still owed their text.
    size_t owedFiles() const;

    INet4::Addr ownAddress;
    HSP::ControllerStatus ownControllerStatus;
    int controllerPid = -1;
    std::list<LGCP::ControllerInfo> controllers;
    LGCP::POWERStatus powerStatus;
    std::list<LGCP::BoardStatusParams> boards;
    std::list<LGCP::EmPhoneStatusParams> emPhones;
    std::list<LGCP::TermCounter> termCounters;
    std::list<std::string> trapReceivers;
    int dipValue = -1;
    unsigned long long configSecond = ~0ull;
    unsigned long configFirst = 0xFFFFFFFFul;
    std::string temperature, buildVersion, fpgaVersion, bootVersion, boardVersion;
    MON::SnmpSetCommands snmpCommands;
    std::list<FramerDataHolder> framers;
    std::list<NetIfDataHolder> netIfs;

private:
    // Makes the folders a status file lies in, before each try.
    using Folders = std::function<void()>;
    // A status file as last set: its text, and whether the file still
    // lacks it.
    struct File {
        std::string text;
        Folders folders;
        bool owed = false;
    };

    static bool setText(std::string& field, const std::string& text);
    // The one write path of every status file (path as opened): its folders,
    // then the text written whole; a failure starts or counts its run and
    // leaves the file owed. The caller goes on either way.
    void SaveStatusToFile(const std::string& path, const std::string& text, Folders folders = nullptr);
    void write(const std::string& path, File& file);
    // The folder is there, made when missing; made, every file under it
    // is owed.
    bool CheckForMonDir(const std::string& path);
    Folders topFolder();
    void CheckForMonControllerDir(const std::string& address, bool own);
    // A removed file is owed nothing, also when its folder is made again.
    void forget(const std::function<bool(const std::string&)>& removed);
    void findFramers();
    void findNetIfs();
    void saveSnmpCommand(const MON::SnmpSetCommand& command);

    Device::FailureRuns mRuns;
    std::map<std::string, File> mFiles;
};
