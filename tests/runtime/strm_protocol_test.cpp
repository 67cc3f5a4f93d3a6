// The stream socket layer: chunks up, synchronous writes down, and how
// socket trouble ends the layer.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "runtime/mux_time.h"
#include "runtime/strm_protocol.h"
#include "tests/runtime/stack_support.h"
#include "tests/support/test_support.h"

using vbtest::make_packet;
using vbtest::run_until;
typedef std::vector<std::string> Texts;

namespace {

class StrmTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    vbtest::SocketPair pair = vbtest::unix_pair();
    vbtest::Recorder owner;
    StrmProtocol* strm = new StrmProtocol(pair.a);

    void SetUp() override
    {
        clock.set_settle_ms(200); // virtual time waits that long for a real peer
        strm->service_name = "ctl";
        owner.add_protocol_tail(strm);
        owner.activate();
    }
    void TearDown() override { owner.deactivate(); }
};

TEST_F(StrmTest, ChunksGoUpAndAClosingPeersLastDataBeforeItsEnd)
{
    EXPECT_EQ(owner.activated, 1);
    std::string big(150000, 'b');
    std::thread writer([&] { vbtest::write_all(pair.b.get(), big); });
    std::string got;
    ASSERT_TRUE(run_until([&] {
        for (const std::string& m : owner.messages) {
            EXPECT_LE(m.size(), 65536u);
            got += m;
        }
        owner.messages.clear();
        return got.size() == big.size();
    }));
    writer.join();
    // Closing makes the next event POLLIN | POLLHUP: the data still goes up.
    ASSERT_TRUE(vbtest::write_all(pair.b.get(), "last words"));
    pair.b.close();
    ASSERT_TRUE(run_until([&] { return !owner.ends.empty(); }));
    EXPECT_EQ(owner.messages, Texts{"last words"});
    EXPECT_EQ(owner.ends[0].rfind("read error: ", 0), 0u) << owner.ends[0];
    EXPECT_EQ(owner.end_source, strm);
    EXPECT_FALSE(strm->attached());
}

TEST_F(StrmTest, EventBitsInOrderErrorDataHangUp)
{
    ASSERT_TRUE(vbtest::write_all(pair.b.get(), "abc"));
    strm->on_event(strm->fd(), 0);
    strm->on_event(strm->fd(), POLLIN | POLLHUP);
    strm->on_event(strm->fd(), POLLIN); // finds nothing: changes nothing
    EXPECT_EQ(owner.messages, Texts{"abc"});
    EXPECT_TRUE(owner.ends.empty());
    strm->on_event(strm->fd(), POLLIN | POLLHUP);
    ASSERT_EQ(owner.ends.size(), 1u);
    EXPECT_EQ(owner.ends[0].rfind("pollhup: ", 0), 0u) << owner.ends[0];

    strm->attach(pair.b);
    owner.activate();
    ASSERT_TRUE(vbtest::write_all(pair.a.get(), "abc"));
    strm->on_event(strm->fd(), POLLERR | POLLIN);
    EXPECT_EQ(owner.messages.size(), 1u) << "no read after an error";
    EXPECT_EQ(owner.ends.back().rfind("pollerr: ", 0), 0u);
    EXPECT_FALSE(strm->attached());

    owner.activate();
    EXPECT_EQ(owner.ends.back(), "fd not attached (error)");
    EXPECT_EQ(multiplexer.pending().size(), 0u);
}

