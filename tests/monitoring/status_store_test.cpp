// The status store and its files, in a temporary board tree.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>
#include <cstring>
#include <functional>
#include <map>

#include "monitoring/monitoring_data.h"
#include "runtime/trace_ctl.h"
#include "tests/monitoring/monitoring_support.h"

using testing::HasSubstr;

namespace {

std::vector<char> octets(const std::string& s)
{
    return std::vector<char>(s.begin(), s.end());
}

LGCP::BoardInfo board(int position, const std::string& version, LGCP::ExtBoardStatus::NamedNumber status,
                      LGCP::ExtBoardType::NamedNumber type)
{
    LGCP::BoardInfo info;
    LGCP::BoardStatusParams& b = info.get_boardStatus();
    b.set_position(position);
    b.set_version(octets(version));
    b.set_status(status);
    b.set_type(type);
    return info;
}

LGCP::TermCounter counter(LGCP::TermCounterOwner::NamedNumber owner, int cnt, int ownerId = -1)
{
    LGCP::TermCounter c;
    c.set_owner(owner);
    c.set_cnt(cnt);
    if (ownerId >= 0)
        c.set_ownerId(ownerId);
    return c;
}

LGCP::ControllerInfo controller(const std::string& address, HSP::ControllerStatus::NamedNumber status)
{
    LGCP::ControllerInfo c;
    c.get_host().set_iaddr(address);
    c.set_status(status);
    return c;
}

MON::SnmpSetCommands setCommand(const std::string& section, const std::string& name, int index,
                                const std::string& value, int uniq = 1)
{
    return vbtest::set_commands({vbtest::set_command(uniq, section, name, index, value)});
}

class StoreTest : public ::testing::Test {
protected:
    vbtest::CaptureStream log{std::clog};
    vbtest::BoardTree tree;
    vbtest::FakeProbe probe;
    NetIf::ScopedProbe useProbe{probe};

