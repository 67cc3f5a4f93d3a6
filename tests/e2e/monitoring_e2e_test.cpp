// The monitoring service of the voxbridge program as two SNMP agent
// processes (stand-ins of type tolv and lemzgw.vd) and a controller meet it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>

#include "tests/e2e/server_process.h"
#include "tests/monitoring/mon_support.h"
#include "tests/support/lgcp_frames.h"

using testing::Contains;
using testing::HasSubstr;
using vbtest::count_of;
using vbtest::eventually;
using vbtest::MonReceived;
using vbtest::ServerProcess;

namespace {

// One stand-in agent process and what it wrote.
class StandIn {
public:
    // extra: the stand-in's own options (--stalled, --flood N).
    explicit StandIn(uint16_t port = 0, const std::vector<std::string>& extra = {}) : mExtra(extra) { start(port); }
    ~StandIn() { kill(SIGKILL); }
    StandIn(const StandIn&) = delete;
    StandIn& operator=(const StandIn&) = delete;

    uint16_t port() const { return mPort; }
    // Every message received, decoded from its frames.
    std::vector<MonReceived> messages() const
    {
        std::vector<MonReceived> out;
        std::istringstream lines(vbtest::read_file(mDir.file("frames")));
        std::string word, hex;
        while (lines >> word >> hex) {
            std::string bytes;
            for (size_t i = 0; i + 1 < hex.size(); i += 2)
                bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
            out.emplace_back(bytes);
        }
        return out;
    }
    std::string frames() const { return vbtest::read_file(mDir.file("frames")); }
    std::vector<std::string> items() const
    {
        std::vector<std::string> out;
        for (const MonReceived& m : messages())
            for (const std::string& t : m.texts())
                out.push_back(t);
        return out;
    }
    bool has_item(const std::string& text) const
    {
        auto all = items();
        return std::find(all.begin(), all.end(), text) != all.end();
    }
    bool has_kind(const std::string& kind) const
    {
        for (const MonReceived& m : messages())
            if (m.kind == kind)
                return true;
        return false;
    }
    // Ends the process; the next one listens on the same port.
    void kill(int sig)
    {
        if (mPid > 0) {
            ::kill(mPid, sig);
            ::waitpid(mPid, nullptr, 0);
            mPid = -1;
        }
    }
    void restart()
    {
        kill(SIGKILL);
        ::unlink(mDir.file("frames").c_str());
        ::unlink(mDir.file("port").c_str());
        start(mPort);
    }

private:
    void start(uint16_t port)
    {
        std::string portFile = mDir.file("port"), log = mDir.file("log"), frames = mDir.file("frames");
        std::string portText = std::to_string(port);
        std::vector<std::string> args = {MON_AGENT_STANDIN, "--port", portText, "--port-file", portFile,
                                         "--log", log, "--frames", frames};
        args.insert(args.end(), mExtra.begin(), mExtra.end());
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(&a[0]);
        argv.push_back(nullptr);
        mPid = ::fork();
        if (mPid == 0) {
            ::execv(MON_AGENT_STANDIN, argv.data());
            ::_exit(127);
        }
        eventually([&] { return !vbtest::read_file(portFile).empty(); });
        mPort = static_cast<uint16_t>(std::atoi(vbtest::read_file(portFile).c_str()));
    }

    std::vector<std::string> mExtra;
    vbtest::TempDir mDir;
    pid_t mPid = -1;
    uint16_t mPort = 0;
};

LGCP::Command display(const LGCP::DisplayParams& p)
{
    LGCP::Command c;
    c.set_display(p);
    return c;
}

class MonitoringE2E : public ::testing::Test {
protected:
    StandIn tolv, vd;
    ServerProcess server;

