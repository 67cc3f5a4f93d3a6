// The T.38 slot: the engine's command line and input, how its end is
// reported, how destruction stops it, and the instance count.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <sstream>

#include "runtime/ext.h"
#include "tests/media/modem_support.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

LGCP::Command create_t38(size_t args = 0)
{
    LGCP::Command c;
    LGCP::T38Soft& t = c.get_create().get_t38soft();
    t.get_dhost().set_iaddr("127.0.0.1");
    t.get_dhost().set_port(4000);
    t.get_shost().set_iaddr("10.9.9.9");
    t.get_shost().set_port(5000);
    t.set_rx_packet_size(160);
    t.set_rx_threshold(2);
    t.set_tx_threshold(3);
    for (size_t i = 0; i < args; ++i)
        t.get_args().push_back(ASN1::IA5String("a" + std::to_string(i)));
    return c;
}

struct T38Test : ::testing::Test, ModemWorld {
    T38SoftSlot* t38_slot(unsigned n) { return dynamic_cast<T38SoftSlot*>(slots().at(n)); }
};

TEST_F(T38Test, TheEngineGetsThePeerTheArgsAndTheChannel)
{
    EXPECT_THAT(command(create_t38(30), 2), ElementsAre("slot=2 success", "slot=2 transmitter active : 1536",
                                                        "slot=2 receiver active : 1536"));
    StandinRun run = standin.wait_run(t38_slot(2)->pid());
    ASSERT_EQ(run.argv.size(), 31u);
    EXPECT_THAT(std::vector<std::string>(run.argv.begin(), run.argv.begin() + 5),
                ElementsAre("/usr/local/sbin/t38", "--child", "--remote", "127.0.0.1/4000/5000", "a0"));
    EXPECT_EQ(run.argv.back(), "a26");
    const SimBoard::MccController::Allocated* mcc = sim.mcc().find(1536);
    ASSERT_NE(mcc, nullptr);
    EXPECT_EQ(mcc->record.type, Device::Mcc::kTransparent);
    EXPECT_EQ(mcc->record.rxPacketSize, 160u);
    EXPECT_EQ(mcc->record.rxThreshold, 2u);
    EXPECT_EQ(mcc->record.txThreshold, 3u);
    // Descriptor 0 of the engine is the channel; the server holds it no more.
    SimBoard::Channel* ch = mcc->channel;
    EXPECT_EQ(run.input, std::to_string(ch->dev) + ":" + std::to_string(ch->ino));
    EXPECT_THAT(log.str(), HasSubstr("t38soft: arg[3]=127.0.0.1/4000/5000"));

    // Destroying sends SIGTERM and answers at once.
    pid_t pid = t38_slot(2)->pid();
    EXPECT_THAT(destroy(2), ElementsAre("slot=2 success"));
    EXPECT_TRUE(run_real([&] { return standin.end(pid) == "signal 15\n" && reaped(pid); }, 4000));
    EXPECT_TRUE(run_real([&] { return sim.mcc().allocated() == 0; }));
    EXPECT_TRUE(controller().empty());
}

TEST_F(T38Test, AnEngineThatIgnoresTheEndIsKilledLater)
{
    standin.behave("T38", "term=ignore");
    command(create_t38(), 2);
    pid_t pid = standin.wait_run(t38_slot(2)->pid()).pid;
    ASSERT_GT(pid, 0);
    // Answered at once; the engine's end reaches nobody.
    EXPECT_THAT(destroy(2), ElementsAre("slot=2 success"));
    EXPECT_EQ(t38.ending(), 1u);
    // Killed 5000 ms after SIGTERM, not a moment before.
    const std::string killing = "t38soft: t38 daemon[" + std::to_string(pid) + "] ignored SIGTERM, killing";
    advance(4999);
    EXPECT_THAT(err.str(), testing::Not(HasSubstr(killing)));
    EXPECT_EQ(t38.ending(), 1u);
    EXPECT_FALSE(reaped(pid));
    advance(1);
    EXPECT_THAT(err.str(), HasSubstr(killing));
    EXPECT_TRUE(run_real([&] { return reaped(pid) && t38.ending() == 0; }, 3000));
    EXPECT_TRUE(run_real([&] { return sim.mcc().allocated() == 0; }));
    EXPECT_TRUE(controller().empty());
}

