// The SNMP agent links: configuration blocks, items routed by address
// type and batched per loop pass, pings, silent agents dropped; over
// loopback TCP in virtual time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "monitoring/snmp_agent.h"
#include "runtime/mux_time.h"
#include "tests/monitoring/monitoring_support.h"
#include "tests/runtime/loop_support.h"
#include "tests/server/control/channel_support.h"

using testing::ElementsAre;
using testing::HasSubstr;
using vbtest::FakeAgent;
using vbtest::run_until;
typedef SnmpAgentCtrl Items;
typedef std::vector<std::string> Texts;

namespace {

struct CountConnects : ISnmpAgentNotify {
    void OnSnmpAgentConnect(const std::string& name) override { names.push_back(name); }
    Texts names;
};

class AgentLinkTest : public ::testing::Test {
protected:
    explicit AgentLinkTest(uint64_t start_ms = 1000000) : clock(start_ms) {}

    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    vbtest::CaptureStream out{std::cout}, err{std::cerr}, log{std::clog};
    CountConnects notify;
    std::unique_ptr<SnmpAgentCtrl> ctrl{new SnmpAgentCtrl};

    void SetUp() override { clock.set_settle_ms(2); }
    void TearDown() override { ctrl.reset(); }

    // One block per (host, name).
    void configure(const std::vector<std::pair<std::string, std::string>>& blocks)
    {
        std::string text;
        for (const auto& b : blocks)
            text += "[snmpagent]\nhost=" + b.first + "\nname=" + b.second + "\n";
        IniFile::File file;
        vbtest::ini_from(file, text);
        ctrl->CreateInstances(file["snmpagent"]);
        ctrl->Bind(&notify);
    }
    SnmpAgentInstance& instance(size_t i) { return *ctrl->instances().at(i); }
    // Accepts the link of each agent and runs until every instance is up.
    bool link(std::initializer_list<FakeAgent*> agents)
    {
        return run_until([&] {
            bool all = true;
            for (FakeAgent* a : agents)
                all = (a->linked() || a->accept()) && all;
            for (auto& i : ctrl->instances())
                all = all && (i->state() == 0 || i->connected());
            return all;
        });
    }
    // One loop pass and a little: what was queued has left.
    void pass() { run_until([] { return false; }, 1); }
};

TEST_F(AgentLinkTest, ConfigurationBlocks)
{
    struct Case {
        std::string host, name;
        int state, type;
        const char* error;
    };
    const Case cases[] = {
        {"127.0.0.1:4000", "tolv", 1, 2, ""},
        {"127.0.0.1:4000", "lemzgw.vd", 1, 4, ""},
        {"127.0.0.1:4000", "lemzgw", 1, 1, ""},
        {"127.0.0.1:4000", "5", 1, 5, ""},
        {"127.0.0.1:4000", "0x6", 1, 6, ""},
        {"10.0.0.5", "tolv", 0, -1, ""},
        {"10.0.0.5:70000", "tolv", 0, -1, ""},
        {"127.0.0.1:4000", "agent", 0, -1, "snmpagent: required key \"name\" has invalid value=\"agent\""},
        {"127.0.0.1:4000", "5x", 0, -1, "snmpagent: required key \"name\" has invalid value=\"5x\""},
        {"", "", 0, -1, "snmpagent: required key \"host\" not present"},
    };
    for (const Case& c : cases) {
        err.clear();
        ctrl.reset(new SnmpAgentCtrl);
        if (c.host.empty()) {
            IniFile::File file;
            vbtest::ini_from(file, "[snmpagent]\nname=tolv\n");
            ctrl->CreateInstances(file["snmpagent"]);
        } else {
            configure({{c.host, c.name}});
        }
        ASSERT_EQ(ctrl->instances().size(), 1u) << "a block that fails stays in the list";
        EXPECT_EQ(instance(0).state(), c.state) << c.host << " " << c.name;
        if (c.type >= 0) {
            EXPECT_EQ(instance(0).addressType(), c.type) << c.name;
        }
        if (*c.error) {
            EXPECT_THAT(err.str(), HasSubstr(c.error));
        } else if (c.state == 0) {
            EXPECT_EQ(err.str(), "") << c.host << ": inactive without a word";
        }
    }
}

TEST_F(AgentLinkTest, ItemsReachTheAgentsOfTheirAddressType)
{
    FakeAgent tolv, vd, lemzgw;
    configure({{tolv.host(), "tolv"}, {vd.host(), "lemzgw.vd"}, {lemzgw.host(), "lemzgw"}});
    ASSERT_TRUE(link({&tolv, &vd, &lemzgw}));
    EXPECT_EQ(notify.names, (Texts{"tolv", "lemzgw.vd", "lemzgw"}));
    EXPECT_THAT(log.str(), HasSubstr("snmpagent.tolv " + tolv.host() + ": connected."));

    ctrl->Send(Items::powerStatus, "2");
    ctrl->Send(Items::sgBuildVersion, "B1");
    ctrl->Send(Items::e1Connected, 1, "1");
    pass();
    auto t = tolv.take(), v = vd.take();
    ASSERT_EQ(t.size(), 1u) << "one message per pass";
    ASSERT_EQ(v.size(), 1u);
    EXPECT_THAT(t[0].texts(), ElementsAre("powerStatus=2", "e1Connected[1]=1"));
    EXPECT_THAT(v[0].texts(), ElementsAre("powerStatus=2", "sgBuildVersion=B1"));
    EXPECT_EQ(t[0].items[0].section, "gatewayCommon");
    EXPECT_EQ(t[0].items[1].section, "e1Table");
    // A mask-6 item goes to type 2, then type 4, each with its own uniq.
    EXPECT_EQ(t[0].items[0].uniq, 1);
    EXPECT_EQ(v[0].items[0].uniq, 2);
    EXPECT_EQ(v[0].items[1].uniq, 3);
    EXPECT_EQ(t[0].items[1].uniq, 4);
    EXPECT_TRUE(lemzgw.take().empty()) << "lemzgw takes no items";

    ctrl->SendTrapsink({"10.1.1.1", "10.1.1.2"});
    ctrl->SendTrapsink({});
    ctrl->Send(vbtest::set_commands({vbtest::oid_command(77, "1.3.6.1", "v")}));
    ctrl->Send(MON::SnmpSetCommands());
    for (FakeAgent* a : {&tolv, &vd, &lemzgw}) {
        auto got = a->take();
        ASSERT_EQ(got.size(), 2u) << "sent at once, empty lists send nothing";
        EXPECT_EQ(got[0].kind, "trapsink 10.1.1.1 10.1.1.2");
        ASSERT_EQ(got[1].items.size(), 1u);
        EXPECT_EQ(got[1].items[0].uniq, 77) << "the controller's uniq as given";
    }

    ctrl->Send(Items::routerTermCnt, "1");
    pass();
    ctrl->Send(Items::routerTermCnt, "2");
    pass();
    auto later = tolv.take();
    ASSERT_EQ(later.size(), 2u);
    EXPECT_EQ(later[0].items[0].uniq, 5);
    EXPECT_EQ(later[1].items[0].uniq, 7) << "the counter runs on, never reset";
}

TEST_F(AgentLinkTest, ALongBatchGoesOutInListsAnAgentDecodes)
{
    FakeAgent agent;
    configure({{agent.host(), "tolv"}});
    ASSERT_TRUE(link({&agent}));
    for (int row = 1; row <= 300; ++row)
        ctrl->Send(Items::extBoardStatus, row, "3");
    pass();
    auto got = agent.take();
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0].items.size(), 128u);
    EXPECT_EQ(got[1].items.size(), 128u);
    EXPECT_EQ(got[2].items.size(), 44u);
    EXPECT_EQ(got[2].items.back().text(), "extBoardStatus[300]=3") << "in order, nothing lost";
    EXPECT_EQ(got[1].items.front().uniq, 129);
    EXPECT_EQ(log.str().find("encode MON message fail"), std::string::npos);

    MON::SnmpSetCommands many;
    for (int i = 0; i < 200; ++i)
        many.get_commands().push_back(vbtest::oid_command(i, "1.3.6.1", "v"));
    ctrl->Send(many);
    got = agent.take();
    ASSERT_EQ(got.size(), 2u) << "the held set commands of a resend too";
    EXPECT_EQ(got[1].items.back().uniq, 199);
}