    std::string file(const std::string& name) { return tree.read("/var/monitoring/" + name); }
};

TEST_F(StoreTest, SampledValuesAreWrittenByteExactOnlyWhenChanged)
{
    MonitoringDataHolder store;
    EXPECT_TRUE(store.setDipValue(0));
    EXPECT_EQ(file("dip"), "0");
    tree.write("/var/monitoring/dip", "untouched");
    EXPECT_FALSE(store.setDipValue(0));
    EXPECT_EQ(file("dip"), "untouched") << "an unchanged value writes nothing";
    EXPECT_TRUE(store.setDipValue(255));
    EXPECT_EQ(file("dip"), "255");

    EXPECT_TRUE(store.setPowerStatus(LGCP::POWERStatus::main));
    EXPECT_EQ(file("powerstatus"), "2");
    EXPECT_TRUE(store.setPowerStatus(LGCP::POWERStatus::unknown));
    EXPECT_EQ(file("powerstatus"), "0");
    EXPECT_FALSE(store.setPowerStatus(LGCP::POWERStatus::unknown));

    EXPECT_TRUE(store.setConfigVersion(0x1234, 0xabc));
    EXPECT_EQ(file("config_version"), "00001234-0000000000000abc");
    EXPECT_FALSE(store.setConfigVersion(0x1234, 0xabc));
    EXPECT_TRUE(store.setConfigVersion(0x1234, 0xabd));

    EXPECT_TRUE(store.setTemperature("41"));
    EXPECT_FALSE(store.setTemperature("41"));
    EXPECT_TRUE(store.setBuildVersion(std::string("1.0\0x", 5)));
    EXPECT_TRUE(store.setBuildVersion(std::string("1.0\0y", 5))) << "texts compare byte by byte";
    EXPECT_EQ(log.str(), "");
}

TEST_F(StoreTest, DisplayDataFiles)
{
    MonitoringDataHolder store;
    store.setBoardStatus(board(3, "v1", LGCP::ExtBoardStatus::waitBoard, LGCP::ExtBoardType::isdn));
    store.setBoardStatus(board(3, std::string("v2\0junk", 7), LGCP::ExtBoardStatus::ready, LGCP::ExtBoardType::fxs));
    EXPECT_EQ(file("board3"), "3\nv2\n2\n") << "the version's text ends at its NUL, its line does not";
    ASSERT_EQ(store.boards.size(), 1u);
    EXPECT_EQ(store.boards.front().get_status().getValue(), LGCP::ExtBoardStatus::ready);

    LGCP::EmPhoneInfo phone;
    LGCP::EmPhoneStatusParams& p = phone.get_phoneStatus();
    p.set_id(0);
    p.set_panelSV(octets("p1"));
    p.set_ctrlSV(octets("c1"));
    p.set_fpgaSV(octets(""));
    p.set_status(LGCP::EmPhoneStatus::ready);
    p.set_powerStatus(LGCP::POWERStatus::both);
    p.set_mode(LGCP::EmPhoneMode::sleep);
    p.set_hookStatus(LGCP::EmPhoneConnectionStatus::connected);
    p.set_baseStatus(LGCP::EmPhoneConnectionStatus::disconnected);
    store.setEmPhoneInfo(phone);
    EXPECT_EQ(file("emphone0"), "p1\nc1\n\n2\n3\n2\n1\n2\n");
}

TEST_F(StoreTest, TermCountersMatchOwnerAndOwnerIdExactly)
{
    MonitoringDataHolder store;
    using O = LGCP::TermCounterOwner;
    for (const LGCP::TermCounter& c : {counter(O::extBoard, 1), counter(O::extBoard, 2, 4), counter(O::extBoard, 3, 5),
                                       counter(O::extBoard, 6, 4), counter(O::server, -1), counter(O::none, 9)})
        store.setTermCounter(c);
    std::vector<std::string> held;
    for (const LGCP::TermCounter& c : store.termCounters)
        held.push_back(std::to_string(c.get_owner().getValue()) + "/" +
                       (c.has_ownerId() ? std::to_string(c.get_ownerId().getValue()) : "-") + "=" +
                       std::to_string(c.get_cnt().getValue()));
    EXPECT_EQ(held, (std::vector<std::string>{"4/-=1", "4/4=6", "4/5=3", "3/-=-1", "0/-=9"}));
    EXPECT_FALSE(tree.exists("/var/monitoring/term_cnts/board")) << "no id, no file";
    EXPECT_EQ(file("term_cnts/board4"), "6");
    EXPECT_EQ(file("term_cnts/server"), "4294967295");
    EXPECT_FALSE(tree.exists("/var/monitoring/term_cnts/none"));
}

TEST_F(StoreTest, ControllersAndTheSelfLink)
{
    MonitoringDataHolder store;
    std::string own = dottedQuad(store.ownAddress);
    std::string other = own == "10.9.8.7" ? "10.9.8.6" : "10.9.8.7";

    EXPECT_FALSE(store.setControllerStatus(controller(other, HSP::ControllerStatus::active)));
    EXPECT_EQ(file("controller/" + other + "/status"), "2");
    EXPECT_FALSE(tree.exists("/var/monitoring/controller/self"));
    tree.write("/var/monitoring/controller/" + other + "/status", "x");
    EXPECT_FALSE(store.setControllerStatus(controller(other, HSP::ControllerStatus::active)));
    EXPECT_EQ(file("controller/" + other + "/status"), "x") << "the same report writes nothing";

    EXPECT_TRUE(store.setControllerStatus(controller(own, HSP::ControllerStatus::standby)));
    EXPECT_EQ(file("controller/" + own + "/status"), "3");
    EXPECT_EQ(file("controller/self/status"), "3") << "self is the own address's folder";
    EXPECT_EQ(store.ownControllerStatus.getValue(), HSP::ControllerStatus::standby);
    EXPECT_FALSE(store.setControllerStatus(controller(own, HSP::ControllerStatus::standby)));
    EXPECT_TRUE(store.setControllerStatus(controller(own, HSP::ControllerStatus::ok)));
    EXPECT_EQ(store.controllers.size(), 2u);

    EXPECT_FALSE(store.setControllerStatus(controller("../../etc", HSP::ControllerStatus::ok)));
    EXPECT_EQ(store.controllers.size(), 3u) << "held, but a host that is no address names no folder";
}

TEST_F(StoreTest, SnmpSetCommandsAreHeldByIdentityAndWritten)
{
    MonitoringDataHolder store;
    store.setSnmpCommands(setCommand("sys", "contact", 2, "ops", 7));
    EXPECT_EQ(file("sys/2/contact"), "ops");
    store.setSnmpCommands(setCommand("sys", "contact", 2, "noc", 9));
    EXPECT_EQ(file("sys/2/contact"), "noc");
    ASSERT_EQ(store.snmpCommands.get_commands().size(), 1u);
    EXPECT_EQ(store.snmpCommands.get_commands()[0].get_uniq().getValue(), 7) << "the first uniq stays";
    EXPECT_EQ(std::string(store.snmpCommands.get_commands()[0].get_value()), "noc");
    store.setSnmpCommands(setCommand("sys", "contact", 3, "x"));
    EXPECT_EQ(store.snmpCommands.get_commands().size(), 2u) << "another index is another command";

    MON::SnmpSetCommands byOid = vbtest::set_commands({vbtest::oid_command(1, "1.3.6.1.2.1.1.4.0", "v")});
    store.setSnmpCommands(byOid);
    store.setSnmpCommands(byOid);
    EXPECT_EQ(store.snmpCommands.get_commands().size(), 3u);
}

TEST_F(StoreTest, SnmpSetNamesThatLeaveTheFolderWriteNothing)
{
    MonitoringDataHolder store;
    struct Case {
        std::string section, name;
    };
    const Case cases[] = {{"..", "x"}, {".", "x"}, {"", "x"},         {"a/b", "x"}, {"sys", "../../evil"},
                          {"sys", ".."}, {"sys", ""}, {"s\ny", "x"}, {"sys", "n\x7f"}};
    for (const Case& c : cases) {
        log.clear();
        store.setSnmpCommands(setCommand(c.section, c.name, 0, "owned"));
        std::string line = log.str();
        EXPECT_THAT(line, HasSubstr("snmp-set: no file for section")) << c.section << " " << c.name;
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1) << "one line: " << line;
    }
    EXPECT_EQ(store.snmpCommands.get_commands().size(), 9u) << "every command is still held";
    EXPECT_FALSE(tree.exists("/evil"));
    EXPECT_FALSE(tree.exists("/var/evil"));
    EXPECT_FALSE(tree.exists("/var/monitoring/sys/0"));
    EXPECT_FALSE(tree.exists("/var/x"));
}

