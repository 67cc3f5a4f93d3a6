#include "monitoring/monitoring_data.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <set>

#include "asn1/avn_encoder.h"
#include "runtime/net.h"
#include "runtime/paths.h"
#include "runtime/trace_ctl.h"

namespace {

const char kMonDir[] = "/var/monitoring/";
const char kTermCntsDir[] = "/var/monitoring/term_cnts/";
const char kControllerDir[] = "/var/monitoring/controller/";
const char kFramerDir[] = "/proc/driver/hdlc/peb22554/";
// Folders that local readers must be able to enter and list, files they
// must be able to read.
const mode_t kDirMode = 0755;
const mode_t kFileMode = 0644;

std::string monPath(const std::string& name)
{
    return Paths::resolve(kMonDir + name);
}

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

// The text into a temporary file beside path, renamed over it once whole:
// 0, or the errno of the step that failed. The temporary name is made
// exclusively, so it never takes the place of a status file of that name.
int writeWhole(const std::string& path, const std::string& text)
{
    size_t slash = path.rfind('/');
    std::string fresh = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".XXXXXX";
    int fd = ::mkostemp(&fresh[0], O_CLOEXEC);
    if (fd < 0)
        return errno;
    int error = ::fchmod(fd, kFileMode) == 0 ? 0 : errno;
    for (size_t done = 0; !error && done < text.size();) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? ENOSPC : errno;
    }
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::rename(fresh.c_str(), path.c_str()) != 0)
        error = errno;
    if (error)
        ::unlink(fresh.c_str());
    return error;
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

// A path right under the folder dir (which ends with its slash).
bool topLevel(const std::string& dir, const std::string& path)
{
    return path.compare(0, dir.size(), dir) == 0 && path.find('/', dir.size()) == std::string::npos;
}