// Values of random length: every message fits one frame, every item
// arrives in order, and a message ends short of its 128 commands only when
// the next item would not have fitted.
TEST_F(AgentLinkTest, BatchesAreCutByTheirEncodedSize)
{
    FakeAgent agent;
    configure({{agent.host(), "tolv"}});
    ASSERT_TRUE(link({&agent}));
    std::mt19937 random(36);
    Texts queued;
    for (int row = 1; row <= 48; ++row) {
        std::string value(random() % 6000, char('a' + row % 26));
        ctrl->Send(Items::extBoardSoftVer, row, value);
        queued.push_back("extBoardSoftVer[" + std::to_string(row) + "]=" + value);
    }
    pass();
    auto got = agent.take();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(vbtest::item_texts(got), queued);
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_LE(got[i].size, SnmpAgentCtrl::kMaxMessage) << i;
        if (i + 1 < got.size()) {
            EXPECT_GT(got[i].size + got[i + 1].items[0].value.size() + 48, SnmpAgentCtrl::kMaxMessage)
                << "message " << i << " was cut early";
        }
    }

    // The controller's own commands: 40 rows of 2000 characters.
    MON::SnmpSetCommands rows;
    for (int i = 0; i < 40; ++i)
        rows.get_commands().push_back(vbtest::set_command(i, "display", "row", i, std::string(2000, 'r')));
    ctrl->Send(rows);
    got = agent.take();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].items.size() + got[1].items.size(), 40u);
    EXPECT_EQ(got[1].items.back().uniq, 39);
    EXPECT_LE(got[0].size, SnmpAgentCtrl::kMaxMessage);

    // One item that no frame holds is dropped alone, with one line.
    ctrl->Send(Items::extBoardSoftVer, 1, std::string(SnmpAgentCtrl::kMaxMessage, 'x'));
    ctrl->Send(Items::extBoardSoftVer, 2, "small");
    pass();
    EXPECT_EQ(vbtest::item_texts(agent.take()), Texts{"extBoardSoftVer[2]=small"});
    EXPECT_THAT(err.str(), HasSubstr("SnmpAgentCtrl: item extBoardSoftVer[1] of 65531 octets dropped"));
}