    void SetUp() override
    {
        ASSERT_GT(tolv.port(), 0);
        ASSERT_GT(vd.port(), 0);
        std::ofstream(server.path("/usr/local/etc/server.conf"))
            << "[snmpagent]\nhost=127.0.0.1:" << tolv.port() << "\nname=tolv\n"
            << "[snmpagent]\nhost=127.0.0.1:" << vd.port() << "\nname=lemzgw.vd\n";
        std::ofstream(server.path("/usr/local/etc/config.0000000a-0000000000000001"));
        std::ofstream(server.path("/var/version")) << "B7\n";
        ASSERT_TRUE(server.start());
    }
    // Keeps every frame the server sent for the independent codec check.
    void TearDown() override
    {
        if (const char* keep = std::getenv("VB_MON_FRAMES"))
            std::ofstream(keep, std::ios::app) << tolv.frames() << vd.frames();
    }
};

TEST_F(MonitoringE2E, AgentsControllerAndFiles)
{
    // Each agent gets the items of its type.
    for (StandIn* a : {&tolv, &vd}) {
        EXPECT_TRUE(eventually([&] { return a->has_item("powerStatus=2"); }, 10000));
        EXPECT_TRUE(eventually([&] { return a->has_item("gatewayConfigVersion=10"); }));
        auto items = a->items();
        EXPECT_TRUE(std::any_of(items.begin(), items.end(),
                                [](const std::string& i) { return i.rfind("softwareBuild=", 0) == 0; }));
    }
    EXPECT_TRUE(vd.has_item("sgBuildVersion=B7\n"));
    EXPECT_FALSE(tolv.has_item("sgBuildVersion=B7\n"));
    EXPECT_EQ(vbtest::read_file(server.path("/var/monitoring/powerstatus")), "2");
    EXPECT_EQ(vbtest::read_file(server.path("/var/monitoring/config_version")), "0000000a-0000000000000001");
    // And pings once nothing has been sent for a while.
    EXPECT_TRUE(eventually([&] { return tolv.has_kind("ping") && vd.has_kind("ping"); }, 15000));

    vbtest::Controller controller;
    controller.keep_power(true);
    ASSERT_TRUE(controller.connect(server.port()));
    EXPECT_EQ(controller.next(), "power main");

    LGCP::DisplayParams receivers;
    receivers.get_snmpTrapReceivers().push_back(ASN1::IA5String("10.3.3.3"));
    EXPECT_THAT(controller.exchange(vbtest::lgcp(display(receivers), 1)), Contains("seq=1 success"));
    for (StandIn* a : {&tolv, &vd})
        EXPECT_TRUE(eventually([&] { return a->has_kind("trapsink 10.3.3.3"); }));

    LGCP::DisplayParams set;
    set.set_snmp_set(vbtest::set_commands({vbtest::set_command(501, "sys", "contact", 2, "ops")}));
    EXPECT_THAT(controller.exchange(vbtest::lgcp(display(set), 2)), Contains("seq=2 success"));
    EXPECT_EQ(vbtest::read_file(server.path("/var/monitoring/sys/2/contact")), "ops");
    for (StandIn* a : {&tolv, &vd}) {
        EXPECT_TRUE(eventually([&] {
            for (const MonReceived& m : a->messages())
                if (!m.items.empty() && m.items[0].uniq == 501 && m.items[0].text() == "contact[2]=ops")
                    return true;
            return false;
        }));
    }

    LGCP::DisplayParams board;
    LGCP::BoardStatusParams& b = board.get_board().get_boardStatus();
    b.set_position(3);
    b.set_version({'1', '.', '0'});
    b.set_status(LGCP::ExtBoardStatus::ready);
    b.set_type(LGCP::ExtBoardType::isdn);
    EXPECT_THAT(controller.exchange(vbtest::lgcp(display(board), 3)), Contains("seq=3 success"));
    EXPECT_EQ(vbtest::read_file(server.path("/var/monitoring/board3")), "3\n1.0\n1\n");
    EXPECT_TRUE(eventually([&] { return tolv.has_item("extBoardStatus[3]=3"); }));
    controller.close();
    EXPECT_TRUE(eventually([&] { return vbtest::read_file(server.path("/var/monitoring/board3")).empty(); }))
        << "gone with the controller";

    // An agent that comes back gets everything again.
    tolv.restart();
    EXPECT_TRUE(eventually([&] { return tolv.has_item("powerStatus=2") && tolv.has_item("gatewayConfigVersion=10"); },
                           20000));

    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
    for (const char* f : {"powerstatus", "config_version", "dip"})
        EXPECT_TRUE(vbtest::read_file(server.path(std::string("/var/monitoring/") + f)).empty()) << f;
    EXPECT_EQ(vbtest::read_file(server.path("/var/monitoring/sys/2/contact")), "ops") << "folders with files stay";
}

// The configuration file of a server with one tolv agent per port.
std::string agents(const std::vector<uint16_t>& ports)
{
    std::string text;
    for (uint16_t port : ports)
        text += "[snmpagent]\nhost=127.0.0.1:" + std::to_string(port) + "\nname=tolv\n";
    return text;
}

// Agents that stop reading cost the controller nothing: each is dropped
// with one line, and every ping is answered within a second meanwhile.
TEST(MonitoringPeers, FiveAgentsThatStopReadingNeverHoldTheControllerUp)
{
    std::vector<std::unique_ptr<StandIn>> stalled;
    std::vector<uint16_t> ports;
    for (int i = 0; i < 5; ++i) {
        stalled.emplace_back(new StandIn(0, {"--stalled"}));
        ports.push_back(stalled.back()->port());
    }
    ServerProcess server;
    std::ofstream(server.path("/usr/local/etc/server.conf")) << agents(ports);
    ASSERT_TRUE(server.start());
    EXPECT_TRUE(eventually([&] { return count_of(server.out(), "connected to 127.0.0.1:") == 5u; }, 10000));
    vbtest::Controller controller;
    ASSERT_TRUE(controller.connect(server.port()));

    MON::SnmpSetCommands rows;
    for (int i = 0; i < 50; ++i)
        rows.get_commands().push_back(vbtest::set_command(i, "display", "row", i, std::string(1000, 'a' + i % 26)));
    LGCP::DisplayParams set;
    set.set_snmp_set(rows);
    using Clock = std::chrono::steady_clock;
    Clock::duration slowest{};
    for (int seq = 1; seq <= 110; ++seq) {
        Clock::time_point t0 = Clock::now();
        EXPECT_THAT(controller.exchange(vbtest::lgcp(display(set), seq)),
                    Contains("seq=" + std::to_string(seq) + " success"));
        slowest = std::max(slowest, Clock::now() - t0);
    }
    for (Clock::time_point end = Clock::now() + std::chrono::seconds(2); Clock::now() < end;) {
        Clock::time_point t0 = Clock::now();
        EXPECT_EQ(controller.sync(), vbtest::Texts{});
        slowest = std::max(slowest, Clock::now() - t0);
    }
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count(), 1000);
    // One line a drop (an agent is linked again 10 s after it).
    for (uint16_t port : ports) {
        std::string agent = "snmpagent.tolv 127.0.0.1:" + std::to_string(port);
        EXPECT_TRUE(eventually([&] {
            size_t drops = count_of(server.err(), agent + ": connection lost");
            return drops >= 1 && count_of(server.err(), "SockStream[" + agent + "]: write ") == drops;
        })) << server.err();
    }
    EXPECT_EQ(count_of(server.err(), "SockStream[server]"), 0u) << "the controller stays";
}

