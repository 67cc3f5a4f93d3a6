// The monitoring service on the simulated board, in virtual time: its
// timers, the power state and LEDs, the configuration scan, the controller
// check, the display command and the feed of an SNMP agent of type tolv.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <climits>
#include <cstdint>
#include <sys/prctl.h>
#include <sys/wait.h>

#include "monitoring/monitoring_ctl.h"
#include "runtime/proc.h"
#include "runtime/version.h"
#include "tests/monitoring/monitoring_support.h"
#include "tests/server/boardctl/board_control_support.h"

using testing::ElementsAre;
using testing::HasSubstr;
using vbtest::FakeAgent;
using vbtest::run_until;
typedef std::vector<std::string> Texts;

namespace {

class MonitoringTest : public vbtest::BoardControlTest {
protected:
    vbtest::BoardTree tree;
    vbtest::FakeProbe probe;
    NetIf::ScopedProbe useProbe{probe};
    FakeAgent tolv;
    std::unique_ptr<MonitoringCtl> mon;
    std::vector<uint32_t> searches;
    int controllerPid = -1;

    void SetUp() override { clock.set_settle_ms(2); }
    void TearDown() override
    {
        BoardControlTest::TearDown();
        mon.reset();
    }
    // The service, bound to the control server, with the agent configured
    // and the agents given.
    void make(bool agent = true, const std::string& agents = "")
    {
        mon.reset(new MonitoringCtl);
        mon->setProcessFinder([this](const char*, int) {
            searches.push_back(Mux::milliseconds());
            return controllerPid;
        });
        IniFile::File file;
        vbtest::ini_from(file, (agent ? "[snmpagent]\nhost=" + tolv.host() + "\nname=tolv\n" : "") + agents);
        mon->Configure(file);
        start({mon.get()});
    }
    // Runs until the agent is linked and has had the resend of its link.
    void linkAgent()
    {
        ASSERT_TRUE(run_until([&] { return tolv.accept(); }));
        ASSERT_TRUE(run_until([&] { return mon->agents().instances().at(0)->connected(); }));
        run_ms(1);
    }
    // The items the agent received since the last look.
    Texts items() { return vbtest::item_texts(tolv.take()); }
    // The signals and answers at the controller's end since the last look.
    Texts atController() { return vbtest::answers(link->pair.b, true); }
    std::string display(const LGCP::DisplayParams& params)
    {
        LGCP::Command cmd;
        cmd.set_display(params);
        return command(cmd);
    }
    std::vector<uint32_t> powerReads()
    {
        std::vector<uint32_t> at;
        for (const auto& r : board.ioctls(Device::Hal::kDevice, Device::Hal::HAL_POWER_READ))
            at.push_back(r.ms);
        return at;
    }
    int halOpens()
    {
        int n = 0;
        for (const auto& r : board.log())
            n += r.op == SimBoard::Op::open && r.device == Device::Hal::kDevice;
        return n;
    }
};

std::string versionTag()
{
    std::ostringstream tag;
    Version::current.put(tag);
    return tag.str();
}

LGCP::DisplayParams framer(unsigned e1, bool line, bool value)
{
    LGCP::DisplayParams p;
    p.get_framer().set_e1(e1);
    line ? p.get_framer().get_info().set_line(value) : p.get_framer().get_info().set_link(value);
    return p;
}

LGCP::DisplayParams termCounter(LGCP::TermCounterOwner::NamedNumber owner, int cnt, int id = -1)
{
    LGCP::DisplayParams p;
    p.get_termCounter().set_owner(owner);
    p.get_termCounter().set_cnt(cnt);
    if (id >= 0)
        p.get_termCounter().set_ownerId(id);
    return p;
}

TEST_F(MonitoringTest, TimersRunInTheirPhases)
{
    uint32_t start = Mux::milliseconds();
    tree.write("/proc/temperature", "41 C\n");
    tree.write("/var/version", "V1.2\nsecond line\n");
    tree.write("/var/u-boot-version", "");
    make(false);
    run_ms(999);
    EXPECT_EQ(mon->holder().temperature, "") << "the first background run is at 1000 ms";
    run_ms(1);
    EXPECT_EQ(mon->holder().temperature, "41");
    EXPECT_EQ(mon->holder().buildVersion, "V1.2\n") << "the first line with its end";
    EXPECT_EQ(mon->holder().bootVersion, "");
    EXPECT_EQ(mon->holder().fpgaVersion, "");
    tree.write("/proc/temperature", "42\n");
    run_ms(60000 - 1);
    EXPECT_EQ(mon->holder().temperature, "41");
    run_ms(1);
    EXPECT_EQ(mon->holder().temperature, "42") << "then every 60000 ms";

    std::vector<uint32_t> power, checks;
    for (uint32_t at : powerReads())
        if (at - start <= 10000)
            power.push_back(at - start);
    for (uint32_t at : searches)
        if (at - start <= 20000)
            checks.push_back(at - start);
    EXPECT_EQ(power, (std::vector<uint32_t>{2000, 4000, 6000, 8000, 10000}));
    EXPECT_EQ(checks, (std::vector<uint32_t>{5000, 10000, 15000, 20000}));
}

TEST_F(MonitoringTest, PowerStatesToTheControllerAndTheAgents)
{
    make();
    linkAgent();
    run_ms(2000);
    connect();
    run_ms(1);
    EXPECT_THAT(atController(), ElementsAre("power main")) << "the default board is on mains";
    items();
    struct Step {
        uint8_t byte;
        const char* status;
        const char* file;
    };
    const Step steps[] = {
        {1, "standby", "1"}, {0, "both", "3"}, {3, nullptr, "3"}, {7, "unknown", "0"}, {2, "main", "2"},
    };
    for (const Step& s : steps) {
        sim.hal().set_power(s.byte);
        run_ms(2000);
        Texts expected = s.status ? Texts{std::string("power ") + s.status} : Texts{};
        EXPECT_EQ(atController(), expected) << int(s.byte);
        EXPECT_EQ(tree.read("/var/monitoring/powerstatus"), s.file) << int(s.byte);
        Texts sent = items();
        auto power = [](const std::string& i) { return i.rfind("powerStatus=", 0) == 0; };
        EXPECT_EQ(std::count_if(sent.begin(), sent.end(), power), s.status ? 1 : 0)
            << int(s.byte);
    }
}

// Not the cached state while the reads fail, but the first read that works;
// the failures in between are one line and a count.
TEST_F(MonitoringTest, ANewControllerHearsThePowerStateFromAReadThatWorked)
{
    make(false);
    run_ms(2000);
    board.fail(Device::Hal::kDevice, Device::Hal::HAL_POWER_READ, EIO, SimBoard::Board::Times::always);
    connect();
    run_ms(2001);
    EXPECT_EQ(atController(), Texts{});
    board.clear_failures();
    run_ms(2000);
    EXPECT_EQ(atController(), Texts{"power main"});
    run_ms(2000);
    EXPECT_EQ(atController(), Texts{});
    EXPECT_THAT(err.str(), HasSubstr("MonitoringCtl: power read fail: Input/output error\n"
                                     "MonitoringCtl: power read fail: 1 more time(s)\n"));
}

TEST_F(MonitoringTest, WithoutTheHalDeviceEveryCallTriesTheOpenAgain)
{
    board.fail(Device::Hal::kDevice, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
    make(false);
    connect();
    EXPECT_EQ(halOpens(), 1) << "the power check of the connection";
    run_ms(6000);
    EXPECT_EQ(halOpens(), 7) << "power and DIP, three times";
    EXPECT_EQ(display(framer(0, true, true)), "success") << "held for the device's return";
    EXPECT_EQ(halOpens(), 8);
    EXPECT_TRUE(sim.hal().led_writes().empty());
    EXPECT_EQ(mon->holder().dipValue, -1);

    board.clear_failures();
    sim.hal().set_dip('A');
    run_ms(1000);
    EXPECT_THAT(sim.hal().led_writes(), ElementsAre(3)) << "the held LEDs, not dark, by the retry before the sample";
    run_ms(1000);
    EXPECT_EQ(halOpens(), 9) << "open once, then kept";
    EXPECT_EQ(tree.read("/var/monitoring/dip"), "65");

    // Held LEDs that the device, back again, refuses as invalid are asked
    // once, then never again.
    board.fail(Device::Hal::kDevice, Device::Hal::HAL_POWER_READ, ENODEV);
    board.fail(Device::Hal::kDevice, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
    run_ms(2000);
    EXPECT_EQ(display(framer(1, true, true)), "success");
    board.clear_failures();
    board.fail(Device::Hal::kDevice, Device::Hal::HAL_LEDS_WRITE, EINVAL, SimBoard::Board::Times::always);
    auto asked = [&] { return board.ioctls(Device::Hal::kDevice, Device::Hal::HAL_LEDS_WRITE).size(); };
    size_t before = asked();
    run_ms(1000);
    EXPECT_EQ(asked(), before + 1);
    run_ms(4000);
    EXPECT_EQ(asked(), before + 1) << "given up";
}

// The device's return is one line that counts the failed opens of its own
// outage, and ends the run of failed opens with its count.
TEST_F(MonitoringTest, TheReturnOfTheHalDeviceCountsOnlyItsOwnOutage)
{
    make(false);
    run_ms(2000);
    board.fail(Device::Hal::kDevice, Device::Hal::HAL_POWER_READ, ENODEV);
    board.fail(Device::Hal::kDevice, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
    run_ms(6000);
    board.clear_failures();
    run_ms(2000);
    EXPECT_THAT(err.str(), HasSubstr("MonitoringCtl: power read fail: No such device\n"
                                     "MonitoringCtl: /dev/hal open fail: No such file or directory\n"
                                     "MonitoringCtl: device back after 5 failed open(s)\n"
                                     "MonitoringCtl: /dev/hal open fail: 4 more time(s)\n"))
        << "the DIP read of the sample that lost it, then power and DIP twice";

    err.clear();
    board.fail(Device::Hal::kDevice, Device::Hal::HAL_POWER_READ, ENODEV);
    run_ms(2000);
    EXPECT_EQ(err.str(), "MonitoringCtl: power read fail: No such device\nMonitoringCtl: device back\n");
}

TEST_F(MonitoringTest, FramerDisplayDrivesTheLeds)
{
    make(false);
    connect();
    EXPECT_EQ(display(framer(2, true, true)), "success");
    EXPECT_EQ(display(framer(2, false, true)), "success");
    EXPECT_EQ(display(framer(2, true, true)), "success");
    EXPECT_EQ(display(framer(2, true, false)), "success");
    EXPECT_EQ(display(framer(0, false, false)), "success");
    EXPECT_EQ(display(framer(0, false, false)), "success");
    EXPECT_THAT(sim.hal().led_writes(), ElementsAre(0x00, 0x30, 0x20, 0x00, 0x01))
        << "dark on opening, then written when the device does not hold it";
    EXPECT_EQ(mon->ledByte(), 0x01);
    mon.reset();
    EXPECT_EQ(sim.hal().leds(), 0) << "dark when the service ends";
}

TEST_F(MonitoringTest, ConfigurationVersionFromTheFileNames)
{
    for (const char* name : {"config.0000000a-0000000000000001", "config.2save.tar.bz2", "config.1234", "server.conf"})
        tree.write(std::string("/usr/local/etc/") + name, "");
    ::mkdir(tree.path("/usr/local/etc/config.000000ff-00000000000000ff").c_str(), 0755);
    make();
    linkAgent();
    run_ms(1000);
    EXPECT_EQ(mon->holder().configFirst, 10u);
    EXPECT_EQ(mon->holder().configSecond, 1u);
    EXPECT_EQ(tree.read("/var/monitoring/config_version"), "0000000a-0000000000000001");
    EXPECT_THAT(items(), testing::Contains("gatewayConfigVersion=10"));
    char cwd[4096];
    ASSERT_TRUE(::getcwd(cwd, sizeof(cwd)));
    EXPECT_EQ(std::string(cwd) + "/", tree.path("/usr/local/etc/")) << "the scan stays in the folder";

    // Only config.<8 hex digits>-<1 to 16 hex digits> names a version.
    ::unlink(tree.path("/usr/local/etc/config.0000000a-0000000000000001").c_str());
    for (const char* name : {"config.0000000b-zz", "config.0000abcg-12", "config.0000000c-", "config.0000000d-1.bak",
                             "config.0000000e-00000000000000001", "config.0000000b2-1"})
        tree.write(std::string("/usr/local/etc/") + name, "");
    run_ms(60000);
    EXPECT_EQ(tree.read("/var/monitoring/config_version"), "0000000a-0000000000000001");
    tree.write("/usr/local/etc/config.0000000F-2a", "");
    run_ms(60000);
    EXPECT_EQ(tree.read("/var/monitoring/config_version"), "0000000f-000000000000002a");
}

TEST_F(MonitoringTest, ControllerPresence)
{
    make(false);
    std::string own = dottedQuad(mon->holder().ownAddress);
    std::string status = "/var/monitoring/controller/" + own + "/status";
    run_ms(5000);
    EXPECT_EQ(tree.read(status), "5") << "not connected, not running";

    pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_NAME, "controller");
        ::pause();
        ::_exit(0);
    }
    ASSERT_GT(child, 0);
    mon->setProcessFinder(find_proc_by_name);
    for (int i = 0; i < 2000 && find_proc_by_name("controller", child) != child; ++i)
        ::usleep(1000);
    run_ms(5000);
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(tree.read(status), "4") << "running, not connected";
    EXPECT_EQ(mon->holder().controllerPid, child);

    LGCP::DisplayParams active;
    active.get_controller().get_host().set_iaddr(own);
    active.get_controller().set_status(HSP::ControllerStatus::active);
    connect();
    EXPECT_EQ(display(active), "success");
    EXPECT_EQ(tree.read(status), "2");
    run_ms(5000);
    EXPECT_EQ(tree.read(status), "2") << "connected: the status the controller reported";
}

TEST_F(MonitoringTest, DisplayAlternativesAndTheAgent)
{
    make();
    linkAgent();
    connect();
    run_ms(1);
    items();

    LGCP::DisplayParams channel;
    channel.get_board().get_boardChannelStatus().set_position(3);
    EXPECT_EQ(display(channel), "success");
    LGCP::DisplayParams board;
    LGCP::BoardStatusParams& b = board.get_board().get_boardStatus();
    b.set_position(3);
    b.set_version({'v', '7'});
    b.set_status(LGCP::ExtBoardStatus::ready);
    b.set_type(LGCP::ExtBoardType::fxs);
    EXPECT_EQ(display(board), "success");
    run_ms(1);
    EXPECT_THAT(items(), ElementsAre("extBoardStatus[3]=3", "extBoardSoftVer[3]=v7", "extBoardType[3]=2"))
        << "the channel status is only stored";

    for (const auto& p : {termCounter(LGCP::TermCounterOwner::extBoard, 9, 2),
                          termCounter(LGCP::TermCounterOwner::extBoard, 8),
                          termCounter(LGCP::TermCounterOwner::server, 5),
                          termCounter(LGCP::TermCounterOwner::router, 4)})
        EXPECT_EQ(display(p), "success");
    run_ms(1);
    EXPECT_THAT(items(), ElementsAre("extBoardTermCnt[2]=9", "extBoardTermCnt[2]=9", "serverTermCnt=5",
                                     "extBoardTermCnt[2]=9", "routerTermCnt=4", "serverTermCnt=5",
                                     "extBoardTermCnt[2]=9"))
        << "router, controller, server, board; a board without an id is not sent";

    LGCP::DisplayParams phone;
    phone.get_emPhone().get_phoneStatus().set_id(0);
    EXPECT_EQ(display(phone), "success");
    run_ms(1);
    Texts phoneItems = items();
    ASSERT_EQ(phoneItems.size(), 8u);
    EXPECT_EQ(phoneItems[3], "emPhoneStatus[1]=0") << "row id + 1";

    LGCP::DisplayParams receivers;
    receivers.get_snmpTrapReceivers().push_back(ASN1::IA5String("10.2.2.2"));
    EXPECT_EQ(display(receivers), "success");
    auto got = tolv.take();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].kind, "trapsink 10.2.2.2");

