// The memory of the monitoring service: the last sampled board values, the
// framers and network interfaces, and the display data the controller
// pushes, mirrored as small text files under "/var/monitoring/" for local
// tools. Every setter tells whether the value changed, so that only changes
// travel on to the SNMP agents.
//
// A status file is written whole or not at all: its text goes to a
// temporary file beside it, which replaces it only once every byte is
// written and closed, so a reader never finds one empty or cut short. A
// file that could not be written (a full disk) keeps what it held and is
// owed: RewriteOwedFiles writes it again, with its latest text, until it
// holds it. Values that do not change would otherwise never be written
// again. A folder that has to be made again (it was removed, or a link or
// a file stood in its place) makes every file under it owed, and so is a
// file that is no longer there or a link in its place, so whatever
// happened to the folder, the files hold the values again at the next
// sample. Every folder and file is reached without following a link
// (StatusTree).
//
// Failures are runs by their errno, for the whole store: a full disk is
// one fault however many files wait, so it costs one line when it starts
// (naming how many files wait) and one with its count at the sample that
// meets it no more.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <string>

#include "monitoring/framer_data.h"
#include "monitoring/netif_data.h"
#include "monitoring/status_tree.h"
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
    // The sample's turn: makes again the folders that went (the empty
    // term_cnts/ too), then writes again every file that a failure, a
    // folder made again, a removal or a link in its place left behind its
    // value.
    void RewriteOwedFiles();
    // Status files still owed their text.
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
    // A status file (by its path below the status folder) as last set: its
    // text, and whether the file still lacks it.
    struct File {
        std::string text;
        bool owed = false;
    };
    // One step of writing (a setter, the sample): its faults are reported
    // as runs once it is over, when the files that wait are known; a
    // sample ends the runs it met no more.
    class Batch {
    public:
        explicit Batch(MonitoringDataHolder& store, bool sample = false);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        MonitoringDataHolder& mStore;
        bool mSample;
    };
    struct Fault {
        std::string what;
        unsigned long count;
    };

    static bool setText(std::string& field, const std::string& text);
    // The one write path of every status file: its folders, then the text
    // written whole; a failure leaves the file owed. The caller goes on
    // either way.
    void SaveStatusToFile(const std::string& rel, const std::string& text);
    void write(const std::string& rel, File& file);
    // The folder is there, made when missing or a link stood in its place.
    bool CheckForMonDir(const std::string& rel);
    // For a file in the own controller's folder: the folder's self link.
    void CheckForMonControllerDir(const std::string& rel);
    void made(const std::string& rel);
    void fault(const std::string& what, int error);
    void report(bool sample);
    // A removed file is owed nothing, also when its folder is made again.
    void forget(const std::function<bool(const std::string&)>& removed);
    void findFramers();
    void findNetIfs();
    void saveSnmpCommand(const MON::SnmpSetCommand& command);

    std::map<std::string, File> mFiles;
    StatusTree mTree;
    int mDepth = 0;
    // This step's faults and the runs under way, by errno.
    std::map<int, Fault> mFaults, mRuns;
};