TEST_F(AgentLinkTest, APingAfterEveryFiveSecondsOfSendSilence)
{
    FakeAgent agent;
    configure({{agent.host(), "tolv"}});
    ASSERT_TRUE(link({&agent}));
    run_until([] { return false; }, 20000);
    EXPECT_TRUE(agent.take().empty()) << "no ping before the first send";

    ctrl->Send(Items::temperature, "40");
    uint32_t sent = 0;
    std::vector<uint32_t> pings;
    run_until([&] {
        for (const auto& m : agent.take()) {
            if (m.kind == "set")
                sent = Mux::milliseconds();
            else if (m.kind == "ping")
                pings.push_back(Mux::milliseconds() - sent);
            agent.send(vbtest::mon_payload(vbtest::ping_answer()));
        }
        return pings.size() == 3;
    }, 20000);
    EXPECT_EQ(pings, (std::vector<uint32_t>{5000, 10000, 15000}));
    EXPECT_FALSE(agent.closed()) << "an agent that answers stays";
}

// Out of descriptors, a link does not give up: its socket is tried again
// every 5000 ms as one run of failures, and it connects once descriptors
// are back. A first link meets the path's types first (see serve_once).
TEST_F(AgentLinkTest, ALinkWithoutASocketIsTriedAgainUntilItConnects)
{
    FakeAgent agent;
    configure({{agent.host(), "tolv"}});
    ASSERT_TRUE(link({&agent}));
    ctrl.reset(new SnmpAgentCtrl);
    vbtest::retry_a_socket_once(clock);
    err.clear();
    {
        vbtest::DescriptorsLeft limit(0);
        configure({{agent.host(), "tolv"}});
        run_until([] { return false; }, 10500);
    }
    ASSERT_TRUE(link({&agent}));
    std::string header = "Control[snmpagent.tolv " + agent.host() + "]: ";
    EXPECT_EQ(err.str(), header + "can't create socket:Too many open files\n" + header +
                             "create socket fail: 2 more time(s)\n");
}

// An agent dropped while its socket is still to be made is not connected
// to once descriptors are back.
TEST_F(AgentLinkTest, AnAgentDroppedWhileItsSocketRetryIsPendingIsNeverConnected)
{
    FakeAgent agent;
    configure({{agent.host(), "tolv"}});
    ASSERT_TRUE(link({&agent}));
    ctrl.reset(new SnmpAgentCtrl);
    agent.close();
    vbtest::retry_a_socket_once(clock);
    {
        vbtest::DescriptorsLeft limit(0);
        configure({{agent.host(), "tolv"}});
        ctrl.reset(new SnmpAgentCtrl);
    }
    run_until([] { return false; }, 5500);
    EXPECT_FALSE(agent.accept());
}