    LGCP::DisplayParams set;
    set.set_snmp_set(vbtest::set_commands({vbtest::set_command(41, "sys", "contact", 2, "ops")}));
    EXPECT_EQ(display(set), "success");
    got = tolv.take();
    ASSERT_EQ(got.size(), 1u) << "forwarded at once";
    EXPECT_EQ(got[0].items.at(0).uniq, 41);
    EXPECT_EQ(tree.read("/var/monitoring/sys/2/contact"), "ops");

    EXPECT_TRUE(tree.exists("/var/monitoring/board3"));
    hang_up();
    EXPECT_FALSE(tree.exists("/var/monitoring/board3")) << "the controller has gone";
    EXPECT_TRUE(tree.exists("/var/monitoring/emphone0"));
}

LGCP::DisplayParams boardStatus(int position, const std::string& version)
{
    LGCP::DisplayParams p;
    LGCP::BoardStatusParams& b = p.get_board().get_boardStatus();
    b.set_position(position);
    b.set_version(std::vector<char>(version.begin(), version.end()));
    b.set_status(LGCP::ExtBoardStatus::ready);
    b.set_type(LGCP::ExtBoardType::fxs);
    return p;
}

LGCP::DisplayParams emPhone(int id)
{
    LGCP::DisplayParams p;
    p.get_emPhone().get_phoneStatus().set_id(id);
    return p;
}

