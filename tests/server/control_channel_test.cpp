// The control channel over loopback TCP in virtual time: the controller's
// acceptor (one client at a time, probing, drops) and the connector's
// retry schedule.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/tpkt_protocol.h"
#include "server/control_acceptor.h"
#include "server/control_connector.h"
#include "tests/server/channel_support.h"
#include "tests/support/test_support.h"

using testing::HasSubstr;
using testing::Not;
using vbtest::run_until;
typedef std::vector<uint32_t> Gaps;

namespace {

class ChannelTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    vbtest::CaptureStream out{std::cout}, err{std::cerr}, log{std::clog};
    vbtest::ChannelUser user;

    void SetUp() override { clock.set_settle_ms(20); }
    void TearDown() override
    {
        EXPECT_TRUE(multiplexer.timers().empty() && multiplexer.dpcs().empty() && multiplexer.pending().empty() &&
                    multiplexer.active().empty())
            << "the loop was left busy";
    }
};

TEST_F(ChannelTest, OneControllerAtATimeAndASecondOneStartsFastProbing)
{
    uint16_t port = vbtest::free_port();
    Control::AcceptorNetCheckConnection acceptor(port);
    acceptor.Bind(&user);
    ASSERT_TRUE(acceptor.Activate());
    EXPECT_EQ(acceptor.state(), Control::Service::State::Connecting);

    Fd first = vbtest::connect_to(port);
    ASSERT_TRUE(run_until([&] { return user.connects == 1; }));
    EXPECT_EQ(acceptor.state(), Control::Service::State::Connected);
    EXPECT_EQ(acceptor.peer_name(), vbtest::peer_text(first));
    EXPECT_THAT(out.str(), HasSubstr("new connection from " + vbtest::peer_text(first)));
    int served = vbtest::server_side_of(first);
    ASSERT_GE(served, 0);
    EXPECT_EQ(vbtest::sock_option(served, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(vbtest::sock_option(served, IPPROTO_TCP, TCP_NODELAY), 1);

    // Frames both ways.
    vbtest::write_all(first.get(), vbtest::tpkt("cmd") + vbtest::tpkt(""));
    ASSERT_TRUE(run_until([&] { return user.messages.size() == 2; }));
    EXPECT_EQ(user.messages, (std::vector<std::string>{"cmd", ""}));
    acceptor.Send("ans", 3);
    EXPECT_EQ(vbtest::drain(first), vbtest::tpkt("ans"));

    Fd second = vbtest::connect_to(port);
    bool refused = false;
    ASSERT_TRUE(run_until([&] { return vbtest::drain(second, &refused), refused; }));
    EXPECT_THAT(err.str(), HasSubstr("refuse connection from " + vbtest::peer_text(second)));
    EXPECT_EQ(acceptor.check_state(), Control::AcceptorNetCheckConnection::CheckState::CheckConnection);
    const int fast[] = {1, 1, 3}, normal[] = {7200, 75, 9}, options[] = {TCP_KEEPIDLE, TCP_KEEPINTVL, TCP_KEEPCNT};
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(vbtest::sock_option(served, IPPROTO_TCP, options[i]), fast[i]) << i;
    EXPECT_THAT(log.str(), HasSubstr("CheckConnectionState CheckConnection"));

    // The first controller is healthy: the next check ends the fast probing.
    ASSERT_TRUE(run_until([&] { return acceptor.check_state() == 0; }, 1500));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(vbtest::sock_option(served, IPPROTO_TCP, options[i]), normal[i]) << i;
    EXPECT_THAT(log.str(), HasSubstr("CheckConnectionState Idle"));
    EXPECT_EQ(user.connects, 1);
    EXPECT_EQ(user.disconnects, 0);
    acceptor.Deactivate();
}

TEST_F(ChannelTest, BindIsRetriedEvery5000MsWhileThePortIsTaken)
{
    Fd blocker(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in any = vbtest::loopback(0);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker.get(), reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
    ASSERT_EQ(::listen(blocker.get(), 1), 0);
    uint16_t port = vbtest::local_port(blocker.get());

    vbtest::StampedLines lines(std::cerr);
    Control::AcceptorNet acceptor(port);
    acceptor.Bind(&user);
    ASSERT_TRUE(acceptor.Activate());
    ASSERT_TRUE(run_until([&] { return lines.gaps("waiting...").size() == 2; }, 12000));
    EXPECT_EQ(lines.gaps("waiting..."), (Gaps{5000, 5000}));
    EXPECT_EQ(lines.lines[0].second, "Control[]: can't bind to socket: \"Address already in use\"  waiting...");

    blocker.close();
    run_until([] { return false; }, 5000);
    EXPECT_EQ(lines.gaps("waiting...").size(), 2u) << "the bind did not succeed";
    Fd client = vbtest::connect_to(port);
    ASSERT_TRUE(run_until([&] { return user.connects == 1; }));
    acceptor.Deactivate();
}

TEST_F(ChannelTest, SendOutsideAConnectionAndOverLongSendsAreRefused)
{
    uint16_t port = vbtest::free_port();
    Control::AcceptorNetCheckConnection acceptor(port);
    acceptor.Send("x", 1);
    EXPECT_THAT(err.str(), HasSubstr("Control::Service::Send() ignore Send request in Idle state."));
    acceptor.Bind(&user);
    acceptor.Activate();
    acceptor.Send("x", 1);
    EXPECT_THAT(err.str(), HasSubstr("Control::Service::Send() ignore Send request in Connecting state."));

    Fd client = vbtest::connect_to(port);
    ASSERT_TRUE(run_until([&] { return user.connects == 1; }));
    EXPECT_EQ(vbtest::drain(client), "") << "nothing sent before the connection";
    std::string longest(Tpkt_protocol::max_payload, 'L');
    err.clear();
    acceptor.Send(longest.data(), int(longest.size()) + 1);
    acceptor.Send(longest.data(), -1);
    EXPECT_THAT(err.str(), HasSubstr("65532 bytes refused"));
    EXPECT_THAT(err.str(), HasSubstr("-1 bytes refused"));
    acceptor.Send(longest.data(), int(longest.size()));
    std::string got;
    ASSERT_TRUE(run_until([&] { return (got += vbtest::drain(client)).size() >= longest.size() + 4; }));
    EXPECT_EQ(got, vbtest::tpkt(longest)) << "only the frame that fits was sent";
    acceptor.Deactivate();
}

// The user hears of a lost connection from the disconnect DPC, after the
// stack has unwound, so it may even delete the channel there.
TEST_F(ChannelTest, RemoteCloseIsReportedOnTheNextPassAndTheNextClientIsServed)
{
    uint16_t port = vbtest::free_port();
    auto* acceptor = new Control::AcceptorNetCheckConnection(port);
    acceptor->Bind(&user);
    acceptor->Activate();
    Fd first = vbtest::connect_to(port);
    ASSERT_TRUE(run_until([&] { return user.connects == 1; }));
    std::string peer = vbtest::peer_text(first);

    std::string seen;
    Control::Service::State::Type stateSeen = Control::Service::State::Idle;
    user.on_disconnect = [&] { seen = err.str(), stateSeen = acceptor->state(); };
    first.close();
    ASSERT_TRUE(run_until([&] { return user.disconnects == 1; }));
    EXPECT_THAT(seen, HasSubstr("control connection " + peer + " closed."));
    EXPECT_EQ(stateSeen, Control::Service::State::Connecting);

    Fd next = vbtest::connect_to(port);
    ASSERT_TRUE(run_until([&] { return user.connects == 2; }));
    EXPECT_EQ(acceptor->peer_name(), vbtest::peer_text(next));

    user.on_disconnect = [&] { delete acceptor, acceptor = nullptr; };
    next.close();
    ASSERT_TRUE(run_until([&] { return acceptor == nullptr; }));
}

TEST_F(ChannelTest, AServerSideDropReachesTheControllerAsEndOfStream)
{
    uint16_t port = vbtest::free_port();
    Control::AcceptorNetCheckConnection acceptor(port);
    acceptor.Bind(&user);
    acceptor.Activate();
    Fd client = vbtest::connect_to(port);
    ASSERT_TRUE(run_until([&] { return user.connects == 1; }));

    // As on a heartbeat time-out.
    acceptor.Disconnect();
    EXPECT_EQ(acceptor.state(), Control::Service::State::Deactivating);
    bool eof = false;
    ASSERT_TRUE(run_until([&] { return vbtest::drain(client, &eof), eof; }, 3000));
    EXPECT_EQ(user.disconnects, 1);

    // A controller knocking while the old link unwinds is served right
    // after, not left hanging.
    Fd next = vbtest::connect_to(port);
    ASSERT_TRUE(run_until([&] { return user.connects == 2; }));
    acceptor.Disconnect();
    Fd third = vbtest::connect_to(port);
    acceptor.OnSocketEvent(-1, POLLIN);
    ASSERT_TRUE(run_until([&] { return user.connects == 3; }));
    EXPECT_EQ(acceptor.peer_name(), vbtest::peer_text(third));
    EXPECT_THAT(err.str(), Not(HasSubstr("refuse connection")));
    acceptor.Deactivate();
}

// Reads the connect event's outcome itself, so the socket error path is
// taken even though the kernel also reports the error as an event.
class PollOutConnector : public Control::ConnectorNet {
public:
    using ConnectorNet::ConnectorNet;
    vbtest::FnDpc driver{[this] {
        if (connecting())
            OnSocketEvent(-1, POLLOUT);
    }};
};

TEST_F(ChannelTest, TheConnectorRetriesFastSevenTimesThenSlowly)
{
    uint16_t closed = vbtest::free_port();
    const struct {
        const char* host;
        bool pollout;
        const char* line;
        uint32_t slow;
    } cases[] = {
        {"255.255.255.255", false, "can't connect to 255.255.255.255:", 20000},
        {"127.0.0.1", false, "fail to connect to 127.0.0.1:", 15000},
        {"127.0.0.1", true, "fail to connect to 127.0.0.1:", 12000},
        {"no.such.host", false, "can't connect to no.such.host:", 20000},
    };
    for (const auto& c : cases) {
        vbtest::StampedLines lines(std::cerr);
        PollOutConnector connector(c.host, closed);
        if (c.pollout)
            connector.driver.dpc.Activate();
        ASSERT_TRUE(connector.Activate()) << c.host;
        ASSERT_TRUE(run_until([&] { return lines.gaps(c.line).size() == 9; }, 60000)) << c.host;
        EXPECT_EQ(lines.gaps(c.line), (Gaps{1000, 1000, 1000, 1000, 1000, 1000, 1000, c.slow, c.slow})) << c.host;
        connector.Deactivate();
        EXPECT_EQ(connector.state(), Control::Service::State::Idle);
    }
}

TEST_F(ChannelTest, TheConnectorReconnects10000MsAfterALoss)
{
    Fd agent = vbtest::listener();
    uint16_t port = vbtest::local_port(agent.get());
    NonBlockMode(agent.get());
    Control::ConnectorNet connector("127.0.0.1", port);
    connector.service_name("agent");
    connector.Bind(&user);
    ASSERT_TRUE(connector.Activate());

    Fd link;
    uint32_t acceptedAt = 0;
    auto accepted = [&] {
        link.reset(::accept4(agent.get(), nullptr, nullptr, SOCK_CLOEXEC));
        acceptedAt = Mux::milliseconds();
        return bool(link);
    };
    ASSERT_TRUE(run_until(accepted));
    ASSERT_TRUE(run_until([&] { return user.connects == 1; }));
    EXPECT_THAT(out.str(), HasSubstr("connected to 127.0.0.1:" + std::to_string(port) + "."));
    connector.Send("mon", 3);
    EXPECT_EQ(vbtest::drain(link), vbtest::tpkt("mon"));
    vbtest::write_all(link.get(), vbtest::tpkt("set"));
    ASSERT_TRUE(run_until([&] { return user.messages.size() == 1; }));
    EXPECT_EQ(user.messages[0], "set");

    link.close();
    uint32_t lostAt = 0;
    user.on_disconnect = [&] { lostAt = Mux::milliseconds(); };
    ASSERT_TRUE(run_until([&] { return user.disconnects == 1; }));
    ASSERT_TRUE(run_until(accepted, 20000));
    EXPECT_EQ(acceptedAt - lostAt, 10000u);
    ASSERT_TRUE(run_until([&] { return user.connects == 2; }));
    connector.Deactivate();
}

} // namespace
