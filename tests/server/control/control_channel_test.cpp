// The control channel over loopback TCP in virtual time.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "runtime/tpkt_protocol.h"
#include "server/control/control_acceptor.h"
#include "server/control/control_connector.h"
#include "tests/server/control/channel_support.h"
#include "tests/support/lgcp_frames.h"
#include "tests/support/test_support.h"

using testing::HasSubstr;
using vbtest::run_until;
typedef Control::Service::State State;
typedef std::vector<uint32_t> Gaps;

namespace {

struct User : Control::Notify {
    void OnConnect() override { ++connects; }
    void OnDisconnect() override { ++disconnects, on_disconnect ? on_disconnect() : void(); }
    void OnMessage(const char* data, int length) override { messages.emplace_back(data, size_t(length)); }
    int connects = 0, disconnects = 0;
    std::vector<std::string> messages;
    std::function<void()> on_disconnect;
};

class ChannelTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    vbtest::CaptureStream out{std::cout}, err{std::cerr}, log{std::clog};
    User user;
    uint16_t port = vbtest::local_port(vbtest::tcp_socket(0, true));

    void SetUp() override { clock.set_settle_ms(2); }
    void TearDown() override
    {
        EXPECT_TRUE(multiplexer.timers().empty() && multiplexer.dpcs().empty() && multiplexer.pending().empty() &&
                    multiplexer.active().empty());
    }
    // A bind and a socket retried first meet the retries' timer types (see
    // serve_once), before a test runs short of descriptors.
    void listen_after_a_retry(Control::AcceptorNet& acceptor)
    {
        vbtest::retry_a_socket_once(clock);
        Fd blocker = vbtest::tcp_socket(port, true, INADDR_ANY);
        acceptor.Bind(&user);
        ASSERT_TRUE(acceptor.Activate());
        blocker.close();
        run_until([] { return false; }, 5000);
    }
    Fd connect(int connects)
    {
        Fd c = vbtest::tcp_socket(port, false);
        EXPECT_TRUE(run_until([&] { return user.connects == connects; }));
        return c;
    }
};

TEST_F(ChannelTest, OneControllerAtATimeAndASecondOneStartsFastProbing)
{
    Control::AcceptorNetCheckConnection acceptor(port);
    acceptor.Bind(&user);
    ASSERT_TRUE(acceptor.Activate());
    Fd first = connect(1);
    EXPECT_EQ(acceptor.peer_name(), vbtest::peer_text(first));
    EXPECT_THAT(out.str(), HasSubstr("new connection from " + vbtest::peer_text(first)));
    EXPECT_EQ(vbtest::served_option(first, SO_KEEPALIVE, SOL_SOCKET), 1);
    EXPECT_EQ(vbtest::served_option(first, TCP_NODELAY), 1);

    vbtest::write_all(first.get(), vbtest::tpkt("cmd") + vbtest::tpkt(""));
    ASSERT_TRUE(run_until([&] { return user.messages.size() == 2; }));
    EXPECT_EQ(user.messages, (std::vector<std::string>{"cmd", ""}));
    std::string longest(Tpkt_protocol::max_payload + 1, 'L');
    acceptor.Send(longest.data(), int(longest.size()));
    EXPECT_THAT(err.str(), HasSubstr("message of 65532 bytes refused"));
    acceptor.Send("ans", 3);
    EXPECT_EQ(vbtest::drain(first), vbtest::tpkt("ans"));

    Fd second = vbtest::tcp_socket(port, false);
    bool refused = false;
    ASSERT_TRUE(run_until([&] { return vbtest::drain(second, &refused), refused; }));
    EXPECT_THAT(err.str(), HasSubstr("refuse connection from " + vbtest::peer_text(second)));
    EXPECT_THAT(log.str(), HasSubstr("CheckConnectionState CheckConnection"));
    const int options[] = {TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT}, fast[] = {1, 1, 3}, normal[] = {7200, 75, 9};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(vbtest::served_option(first, options[i]), fast[i]) << i;

    // The first controller is healthy: the next check ends the fast probing.
    ASSERT_TRUE(run_until([&] { return acceptor.check_state() == 0; }, 1500));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(vbtest::served_option(first, options[i]), normal[i]) << i;
    EXPECT_EQ(user.connects + user.disconnects, 1);
}

