#include "monitoring/monitoring_data.h"

#include <arpa/inet.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "asn1/avn_encoder.h"
#include "runtime/net.h"
#include "runtime/paths.h"
#include "runtime/trace_ctl.h"

namespace {

const char kMonDir[] = "/var/monitoring";
const char kTermCnts[] = "term_cnts";
const char kFramerDir[] = "/proc/driver/hdlc/peb22554/";

// A byte string as one line: its text ends at a NUL byte, the line feed
// is always there so the next line stays a line of its own.
std::string line(const std::vector<char>& bytes)
{
    auto nul = std::find(bytes.begin(), bytes.end(), '\0');
    return std::string(bytes.begin(), nul) + "\n";
}

std::string line(long number)
{
    return std::to_string(number) + "\n";
}

// The record replaces the first held one that is the same, or is appended.
template <class T, class Same>
void keep(std::list<T>& held, const T& record, Same same)
{
    auto it = std::find_if(held.begin(), held.end(), same);
    if (it == held.end())
        held.push_back(record);
    else
        *it = record;
}

// A file right under the status folder.
bool topLevel(const std::string& rel)
{
    return rel.find('/') == std::string::npos;
}

// A name that the controller hands in for a file or folder of ours: a path
// component that stays inside the status folder.
bool safeComponent(const std::string& name)
{
    if (name.empty() || name == "." || name == "..")
        return false;
    for (char c : name)
        if (c == '/' || static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            return false;
    return true;
}

// A name for a log line: control characters as \xNN, so that it stays one line.
std::string printable(const std::string& name)
{
    std::string out;
    for (unsigned char c : name) {
        char hex[8];
        std::snprintf(hex, sizeof(hex), "\\x%02x", c);
        out += c < 0x20 || c == 0x7f ? std::string(hex) : std::string(1, static_cast<char>(c));
    }
    return out;
}

bool sameId(const MON::SnmpSetCommandId& a, const MON::SnmpSetCommandId& b)
{
    if (a.is_oid() && b.is_oid())
        return a.get_oid() == b.get_oid();
    if (!a.is_name() || !b.is_name())
        return false;
    const MON::IniName& x = a.get_name();
    const MON::IniName& y = b.get_name();
    return x.get_section() == y.get_section() && x.get_name() == y.get_name() &&
           x.get_index().getValue() == y.get_index().getValue();
}

// Owner and owner id, presence and value, exactly: an extension board's
// counter without an id never stands for the counters of numbered boards.
bool sameOwner(const LGCP::TermCounter& a, const LGCP::TermCounter& b)
{
    if (a.get_owner().getValue() != b.get_owner().getValue() || a.has_ownerId() != b.has_ownerId())
        return false;
    return !a.has_ownerId() || a.get_ownerId().getValue() == b.get_ownerId().getValue();
}

} // namespace

std::string host2str(const TERM::HostAddress& host)
{
    return host.get_iaddr();
}

std::string dottedQuad(const INet4::Addr& address)
{
    char text[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &address.sin().sin_addr, text, sizeof(text));
    return text;
}

MonitoringDataHolder::MonitoringDataHolder()
    : mTree(
          Paths::resolve(kMonDir), [this](const std::string& what, int error) { fault(what, error); },
          [this](const std::string& rel) { made(rel); })
{
    ClearMonitorFiles();
    std::list<INet4::Addr> addresses;
    Net::ifconfig(addresses, Net::if_private);
    if (addresses.empty())
        ownAddress.Assign("127.0.0.1", nullptr);
    else
        ownAddress = addresses.front();
    findFramers();
    findNetIfs();
    Batch batch(*this);
    CheckForMonDir(kTermCnts);
}

MonitoringDataHolder::~MonitoringDataHolder()
{
    ClearMonitorFiles();
}

void MonitoringDataHolder::findFramers()
{
    for (int n = 0; n < 4; ++n) {
        std::string path = kFramerDir + std::to_string(n);
        struct stat st;
        if (::stat(Paths::resolve(path).c_str(), &st) == 0)
            framers.emplace_back(n + 1, path);
    }
}

void MonitoringDataHolder::findNetIfs()
{
    for (const auto& i : NetIf::list())
        netIfs.emplace_back(i.first, i.second);
}

bool MonitoringDataHolder::setText(std::string& field, const std::string& text)
{
    if (field == text)
        return false;
    field = text;
    return true;
}

MonitoringDataHolder::Batch::Batch(MonitoringDataHolder& store, bool sample) : mStore(store), mSample(sample)
{
    ++mStore.mDepth;
}

MonitoringDataHolder::Batch::~Batch()
{
    if (--mStore.mDepth == 0) {
        mStore.mTree.forget();
        mStore.report(mSample);
    }
}

void MonitoringDataHolder::fault(const std::string& what, int error)
{
    auto it = mFaults.find(error);
    if (it == mFaults.end())
        mFaults[error] = Fault{what, 1};
    else
        ++it->second.count;
}

// A fault already under way is only counted. A sample has looked at every
// folder and file, so a run that it did not meet is over.
void MonitoringDataHolder::report(bool sample)
{
    size_t waiting = owedFiles();
    for (const auto& f : mFaults) {
        auto run = mRuns.find(f.first);
        if (run != mRuns.end()) {
            run->second.count += f.second.count;
            continue;
        }
        std::cerr << "monitoring: " << f.second.what << " fail: " << std::strerror(f.first);
        if (waiting)
            std::cerr << ", " << waiting << (waiting == 1 ? " file waits" : " files wait");
        std::cerr << std::endl;
        mRuns[f.first] = Fault{f.second.what, f.second.count - 1};
    }
    for (auto run = mRuns.begin(); sample && run != mRuns.end();) {
        if (mFaults.count(run->first)) {
            ++run;
            continue;
        }
        if (run->second.count)
            std::cerr << "monitoring: " << run->second.what << " fail: " << run->second.count << " more time(s)"
                      << std::endl;
        run = mRuns.erase(run);
    }
    mFaults.clear();
}

void MonitoringDataHolder::SaveStatusToFile(const std::string& rel, const std::string& text)
{
    Batch batch(*this);
    File& file = mFiles[rel];
    file.text = text;
    CheckForMonControllerDir(rel);
    write(rel, file);
}

void MonitoringDataHolder::write(const std::string& rel, File& file)
{
    file.owed = !mTree.write(rel, file.text);
}

// A folder of the files may have gone since the last sample (removed with
// everything in it, or a link put in its place): each folder is walked
// once, and one made again leaves its files owed for the writes below. A
// file may also have gone alone, or with a folder that another program
// made again before the sample, or have a link in its place: each is
// looked for, and one that is not there as ours is owed as well.
void MonitoringDataHolder::RewriteOwedFiles()
{
    Batch batch(*this, true);
    CheckForMonDir(kTermCnts);
    for (auto& file : mFiles) {
        CheckForMonControllerDir(file.first);
        if (mTree.lacking(file.first) || file.second.owed)
            write(file.first, file.second);
    }
}

size_t MonitoringDataHolder::owedFiles() const
{
    return static_cast<size_t>(
        std::count_if(mFiles.begin(), mFiles.end(), [](const std::pair<const std::string, File>& f) {
            return f.second.owed;
        }));
}

void MonitoringDataHolder::forget(const std::function<bool(const std::string&)>& removed)
{
    for (auto it = mFiles.begin(); it != mFiles.end();) {
        if (removed(it->first))
            it = mFiles.erase(it);
        else
            ++it;
    }
}

bool MonitoringDataHolder::CheckForMonDir(const std::string& rel)
{
    return mTree.folder(rel) >= 0;
}

// What the files under a folder made again held went with the old one.
void MonitoringDataHolder::made(const std::string& rel)
{
    const std::string under = rel.empty() ? rel : rel + "/";
    for (auto it = mFiles.lower_bound(under); it != mFiles.end() && it->first.compare(0, under.size(), under) == 0;
         ++it)
        it->second.owed = true;
}

// The own folder's link, made with it, or later when the first try
// failed. It is only ever made, never walked through.
void MonitoringDataHolder::CheckForMonControllerDir(const std::string& rel)
{
    const std::string own = "controller/" + dottedQuad(ownAddress);
    if (rel.compare(0, own.size() + 1, own + "/") == 0 && CheckForMonDir(own))
        mTree.link("controller/self", mTree.path(own));
}

bool MonitoringDataHolder::setDipValue(int value)
{
    if (value == dipValue)
        return false;
    dipValue = value;
    SaveStatusToFile("dip", std::to_string(value));
    return true;
}

bool MonitoringDataHolder::setPowerStatus(const LGCP::POWERStatus& status)
{
    if (status.getValue() == powerStatus.getValue())
        return false;
    powerStatus = status;
    int value = status.getValue();
    char digit = value >= 1 && value <= 3 ? static_cast<char>('0' + value) : '0';
    SaveStatusToFile("powerstatus", std::string(1, digit));
    return true;
}

bool MonitoringDataHolder::setConfigVersion(unsigned long first, unsigned long long second)
{
    if (first == configFirst && second == configSecond)
        return false;
    configFirst = first;
    configSecond = second;
    char text[32];
    std::snprintf(text, sizeof(text), "%08lx-%016llx", first, second);
    SaveStatusToFile("config_version", text);
    return true;
}

void MonitoringDataHolder::setDisplayStatus(const LGCP::DisplayParams& params)
{
    if (params.is_board())
        setBoardStatus(params.get_board());
    else if (params.is_snmpTrapReceivers())
        setSnmpTrapReceivers(params.get_snmpTrapReceivers());
    else if (params.is_framer())
        setFramerStatusChanged(params.get_framer());
    else if (params.is_emPhone())
        setEmPhoneInfo(params.get_emPhone());
    else if (params.is_controller())
        setControllerStatus(params.get_controller());
    else if (params.is_termCounter())
        setTermCounter(params.get_termCounter());
    else if (params.is_snmp_set())
        setSnmpCommands(params.get_snmp_set());
}

void MonitoringDataHolder::setBoardStatus(const LGCP::BoardInfo& info)
{
    if (!info.is_boardStatus())
        return;
    const LGCP::BoardStatusParams& board = info.get_boardStatus();
    SaveStatusToFile("board" + std::to_string(board.get_position().getValue()),
                     line(board.get_status().getValue()) + line(board.get_version()) +
                         line(board.get_type().getValue()));
    keep(boards, board, [&board](const LGCP::BoardStatusParams& held) {
        return held.get_position().getValue() == board.get_position().getValue();
    });
}

void MonitoringDataHolder::setEmPhoneInfo(const LGCP::EmPhoneInfo& info)
{
    if (!info.is_phoneStatus())
        return;
    const LGCP::EmPhoneStatusParams& phone = info.get_phoneStatus();
    SaveStatusToFile("emphone" + std::to_string(phone.get_id().getValue()),
                     line(phone.get_panelSV()) + line(phone.get_ctrlSV()) + line(phone.get_fpgaSV()) +
                         line(phone.get_status().getValue()) + line(phone.get_powerStatus().getValue()) +
                         line(phone.get_mode().getValue()) + line(phone.get_hookStatus().getValue()) +
                         line(phone.get_baseStatus().getValue()));
    keep(emPhones, phone, [&phone](const LGCP::EmPhoneStatusParams& held) {
        return held.get_id().getValue() == phone.get_id().getValue();
    });
}

void MonitoringDataHolder::setTermCounter(const LGCP::TermCounter& counter)
{
    std::string file;
    switch (counter.get_owner().getValue()) {
    case LGCP::TermCounterOwner::router:
        file = "router";
        break;
    case LGCP::TermCounterOwner::controller:
        file = "controller";
        break;
    case LGCP::TermCounterOwner::server:
        file = "server";
        break;
    case LGCP::TermCounterOwner::extBoard:
        if (counter.has_ownerId())
            file = "board" + std::to_string(counter.get_ownerId().getValue());
        break;
    default:
        break;
    }
    unsigned count = static_cast<unsigned>(counter.get_cnt().getValue());
    if (!file.empty())
        SaveStatusToFile(std::string(kTermCnts) + "/" + file, std::to_string(count));
    for (LGCP::TermCounter& held : termCounters) {
        if (sameOwner(held, counter)) {
            held.set_cnt(counter.get_cnt().getValue());
            return;
        }
    }
    termCounters.push_back(counter);
}

void MonitoringDataHolder::setSnmpTrapReceivers(const ASN1::SEQUENCE_OF<ASN1::IA5String>& receivers)
{
    trapReceivers.clear();
    for (const ASN1::IA5String& r : receivers)
        trapReceivers.push_back(r);
    if (traces.monitoringInternal)
        std::clog << "Trap receivers:" << receivers << std::endl;
}

void MonitoringDataHolder::setSnmpCommands(const MON::SnmpSetCommands& commands)
{
    Batch batch(*this);
    ASN1::SEQUENCE_OF<MON::SnmpSetCommand>& held = snmpCommands.get_commands();
    for (const MON::SnmpSetCommand& command : commands.get_commands()) {
        bool found = false;
        for (MON::SnmpSetCommand& h : held) {
            if (sameId(h.get_id(), command.get_id())) {
                h.set_value(command.get_value());
                found = true;
                break;
            }
        }
        if (!found)
            held.push_back(command);
        if (command.get_id().is_name())
            saveSnmpCommand(command);
    }
}

void MonitoringDataHolder::saveSnmpCommand(const MON::SnmpSetCommand& command)
{
    const MON::IniName& id = command.get_id().get_name();
    const std::string& section = id.get_section();
    const std::string& name = id.get_name();
    if (!safeComponent(section) || !safeComponent(name)) {
        std::clog << "snmp-set: no file for section \"" << printable(section) << "\" name \"" << printable(name) << "\""
                  << std::endl;
        return;
    }
    const std::string dir = section + "/" + std::to_string(id.get_index().getValue());
    // The value's text ends at a NUL, as any text of a status file.
    const std::string& value = command.get_value();
    SaveStatusToFile(dir + "/" + name, value.substr(0, value.find('\0')));
}

bool MonitoringDataHolder::setControllerStatus(const LGCP::ControllerInfo& info)
{
    INet4::Addr address;
    bool parsed = address.Assign(host2str(info.get_host()), nullptr);
    bool own = parsed && address.IsEqual(ownAddress);
    if (own)
        ownControllerStatus = info.get_status();
    const TERM::HostAddress& host = info.get_host();
    auto held = std::find_if(controllers.begin(), controllers.end(), [&](const LGCP::ControllerInfo& c) {
        return host2str(c.get_host()) == host2str(host) &&
               c.get_host().get_port().getValue() == host.get_port().getValue();
    });
    bool changed = held == controllers.end() || held->get_status().getValue() != info.get_status().getValue();
    if (held == controllers.end())
        controllers.push_back(info);
    else
        held->set_status(static_cast<HSP::ControllerStatus::NamedNumber>(info.get_status().getValue()));
    if (!changed)
        return false;
    std::string text = dottedQuad(address);
    if (traces.monitoringInternal)
        std::clog << "New controller " << text << " status - " << info.get_status() << std::endl;
    // A host that is no address names no folder of ours.
    if (parsed)
        SaveStatusToFile("controller/" + text + "/status", std::to_string(info.get_status().getValue()));
    return own;
}

void MonitoringDataHolder::ClearControllerFiles()
{
    mTree.remove([](const char* name) {
        if (std::strncmp(name, "board", 5) != 0)
            return false;
        if (traces.monitoringInternal)
            std::clog << "remove monitoring info: " << name << std::endl;
        return true;
    });
    forget([](const std::string& rel) { return topLevel(rel) && rel.compare(0, 5, "board") == 0; });
    boards.clear();
}

// Only inside the status folder: a link in its place is not ours to
// follow, and what it points at is another program's.
void MonitoringDataHolder::ClearMonitorFiles()
{
    forget(topLevel);
    mTree.remove([](const char*) { return true; });
}