TEST_F(StoreTest, LosingTheControllerRemovesTheBoardFilesOnly)
{
    TraceCtl saved = traces;
    traces.monitoringInternal = true;
    MonitoringDataHolder store;
    store.setBoardStatus(board(1, "a", LGCP::ExtBoardStatus::ready, LGCP::ExtBoardType::e0));
    store.setBoardStatus(board(2, "b", LGCP::ExtBoardStatus::ready, LGCP::ExtBoardType::e0));
    LGCP::EmPhoneInfo phone;
    phone.get_phoneStatus().set_id(4);
    store.setEmPhoneInfo(phone);
    store.setTermCounter(counter(LGCP::TermCounterOwner::router, 1));
    store.setDipValue(3);
    // Names that share only a shorter prefix with "board" are not boards'.
    tree.write("/var/monitoring/b", "x");
    tree.write("/var/monitoring/boar", "x");
    store.ClearControllerFiles();
    traces = saved;
    EXPECT_TRUE(tree.exists("/var/monitoring/b"));
    EXPECT_TRUE(tree.exists("/var/monitoring/boar"));
    EXPECT_THAT(log.str(), HasSubstr("remove monitoring info: board1\n"));
    EXPECT_FALSE(tree.exists("/var/monitoring/board1"));
    EXPECT_FALSE(tree.exists("/var/monitoring/board2"));
    EXPECT_TRUE(store.boards.empty());
    EXPECT_TRUE(tree.exists("/var/monitoring/emphone4"));
    EXPECT_TRUE(tree.exists("/var/monitoring/term_cnts/router"));
    EXPECT_TRUE(tree.exists("/var/monitoring/dip"));
}