TEST_F(ChannelTest, BindIsRetriedEvery5000MsWhileThePortIsTaken)
{
    Fd blocker = vbtest::tcp_socket(port, true, INADDR_ANY);
    vbtest::StampedLines lines(std::cerr);
    Control::AcceptorNet acceptor(port);
    acceptor.Bind(&user);
    ASSERT_TRUE(acceptor.Activate());
    ASSERT_TRUE(run_until([&] { return lines.gaps("waiting...").size() == 2; }, 12000));
    EXPECT_EQ(lines.gaps("waiting..."), (Gaps{5000, 5000}));
    EXPECT_EQ(lines.lines[0].second, "Control[]: can't bind to socket: \"Address already in use\"  waiting...");

    blocker.close();
    run_until([] { return false; }, 5000);
    Fd client = connect(1);
}

// Out of descriptors, the socket is tried again as a bind is: the run of
// failures is one line when it starts and one with its count when it ends.
// No descriptor for the socket, or none for the copy that the loop watches.
TEST_F(ChannelTest, ASocketThatCannotBeMadeIsRetriedEvery5000MsAsOneRun)
{
    Control::AcceptorNet acceptor(port);
    listen_after_a_retry(acceptor);
    for (int left : {0, 1}) {
        SCOPED_TRACE(left);
        acceptor.Deactivate();
        vbtest::StampedLines lines(std::cerr);
        {
            vbtest::DescriptorsLeft limit(left);
            ASSERT_TRUE(acceptor.Activate());
            run_until([] { return false; }, 10500);
        }
        run_until([] { return false; }, 5000);
        Fd client = connect(left + 1);
        ASSERT_EQ(lines.lines.size(), 2u);
        EXPECT_EQ(lines.lines[0].second, "Control[]: can't create socket:Too many open files");
        EXPECT_EQ(lines.lines[1].second, "Control[]: create socket fail: 2 more time(s)");
        EXPECT_EQ(lines.lines[1].first - lines.lines[0].first, 15000u);
        client.close();
        ASSERT_TRUE(run_until([&] { return user.disconnects == left + 1; }));
    }
}

// A port deactivated while its socket is still to be made stays shut: the
// retry that was pending makes nothing once descriptors are back.
TEST_F(ChannelTest, APortDeactivatedWhileItsSocketRetryIsPendingStaysShut)
{
    Control::AcceptorNet acceptor(port);
    listen_after_a_retry(acceptor);
    for (int left : {0, 1}) {
        SCOPED_TRACE(left);
        acceptor.Deactivate();
        {
            vbtest::DescriptorsLeft limit(left);
            ASSERT_TRUE(acceptor.Activate());
            acceptor.Deactivate();
        }
        run_until([] { return false; }, 5500);
        EXPECT_FALSE(vbtest::tcp_socket(port, false)) << "nothing listens";
    }
}

// Sends dropped while no peer is connected are one run whatever their
// size: a line when it starts, and its count only when there is one.
TEST_F(ChannelTest, SendsDroppedWithoutAPeerAreOneRunWhateverTheirSize)
{
    Control::AcceptorNet acceptor(port);
    acceptor.Bind(&user);
    ASSERT_TRUE(acceptor.Activate());
    const std::string started = "Control[]: Control::Service::Send() ignore Send request in Connecting state.\n";
    acceptor.Send("one", 3);
    Fd first = connect(1);
    EXPECT_EQ(err.str(), started);
    first.close();
    ASSERT_TRUE(run_until([&] { return user.disconnects == 1; }));
    err.clear();
    acceptor.Send("short", 5);
    acceptor.Send("a longer one", 12);
    Fd second = connect(2);
    EXPECT_EQ(err.str(), started + "Control[]: Control::Service::Send() fail: 1 more time(s)\n");
}

