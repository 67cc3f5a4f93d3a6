// The stream socket layer: chunks up, synchronous writes down, and how
// socket trouble ends the layer.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "runtime/mux_time.h"
#include "runtime/paths.h"
#include "runtime/strm_protocol.h"
#include "tests/runtime/packet_support.h"
#include "tests/runtime/stack_support.h"
#include "tests/support/test_support.h"

using vbtest::make_packet;
using vbtest::Recorder;
using vbtest::run_until;

namespace {

class StrmTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    vbtest::SocketPair pair = vbtest::unix_pair();
    Recorder owner;
    StrmProtocol* strm = new StrmProtocol(pair.a);

    void SetUp() override
    {
        // Real readiness may take a moment; virtual time waits for it.
        clock.set_settle_ms(200);
        strm->service_name = "ctl";
        owner.add_protocol_tail(strm);
        pair.a.close();
    }
    void TearDown() override
    {
        owner.deactivate();
        EXPECT_EQ(multiplexer.pending().size() + multiplexer.active().size(), 0u) << "read event left attached";
    }
    size_t inq() const
    {
        int n = -1;
        ::ioctl(strm->fd(), FIONREAD, &n);
        return static_cast<size_t>(n);
    }
};

TEST_F(StrmTest, EachReadableEventPassesOneChunkUp)
{
    owner.activate();
    EXPECT_EQ(owner.activated, 1);
    ASSERT_TRUE(vbtest::write_all(pair.b.get(), "hello"));
    ASSERT_TRUE(run_until([&] { return !owner.messages.empty(); }));
    EXPECT_EQ(owner.messages, (std::vector<std::string>{"hello"}));

    // More than one buffer's worth waits for later passes, 64 KiB at a time.
    std::string big(150000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    std::thread writer([&] { vbtest::write_all(pair.b.get(), big); });
    std::string got;
    ASSERT_TRUE(run_until([&] {
        for (size_t i = 1; i < owner.messages.size(); ++i) {
            EXPECT_LE(owner.messages[i].size(), 65536u);
            got += owner.messages[i];
        }
        owner.messages.resize(1);
        return got.size() == big.size();
    }));
    writer.join();
    EXPECT_TRUE(got == big);
}

TEST_F(StrmTest, LastDataOfAClosingPeerIsReadBeforeItsEnd)
{
    owner.activate();
    ASSERT_TRUE(vbtest::write_all(pair.b.get(), "last words"));
    pair.b.close();
    ASSERT_TRUE(run_until([&] { return !owner.ends.empty(); }));
    EXPECT_EQ(owner.messages, (std::vector<std::string>{"last words"}));
    ASSERT_EQ(owner.ends.size(), 1u);
    EXPECT_EQ(owner.ends[0].rfind("read error: ", 0), 0u) << owner.ends[0];
    EXPECT_EQ(owner.end_sources[0], strm);
    EXPECT_FALSE(owner.end_success[0]);
    EXPECT_FALSE(strm->attached());
}

TEST_F(StrmTest, EventBitsInOrderErrorDataHangUp)
{
    owner.activate();
    ASSERT_TRUE(vbtest::write_all(pair.b.get(), "abc"));

    // Nothing to read yet where the bits said so: nothing happens.
    strm->on_event(strm->fd(), 0);
    EXPECT_TRUE(owner.messages.empty());

    // Data with a hang-up: the data goes up, the layer stays.
    strm->on_event(strm->fd(), POLLIN | POLLHUP);
    EXPECT_EQ(owner.messages, (std::vector<std::string>{"abc"}));
    EXPECT_TRUE(owner.ends.empty());

    // A readable event that finds nothing changes nothing...
    strm->on_event(strm->fd(), POLLIN);
    EXPECT_TRUE(owner.ends.empty());
    // ...unless the peer hung up.
    strm->on_event(strm->fd(), POLLIN | POLLHUP);
    ASSERT_EQ(owner.ends.size(), 1u);
    EXPECT_EQ(owner.ends[0].rfind("pollhup: ", 0), 0u) << owner.ends[0];
    EXPECT_FALSE(strm->attached());
}

TEST_F(StrmTest, ErrorBitWinsOverData)
{
    owner.activate();
    ASSERT_TRUE(vbtest::write_all(pair.b.get(), "abc"));
    strm->on_event(strm->fd(), POLLERR | POLLIN);
    EXPECT_TRUE(owner.messages.empty());
    ASSERT_EQ(owner.ends.size(), 1u);
    EXPECT_EQ(owner.ends[0].rfind("pollerr: ", 0), 0u);
    EXPECT_FALSE(strm->attached());
}

TEST_F(StrmTest, ActivationNeedsASocketAndDeactivationClosesIt)
{
    strm->release();
    owner.activate();
    EXPECT_EQ(owner.activated, 0);
    EXPECT_EQ(owner.ends, (std::vector<std::string>{"fd not attached"}));
    EXPECT_EQ(multiplexer.pending().size(), 0u);

    Fd again(pair.b.dup());
    strm->attach(again);
    EXPECT_NE(strm->fd(), again.get()) << "the layer keeps a duplicate of its own";
    owner.activate();
    EXPECT_EQ(owner.activated, 1);
    EXPECT_EQ(multiplexer.pending().size(), 1u);
    owner.deactivate();
    EXPECT_FALSE(strm->attached());
    EXPECT_EQ(owner.ends.back(), "success");
    EXPECT_TRUE(owner.end_success.back());
    EXPECT_EQ(multiplexer.pending().size(), 0u);
}

TEST_F(StrmTest, WritesTheWholeContentAndAnEmptyPacketIsNothing)
{
    owner.activate();
    Packet empty = make_packet("");
    EXPECT_TRUE(owner.message(empty));
    Packet p = make_packet("frame", 4);
    EXPECT_TRUE(owner.message(p));
    char buf[16];
    ssize_t n = ::recv(pair.b.get(), buf, sizeof(buf), MSG_DONTWAIT);
    EXPECT_EQ(std::string(buf, n > 0 ? size_t(n) : 0), "frame");

    strm->release();
    EXPECT_FALSE(owner.message(p)) << "nothing to write to";
}

TEST_F(StrmTest, APeerThatStopsReadingTimesOutAfterTheBudget)
{
    int small = 4096;
    ::setsockopt(strm->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    owner.activate();
    vbtest::CaptureStream err(std::cerr);
    Packet p = make_packet(std::string(60000, 'x'));
    uint32_t t0 = Mux::milliseconds();
    EXPECT_FALSE(owner.message(p));
    EXPECT_EQ(Mux::milliseconds() - t0, 1000u);
    EXPECT_EQ(strm->overflow, 1u);
    const std::string line = err.str();
    EXPECT_EQ(line.rfind("SockStream[ctl]: write timeout, sendbuf=", 0), 0u) << line;
    for (const char* figure : {", recvbuf=", ", free=", ", inq=", ", outq="})
        EXPECT_NE(line.find(figure), std::string::npos) << figure;
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(owner.ends, (std::vector<std::string>{"write timeout"}));
    EXPECT_FALSE(strm->attached());
}

TEST_F(StrmTest, AWriteErrorEndsTheLayer)
{
    owner.activate();
    pair.b.close();
    vbtest::CaptureStream err(std::cerr);
    Packet p = make_packet("to nobody");
    EXPECT_FALSE(owner.message(p));
    EXPECT_EQ(err.str().rfind("SockStream[ctl]: write error, sendbuf=", 0), 0u) << err.str();
    EXPECT_NE(err.str().find(std::string(", error=") + std::strerror(EPIPE)), std::string::npos) << err.str();
    EXPECT_EQ(owner.ends, (std::vector<std::string>{std::string("write error: ") + std::strerror(EPIPE)}));
    EXPECT_EQ(strm->overflow, 1u);
}

TEST_F(StrmTest, EmptyPoolDefersTheReadAndLosesNothing)
{
    owner.activate();
    ASSERT_TRUE(vbtest::write_all(pair.b.get(), "kept"));
    vbtest::CaptureStream err(std::cerr);
    vbtest::CaptureStream log(std::clog);
    {
        vbtest::PoolDrain drain;
        strm->on_event(strm->fd(), POLLIN);
        strm->on_event(strm->fd(), POLLIN | POLLHUP);
        EXPECT_EQ(strm->nobuf, 2u);
        EXPECT_EQ(inq(), 4u) << "the bytes stay in the socket";
        EXPECT_TRUE(owner.ends.empty());
    }
    EXPECT_EQ(err.str(), "SockStream[ctl]: packet pool empty, read deferred\n");
    strm->on_event(strm->fd(), POLLIN);
    EXPECT_EQ(owner.messages, (std::vector<std::string>{"kept"}));
    EXPECT_EQ(log.str(), "SockStream[ctl]: packet pool available again after 2 deferred reads\n");
}

TEST(StrmRealTime, SendBufferDrainingWithinTheBudgetCompletes)
{
    vbtest::SocketPair pair = vbtest::tcp_pair();
    ASSERT_TRUE(pair.a && pair.b);
    StrmProtocol strm(pair.a);
    int small = 4096;
    ::setsockopt(strm.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ::setsockopt(pair.b.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    EXPECT_GT(strm.sendbuf_space(), 0);
    EXPECT_EQ(strm.outq_space(), 0);
    EXPECT_EQ(strm.free_space(), strm.sendbuf_space());

    std::string payload(65536, 'z');
    std::string received;
    std::thread reader([&] {
        char buf[4096];
        while (received.size() < payload.size()) {
            ssize_t n = ::recv(pair.b.get(), buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            received.append(buf, size_t(n));
        }
    });
    Packet p = make_packet(payload);
    EXPECT_TRUE(strm.message(p));
    reader.join();
    EXPECT_TRUE(received == payload);
    EXPECT_EQ(strm.overflow, 0u);
}

class StrmWatchdogTest : public StrmTest {
protected:
    vbtest::TempDir dir;
    Paths::ScopedRoot root{dir.path()};

    void SetUp() override
    {
        StrmTest::SetUp();
        ::mkdir(dir.file("dev").c_str(), 0755);
        ::mkdir(dir.file("dev/misc").c_str(), 0755);
        ::close(::open(dir.file("dev/misc/gw-wd").c_str(), O_CREAT | O_WRONLY, 0644));
    }
};

TEST_F(StrmWatchdogTest, TheWatchdogIsFedAroundTheWait)
{
    int small = 4096;
    ::setsockopt(strm->fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    owner.activate();
    vbtest::CaptureStream err(std::cerr);
    Timer send;
    struct Sender {
        Recorder* owner;
        void go()
        {
            Packet p = make_packet(std::string(60000, 'x'));
            owner->message(p);
            multiplexer.terminate();
        }
    } sender{&owner};
    send.set(1, &Sender::go, &sender);
    multiplexer.run(true, true);
    // The loop's own ping after the first poll, then one before and one
    // after the blocked write's wait.
    std::string wd = vbtest::read_file(dir.file("dev/misc/gw-wd"));
    EXPECT_EQ(wd.rfind("STARTPINGPINGPING", 0), 0u) << wd;
}

TEST(StrmDeathTest, NullPacketIsABrokenContract)
{
    StrmProtocol strm;
    Packet null;
    EXPECT_DEATH(strm.message(null), "null packet");
}

} // namespace