TEST_F(StoreTest, TopLevelFilesGoAtStartAndAtTheEnd)
{
    ::mkdir(tree.path("/var/monitoring").c_str(), 0755);
    tree.write("/var/monitoring/board7", "old run");
    {
        MonitoringDataHolder store;
        EXPECT_FALSE(tree.exists("/var/monitoring/board7"));
        EXPECT_TRUE(tree.exists("/var/monitoring/term_cnts"));
        store.setDipValue(1);
        store.setTermCounter(counter(LGCP::TermCounterOwner::router, 1));
    }
    EXPECT_FALSE(tree.exists("/var/monitoring/dip"));
    EXPECT_TRUE(tree.exists("/var/monitoring/term_cnts/router")) << "a folder with files stays";

    // The folder a link at start: what it points at is another program's.
    vbtest::CaptureStream err{std::cerr};
    vbtest::remove_tree(tree.path("/var/monitoring"));
    ::mkdir(tree.path("/var/elsewhere").c_str(), 0755);
    tree.write("/var/elsewhere/board7", "another program's");
    ASSERT_EQ(::symlink(tree.path("/var/elsewhere").c_str(), tree.path("/var/monitoring").c_str()), 0);
    {
        MonitoringDataHolder store;
        store.setDipValue(1);
    }
    EXPECT_EQ(tree.read("/var/elsewhere/board7"), "another program's");
    EXPECT_FALSE(tree.exists("/var/elsewhere/dip"));
    EXPECT_FALSE(tree.exists("/var/elsewhere/term_cnts"));
    struct stat top;
    EXPECT_TRUE(::lstat(tree.path("/var/monitoring").c_str(), &top) == 0 && S_ISDIR(top.st_mode))
        << "our own folder in the link's place";
    EXPECT_THAT(err.str(), HasSubstr("status folder " + tree.path("/var/monitoring/") + " fail: " +
                                     std::strerror(ELOOP) + "\n"));
}

// A folder that cannot be made (a file in its place) costs one line per
// run; the files in it are owed and written once it can be made.
TEST_F(StoreTest, AnUnwritableFolderIsReportedOnceAndItsFilesAreOwed)
{
    vbtest::CaptureStream err{std::cerr};
    struct stat real;
    bool realExisted = ::stat("/var/monitoring", &real) == 0;
    tree.write("/var/monitoring", "a file where the folder should be");
    MonitoringDataHolder store;
    EXPECT_THAT(err.str(), HasSubstr("monitoring: status folder " + tree.path("/var/monitoring/") +
                                     " fail: " + std::strerror(EEXIST) + "\n"));
    err.clear();
    EXPECT_TRUE(store.setDipValue(5));
    EXPECT_FALSE(store.setDipValue(5)) << "the value is held all the same";
    store.RewriteOwedFiles();
    EXPECT_EQ(err.str(), "") << "the folder's run counts its files";

    ::unlink(tree.path("/var/monitoring").c_str());
    store.RewriteOwedFiles();
    EXPECT_EQ(file("dip"), "5");
    EXPECT_EQ(store.owedFiles(), 0u);
    EXPECT_EQ(err.str(), "monitoring: status folder " + tree.path("/var/monitoring/") + " fail: 2 more time(s)\n");
    struct stat counts;
    EXPECT_TRUE(::lstat(tree.path("/var/monitoring/term_cnts").c_str(), &counts) == 0 && S_ISDIR(counts.st_mode))
        << "the empty term_cnts/ is made with it";
    struct stat after;
    EXPECT_EQ(::stat("/var/monitoring", &after) == 0, realExisted) << "the real folder is left alone";
    if (realExisted) {
        EXPECT_EQ(after.st_mtime, real.st_mtime);
    }
}

