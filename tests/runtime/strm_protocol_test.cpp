// The stream socket layer: chunks up, synchronous writes down, and how
// socket trouble ends the layer.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cstring>
#include <thread>

#include "runtime/mux_time.h"
#include "runtime/paths.h"
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

// The write blocks the loop for the whole budget and feeds the watchdog
// before and after its wait.
TEST_F(StrmTest, APeerThatStopsReadingTimesOutAfterTheBudget)
{
    vbtest::TempDir dir;
    Paths::ScopedRoot root(dir.path());
    const std::string device = vbtest::watchdog_device(dir);
    int small = 4096;
    ::setsockopt(strm->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    vbtest::CaptureStream err(std::cerr);
    vbtest::FnTimer sender;
    uint32_t took = 0;
    sender.arm(1, [&] {
        Packet p = make_packet(std::string(60000, 'x'));
        uint32_t t0 = Mux::milliseconds();
        EXPECT_FALSE(owner.message(p));
        took = Mux::milliseconds() - t0;
        multiplexer.terminate();
    });
    vbtest::run_bounded(true);
    EXPECT_EQ(took, 1000u);
    EXPECT_EQ(strm->overflow, 1u);
    EXPECT_EQ(err.str().rfind("SockStream[ctl]: write timeout, sendbuf=", 0), 0u) << err.str();
    EXPECT_EQ(owner.ends, Texts{"write timeout (error)"});
    // The loop's ping after its first poll, then the write's two.
    std::string wd = vbtest::read_file(device);
    EXPECT_EQ(wd.rfind("STARTPINGPINGPING", 0), 0u) << wd;
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

// Real time, a peer reading in another thread: the write waits for room
// and completes within the budget.
TEST(StrmRealTime, ASendBufferDrainingWithinTheBudgetCompletes)
{
    vbtest::SocketPair pair = vbtest::unix_pair();
    StrmProtocol strm(pair.a);
    pair.a.close(); // a failed write then ends the reader too
    int small = 4096;
    ::setsockopt(strm.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    size_t received = 0;
    std::thread reader([&] {
        char buf[4096];
        for (ssize_t n; received < 65536 && (n = ::recv(pair.b.get(), buf, sizeof(buf), 0)) > 0;)
            received += size_t(n);
    });
    Packet p = make_packet(std::string(65536, 'z'));
    EXPECT_TRUE(strm.message(p));
    reader.join();
    EXPECT_EQ(received, 65536u);
    EXPECT_EQ(strm.overflow, 0u);
}

} // namespace