// Nothing is at path any more; a file that cannot be looked at is left
// as it is.
bool gone(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

bool isDirectory(const std::string& path)
{
    DIR* d = ::opendir(path.c_str());
    if (d)
        ::closedir(d);
    return d != nullptr;
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

MonitoringDataHolder::MonitoringDataHolder() : mRuns([](std::ostream& out) { out << "monitoring: "; })
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
    CheckForMonDir(Paths::resolve(kMonDir));
    CheckForMonDir(Paths::resolve(kTermCntsDir));
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

void MonitoringDataHolder::SaveStatusToFile(const std::string& path, const std::string& text, Folders folders)
{
    File& file = mFiles[path];
    file.text = text;
    file.folders = std::move(folders);
    write(path, file);
}

// The folders first: one made again makes this file owed with the others,
// and the write then settles it.
void MonitoringDataHolder::write(const std::string& path, File& file)
{
    if (file.folders)
        file.folders();
    const std::string what = "status file " + path;
    int error = writeWhole(path, file.text);
    file.owed = error != 0;
    if (error == 0)
        mRuns.succeeded(what);
    else
        mRuns.failed_line(what, error);
}

// A folder of the files may have gone since the last sample (removed with
// everything in it): each folder is checked once, through the first file
// in it, and one made again leaves its files owed for the writes below.
// A file may also have gone alone, or with a folder that another program
// made again before the sample: each is looked for, and one that went is
// owed as well.
void MonitoringDataHolder::RewriteOwedFiles()
{
    std::set<std::string> checked;
    for (auto& file : mFiles) {
        if (file.second.folders && checked.insert(file.first.substr(0, file.first.rfind('/'))).second)
            file.second.folders();
    }
    for (auto& file : mFiles) {
        if (file.second.owed || gone(file.first))
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
        if (!removed(it->first)) {
            ++it;
            continue;
        }
        if (it->second.owed)
            mRuns.succeeded("status file " + it->first);
        it = mFiles.erase(it);
    }
}

bool MonitoringDataHolder::CheckForMonDir(const std::string& path)
{
    const std::string what = "status folder " + path;
    if (isDirectory(path)) {
        mRuns.succeeded(what);
        return true;
    }
    if (::mkdir(path.c_str(), kDirMode) != 0) {
        mRuns.failed_line(what, errno);
        return false;
    }
    mRuns.succeeded(what);
    // What the files under it held went with the folder.
    const std::string under = path.back() == '/' ? path : path + "/";
    for (auto it = mFiles.lower_bound(under); it != mFiles.end() && it->first.compare(0, under.size(), under) == 0;
         ++it)
        it->second.owed = true;
    return true;
}

MonitoringDataHolder::Folders MonitoringDataHolder::topFolder()
{
    return [this] { CheckForMonDir(Paths::resolve(kMonDir)); };
}

bool MonitoringDataHolder::setDipValue(int value)
{
    if (value == dipValue)
        return false;
    dipValue = value;
    SaveStatusToFile(monPath("dip"), std::to_string(value), topFolder());
    return true;
}

bool MonitoringDataHolder::setPowerStatus(const LGCP::POWERStatus& status)
{
    if (status.getValue() == powerStatus.getValue())
        return false;
    powerStatus = status;
    int value = status.getValue();
    char digit = value >= 1 && value <= 3 ? static_cast<char>('0' + value) : '0';
    SaveStatusToFile(monPath("powerstatus"), std::string(1, digit), topFolder());
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
    SaveStatusToFile(monPath("config_version"), text, topFolder());
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
    SaveStatusToFile(monPath("board" + std::to_string(board.get_position().getValue())),
                     line(board.get_status().getValue()) + line(board.get_version()) +
                         line(board.get_type().getValue()),
                     topFolder());
    keep(boards, board, [&board](const LGCP::BoardStatusParams& held) {
        return held.get_position().getValue() == board.get_position().getValue();
    });
}

void MonitoringDataHolder::setEmPhoneInfo(const LGCP::EmPhoneInfo& info)
{
    if (!info.is_phoneStatus())
        return;
    const LGCP::EmPhoneStatusParams& phone = info.get_phoneStatus();
    SaveStatusToFile(monPath("emphone" + std::to_string(phone.get_id().getValue())),
                     line(phone.get_panelSV()) + line(phone.get_ctrlSV()) + line(phone.get_fpgaSV()) +
                         line(phone.get_status().getValue()) + line(phone.get_powerStatus().getValue()) +
                         line(phone.get_mode().getValue()) + line(phone.get_hookStatus().getValue()) +
                         line(phone.get_baseStatus().getValue()),
                     topFolder());
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
        SaveStatusToFile(monPath("term_cnts/" + file), std::to_string(count), [this] {
            CheckForMonDir(Paths::resolve(kMonDir));
            CheckForMonDir(Paths::resolve(kTermCntsDir));
        });
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
    std::string dir = section + "/" + std::to_string(id.get_index().getValue());
    // The value's text ends at a NUL, as any text of a status file.
    const std::string& value = command.get_value();
    SaveStatusToFile(monPath(dir + "/" + name), value.substr(0, value.find('\0')), [this, section, dir] {
        CheckForMonDir(Paths::resolve(kMonDir));
        CheckForMonDir(monPath(section));
        CheckForMonDir(monPath(dir));
    });
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
    if (parsed) {
        SaveStatusToFile(Paths::resolve(kControllerDir + text + "/status"),
                         std::to_string(info.get_status().getValue()),
                         [this, text, own] { CheckForMonControllerDir(text, own); });
    }
    return own;
}

void MonitoringDataHolder::CheckForMonControllerDir(const std::string& address, bool own)
{
    std::string top = Paths::resolve(kControllerDir);
    std::string dir = top + address;
    if (!CheckForMonDir(Paths::resolve(kMonDir)) || !CheckForMonDir(top) || !CheckForMonDir(dir) || !own)
        return;
    // The own folder's link, made with it, or later when the first try failed.
    std::string self = top + "self";
    struct stat st;
    const std::string what = "status link " + self;
    if (::lstat(self.c_str(), &st) == 0 || ::symlink(dir.c_str(), self.c_str()) == 0)
        mRuns.succeeded(what);
    else
        mRuns.failed_line(what, errno);
}

void MonitoringDataHolder::ClearControllerFiles()
{
    std::string dir = Paths::resolve(kMonDir);
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (std::strncmp(e->d_name, "board", 5) != 0)
                continue;
            if (traces.monitoringInternal)
                std::clog << "remove monitoring info: " << e->d_name << std::endl;
            ::remove((dir + e->d_name).c_str());
        }
        ::closedir(d);
    }
    forget([&dir](const std::string& path) {
        return topLevel(dir, path) && path.compare(dir.size(), 5, "board") == 0;
    });
    boards.clear();
}

void MonitoringDataHolder::ClearMonitorFiles()
{
    std::string dir = Paths::resolve(kMonDir);
    forget([&dir](const std::string& path) { return topLevel(dir, path); });
    DIR* d = ::opendir(dir.c_str());
    if (!d)
        return;
    while (dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            ::remove((dir + e->d_name).c_str());
    }
    ::closedir(d);
}
