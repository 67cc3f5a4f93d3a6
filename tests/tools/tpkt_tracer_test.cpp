// The TPKT listeners on the real loop over loopback: frame limits, empty and
// bad frames, reassembly, who a send reaches, closing from inside the
// callback, the last frame of a closing peer, oversize sends, the
// peer-to-peer bookkeeping, answers that fail inside the callback, a
// flooding peer beside a timer, and no descriptor left behind.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/runtime/loop_support.h"
#include "tests/tools/tpkt_support.h"
#include "tools/tpkt_tracer.h"

using vbtest::Peer;
using vbtest::run_until;
using vbtest::tpkt;

namespace {

struct Frames : TPKTTracer::Receiver {
    std::vector<std::string> got;
    std::function<void(const std::string&)> then;
    // In place of the above: the payload as handed over.
    std::function<void(const void*, unsigned)> raw;
    void OnFrame(const void* payload, unsigned length) override
    {
        if (raw)
            return raw(payload, length);
        got.emplace_back(static_cast<const char*>(payload), length);
        if (then)
            then(got.back());
    }
};

struct Events : TPKTTracerP2P::Receiver {
    std::vector<std::string> log;
    std::vector<INet4::Addr> peers;
    std::function<void(const INet4::Addr&, const std::string&)> then;
    void OnConnected(const INet4::Addr& peer, int fd) override
    {
        EXPECT_GE(fd, 0);
        peers.push_back(peer);
        log.push_back("open " + peer.GetString());
    }
    void OnClosed(const INet4::Addr& peer) override { log.push_back("close " + peer.GetString()); }
    void OnFrame(const INet4::Addr& peer, const void* payload, unsigned length) override
    {
        std::string frame(static_cast<const char*>(payload), length);
        log.push_back("frame " + peer.GetString() + " " + frame);
        if (then)
            then(peer, frame);
    }
};

// A peer's writer in a thread: bytes again and again, blocking, until sent
// `times` times, `ms` passed, or the listener closed the connection.
class Flood {
public:
    Flood(int fd, std::string bytes, size_t times, int ms)
        : mThread([this, fd, bytes, times, ms] {
              auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
              for (; sent < times && std::chrono::steady_clock::now() < end; ++sent)
                  for (size_t at = 0; at < bytes.size();) {
                      ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
                      if (n <= 0)
                          return void(done = true);
                      at += static_cast<size_t>(n);
                  }
              done = true;
          })
    {
    }
    ~Flood() { mThread.join(); }

    std::atomic<size_t> sent{0};
    std::atomic<bool> done{false};

private:
    std::thread mThread;
};

// The listener's own socket to a peer sends little before it is full.
void small_send_buffer(int fd)
{
    int size = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
}

// A listener on a free port; its receiver counts the peers it heard of.
template <class Tracer, class Receiver>
class ListenerTest : public ::testing::Test {
protected:
    int fdsBefore = vbtest::settled_fd_count();
    vbtest::CaptureStream quiet{std::clog};
    std::unique_ptr<Tracer> tracer{new Tracer};
    Receiver events;
    int port = 0;

    void SetUp() override
    {
        tracer->receiver = &events;
        port = vbtest::listen_on_free_port(*tracer);
    }
    void TearDown() override
    {
        tracer.reset();
        EXPECT_EQ(vbtest::settled_fd_count(), fdsBefore) << "descriptors leaked";
    }
    // Peers connect one at a time: the backlog is 1.
    std::unique_ptr<Peer> connect()
    {
        size_t before = accepted();
        std::unique_ptr<Peer> p(new Peer(port));
        EXPECT_TRUE(run_until([&] { return accepted() == before + 1; }));
        return p;
    }
    size_t accepted();
    // A peer that connects while the process has one descriptor left: the
    // accepted socket takes it and the loop's copy of it gets none.
    std::unique_ptr<Peer> connectAtTheLimit()
    {
        std::unique_ptr<Peer> peer(new Peer(port));
        rlimit saved;
        ::getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 1024);
        ::setrlimit(RLIMIT_NOFILE, &low);
        std::vector<int> held;
        for (int d; (d = ::dup(peer->fd.get())) >= 0;)
            held.push_back(d);
        ::close(held.back());
        held.pop_back();
        run_until([] { return false; }, 50);
        for (int d : held)
            ::close(d);
        ::setrlimit(RLIMIT_NOFILE, &saved);
        return peer;
    }
};

