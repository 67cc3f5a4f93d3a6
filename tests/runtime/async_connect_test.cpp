// Connecting in the loop: success hands over a working socket, refusal,
// time-out in virtual time, stop, bad addresses, exactly one report.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "runtime/async_connect.h"
#include "runtime/mux_time.h"
#include "tests/runtime/loop_support.h"
#include "tests/support/test_support.h"

using ASync::Connect;
using vbtest::run_until;
using vbtest::TcpListener;
typedef Connect::Status S;

namespace {

struct Result {
    std::vector<S::Type> statuses;
    std::vector<bool> withSocket;
    Fd kept;
    std::function<void()> then;
    void On(S::Type s, Fd socket)
    {
        statuses.push_back(s);
        withSocket.push_back(static_cast<bool>(socket));
        if (socket)
            kept = socket; // a copy: the engine's own descriptor goes away
        if (then)
            then();
    }
};

class ConnectTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    int fdsBefore = vbtest::settled_fd_count();
    Result result;
    Connect conn;

    void SetUp() override { conn.Bind(&Result::On, &result); }

    void TearDown() override
    {
        EXPECT_EQ(multiplexer.pending().size() + multiplexer.active().size(), 0u) << "handlers left attached";
        EXPECT_EQ(multiplexer.timers().size(), 0u) << "timers left armed";
    }

    void expectNoLeak() { EXPECT_EQ(vbtest::open_fd_count(), fdsBefore) << "descriptors leaked"; }
    bool reported() const { return !result.statuses.empty(); }
};

TEST_F(ConnectTest, ConnectedSocketWorksAfterTheEngineLetGo)
{
    clock.set_settle_ms(2000); // the handshake is real
    {
        TcpListener listener;
        conn.Start(listener.address(), 1000);
        EXPECT_TRUE(run_until([&] { return reported(); }));
        ASSERT_EQ(result.statuses, std::vector<S::Type>{S::Connected});
        EXPECT_EQ(result.withSocket, std::vector<bool>{true});
        EXPECT_EQ(multiplexer.timers().size(), 0u) << "the time-out must be cancelled";

        Fd server = listener.accept();
        ASSERT_TRUE(server);
        ASSERT_EQ(::write(result.kept.get(), "ping", 4), 4);
        char buf[8];
        EXPECT_EQ(::read(server.get(), buf, sizeof(buf)), 4);
        conn.Stop(); // after the end: nothing more
        EXPECT_EQ(result.statuses.size(), 1u);
        EXPECT_EQ(conn.status(), S::Connected);
        result.kept.reset();
    }
    expectNoLeak();
}

TEST_F(ConnectTest, RefusedPortFailsWithoutSocket)
{
    clock.set_settle_ms(2000);
    {
        TcpListener bound(-1); // bound, not listening: the port answers with a reset
        conn.Start(bound.address(), 5000);
        EXPECT_TRUE(run_until([&] { return reported(); }));
        EXPECT_EQ(result.statuses, std::vector<S::Type>{S::Failed});
        EXPECT_EQ(result.withSocket, std::vector<bool>{false});
    }
    expectNoLeak();
}

TEST_F(ConnectTest, SilentPeerFailsWhenTheTimeOutExpires)
{
    {
        // Backlog 0 holds one connection; the next SYN is dropped.
        TcpListener full(0);
        Fd filler(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        sockaddr_in a = TcpListener::loopback(full.port);
        ::connect(filler.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
        pollfd p{filler.get(), POLLOUT, 0};
        ASSERT_EQ(::poll(&p, 1, 2000), 1);

        uint32_t start = Mux::milliseconds();
        conn.Start(full.address(), 3000);
        EXPECT_TRUE(run_until([&] { return reported(); }, 10000));
        uint32_t waited = Mux::milliseconds() - start;
        EXPECT_EQ(result.statuses, std::vector<S::Type>{S::Failed});
        EXPECT_GE(waited, 3000u);
        EXPECT_LT(waited, 3100u);
    }
    expectNoLeak();
}

TEST_F(ConnectTest, StopDuringTheAttemptReportsOnceAndSilencesLaterEvents)
{
    {
        TcpListener full(0);
        Fd filler = full.connect();
        conn.Start(full.address(), 100);
        EXPECT_TRUE(result.statuses.empty());
        conn.Stop();
        EXPECT_EQ(result.statuses, std::vector<S::Type>{S::Stopped});
        // The cancelled time-out and the socket event never come.
        EXPECT_FALSE(run_until([] { return false; }, 500));
        EXPECT_EQ(result.statuses.size(), 1u);
    }
    expectNoLeak();
}

TEST_F(ConnectTest, AddressesThatDoNotParseFailAtOnceAndConnectNowhere)
{
    TcpListener listener; // on 127.0.0.1; "0.0.0.0" would reach it
    NonBlockMode(listener.fd.get());
    const std::string port = std::to_string(listener.port);
    const std::vector<std::string> bad = {"localhost:" + port, "x:" + port, ":" + port, "127.0.0.1",
                                          "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:70000", "127.0.0.1:" + port + "x",
                                          ""};
    for (const std::string& text : bad) {
        result.statuses.clear();
        conn.Start(text, 1000);
        EXPECT_EQ(result.statuses, std::vector<S::Type>{S::Failed}) << '"' << text << '"';
        EXPECT_FALSE(listener.accept()) << '"' << text << "\" reached the listener";
    }
    listener.fd.reset();
    expectNoLeak();
}

TEST_F(ConnectTest, HandlerMayRestartOrDestroyTheEngine)
{
    clock.set_settle_ms(2000);
    {
        TcpListener bound(-1);
        TcpListener listener;
        // Refused first, then connected by the restart from the handler.
        result.then = [&] {
            if (result.statuses.size() == 1)
                conn.Start(listener.address(), 1000);
        };
        conn.Start(bound.address(), 1000);
        EXPECT_TRUE(run_until([&] { return result.statuses.size() == 2; }));
        EXPECT_EQ(result.statuses, (std::vector<S::Type>{S::Failed, S::Connected}));
        result.kept.reset();

        // Destroyed from the time-out, from a socket event and from Start.
        const std::vector<std::pair<std::string, unsigned>> attempts = {
            {listener.address(), 0}, {listener.address(), 1000}, {"bad", 1000}};
        for (const auto& attempt : attempts) {
            auto owned = std::make_unique<Connect>();
            Result gone;
            gone.then = [&] { owned.reset(); };
            owned->Bind(&Result::On, &gone);
            owned->Start(attempt.first, attempt.second);
            EXPECT_TRUE(run_until([&] { return !owned; })) << attempt.first;
            EXPECT_EQ(gone.statuses.size(), 1u) << attempt.first;
        }
    }
    expectNoLeak();
}

} // namespace