// Five boards with 16000-octet versions and 40 held rows of 2000
// characters: far more than one frame, all of it reaches an agent that
// comes back, in the order of the resend.
TEST_F(MonitoringTest, AFullResendOfALargeBoardReachesARestartedAgentWhole)
{
    make();
    linkAgent();
    connect();
    for (int position = 1; position <= 5; ++position)
        ASSERT_EQ(display(boardStatus(position, std::string(16000, char('0' + position)))), "success");
    for (int half = 0; half < 2; ++half) {
        LGCP::DisplayParams rows;
        for (int i = half * 20; i < half * 20 + 20; ++i)
            rows.get_snmp_set().get_commands().push_back(
                vbtest::set_command(i, "display", "row", i, std::string(2000, 'r')));
        ASSERT_EQ(display(rows), "success");
    }
    run_ms(1);
    tolv.take();

    tolv.close();
    ASSERT_TRUE(run_until([&] { return tolv.accept(); }, 20000)) << "the link comes back";
    ASSERT_TRUE(run_until([&] { return mon->agents().instances().at(0)->connected(); }));
    run_ms(1);
    auto got = tolv.take();
    Texts all = vbtest::item_texts(got);
    for (const auto& m : got)
        EXPECT_LE(m.size, SnmpAgentCtrl::kMaxMessage);
    EXPECT_THAT(all, testing::Contains("powerStatus=2"));
    EXPECT_THAT(all, testing::Contains("softwareBuild=" + versionTag()));
    for (int position = 1; position <= 5; ++position) {
        std::string version = "extBoardSoftVer[" + std::to_string(position) + "]=" + std::string(16000, char('0' + position));
        EXPECT_EQ(std::count(all.begin(), all.end(), version), 1) << position;
    }
    EXPECT_EQ(std::count(all.begin(), all.end(), "row[39]=" + std::string(2000, 'r')), 1);
    EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const std::string& t) { return t.rfind("row", 0) == 0; }), 40);
    EXPECT_EQ(err.str().find("refused"), std::string::npos) << err.str();
}