typedef ListenerTest<TPKTTracer, Frames> TracerTest;
typedef ListenerTest<TPKTTracerP2P, Events> P2PTest;

template <>
size_t TracerTest::accepted()
{
    return tracer->connections().size();
}

template <>
size_t P2PTest::accepted()
{
    return events.peers.size();
}

} // namespace

TEST_F(TracerTest, FramesUpToTheBufferAreDeliveredAndBadOnesClose)
{
    const std::string full(TPKTTracer::buffer_size, 'f');
    const struct {
        std::string bytes;
        std::vector<std::string> delivered;
        bool closes;
    } cases[] = {
        {tpkt(full), {full}, false},
        {tpkt(full + "x"), {}, true},
        {tpkt("") + tpkt("after empty"), {"after empty"}, false},
        {std::string("\x04\x00\x00\x05x", 5), {}, true},
        {std::string("\x03\x01\x00\x05x", 5), {}, true},
        {std::string("\x03\x00\x00\x03", 4), {}, true},
        {tpkt("a") + tpkt("bc") + tpkt("def"), {"a", "bc", "def"}, false},
    };
    for (const auto& c : cases) {
        events.got.clear();
        std::unique_ptr<Peer> peer = connect();
        peer->write(c.bytes);
        std::string seen = peer->read(1, c.closes ? 2000 : 300);
        EXPECT_EQ(seen, c.closes ? "EOF" : "") << c.bytes.size();
        EXPECT_EQ(events.got, c.delivered) << c.bytes.size();
        EXPECT_EQ(tracer->connections().size(), c.closes ? 0u : 1u);
        peer.reset();
        run_until([&] { return tracer->connections().empty(); });
    }
}

TEST_F(TracerTest, AFrameInThreePiecesIsDeliveredOnceComplete)
{
    std::unique_ptr<Peer> peer = connect();
    const std::string bytes = tpkt("three pieces");
    peer->write(bytes.substr(0, 2));
    run_until([] { return false; }, 50);
    peer->write(bytes.substr(2, 5));
    run_until([] { return false; }, 50);
    EXPECT_TRUE(events.got.empty());
    peer->write(bytes.substr(7));
    EXPECT_TRUE(run_until([&] { return !events.got.empty(); }));
    run_until([] { return false; }, 50);
    EXPECT_EQ(events.got, std::vector<std::string>{"three pieces"});
}

TEST_F(TracerTest, SendAnswersThePeerBeingServedElseReachesAll)
{
    std::unique_ptr<Peer> a = connect();
    std::unique_ptr<Peer> b = connect();
    events.then = [&](const std::string&) { tracer->Send("pong", 4); };
    a->write(tpkt("ping"));
    EXPECT_EQ(a->read(8), tpkt("pong"));
    EXPECT_EQ(b->read(1, 100), "");

    events.then = nullptr;
    tracer->Send("all", 3);
    EXPECT_EQ(a->read(7), tpkt("all"));
    EXPECT_EQ(b->read(7), tpkt("all"));
}

TEST_F(TracerTest, ClosingThePeerInsideTheCallbackEndsItsReading)
{
    std::unique_ptr<Peer> peer = connect();
    events.then = [&](const std::string&) { tracer->CloseConnection(tracer->current()); };
    peer->write(tpkt("first") + tpkt("second"));
    EXPECT_EQ(peer->read(1), "EOF");
    EXPECT_EQ(events.got, std::vector<std::string>{"first"});
    EXPECT_TRUE(tracer->connections().empty());
    EXPECT_EQ(tracer->current(), tracer->connections().end());
}

TEST_F(TracerTest, TheLastFrameOfAPeerThatClosesOrResetsAtOnceIsDelivered)
{
    for (int i = 0; i < 20; ++i) {
        std::unique_ptr<Peer> peer = connect();
        peer->write(tpkt("last words"));
        if (i % 2) {
            // A reset: poll reports the hang-up with the frame still unread.
            linger reset = {1, 0};
            ::setsockopt(peer->fd.get(), SOL_SOCKET, SO_LINGER, &reset, sizeof(reset));
        }
        peer.reset();
        EXPECT_TRUE(run_until([&] { return tracer->connections().empty(); }));
    }
    EXPECT_EQ(events.got, std::vector<std::string>(20, "last words"));
}

