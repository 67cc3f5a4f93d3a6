// Connecting in the loop: a working socket handed over, refusal, time-out
// in virtual time, stop, bad addresses, and exactly one report.
#include <gtest/gtest.h>

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
typedef std::vector<S::Type> Reports;

namespace {

struct Result {
    Reports statuses;
    Fd kept;
    std::function<void()> then;
    void On(S::Type s, Fd socket)
    {
        statuses.push_back(s);
        EXPECT_EQ(static_cast<bool>(socket), s == S::Connected);
        kept = std::move(socket);
        if (then)
            then(); // may delete the engine
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
        result.kept.reset();
        EXPECT_EQ(vbtest::open_fd_count(), fdsBefore) << "descriptors leaked";
    }
    void runToReport() { EXPECT_TRUE(run_until([&] { return !result.statuses.empty(); }, 10000)); }
};

TEST_F(ConnectTest, SilentPeerFailsAtTheTimeOutAndStopEndsAnAttempt)
{
    TcpListener full(0); // holds one connection; further SYNs are dropped
    Fd filler = full.connect();
    uint32_t start = Mux::milliseconds();
    conn.Start(full.address(), 3000);
    runToReport();
    EXPECT_EQ(result.statuses, Reports{S::Failed});
    EXPECT_EQ(Mux::milliseconds() - start, 3000u);

    conn.Start(full.address(), 3000);
    conn.Stop();
    EXPECT_FALSE(run_until([] { return false; }, 5000)); // no event, no time-out
    EXPECT_EQ(result.statuses, (Reports{S::Failed, S::Stopped}));
}

TEST_F(ConnectTest, AddressesThatDoNotParseFailAtOnceAndConnectNowhere)
{
    TcpListener listener; // on 127.0.0.1, which 0.0.0.0 would reach
    NonBlockMode(listener.fd.get());
    const std::string port = std::to_string(listener.port);
    for (const std::string& text : {"localhost:" + port, "x:" + port, ":" + port, std::string("127.0.0.1"),
                                    std::string("127.0.0.1:0"), std::string("127.0.0.1:70000"), std::string()}) {
        result.statuses.clear();
        conn.Start(text, 1000);
        EXPECT_EQ(result.statuses, Reports{S::Failed}) << '"' << text << '"';
        EXPECT_FALSE(listener.accept()) << '"' << text << "\" reached the listener";
    }
}

TEST_F(ConnectTest, RefusedThenRestartedFromTheHandlerAndTheSocketWorks)
{
    clock.set_settle_ms(2000); // the handshake is real
    TcpListener bound(-1), listener; // bound, not listening: refused
    result.then = [&] {
        if (result.statuses.size() == 1)
            conn.Start(listener.address(), 1000);
    };
    conn.Start(bound.address(), 1000);
    EXPECT_TRUE(run_until([&] { return result.statuses.size() == 2; }));
    ASSERT_EQ(result.statuses, (Reports{S::Failed, S::Connected}));
    // The engine has let go of the socket: it works, and Stop changes nothing.
    conn.Stop();
    Fd server = listener.accept();
    ASSERT_EQ(::write(result.kept.get(), "ping", 4), 4);
    char buf[8];
    EXPECT_EQ(::read(server.get(), buf, sizeof(buf)), 4);
    EXPECT_EQ(result.statuses.size(), 2u);
}

TEST_F(ConnectTest, HandlerMayDestroyTheEngine)
{
    clock.set_settle_ms(2000);
    TcpListener listener;
    // Destroyed from the time-out, from the socket event and from Start.
    for (unsigned timeout : {0u, 1000u, 1u}) {
        auto owned = std::make_unique<Connect>();
        Result gone;
        gone.then = [&] { owned.reset(); };
        owned->Bind(&Result::On, &gone);
        owned->Start(timeout == 1 ? "bad" : listener.address(), timeout);
        EXPECT_TRUE(run_until([&] { return !owned; }));
        EXPECT_EQ(gone.statuses.size(), 1u);
    }
}

} // namespace