// Display data that could never reach an agent is refused and not stored:
// an em-phone whose row (id + 1) leaves the 32-bit indexes, trap sinks
// that no message holds.
TEST_F(MonitoringTest, DisplayRefusesWhatCannotReachTheAgents)
{
    make();
    linkAgent();
    connect();
    run_ms(1);
    items();
    for (int id : {INT32_MAX, -1, INT32_MIN})
        EXPECT_EQ(display(emPhone(id)), "error invalidParams") << id;
    EXPECT_TRUE(mon->holder().emPhones.empty());
    EXPECT_FALSE(tree.exists("/var/monitoring/emphone2147483647"));
    EXPECT_EQ(display(emPhone(INT32_MAX - 1)), "success");
    run_ms(1);
    EXPECT_THAT(items(), testing::Contains("emPhoneStatus[2147483647]=0")) << "the last row there is";

    // 128 receivers of 509 characters fit a control frame; as trap sinks,
    // each an octet longer, they fit no message.
    LGCP::DisplayParams receivers;
    for (int i = 0; i < 128; ++i)
        receivers.get_snmpTrapReceivers().push_back(ASN1::IA5String(std::string(509, 'h')));
    EXPECT_EQ(display(receivers), "error invalidParams") << "the sinks go as one message";
    EXPECT_TRUE(mon->holder().trapReceivers.empty());
    run_ms(1);
    EXPECT_TRUE(tolv.take().empty());
    receivers.get_snmpTrapReceivers().resize(127);
    EXPECT_EQ(display(receivers), "success");
    EXPECT_EQ(tolv.take().size(), 1u);
}