// The user hears of a lost connection from a DPC, after the stack has
// unwound, so it may even delete the channel there; meanwhile a newcomer
// waits and is served next.
TEST_F(ChannelTest, LostConnectionsAreReportedOnTheNextPassAndTheNextClientIsServed)
{
    auto* acceptor = new Control::AcceptorNetCheckConnection(port);
    acceptor->Bind(&user);
    acceptor->Activate();
    Fd first = connect(1);
    std::string peer = vbtest::peer_text(first), seen;
    user.on_disconnect = [&] { seen = err.str() + Control::GetTextNotation(acceptor->state()); };
    first.close();
    ASSERT_TRUE(run_until([&] { return user.disconnects == 1; }));
    EXPECT_THAT(seen, HasSubstr("control connection " + peer + " closed.\nConnecting"));
    // Signals sent meanwhile are one line, and their count when the next
    // controller comes.
    for (int i = 0; i < 40; ++i)
        acceptor->Send("x", 1);

    // Dropped by the server, as on a heartbeat time-out: the peer sees EOF.
    Fd next = connect(2);
    std::string text = err.str();
    EXPECT_EQ(text.find("ignore Send request"), text.rfind("ignore Send request"));
    EXPECT_THAT(text, HasSubstr("Connecting state.\nControl[]: Control::Service::Send() fail: 39 more time(s)\n"));
    acceptor->Disconnect();
    EXPECT_EQ(acceptor->state(), State::Deactivating);
    bool eof = false;
    ASSERT_TRUE(run_until([&] { return vbtest::drain(next, &eof), eof; }, 3000));

    Fd third = connect(3);
    acceptor->Disconnect();
    Fd fourth = vbtest::tcp_socket(port, false);
    acceptor->OnSocketEvent(-1, POLLIN);
    ASSERT_TRUE(run_until([&] { return user.connects == 4; }));
    EXPECT_EQ(acceptor->peer_name(), vbtest::peer_text(fourth));
    EXPECT_THAT(err.str(), testing::Not(HasSubstr("refuse connection")));

    user.on_disconnect = [&] { delete acceptor, acceptor = nullptr; };
    fourth.close();
    ASSERT_TRUE(run_until([&] { return acceptor == nullptr; }));
}

// Short of descriptors, a client is either served for good or closed at
// once with one line; never taken and left unread.
TEST_F(ChannelTest, AtTheDescriptorLimitAClientIsServedOrClosedAtOnce)
{
    Control::AcceptorNetCheckConnection acceptor(port);
    acceptor.Bind(&user);
    ASSERT_TRUE(acceptor.Activate());
    vbtest::serve_once(port, user.connects, user.disconnects);
    std::set<std::string> outcomes;
    for (int left = 4; left >= 1; --left) {
        SCOPED_TRACE(left);
        err.clear();
        user.messages.clear();
        int connects = user.connects;
        Fd client = vbtest::tcp_socket(port, false);
        bool eof = false;
        {
            vbtest::DescriptorsLeft limit(left);
            ASSERT_TRUE(run_until([&] { return user.connects > connects || (vbtest::drain(client, &eof), eof); }));
        }
        if (eof) {
            outcomes.insert("closed");
            EXPECT_EQ(err.str(), "Control[]: can't serve connection from " + vbtest::peer_text(client) +
                                     ": Too many open files\n");
            EXPECT_EQ(user.connects, connects);
            continue;
        }
        outcomes.insert("served");
        // Still served after a few checks, and heard.
        vbtest::write_all(client.get(), vbtest::tpkt("cmd"));
        run_until([] { return false; }, 3500);
        EXPECT_EQ(user.disconnects, connects);
        EXPECT_EQ(user.messages, std::vector<std::string>{"cmd"});
        client.close();
        ASSERT_TRUE(run_until([&] { return user.disconnects == user.connects; }));
    }
    EXPECT_EQ(outcomes.size(), 2u);
}