TEST_F(T38Test, AnEngineDestroyedBeforeItsExecEndsAllTheSame)
{
    // The server catches SIGTERM: that handler must not take the signal
    // meant for a child that has not reached its exec yet.
    struct sigaction caught {}, old;
    caught.sa_handler = [](int) {};
    ::sigaction(SIGTERM, &caught, &old);
    std::vector<pid_t> pids;
    for (int i = 0; i < 20; ++i) {
        command(create_t38(), 2);
        ASSERT_NE(t38_slot(2), nullptr);
        pids.push_back(t38_slot(2)->pid());
        EXPECT_THAT(destroy(2), ElementsAre("slot=2 success"));
    }
    // Each ends on its SIGTERM alone: the loop's virtual time never runs
    // ahead of real time here, so the kill 5000 ms on cannot come first.
    EXPECT_TRUE(run_real([&] {
        return std::all_of(pids.begin(), pids.end(), [](pid_t pid) { return reaped(pid); });
    }, 4500));
    ::sigaction(SIGTERM, &old, nullptr);
    EXPECT_THAT(err.str(), testing::Not(HasSubstr("ignored SIGTERM")));
    EXPECT_TRUE(run_real([&] { return t38.ending() == 0 && sim.mcc().allocated() == 0; }));
}

// The engine held the channel's only descriptor: with its end the time
// slot is the driver's again, and the slot lets its connections go.
TEST_F(T38Test, TheEnginesEndIsReported)
{
    struct Row {
        bool link;
        const char* how;
        const char* line;
        const char* signal;
    } rows[] = {
        {false, "", "t38 daemon terminated with code=237", "slot=2 abort 60672"},
        {true, "exit=5", "t38 daemon terminated with code=5", "slot=2 abort 1280"},
        {true, "", "t38 daemon terminated by signal=9", "slot=2 abort 9"},
    };
    std::string engine = root.path() + T38SoftFactory::kEngine;
    create(1);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.line);
        row.link ? void() : void(::unlink(engine.c_str()));
        standin.behave("T38", row.how);
        command(create_t38(), 2);
        const int ts = t38_slot(2)->IGetTransmitChannel();
        controller();
        if (!*row.how && row.link) {
            command(simple(LGCP::Command::e_connect, 1), 2), command(simple(LGCP::Command::e_connect, 2), 1), controller();
            ASSERT_TRUE(sim.hal().carries(101, ts) && sim.hal().carries(ts, 1));
            ::kill(standin.wait_run(t38_slot(2)->pid()).pid, SIGKILL);
        }
        EXPECT_THAT(await_controller(), ElementsAre(row.signal));
        EXPECT_THAT(log.str(), HasSubstr(row.line));
        EXPECT_EQ(t38_slot(2)->pid(), -1);
        EXPECT_FALSE(sim.hal().carries(101, ts) || sim.hal().carries(ts, 1));
        EXPECT_THAT(command(simple(LGCP::Command::e_connect, 1), 2), ElementsAre("slot=2 error internal"));
        destroy(2);
        row.link ? void() : void(::symlink(VB_STANDIN, engine.c_str()));
    }
}

// The engine reads its peer from the text as given: only a dotted quad
// reaches it, with both ports; anything else is refused before a channel
// is taken or an engine started.
TEST_F(T38Test, ThePeerAddressIsADottedQuadOrNoEngineStarts)
{
    const struct {
        std::string dhost;
        bool taken;
    } rows[] = {
        {"", false}, {"999.1.1.1", false}, {"256.0.0.1", false}, {"1.2.3.4/24", false},
        {"1.2.3", false}, {"127.1", false}, {"1.2.3.4.", false}, {"1.2.3.4:80", false},
        {std::string("127.0.0.1\0x", 11), false}, {std::string("127.0.0.1\0", 10), false},
        {"127.000.0.1", false}, {"010.0.0.1", false}, {"0x7f.0.0.1", false}, {"2130706433", false},
        {" 1.2.3.4", false}, {"1.2.3.4 ", false}, {"+1.2.3.4", false}, {"1.2.3.-4", false},
        // Last: their engines hold a channel for a while after the destroy.
        {"10.0.0.2", true}, {"0.0.0.0", true}, {"255.255.255.255", true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.dhost);
        LGCP::Command c = create_t38();
        c.get_create().get_t38soft().get_dhost().set_iaddr(row.dhost);
        if (!row.taken) {
            EXPECT_THAT(command(c, 2), ElementsAre("slot=2 error invalidParams"));
            std::ostringstream line;
            line << "t38soft: T38SoftFactory::INewSlot - dhost " << ext::quoted(row.dhost)
                 << " is no IPv4 address\n";
            EXPECT_THAT(err.str(), HasSubstr(line.str()));
            EXPECT_EQ(sim.mcc().allocated(), 0u);
            EXPECT_TRUE(standin.runs().empty());
            continue;
        }
        EXPECT_THAT(command(c, 2), Contains("slot=2 success"));
        StandinRun run = standin.wait_run(t38_slot(2)->pid());
        ASSERT_GE(run.argv.size(), 4u);
        EXPECT_EQ(run.argv[3], row.dhost + "/4000/5000");
        destroy(2);
    }
}