TEST_F(StrmTest, WritesAndTheirFailures)
{
    Packet empty = make_packet(""), p = make_packet("frame", 4);
    EXPECT_TRUE(owner.message(empty));
    EXPECT_TRUE(owner.message(p));
    char buf[16];
    EXPECT_EQ(::recv(pair.b.get(), buf, sizeof(buf), MSG_DONTWAIT), 5);

    pair.b.close();
    vbtest::CaptureStream err(std::cerr);
    EXPECT_FALSE(owner.message(p));
    EXPECT_EQ(err.str().rfind("SockStream[ctl]: write error, sendbuf=", 0), 0u) << err.str();
    EXPECT_NE(err.str().find(std::string(", error=") + std::strerror(EPIPE) + "\n"), std::string::npos);
    EXPECT_EQ(owner.ends, Texts{std::string("write error: ") + std::strerror(EPIPE) + " (error)"});
    EXPECT_EQ(strm->overflow, 1u);
    EXPECT_FALSE(owner.message(p)) << "nothing left to write to";
}

TEST_F(StrmTest, EmptyPoolDefersTheReadAndLosesNothing)
{
    ASSERT_TRUE(vbtest::write_all(pair.b.get(), "kept"));
    vbtest::CaptureStream err(std::cerr), log(std::clog);
    {
        vbtest::PoolDrain drain;
        strm->on_event(strm->fd(), POLLIN);
        strm->on_event(strm->fd(), POLLIN | POLLHUP);
        EXPECT_EQ(strm->inq_space(), 4) << "the bytes stay in the socket";
    }
    strm->on_event(strm->fd(), POLLIN);
    EXPECT_EQ(owner.messages, Texts{"kept"});
    EXPECT_TRUE(owner.ends.empty());
    EXPECT_EQ(err.str(), "SockStream[ctl]: packet pool empty, read deferred\n");
    EXPECT_EQ(log.str(), "SockStream[ctl]: packet pool available again after 2 deferred reads\n");
}