// An agent that sends 200,000 frames the link cannot use costs a few
// lines: one when the run starts, its count once a good message ends it;
// each names the agent.
TEST(MonitoringPeers, AFloodOfBadFramesIsOneRun)
{
    StandIn flooding(0, {"--flood", "200000"});
    ServerProcess server;
    std::ofstream(server.path("/usr/local/etc/server.conf")) << agents({flooding.port()});
    ASSERT_TRUE(server.start());
    const std::string header = "snmpagent.tolv 127.0.0.1:" + std::to_string(flooding.port());
    EXPECT_TRUE(eventually([&] { return count_of(server.err(), header + ": receive fail: 199999 more time(s)"); },
                           20000))
        << server.err();
    EXPECT_EQ(count_of(server.err(), header + ": receive : decode error!"), 1u);
    EXPECT_EQ(count_of(server.err(), header + " bad TPKT packet start. skipped=2"), 1u);
    EXPECT_LE(count_of(server.err(), header), 6u) << server.err();
}

// A NUL in a value is rejected as a blank there would be: with the same
// line, or (a host that is no address) without one.
TEST(MonitoringPeers, ValuesWithANulAreRejectedAsWithABlank)
{
    ServerProcess server;
    using namespace std::string_literals;
    std::ofstream(server.path("/usr/local/etc/server.conf"))
        << "[snmpagent]\nhost = 127.0.0.1:47702\0junk\nname = tolv\n"
           "[snmpagent]\nhost = 127.0.0.1:47703\nname = 2\0x\n"
           "[traces]\nmonitoring.internal = yes\0no\n"s;
    ASSERT_TRUE(server.start());
    vbtest::Controller controller(server.port());
    EXPECT_EQ(controller.sync(), vbtest::Texts{});
    const std::string err = server.err();
    EXPECT_THAT(err, HasSubstr("snmpagent: required key \"name\" has invalid value=\"2 x\", line 6\n"));
    EXPECT_THAT(err, HasSubstr("traces: optional key \"monitoring.internal\" has invalid value=\"yes no\", line 8. "
                               "Key will be ignored.\n"));
    EXPECT_EQ(count_of(err + server.out(), ":4770"), 0u) << "neither agent is asked for";
}