TEST_F(T38Test, FailuresBeforeTheEngineMakeNoSlot)
{
    sim.board.fail(Device::Mcc::kDevice, SimBoard::Op::open, ENOENT);
    EXPECT_THAT(command(create_t38(), 2), ElementsAre("slot=2 error insufficientResources"));
    sim.board.fail(Device::Mcc::kDevice, Device::Mcc::MCC_ALLOCATE, EINVAL);
    EXPECT_THAT(command(create_t38(), 2), ElementsAre("slot=2 error insufficientResources"));
    sim.board.fail(Device::Mcc::kDevice, Device::Mcc::MCC_TIMESLOT, EIO);
    EXPECT_THAT(command(create_t38(), 2), ElementsAre("slot=2 error insufficientResources"));
    EXPECT_THAT(err.str(), HasSubstr("t38soft: T38SoftFactory::INewSlot - FAIL to open </dev/mcc/ctl> [2]"));
    EXPECT_THAT(err.str(), HasSubstr("FAIL to ioctl MCC_ALLOCATE [22]"));
    EXPECT_THAT(err.str(), HasSubstr("FAIL to ioctl MCC_TIMESLOT [5]"));
    EXPECT_EQ(sim.mcc().allocated(), 0u);
    EXPECT_TRUE(standin.runs().empty());
}

// The count is read beside the loop: the query's answer and its report
// wait for it, and so does what the controller asked next, in order. Only
// a decimal number that the field holds counts; an engine that does not
// give one in time (silent, flooding its standard error, ignoring SIGTERM,
// cut short) counts 0, and is reaped all the same. What an engine writes
// on its standard error meanwhile reaches the log.
TEST_F(T38Test, TheInstanceCountWaitsBesideTheLoop)
{
    struct Row {
        const char* how;
        bool link;
        int count;
        size_t lines;
    } rows[] = {
        {"instances=8", true, 8, 0},
        {"noise=70000,instances=4", true, 4, 1093},
        {"instances=2147483647", true, 2147483647, 0},
        {"instances=none", true, 0, 0},
        {"instances=hang", true, 0, 0},
        {"term=ignore,instances=hang", true, 0, 0},
        {"partial=12,instances=hang", true, 0, 0},
        {"partial=12", true, 0, 0},
        {"noise=forever", true, 0, 0},
        {"instances=-5", true, 0, 0},
        {"instances=99999999999", true, 0, 0},
        {"instances=2147483648", true, 0, 0},
        {"instances=abc", true, 0, 0},
        {"instances=+7", true, 0, 0},
        {"", false, 0, 0},
    };
    std::string engine = root.path() + T38SoftFactory::kEngine;
    CaptureStream out(std::cout);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        standin.behave("T38", row.how);
        row.link ? void() : void(::unlink(engine.c_str()));
        log.clear();
        EXPECT_THAT(command(simple(LGCP::Command::e_query), -1, 1), ElementsAre());
        EXPECT_THAT(command(simple(LGCP::Command::e_ping), -1, 2), ElementsAre());
        // The engine's lines are counted as they come: a flooding one
        // writes more than is worth keeping.
        size_t lines = 0;
        Texts got;
        auto answers = [&](int ms) {
            run_real([&] {
                lines += count_of(out.str(), std::string(63, 'n'));
                out.clear();
                Texts more = controller();
                got.insert(got.end(), more.begin(), more.end());
                return got.size() >= 3;
            }, ms);
        };
        answers(1500);
        // One that floods never lets the loop's virtual time pass.
        if (got.size() < 3) {
            advance(T38SoftFactory::kCountTimeoutMs);
            answers(1500);
        }
        ASSERT_EQ(got.size(), 3u);
        EXPECT_EQ(got[0], "seq=1 success");
        EXPECT_THAT(got[1], HasSubstr("t38-instances " + std::to_string(row.count) + ","));
        EXPECT_EQ(got[2], "seq=2 error unexpectedMsgType");
        EXPECT_EQ(count_of(log.str(), "t38soft: t38: can't detect T38 resources\n"), row.count ? 0u : 1u);
        if (row.lines) {
            EXPECT_TRUE(run_real([&] {
                lines += count_of(out.str(), std::string(63, 'n'));
                out.clear();
                return lines >= row.lines;
            }, 3000));
            EXPECT_EQ(lines, row.lines);
        }
    }
    // Every engine asked was killed once it had its time, and reaped.
    EXPECT_TRUE(run_real([&] { return t38.counting() == 0; }, 3000));
    for (pid_t pid : standin.runs())
        EXPECT_TRUE(reaped(pid));
}

} // namespace