// A client waiting while no descriptor is left: the listener is looked at
// again every 100 ms, not in a busy loop, and the failure logged once.
TEST_F(ChannelTest, OutOfDescriptorsTheListenerPausesInsteadOfSpinning)
{
    Control::AcceptorNetCheckConnection acceptor(port);
    listen_after_a_retry(acceptor);
    vbtest::serve_once(port, user.connects, user.disconnects);
    err.clear();
    Fd client = vbtest::tcp_socket(port, false);
    unsigned passes = 0;
    vbtest::FnDpc count([&] { ++passes; });
    {
        vbtest::DescriptorsLeft limit(0);
        count.dpc.Activate();
        run_until([] { return false; }, 1000);
        count.dpc.Deactivate();
    }
    // Deferred calls run twice a pass; a pass every 100 ms, and the checks.
    EXPECT_LT(passes, 60u);
    EXPECT_EQ(err.str(), "Control[]: can't accept connection: Too many open files\n");
    EXPECT_EQ(user.connects, 1);
    ASSERT_TRUE(run_until([&] { return user.connects == 2; }, 100));
    EXPECT_THAT(err.str(), HasSubstr("Control[]: accept connection fail: "));
}

// Reads the connect outcome itself before the loop polls, so that a refusal
// shows as a socket error rather than as an error event.
class PollOutConnector : public Control::ConnectorNet {
public:
    using ConnectorNet::ConnectorNet;
    vbtest::FnDpc driver{[this] { connecting() ? OnSocketEvent(-1, POLLOUT) : void(); }};
};

TEST_F(ChannelTest, TheConnectorRetriesFastSevenTimesThenSlowly)
{
    const struct {
        const char* host;
        bool pollout;
        const char* line;
        uint32_t slow;
    } cases[] = {
        {"255.255.255.255", false, "can't connect to 255.255.255.255:", 20000},
        {"no.such.host", false, "can't connect to no.such.host:", 20000},
        {"127.0.0.1", false, "fail to connect to 127.0.0.1:", 15000},
        {"127.0.0.1", true, "fail to connect to 127.0.0.1:", 12000},
    };
    for (const auto& c : cases) {
        vbtest::StampedLines lines(std::cerr);
        PollOutConnector connector(c.host, port);
        if (c.pollout)
            connector.driver.dpc.Activate();
        ASSERT_TRUE(connector.Activate()) << c.host;
        ASSERT_TRUE(run_until([&] { return lines.gaps(c.line).size() == 9; }, 60000)) << c.host;
        EXPECT_EQ(lines.gaps(c.line), (Gaps{1000, 1000, 1000, 1000, 1000, 1000, 1000, c.slow, c.slow})) << c.host;
    }
}

TEST_F(ChannelTest, TheConnectorReconnects10000MsAfterALoss)
{
    Fd agent = vbtest::tcp_socket(0, true), link;
    NonBlockMode(agent.get());
    Control::ConnectorNet connector("127.0.0.1", vbtest::local_port(agent));
    connector.Bind(&user);
    ASSERT_TRUE(connector.Activate());
    uint32_t acceptedAt = 0, lostAt = 0;
    auto accepted = [&] {
        link.reset(::accept4(agent.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return acceptedAt = Mux::milliseconds(), bool(link);
    };
    ASSERT_TRUE(run_until(accepted) && run_until([&] { return user.connects == 1; }));
    EXPECT_THAT(out.str(), HasSubstr("connected to 127.0.0.1:" + std::to_string(vbtest::local_port(agent)) + "."));

    user.on_disconnect = [&] { lostAt = Mux::milliseconds(); };
    link.close();
    ASSERT_TRUE(run_until([&] { return user.disconnects == 1; }) && run_until(accepted, 20000));
    EXPECT_EQ(acceptedAt - lostAt, 10000u);
    ASSERT_TRUE(run_until([&] { return user.connects == 2; }));
    connector.Deactivate();
}

} // namespace