TEST_F(TracerTest, APayloadNoFrameCanHoldIsNotSentAndAClosedPeerRaisesNoSignal)
{
    std::unique_ptr<Peer> peer = connect();
    std::string big(TpktLink::max_payload + 1, 'b');
    tracer->Send(big.data(), static_cast<unsigned>(big.size()));
    EXPECT_EQ(peer->read(1, 100), "");
    EXPECT_EQ(tracer->connections().size(), 1u);

    // The program keeps SIGPIPE's default: a send to a reset peer must not
    // end it, only close the connection.
    struct sigaction old = {};
    struct sigaction dfl = {};
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &dfl, &old);
    peer.reset();
    for (int i = 0; i < 50 && !tracer->connections().empty(); ++i)
        tracer->Send("x", 1);
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_TRUE(tracer->connections().empty());
}

TEST_F(P2PTest, PeersAreReportedAddressedAndClosedOneByOne)
{
    std::unique_ptr<Peer> a = connect();
    std::unique_ptr<Peer> b = connect();
    const INet4::Addr pa = a->local();
    const INet4::Addr pb = b->local();
    ASSERT_EQ(events.peers.size(), 2u);
    EXPECT_TRUE(events.peers[0].IsEqual(pa));
    EXPECT_TRUE(tracer->IsConnected(pb));

    b->write(tpkt("from b"));
    EXPECT_TRUE(run_until([&] { return events.log.size() == 3; }));
    EXPECT_EQ(events.log.back(), "frame " + pb.GetString() + " from b");

    EXPECT_EQ(tracer->Send(pa, "to a", 4), 8);
    EXPECT_EQ(a->read(8), tpkt("to a"));
    EXPECT_EQ(b->read(1, 100), "");
    std::string big(TpktLink::max_payload + 1, 'b');
    EXPECT_EQ(tracer->Send(pa, big.data(), static_cast<unsigned>(big.size())), -EMSGSIZE);
    EXPECT_TRUE(tracer->IsConnected(pa));

    EXPECT_EQ(tracer->Close(pa), 0);
    EXPECT_FALSE(tracer->IsConnected(pa));
    EXPECT_EQ(events.log.back(), "close " + pa.GetString());
    EXPECT_EQ(a->read(1), "EOF");
    EXPECT_EQ(tracer->Close(pa), -EFAULT);
    EXPECT_EQ(tracer->Send(pa, "x", 1), -EFAULT);

    b.reset();
    EXPECT_TRUE(run_until([&] { return !tracer->IsConnected(pb); }));
    EXPECT_EQ(events.log.back(), "close " + pb.GetString());
}

TEST_F(P2PTest, FramesUpToTheLargerBufferAndClosingInsideTheCallback)
{
    const std::string full(TPKTTracerP2P::buffer_size, 'p');
    std::unique_ptr<Peer> a = connect();
    a->write(tpkt(full));
    EXPECT_TRUE(run_until([&] { return events.log.size() == 2; }));
    a->write(tpkt(full + "x"));
    EXPECT_EQ(a->read(1), "EOF");
    EXPECT_EQ(events.log.size(), 3u);

    std::unique_ptr<Peer> b = connect();
    events.then = [&](const INet4::Addr& peer, const std::string&) { tracer->Close(peer); };
    b->write(tpkt("one") + tpkt("two"));
    EXPECT_EQ(b->read(1), "EOF");
    EXPECT_EQ(events.log.back(), "close " + b->local().GetString());
    EXPECT_EQ(events.log[events.log.size() - 2], "frame " + b->local().GetString() + " one");
}

// (A peer served before keeps the sanitizer's type checks of the loop's
// calls from needing a descriptor at the limit.)
TEST_F(TracerTest, APeerTheLoopCannotWatchIsClosedAndNotKept)
{
    std::unique_ptr<Peer> first = connect();
    std::unique_ptr<Peer> lost = connectAtTheLimit();
    EXPECT_EQ(lost->read(1), "EOF");
    EXPECT_EQ(tracer->connections().size(), 1u);
    first->write(tpkt("hi"));
    EXPECT_TRUE(run_until([&] { return events.got.size() == 1; }));
}

TEST_F(P2PTest, APeerTheLoopCannotWatchIsClosedAndNeverReported)
{
    std::unique_ptr<Peer> first = connect();
    std::unique_ptr<Peer> lost = connectAtTheLimit();
    EXPECT_EQ(lost->read(1), "EOF");
    EXPECT_EQ(events.log, std::vector<std::string>{"open " + first->local().GetString()});
    EXPECT_FALSE(tracer->IsConnected(lost->local()));
    EXPECT_TRUE(tracer->IsConnected(first->local()));
}