// A status folder that is a full file system: no file is left empty or cut
// short, and however many files wait it is one fault: one line naming how
// many wait, one with its count once all are whole again.
TEST(MonitoringFiles, AFullDiskLeavesNoFileEmptyAndAllAreWholeOnceSpaceReturns)
{
    ServerProcess server;
    server.set_full_status_fs(4 << 20);
    std::ofstream(server.path("/usr/local/etc/config.0000000a-0000000000000001"));
    ASSERT_TRUE(server.start());
    auto mon = [&](const std::string& name) { return server.inside("/var/monitoring/" + name); };
    const std::string full = std::string(" fail: ") + std::strerror(ENOSPC);
    EXPECT_TRUE(eventually([&] { return count_of(server.err(), full) > 0; }, 10000)) << server.err();

    vbtest::Controller controller;
    ASSERT_TRUE(controller.connect(server.port()));
    LGCP::DisplayParams board, phone, count, other, set;
    LGCP::BoardStatusParams& b = board.get_board().get_boardStatus();
    b.set_position(3);
    b.set_version({'1', '.', '0'});
    b.set_status(LGCP::ExtBoardStatus::ready);
    b.set_type(LGCP::ExtBoardType::isdn);
    phone.get_emPhone().get_phoneStatus().set_id(4);
    count.get_termCounter().set_owner(LGCP::TermCounterOwner::router);
    count.get_termCounter().set_cnt(7);
    other.get_controller().get_host().set_iaddr("10.1.2.3");
    other.get_controller().set_status(HSP::ControllerStatus::active);
    set.set_snmp_set(vbtest::set_commands({vbtest::set_command(501, "sys", "contact", 2, "ops")}));
    // 350 files more, in five displays.
    std::vector<LGCP::DisplayParams> displays = {board, phone, count, other, set, board};
    for (int first = 0; first < 350; first += 70) {
        MON::SnmpSetCommands rows;
        for (int i = first; i < first + 70; ++i)
            rows.get_commands().push_back(
                vbtest::set_command(i, "many", "row" + std::to_string(i), 0, std::to_string(i)));
        displays.emplace_back();
        displays.back().set_snmp_set(rows);
    }
    int seq = 1;
    for (const LGCP::DisplayParams& p : displays) {
        EXPECT_THAT(controller.exchange(vbtest::lgcp(display(p), seq)),
                    Contains("seq=" + std::to_string(seq) + " success"));
        ++seq;
    }
    const char* files[] = {"board3", "emphone4", "term_cnts/router", "controller/10.1.2.3/status", "sys/2/contact",
                           "many/0/row0", "many/0/row349"};
    for (const char* f : files)
        EXPECT_NE(::access(mon(f).c_str(), F_OK), 0) << f << ": no file rather than an empty one";
    // A few samples retry every file meanwhile.
    ::usleep(4500 * 1000);
    EXPECT_EQ(count_of(server.err(), full), 1u) << server.err();
    EXPECT_THAT(server.err(), testing::ContainsRegex("status file /var/monitoring/[a-z_]+ fail: No space left on "
                                                     "device, [0-9]+ files? waits?\n"));

    // Space returns: every file is whole at the next samples, and the run
    // ends with one count.
    ASSERT_EQ(::unlink(mon("filler/space").c_str()), 0) << std::strerror(errno);
    std::map<std::string, std::string> whole = {
        {"powerstatus", "2"},      {"config_version", "0000000a-0000000000000001"},
        {"board3", "3\n1.0\n1\n"}, {"emphone4", "\n\n\n0\n0\n0\n0\n0\n"},
        {"term_cnts/router", "7"}, {"controller/10.1.2.3/status", "2"},
        {"sys/2/contact", "ops"}};
    for (int i = 0; i < 350; ++i)
        whole["many/0/row" + std::to_string(i)] = std::to_string(i);
    for (const auto& f : whole)
        EXPECT_TRUE(eventually([&] { return vbtest::read_file(mon(f.first)) == f.second; }, 5000)) << f.first;
    EXPECT_NE(vbtest::read_file(mon("dip")), "");
    EXPECT_TRUE(eventually([&] { return count_of(server.err(), "more time(s)") == 1; }, 5000)) << server.err();
    EXPECT_EQ(count_of(server.err(), "monitoring: "), 2u) << server.err();
}

