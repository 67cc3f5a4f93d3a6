// A controller over TCP in virtual time: ping answered, every dispatched
// command restarts the two-minute time-out, a silent controller is dropped.
#include <gtest/gtest.h>

#include <algorithm>

#include "server/control/control_acceptor.h"
#include "server/control/heartbeat.h"
#include "tests/server/control/lgcp_support.h"
#include "tests/support/test_support.h"

using vbtest::run_until;
typedef std::vector<std::string> Texts;

TEST(HeartBeat, ASilentControllerIsDropped120000MsAfterItsLastCommand)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    clock.set_settle_ms(2);
    vbtest::CaptureStream out(std::cout), err(std::cerr);
    vbtest::StampedLines log(std::clog);
    Texts journal;
    vbtest::ScriptedService slots("Slots", journal);
    uint32_t dispatched = 0;
    slots.script = [&](vbtest::ScriptedService&) { return dispatched = Mux::milliseconds(), false; };
    CtrlSrv::Server server;
    server.Bind(&HeartBeatCtl::instance());
    server.Bind(&slots);
    uint16_t port = vbtest::local_port(vbtest::tcp_socket(0, true));
    server.Activate(new Control::AcceptorNetCheckConnection(port));
    Fd controller = vbtest::tcp_socket(port, false);
    ASSERT_TRUE(run_until([&] { return journal.size() == 1; }));
    EXPECT_TRUE(HeartBeatCtl::instance().armed()) << "armed at the connect";

    // A command that a later service turns down counts; a PDU that is not
    // a command and a frame that does not decode do not.
    LGCP::PDU response;
    response.get_response().set_success();
    const struct {
        std::string frame;
        Texts answers;
    } exchanges[] = {{vbtest::lgcp(vbtest::command(true), 5, 3), {"seq=5 slot=3 success"}},
                     {vbtest::lgcp(vbtest::command(false), 6), {"seq=6 error unexpectedMsgType"}},
                     {vbtest::lgcp(response, 8), {"seq=8 error unexpectedMsgType"}},
                     {"\x01", {}}};
    for (const auto& x : exchanges) {
        vbtest::write_all(controller.get(), vbtest::tpkt(x.frame));
        Texts got;
        EXPECT_TRUE(run_until([&] { return (got = vbtest::answers(controller)).size() == x.answers.size(); }, 100));
        EXPECT_EQ(got, x.answers);
        run_until([] { return false; }, 50000);
    }
    bool eof = false;
    ASSERT_TRUE(run_until([&] { return vbtest::drain(controller, &eof), eof; }, 70000));
    EXPECT_EQ(journal, (Texts{"Slots connect", "Slots", "Slots disconnect"}));
    EXPECT_FALSE(HeartBeatCtl::instance().armed());
    auto timeout = std::find_if(log.lines.begin(), log.lines.end(),
                                [](const auto& l) { return l.second == "HeartBeatCtl: heartbeat timeout!!!"; });
    ASSERT_NE(timeout, log.lines.end());
    EXPECT_EQ(timeout->first - dispatched, HeartBeatCtl::timeout_ms);
}

// A peer that connects and never speaks holds the one controller place
// for two minutes at most; the real controller is served after it.
TEST(HeartBeat, APeerThatNeverSpeaksIsDropped120000MsAfterItConnected)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    clock.set_settle_ms(2);
    vbtest::CaptureStream out(std::cout), err(std::cerr);
    vbtest::StampedLines log(std::clog);
    Texts journal;
    vbtest::ScriptedService slots("Slots", journal);
    CtrlSrv::Server server;
    server.Bind(&HeartBeatCtl::instance());
    server.Bind(&slots);
    uint16_t port = vbtest::local_port(vbtest::tcp_socket(0, true));
    server.Activate(new Control::AcceptorNetCheckConnection(port));
    Fd silent = vbtest::tcp_socket(port, false);
    ASSERT_TRUE(run_until([&] { return journal.size() == 1; }));
    uint32_t connected = Mux::milliseconds();

    bool eof = false;
    EXPECT_FALSE(run_until([&] { return vbtest::drain(silent, &eof), eof; }, HeartBeatCtl::timeout_ms - 1000));
    ASSERT_TRUE(run_until([&] { return vbtest::drain(silent, &eof), eof; }, 2000));
    auto timeout = std::find_if(log.lines.begin(), log.lines.end(),
                                [](const auto& l) { return l.second == "HeartBeatCtl: heartbeat timeout!!!"; });
    ASSERT_NE(timeout, log.lines.end());
    EXPECT_EQ(timeout->first - connected, HeartBeatCtl::timeout_ms);

    Fd controller = vbtest::tcp_socket(port, false);
    vbtest::write_all(controller.get(), vbtest::tpkt(vbtest::lgcp(vbtest::command(true), 1)));
    Texts got;
    EXPECT_TRUE(run_until([&] { return !(got = vbtest::answers(controller)).empty(); }, 1000));
    EXPECT_EQ(got, Texts{"seq=1 success"});
    server.Deactivate();
}