TEST_F(P2PTest, NoDescriptorIsLeftAfterAHundredPeers)
{
    for (int i = 0; i < 100; ++i) {
        std::unique_ptr<Peer> peer = connect();
        peer->write(tpkt("hello"));
        peer.reset();
        ASSERT_TRUE(run_until([&] { return events.log.size() == 3u * (i + 1); }));
    }
    EXPECT_EQ(tracer->port(), port);
}

// A receiver answering from inside its callback a peer that never reads:
// the answer that fails closes the peer, what that very callback was handed
// stays readable until it returns (blocks of its size taken and scribbled
// on meanwhile would hold a buffer freed early), and a second answer
// reaches nobody.
TEST_F(TracerTest, AnAnswerThatFailsInsideTheCallbackClosesThePeerAfterIt)
{
    std::unique_ptr<Peer> mute = connect();
    std::unique_ptr<Peer> other = connect();
    small_send_buffer(tracer->connections().front()->event.fd.get());
    const std::string frame(500, 'f');
    std::string handed; // by the callback whose answer failed
    events.raw = [&](const void* payload, unsigned length) {
        size_t peers = tracer->connections().size();
        tracer->Send(payload, length);
        if (tracer->connections().size() == peers)
            return;
        std::vector<std::vector<char>> scribbled(8, std::vector<char>(TPKTTracer::buffer_size, 'x'));
        tracer->Send(payload, length);
        handed.assign(static_cast<const char*>(payload), length);
    };
    {
        Flood flood(mute->fd.get(), tpkt(frame), 30000, 20000);
        EXPECT_TRUE(run_until([&] { return tracer->connections().size() == 1; }, 20000));
    }
    EXPECT_EQ(handed.size(), frame.size());
    EXPECT_EQ(std::count(handed.begin(), handed.end(), 'f'), long(frame.size())) << "what it was handed was freed";
    EXPECT_EQ(other->read(1, 100), "") << "an answer inside the callback reaches the peer served only";
}

TEST_F(P2PTest, AnAnswerThatFailsInsideTheCallbackClosesThePeerAfterIt)
{
    std::unique_ptr<Peer> mute = connect();
    const INet4::Addr address = mute->local();
    small_send_buffer((*tracer->FindConnection(address))->event.fd.get());
    bool failed = false;
    std::string after;
    events.then = [&](const INet4::Addr& peer, const std::string& frame) {
        // A short send fails too, and closes the peer as well.
        if (tracer->Send(peer, frame.data(), static_cast<unsigned>(frame.size())) == int(frame.size() + 4))
            return;
        failed = true;
        after = peer.GetString() + (tracer->IsConnected(peer) ? " connected" : " closed");
    };
    {
        Flood flood(mute->fd.get(), tpkt(std::string(500, 'p')), 30000, 20000);
        EXPECT_TRUE(run_until([&] { return failed; }, 20000));
    }
    EXPECT_EQ(after, address.GetString() + " closed");
    EXPECT_EQ(events.log.back(), "close " + address.GetString());
    EXPECT_FALSE(tracer->IsConnected(address));
}

// A peer that keeps sending tiny frames is read a bounded amount at a time:
// a 50 ms timer of the same loop keeps its beat, and every frame arrives.
TEST_F(TracerTest, AFloodingPeerLeavesTheLoopsTimersTheirTurn)
{
    std::unique_ptr<Peer> peer = connect();
    size_t frames = 0;
    events.raw = [&](const void*, unsigned) { ++frames; };
    std::string burst;
    for (int i = 0; i < 4096; ++i)
        burst += tpkt("x");
    auto last = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration largest{};
    vbtest::FnTimer beat;
    beat.arm(50, [&] {
        auto now = std::chrono::steady_clock::now();
        largest = std::max(largest, now - last);
        last = now;
        beat.arm(50);
    });
    Flood flood(peer->fd.get(), burst, SIZE_MAX, 2500);
    EXPECT_TRUE(run_until([&] { return flood.done && frames == 4096 * flood.sent; }, 30000));
    EXPECT_LT(largest, std::chrono::milliseconds(1000));
    EXPECT_GT(frames, 0u);
}