// The status folder removed under the running server, then one counter
// changed: every file the server wrote is back with its value at the next
// sample, the self link too; and again with a file in the folder's place
// that is later removed, with the folder made again by another program,
// emptied, or its term_cnts/ emptied.
TEST(MonitoringFiles, AFolderRemovedUnderTheServerComesBackWhole)
{
    ServerProcess server;
    std::ofstream(server.path("/usr/local/etc/config.0000000a-0000000000000001"));
    ASSERT_TRUE(server.start());
    const std::string dir = server.path("/var/monitoring");
    std::map<std::string, std::string> before, now;
    ASSERT_TRUE(eventually(
        [&] {
            before.clear();
            vbtest::snapshot(dir, "", before);
            return before.count("/dip") && before.count("/powerstatus") && before.count("/controller/self");
        },
        15000));
    vbtest::Controller controller;
    ASSERT_TRUE(controller.connect(server.port()));
    LGCP::DisplayParams phone, count, board;
    phone.get_emPhone().get_phoneStatus().set_id(0);
    board.get_board().get_boardStatus().set_position(3);
    count.get_termCounter().set_owner(LGCP::TermCounterOwner::router);
    int seq = 1;
    auto display_cnt = [&](int n) {
        count.get_termCounter().set_cnt(n);
        EXPECT_THAT(controller.exchange(vbtest::lgcp(display(count), seq)),
                    Contains("seq=" + std::to_string(seq) + " success"));
        ++seq;
    };
    EXPECT_THAT(controller.exchange(vbtest::lgcp(display(phone), seq++)), Contains("seq=1 success"));
    EXPECT_THAT(controller.exchange(vbtest::lgcp(display(board), seq++)), Contains("seq=2 success"));
    display_cnt(7);
    before.clear();
    vbtest::snapshot(dir, "", before);
    EXPECT_EQ(before["/emphone0"], "\n\n\n0\n0\n0\n0\n0\n");
    EXPECT_EQ(before["/term_cnts/router"], "7");
    EXPECT_EQ(before.count("/board3"), 1u);

    auto whole = [&] {
        return eventually(
            [&] {
                now.clear();
                vbtest::snapshot(dir, "", now);
                return now == before;
            },
            6000);
    };
    vbtest::remove_tree(dir);
    display_cnt(8);
    before["/term_cnts/router"] = "8";
    EXPECT_TRUE(whole()) << testing::PrintToString(now);

    // The server may make the folder again between the two steps.
    struct stat st {};
    for (int tries = 0; tries < 20 && !S_ISREG(st.st_mode); ++tries) {
        vbtest::remove_tree(dir);
        std::ofstream(dir) << "in the folder's place";
        ::lstat(dir.c_str(), &st);
    }
    ASSERT_TRUE(S_ISREG(st.st_mode));
    EXPECT_TRUE(eventually([&] { return count_of(server.err(), "status folder " + std::string("/var/monitoring/")) > 0; },
                           6000))
        << server.err();
    ASSERT_EQ(::unlink(dir.c_str()), 0);
    EXPECT_TRUE(whole()) << testing::PrintToString(now);

    // Another program's doing, with no value changed since; a link in the
    // place of a folder or file of ours is replaced, never written through.
    const std::string elsewhere = server.path("/var/elsewhere");
    ::mkdir(elsewhere.c_str(), 0755);
    ::mkdir((elsewhere + "/keepdir").c_str(), 0755);
    std::ofstream(elsewhere + "/precious.txt") << "keep";
    std::ofstream(elsewhere + "/evil") << "EVIL";
    std::map<std::string, std::string> outside, outsideNow;
    vbtest::snapshot(elsewhere, "", outside);
    auto linked = [&](const std::string& path, const std::string& to) {
        vbtest::remove_tree(dir + path);
        EXPECT_EQ(::symlink(to.c_str(), (dir + path).c_str()), 0) << std::strerror(errno);
    };
    const std::pair<const char*, std::function<void()>> harms[] = {
        {"removed and made again",
         [&] {
             vbtest::remove_tree(dir);
             ::mkdir(dir.c_str(), 0755);
         }},
        {"every entry removed, the folder kept", [&] { vbtest::empty_tree(dir); }},
        {"term_cnts/ emptied", [&] { vbtest::empty_tree(dir + "/term_cnts"); }},
        {"term_cnts/ a link", [&] { linked("/term_cnts", elsewhere); }},
        {"controller/ a link", [&] { linked("/controller", elsewhere); }},
        {"the folder a link", [&] { linked("", elsewhere); }},
        {"a file a link", [&] { linked("/emphone0", elsewhere + "/evil"); }},
    };
    for (const auto& harm : harms) {
        harm.second();
        EXPECT_TRUE(whole()) << harm.first << ": " << testing::PrintToString(now);
        outsideNow.clear();
        vbtest::snapshot(elsewhere, "", outsideNow);
        EXPECT_EQ(outsideNow, outside) << harm.first;
    }
    const size_t links = count_of(server.err(), std::string(" fail: ") + std::strerror(ELOOP));
    EXPECT_GE(links, 1u);
    EXPECT_LE(links, 4u) << "one line a run";

    // The folder a link when the server stops: nothing goes through it.
    linked("", elsewhere);
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
    outsideNow.clear();
    vbtest::snapshot(elsewhere, "", outsideNow);
    EXPECT_EQ(outsideNow, outside);
}

} // namespace