// Nothing waits in the loop: what the socket does not take waits in the
// stream's queue and leaves, in order, as the peer reads, also while new
// messages come in. A peer that takes nothing for the budget, or lets the
// queue pass its bound, is dropped with one line; one that reads, however
// slowly, is not. The bound counts only what waits, and the queue's memory,
// a message being copied in included, grows with what waits, stays within
// the bound and goes back when the queue empties or the peer goes.
TEST(StrmQueue, WhatThePeerDoesNotTakeWaitsBoundedAndInOrder)
{
    const size_t deflt = StrmProtocol::out_bound_default;
    const int small = 4096, large = 1 << 19;
    const unsigned trickles = 200;
    enum Fill { no, toBound, toBoundAgain };
    const struct {
        const char* what;
        size_t bound;
        int sndbuf;            // asked of the socket
        size_t burst;          // written at the start, in messages of 60000 bytes
        Fill fill;             // then one that fills the queue to its bound; again once part was sent
        unsigned readEveryMs;  // 0: the peer never reads
        size_t readMost;       // what one read takes at most; 0: all there is
        unsigned readForMs;    // after this the peer reads no more; 0: never
        size_t trickle;        // written after each of the first reads
        const char* line;      // the reason it is dropped for; "" when it stays
        uint32_t endsFrom, endsBy;
    } cases[] = {
        {"a peer that reads every 900 ms gets it all", deflt, small, 240000, no, 900, 0, 0, 0, "", 0, 0},
        {"a peer that takes nothing", deflt, small, 240000, no, 0, 0, 0, 0, "write timeout", 1000, 1000},
        {"a queue past its bound", 100000, small, 240000, no, 900, 0, 0, 0, "write queue over its bound", 0, 0},
        {"a queue that holds exactly its bound", 100000, small, 60000, toBound, 100, 0, 0, 0, "", 0, 0},
        {"a queue refilled to its bound once part was sent", 100000, small, 60000, toBoundAgain, 100, 8192, 0, 0, "",
         0, 0},
        {"8 KB every 100 ms while megabytes wait", deflt, large, 3000000, no, 100, 8192, 0, 0, "", 0, 0},
        {"a slow reader that stops", deflt, large, 3000000, no, 100, 8192, 2950, 0, "write timeout", 2951,
         2950 + 2 * StrmProtocol::write_budget_ms},
        {"messages come while the queue drains in parts", 300000, small, 240000, no, 10, 0, 0, 2000, "", 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Mux::VirtualClock clock;
        Mux::ScopedClock useClock(clock);
        vbtest::SocketPair pair = vbtest::unix_pair();
        vbtest::Recorder owner;
        auto* strm = new StrmProtocol(pair.a);
        strm->service_name = "ctl";
        strm->out_bound(c.bound);
        ::setsockopt(strm->fd(), SOL_SOCKET, SO_SNDBUF, &c.sndbuf, sizeof(c.sndbuf));
        owner.add_protocol_tail(strm);
        owner.activate();
        vbtest::CaptureStream err(std::cerr);

        std::string sent, got;
        size_t mostQueued = 0;
        unsigned written = 0;
        bool refilled = false;
        auto write = [&](const std::string& m) {
            Packet p = make_packet(m);
            bool taken = owner.message(p);
            if (taken)
                sent += m;
            mostQueued = std::max(mostQueued, strm->queued());
            return taken;
        };
        auto fill = [&] {
            EXPECT_TRUE(write(std::string(c.bound - strm->queued(), 'z')));
            EXPECT_EQ(strm->queued(), c.bound);
        };
        uint32_t t0 = Mux::milliseconds();
        vbtest::FnTimer reader;
        reader.fn = [&] {
            if (c.readForMs && Mux::milliseconds() - t0 > c.readForMs)
                return;
            char buf[4096];
            size_t most = c.readMost ? c.readMost : SIZE_MAX;
            for (ssize_t n; most && (n = ::recv(pair.b.get(), buf, std::min(sizeof(buf), most), MSG_DONTWAIT)) > 0;)
                got.append(buf, size_t(n)), most -= size_t(n);
            // Behind what waits, whatever room the read just made.
            if (c.trickle && written < trickles && strm->attached())
                write(std::string(c.trickle, char('A' + written++ % 26)));
            if (c.fill == toBoundAgain && !refilled && strm->queued() < c.bound)
                refilled = true, fill();
            reader.arm(c.readEveryMs);
        };
        if (c.readEveryMs)
            reader.arm(c.readEveryMs);
        bool taken = true;
        for (size_t i = 0; sent.size() < c.burst && taken; ++i)
            taken = write(std::string(std::min<size_t>(60000, c.burst - sent.size()), char('a' + i % 26)));
        if (c.fill != no && taken)
            fill();
        const unsigned toWrite = c.trickle ? trickles : 0;
        run_until([&] { return !owner.ends.empty() || (written == toWrite && got.size() == sent.size()); },
                  120000);
        EXPECT_LE(strm->held_most(), c.bound);
        EXPECT_LE(strm->held_most(), 2 * mostQueued) << "it grows with what waits";
        EXPECT_EQ(refilled, c.fill == toBoundAgain);
        if (!*c.line) {
            EXPECT_LE(strm->held(), StrmProtocol::kept_bytes) << "the memory went back";
            EXPECT_TRUE(taken);
            EXPECT_TRUE(got == sent) << "once, in order: " << got.size() << " of " << sent.size();
            EXPECT_EQ(strm->queued(), 0u);
            EXPECT_EQ(err.str(), "");
            owner.deactivate();
            continue;
        }
        EXPECT_GE(Mux::milliseconds() - t0, c.endsFrom);
        EXPECT_LE(Mux::milliseconds() - t0, c.endsBy);
        EXPECT_EQ(owner.ends, Texts{std::string(c.line) + " (error)"});
        const std::string text = err.str();
        EXPECT_EQ(text.rfind(std::string("SockStream[ctl]: ") + c.line + ", sendbuf=", 0), 0u) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << "one line";
        EXPECT_EQ(strm->overflow, 1u);
        EXPECT_FALSE(strm->attached());
        EXPECT_EQ(strm->held(), 0u) << "the memory went back";
    }
}

} // namespace