// The status folder removed with everything in it (or a file put in its
// place, later removed): every file, the self link with them, is back at
// the next sample, whether or not a value changed meanwhile.
TEST_F(StoreTest, AFolderThatWentIsMadeAgainWithEveryFileAtTheNextSample)
{
    vbtest::CaptureStream err{std::cerr};
    MonitoringDataHolder store;
    const std::string own = dottedQuad(store.ownAddress);
    store.setDipValue(4);
    store.setPowerStatus(LGCP::POWERStatus::main);
    store.setConfigVersion(0xa, 1);
    store.setBoardStatus(board(1, "v1", LGCP::ExtBoardStatus::ready, LGCP::ExtBoardType::e0));
    LGCP::EmPhoneInfo phone;
    phone.get_phoneStatus().set_id(0);
    store.setEmPhoneInfo(phone);
    store.setTermCounter(counter(LGCP::TermCounterOwner::router, 7));
    store.setControllerStatus(controller(own, HSP::ControllerStatus::ok));
    store.setSnmpCommands(setCommand("sys", "contact", 2, "ops"));
    const std::vector<std::string> names = {"dip",
                                            "powerstatus",
                                            "config_version",
                                            "board1",
                                            "emphone0",
                                            "term_cnts/router",
                                            "controller/" + own + "/status",
                                            "controller/self/status",
                                            "sys/2/contact"};
    std::map<std::string, std::string> held;
    for (const std::string& name : names)
        held[name] = file(name);
    auto back = [&] {
        for (const std::string& name : names)
            EXPECT_EQ(file(name), held[name]) << name;
        EXPECT_EQ(store.owedFiles(), 0u);
    };

    vbtest::remove_tree(tree.path("/var/monitoring"));
    store.RewriteOwedFiles();
    back();

    // One value changes first: its own write makes the folder again.
    vbtest::remove_tree(tree.path("/var/monitoring"));
    store.setTermCounter(counter(LGCP::TermCounterOwner::router, 8));
    held["term_cnts/router"] = "8";
    EXPECT_FALSE(tree.exists("/var/monitoring/dip"));
    store.RewriteOwedFiles();
    back();

    vbtest::remove_tree(tree.path("/var/monitoring"));
    tree.write("/var/monitoring", "in the folder's place");
    err.clear();
    store.RewriteOwedFiles();
    EXPECT_THAT(err.str(), HasSubstr("status folder " + tree.path("/var/monitoring/") + " fail"));
    ::unlink(tree.path("/var/monitoring").c_str());
    store.RewriteOwedFiles();
    back();

    // What other programs may do between two samples, all undone by the
    // next. A link in the place of a folder or a file of ours is one line;
    // what it points at, another program's, is never written or removed.
    const std::string top = tree.path("/var/monitoring");
    const std::string elsewhere = tree.path("/var/elsewhere");
    ::mkdir(elsewhere.c_str(), 0755);
    ::mkdir((elsewhere + "/keepdir").c_str(), 0755);
    tree.write("/var/elsewhere/precious.txt", "keep");
    tree.write("/var/elsewhere/evil", "EVIL");
    std::map<std::string, std::string> outside, outsideNow;
    vbtest::snapshot(elsewhere, "", outside);
    auto linked = [&](const std::string& path, const std::string& to) {
        vbtest::remove_tree(top + path);
        ASSERT_EQ(::symlink(to.c_str(), (top + path).c_str()), 0) << std::strerror(errno);
    };
    const std::string link = std::string(" fail: ") + std::strerror(ELOOP) + "\n";
    const struct {
        const char* what;
        std::function<void()> harm;
        std::string line;
    } harms[] = {
        {"folders below the top one removed",
         [&] {
             vbtest::remove_tree(top + "/controller");
             vbtest::remove_tree(top + "/sys/2");
         },
         ""},
        {"the folder removed and made again",
         [&] {
             vbtest::remove_tree(top);
             ::mkdir(top.c_str(), 0755);
         },
         ""},
        {"every entry removed, the folder kept", [&] { vbtest::empty_tree(top); }, ""},
        {"term_cnts/ emptied", [&] { vbtest::empty_tree(top + "/term_cnts"); }, ""},
        {"one file removed", [&] { ::unlink((top + "/powerstatus").c_str()); }, ""},
        {"term_cnts/ a link", [&] { linked("/term_cnts", elsewhere); }, "status folder " + top + "/term_cnts/"},
        {"controller/ a link", [&] { linked("/controller", elsewhere); }, "status folder " + top + "/controller/"},
        {"sys/2/ a link", [&] { linked("/sys/2", elsewhere); }, "status folder " + top + "/sys/2/"},
        {"the folder a link", [&] { linked("", elsewhere); }, "status folder " + top + "/"},
        {"a file a link to a file", [&] { linked("/powerstatus", elsewhere + "/evil"); },
         "status file " + top + "/powerstatus"},
        {"a file a dangling link", [&] { linked("/dip", elsewhere + "/none"); }, "status file " + top + "/dip"},
    };
    for (const auto& harm : harms) {
        SCOPED_TRACE(harm.what);
        err.clear();
        harm.harm();
        store.RewriteOwedFiles();
        back();
        EXPECT_EQ(err.str(), harm.line.empty() ? "" : "monitoring: " + harm.line + link);
        // The next sample meets the link no more: the run ends, no line.
        store.RewriteOwedFiles();
        EXPECT_EQ(err.str(), harm.line.empty() ? "" : "monitoring: " + harm.line + link);
        outsideNow.clear();
        vbtest::snapshot(elsewhere, "", outsideNow);
        EXPECT_EQ(outsideNow, outside) << "nothing written or removed through the link";
    }

    // Nor at the end, with the folder a link.
    linked("", elsewhere);
    store.ClearControllerFiles();
    store.ClearMonitorFiles();
    outsideNow.clear();
    vbtest::snapshot(elsewhere, "", outsideNow);
    EXPECT_EQ(outsideNow, outside);
}