// Every integer a controller hands the service, at both limits of a
// 32-bit INTEGER, stored, written and fed (also by a full resend) without
// a signed overflow.
TEST_F(MonitoringTest, ControllerIntegersAtTheirLimits)
{
    make();
    linkAgent();
    connect();
    for (int v : {INT32_MIN, INT32_MAX}) {
        EXPECT_EQ(display(boardStatus(v, "v")), "success");
        EXPECT_EQ(display(termCounter(LGCP::TermCounterOwner::extBoard, v, 0)), "success");
        LGCP::DisplayParams board = termCounter(LGCP::TermCounterOwner::extBoard, v);
        board.get_termCounter().set_ownerId(v);
        EXPECT_EQ(display(board), "success");
        EXPECT_EQ(display(termCounter(LGCP::TermCounterOwner::router, v)), "success");
        LGCP::DisplayParams set;
        set.set_snmp_set(vbtest::set_commands({vbtest::set_command(v, "lim", "n", v, "x")}));
        EXPECT_EQ(display(set), "success");
        LGCP::DisplayParams controller;
        controller.get_controller().get_host().set_iaddr("10.9.9.9");
        controller.get_controller().get_host().set_port(v < 0 ? 0 : 65535);
        controller.get_controller().set_status(HSP::ControllerStatus::ok);
        EXPECT_EQ(display(controller), "success");
    }
    EXPECT_EQ(display(emPhone(0)), "success");
    run_ms(1);
    Texts sent = items();
    EXPECT_THAT(sent, testing::Contains("extBoardSoftVer[-2147483648]=v"));
    EXPECT_THAT(sent, testing::Contains("extBoardTermCnt[2147483647]=2147483647"));
    EXPECT_THAT(sent, testing::Contains("routerTermCnt=2147483648")) << "counts as unsigned 32 bits";
    EXPECT_EQ(tree.read("/var/monitoring/lim/-2147483648/n"), "x");
    EXPECT_EQ(tree.read("/var/monitoring/term_cnts/board2147483647"), "2147483647");

    mon->OnSnmpAgentConnect("tolv");
    run_ms(1);
    EXPECT_THAT(items(), testing::Contains("emPhoneStatus[1]=0"));
}