// An agent that is not there is asked for again 1000 ms apart eight times
// in all, then every 15000 ms.
TEST_F(AgentLinkTest, AnAgentThatIsNotThereIsAskedFastThenSlowly)
{
    std::string host;
    {
        FakeAgent gone;
        host = gone.host();
    }
    configure({{host, "tolv"}});
    auto tries = [&] {
        const std::string text = err.str();
        return std::count(text.begin(), text.end(), '\n');
    };
    const std::pair<unsigned, long> steps[] = {{500, 1}, {7000, 8}, {14000, 8}, {1500, 9}, {14000, 9}, {1500, 10}};
    for (const auto& step : steps) {
        run_until([] { return false; }, step.first);
        EXPECT_EQ(tries(), step.second) << err.str();
    }
    EXPECT_THAT(err.str(), testing::StartsWith("Control[snmpagent.tolv " + host + "]: fail to connect to " + host));
}

// An agent that never answers is dropped at the first send more than
// 30000 ms after it was last heard of: the ping at 35000 ms; also when the
// 32-bit millisecond count wraps 20 s after the link comes up.
struct SilentAgentTest : AgentLinkTest, ::testing::WithParamInterface<uint64_t> {
    SilentAgentTest() : AgentLinkTest(GetParam()) {}
};

TEST_P(SilentAgentTest, IsDroppedAtTheFirstSendAfter30s)
{
    FakeAgent agent;
    configure({{agent.host(), "tolv"}});
    ASSERT_TRUE(link({&agent}));
    uint32_t up = Mux::milliseconds();
    ctrl->Send(Items::temperature, "40");
    uint32_t closedAt = 0;
    ASSERT_TRUE(run_until([&] { return agent.closed() && (closedAt = Mux::milliseconds()); }, 60000));
    EXPECT_EQ(closedAt - up, 35000u);
    EXPECT_EQ(closedAt < up, GetParam() > 0xFFFF0000u) << "the count wrapped";
    EXPECT_THAT(log.str(), HasSubstr(": ping timeout !!! now="));
    EXPECT_THAT(log.str(), HasSubstr("connection lost, reset snmpagent instance"));
    EXPECT_EQ(instance(0).state(), SnmpAgentInstance::stateLost);

    // It comes back by itself, and the owner hears of it to resend all.
    ASSERT_TRUE(run_until([&] { return agent.accept(); }, 20000));
    ASSERT_TRUE(run_until([&] { return instance(0).connected(); }));
    EXPECT_EQ(notify.names, (Texts{"tolv", "tolv"}));
}

INSTANTIATE_TEST_SUITE_P(Clock, SilentAgentTest, ::testing::Values(1000000, 0x100000000ull - 20000));

// Frames the link cannot use are one run, whatever their kind, until a
// message it understands; every line of the link names the agent.
TEST_F(AgentLinkTest, WhatAnAgentSends)
{
    FakeAgent agent;
    configure({{agent.host(), "tolv"}});
    ASSERT_TRUE(link({&agent}));
    agent.send_raw("\x55\x55");
    agent.send(std::string("\xff\xff\xff", 3));
    agent.send(std::string("\xC0", 1)); // a fourth PDU: no answer owed to an agent
    MON::Message command;
    command.get_pdu().get_command().set_ping();
    agent.send(vbtest::mon_payload(command));
    MON::Message signal;
    signal.get_pdu().get_signal().get_snmp_set().set_value("x");
    agent.send(vbtest::mon_payload(signal));
    agent.send(vbtest::mon_payload(vbtest::ping_answer()));
    agent.send(vbtest::mon_payload(command));
    run_until([&] {
        const std::string text = err.str();
        return std::count(text.begin(), text.end(), '\n') == 3;
    });
    pass();
    std::string header = "snmpagent.tolv " + agent.host();
    EXPECT_EQ(err.str(), header + ": receive : decode error!\n" + header + ": receive fail: 2 more time(s)\n" +
                             header + ": receive unknown message type\n");
    EXPECT_THAT(log.str(), HasSubstr(header + " bad TPKT packet start. skipped=2\n"));
    EXPECT_FALSE(agent.closed());
}

TEST_F(AgentLinkTest, NothingIsQueuedForAnAgentThatIsNotConnected)
{
    FakeAgent agent;
    configure({{agent.host(), "tolv"}, {"10.0.0.5", "tolv"}});
    ASSERT_FALSE(instance(0).connected());
    ctrl->Send(Items::powerStatus, "1");
    pass();
    ASSERT_TRUE(link({&agent}));
    ctrl->Send(Items::powerStatus, "2");
    pass();
    auto got = agent.take();
    ASSERT_EQ(got.size(), 1u) << "the value sent before the link came up was dropped";
    EXPECT_THAT(got[0].texts(), ElementsAre("powerStatus=2"));
}

} // namespace