// Writes past this many bytes fail, as on a full disk (EFBIG in place of
// ENOSPC), while it lives; the signal they raise is ignored meanwhile.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) : mHandler(std::signal(SIGXFSZ, SIG_IGN))
    {
        ::getrlimit(RLIMIT_FSIZE, &mOld);
        rlimit limit = mOld;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit()
    {
        ::setrlimit(RLIMIT_FSIZE, &mOld);
        std::signal(SIGXFSZ, mHandler);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    void (*mHandler)(int);
    rlimit mOld;
};

TEST_F(StoreTest, AFileCutShortKeepsItsTextAndIsOwedUntilWritten)
{
    vbtest::CaptureStream err{std::cerr};
    MonitoringDataHolder store;
    store.setDipValue(7);
    store.setBoardStatus(board(1, "v1", LGCP::ExtBoardStatus::ready, LGCP::ExtBoardType::e0));
    using O = LGCP::TermCounterOwner;
    bool changed = false, again = true;
    {
        FileSizeLimit full(2);
        changed = store.setDipValue(255);
        store.setBoardStatus(board(1, "v2", LGCP::ExtBoardStatus::ready, LGCP::ExtBoardType::e0));
        store.setBoardStatus(board(2, "v2", LGCP::ExtBoardStatus::ready, LGCP::ExtBoardType::e0));
        store.setTermCounter(counter(O::router, 123));
        store.setSnmpCommands(setCommand("sys", "contact", 2, "ops"));
        again = store.setDipValue(255);
        store.RewriteOwedFiles();
    }
    EXPECT_TRUE(changed);
    EXPECT_FALSE(again);
    EXPECT_EQ(file("dip"), "7") << "a file cut short leaves the old text whole";
    EXPECT_FALSE(tree.exists("/var/monitoring/board2"));
    EXPECT_EQ(err.str(), "monitoring: status file " + tree.path("/var/monitoring/dip") + " fail: " +
                             std::strerror(EFBIG) + ", 1 file waits\n")
        << "one run for the store, however many files wait";
    EXPECT_EQ(store.owedFiles(), 5u);

    // Removed files are owed nothing; a newer text replaces the owed one.
    store.ClearControllerFiles();
    store.setSnmpCommands(setCommand("sys", "contact", 2, "noc"));
    EXPECT_EQ(file("sys/2/contact"), "noc");
    err.clear();
    store.RewriteOwedFiles();
    EXPECT_EQ(file("sys/2/contact"), "noc") << "the sample writes no older text over it";
    EXPECT_EQ(file("dip"), "255");
    EXPECT_EQ(file("term_cnts/router"), "123");
    EXPECT_FALSE(tree.exists("/var/monitoring/board1"));
    EXPECT_FALSE(tree.exists("/var/monitoring/board2"));
    EXPECT_EQ(store.owedFiles(), 0u);
    EXPECT_EQ(err.str(), "monitoring: status file " + tree.path("/var/monitoring/dip") + " fail: 9 more time(s)\n");
    std::vector<std::string> names;
    for (const char* dir : {"/var/monitoring", "/var/monitoring/term_cnts", "/var/monitoring/sys/2"})
        if (DIR* d = ::opendir(tree.path(dir).c_str())) {
            while (dirent* e = ::readdir(d))
                if (e->d_name[0] != '.' || (e->d_name[1] != '\0' && std::strcmp(e->d_name, "..") != 0))
                    names.push_back(e->d_name);
            ::closedir(d);
        }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"contact", "dip", "router", "sys", "term_cnts"}))
        << "no temporary file is left behind";
}

TEST_F(StoreTest, FramersAndInterfacesFoundAtStart)
{
    tree.write("/proc/driver/hdlc/peb22554/0", "");
    tree.write("/proc/driver/hdlc/peb22554/2", "");
    probe.names = {{1, "lo"}, {3, "eth0"}};
    MonitoringDataHolder store;
    std::vector<int> numbers;
    for (const FramerDataHolder& f : store.framers)
        numbers.push_back(f.number());
    EXPECT_EQ(numbers, (std::vector<int>{1, 3}));
    EXPECT_EQ(store.framers.back().path(), "/proc/driver/hdlc/peb22554/2");
    ASSERT_EQ(store.netIfs.size(), 2u);
    EXPECT_EQ(store.netIfs.back().name(), "eth0");
    EXPECT_EQ(store.netIfs.back().index(), 3);
}

} // namespace