TEST_F(MonitoringTest, DriverBuildFromTheFirstLineOfTheVoiceDriversVersion)
{
    make();
    linkAgent();
    items();
    struct Case {
        std::string line;
        const char* value; // nullptr: nothing sent
    };
    const Case cases[] = {
        {"drv 3.2 build 17\n", "3.2 [build 17]"},
        {"drv 3.2 b\n", "3.2 [b]"},
        {"drv 3.2\n", "none"},
        {"\n", "none"},
        {"   drv   3.2  build   17 more  \n", "3.2 [build 17]"},
        {"drv\t3.2 x y\r\n", "x [y]"},
        {"drv 3.2 \t b\n", "3.2 [ b]"},
        {"drv " + std::string(200, 'v') + " b c\n", "none"},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        tree.write("/proc/voice/version", c.line);
        mon->sendSnmpDriverBuild();
        run_ms(1);
        EXPECT_EQ(items(), c.value ? Texts{std::string("driverBuild=") + c.value} : Texts{}) << c.line;
    }
    ::unlink(tree.path("/proc/voice/version").c_str());
    mon->sendSnmpDriverBuild();
    run_ms(1);
    EXPECT_TRUE(items().empty()) << "no file, nothing sent";
}

TEST_F(MonitoringTest, TrunkStatesOfE1LinesOnlyReachTheFramers)
{
    tree.write("/proc/driver/hdlc/peb22554/1", "Current state           : Synchronized\n");
    make();
    linkAgent();
    run_ms(1000);
    items();
    ASSERT_EQ(mon->holder().framers.size(), 1u);
    const FramerDataHolder& f = mon->holder().framers.front();
    EXPECT_EQ(f.state(), "Synchronized");

    LGCP::Signal sig;
    ACP::TrunkStatus& t = sig.get_trunkStatus();
    t.set_trunk(1);
    t.set_state(ACP::TrunkState::lossCarrier);
    t.set_type(ACP::TrunkType::bri);
    mon->OnSignal(sig);
    t.set_trunk(0);
    t.set_type(ACP::TrunkType::e1);
    mon->OnSignal(sig);
    run_ms(1);
    EXPECT_EQ(f.state(), "Synchronized") << "a BRI line and another trunk change nothing";
    EXPECT_TRUE(items().empty());

    t.set_trunk(1);
    mon->OnSignal(sig);
    mon->OnSignal(sig);
    run_ms(1);
    EXPECT_EQ(f.state(), "No Carrier");
    EXPECT_FALSE(f.connected());
    Texts resent = items();
    EXPECT_THAT(resent, testing::Contains("e1StatusDsc[2]=No Carrier"));
    EXPECT_THAT(resent, testing::Contains("softwareBuild=" + versionTag())) << "the whole state is resent";
    EXPECT_EQ(std::count(resent.begin(), resent.end(), "e1StatusDsc[2]=No Carrier"), 1) << "once";
}

TEST_F(MonitoringTest, EveryNewAgentGetsTheWholeState)
{
    // The second agent starts listening after the first is linked.
    uint16_t port = FakeAgent().port();
    make(true, "[snmpagent]\nhost=127.0.0.1:" + std::to_string(port) + "\nname=tolv\n");
    linkAgent();
    Texts first = items();
    std::string tag = versionTag();
    EXPECT_EQ(first, (Texts{"softwareBuild=" + tag, "powerStatus=0", "controllerStatus=0", "gatewayDip=4294967295",
                            "gatewayConfigVersion=4294967295", "temperature="}))
        << "nothing stored: every scalar item, no table rows";

    FakeAgent second(port);
    ASSERT_TRUE(run_until([&] { return second.accept(); }));
    ASSERT_TRUE(run_until([&] { return mon->agents().instances().at(1)->connected(); }));
    run_ms(1);
    EXPECT_EQ(items(), first) << "the agent already linked gets the resend too";
    EXPECT_EQ(vbtest::item_texts(second.take()), first);
}

} // namespace
