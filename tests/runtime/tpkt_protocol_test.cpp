// TPKT framing: frames cut from chunks of any size, resynchronisation,
// the partial-frame timer, the size limit, and a link over TCP.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "runtime/mux_time.h"
#include "runtime/strm_protocol.h"
#include "runtime/tpkt_protocol.h"
#include "tests/runtime/packet_support.h"
#include "tests/runtime/stack_support.h"
#include "tests/support/test_support.h"

using vbtest::bytes;
using vbtest::content;
using vbtest::make_packet;
using vbtest::Recorder;
using vbtest::run_until;

namespace {

std::string frame(const std::string& payload)
{
    size_t n = payload.size() + 4;
    return bytes({3, 0, int(n >> 8), int(n & 0xFF)}) + payload;
}

class TpktTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    Recorder owner;
    Tpkt_protocol* tpkt = new Tpkt_protocol;
    vbtest::CaptureStream log{std::clog};

    void SetUp() override { owner.add_protocol_tail(tpkt); }
    void TearDown() override { EXPECT_EQ(multiplexer.timers().size(), 0u) << "partial-frame timer left armed"; }

    void feed(const std::string& chunk)
    {
        Packet p = make_packet(chunk);
        owner.receive(p);
    }
    bool timer_armed() const { return multiplexer.timers().size() == 1; }
    // The layer's lines, without the loop's own.
    std::string tpkt_log() const
    {
        std::istringstream in(log.str());
        std::string out;
        for (std::string line; std::getline(in, line);)
            if (line != "Mux: terminating...")
                out += line + "\n";
        return out;
    }
};

TEST_F(TpktTest, FramesFromChunks)
{
    struct Case {
        const char* what;
        std::vector<std::string> chunks;
        std::vector<std::string> payloads;
        const char* log;
    };
    const std::string abc = bytes({3, 0, 0, 7, 'A', 'B', 'C'});
    const Case cases[] = {
        {"one frame", {abc}, {"ABC"}, ""},
        {"empty payload", {bytes({3, 0, 0, 4})}, {""}, ""},
        {"two and a half", {frame("1") + frame("22") + frame("333").substr(0, 5), frame("333").substr(5)},
         {"1", "22", "333"}, ""},
        {"stray byte", {bytes({0x55}) + abc}, {"ABC"}, "(no name) bad TPKT packet start. skipped=1\n"},
        {"bad reserved", {bytes({3, 1}) + abc}, {"ABC"}, "(no name) bad TPKT reserved. skipped=2\n"},
        {"reserved byte is consumed", {bytes({3, 3, 0, 0, 7}) + abc}, {"ABC"},
         "(no name) bad TPKT reserved. skipped=5\n"},
        {"too small", {bytes({3, 0, 0, 3}) + abc}, {"ABC"}, "(no name) TPKT too small 3 skipped=4\n"},
        {"one line per run", {std::string(1000, 'g'), bytes({3, 7, 3, 0, 0, 1}) + abc + "x" + abc},
         {"ABC", "ABC"},
         "(no name) bad TPKT packet start. skipped=1006\n(no name) bad TPKT packet start. skipped=1\n"},
    };
    for (const Case& c : cases) {
        owner.messages.clear();
        log.clear();
        for (const std::string& chunk : c.chunks)
            feed(chunk);
        EXPECT_EQ(owner.messages, c.payloads) << c.what;
        EXPECT_EQ(log.str(), c.log) << c.what;
        EXPECT_EQ(tpkt->state(), Tpkt_protocol::receive_idle) << c.what;
        EXPECT_FALSE(timer_armed()) << c.what;
    }
}

TEST_F(TpktTest, ByteByByteArmsTheTimerUntilTheFrameEnds)
{
    const std::string abc = bytes({3, 0, 0, 7, 'A', 'B', 'C'});
    for (size_t i = 0; i < abc.size(); ++i) {
        feed(abc.substr(i, 1));
        EXPECT_EQ(timer_armed(), i + 1 < abc.size()) << i;
        EXPECT_EQ(owner.messages.size(), i + 1 < abc.size() ? 0u : 1u) << i;
    }
    EXPECT_EQ(owner.messages[0], "ABC");
    // Delivered payloads carry no header room.
    Packet seen;
    owner.on_payload = [&](Packet& p) { seen = p; };
    feed(abc);
    EXPECT_EQ(seen.get()->_headroom(), 0);
}

TEST_F(TpktTest, APartialFrameIsDropped3000MsAfterItsLastChunk)
{
    feed(frame("hello").substr(0, 6));
    run_until([] { return false; }, 2000);
    feed(frame("hello").substr(6, 1)); // restarts the count
    run_until([] { return false; }, 2999);
    EXPECT_EQ(tpkt_log(), "");
    EXPECT_TRUE(timer_armed());
    run_until([] { return false; }, 1);
    EXPECT_EQ(tpkt_log(), "(no name) TPKT packet timeout.\n");
    EXPECT_EQ(tpkt->state(), Tpkt_protocol::receive_idle);
    EXPECT_FALSE(timer_armed());

    // What comes later is read from the start of a frame.
    feed("o" + frame("next"));
    EXPECT_EQ(owner.messages, (std::vector<std::string>{"next"}));
}

TEST_F(TpktTest, SendingPrependsTheHeaderUpToTheLargestPayload)
{
    Packet p;
    owner.prepare_head(p);
    EXPECT_EQ(p.get()->_headroom(), 4);
    p.put('x');
    EXPECT_TRUE(owner.message(p));
    ASSERT_EQ(owner.sent.size(), 1u);
    EXPECT_EQ(owner.sent[0], frame("x"));

    Packet big;
    owner.prepare_head(big);
    for (unsigned i = 0; i < Tpkt_protocol::max_payload; ++i)
        big.put(static_cast<uint8_t>(i));
    EXPECT_TRUE(owner.message(big));
    ASSERT_EQ(owner.sent.size(), 2u);
    EXPECT_EQ(owner.sent[1].substr(0, 4), bytes({3, 0, 0xFF, 0xFF}));
    EXPECT_EQ(owner.sent[1].size(), 65535u);
}

TEST_F(TpktTest, AnOverLongPayloadIsRefused)
{
    vbtest::CaptureStream err(std::cerr);
    for (int extra : {1, 5}) {
        Packet p;
        p.reserve_head(0);
        for (unsigned i = 0; i < Tpkt_protocol::max_payload + extra; ++i)
            p.put(0);
        EXPECT_FALSE(owner.message(p)) << extra;
        EXPECT_EQ(p.length(), int(Tpkt_protocol::max_payload) + extra) << "the packet is left as it was";
    }
    EXPECT_TRUE(owner.sent.empty());
    EXPECT_EQ(err.str(), "(no name) TPKT payload of 65532 bytes over 65531, not sent\n"
                         "(no name) TPKT payload of 65536 bytes over 65531, not sent\n");
}

TEST_F(TpktTest, EmptyPoolDropsTheFrameAndKeepsTheStreamInStep)
{
    vbtest::CaptureStream err(std::cerr);
    Packet chunk = make_packet(frame("lost") + frame("") + frame("lost too").substr(0, 6));
    Packet rest = make_packet(frame("lost too").substr(6) + frame("ok"));
    {
        vbtest::PoolDrain drain;
        owner.receive(chunk);
        EXPECT_TRUE(timer_armed());
        owner.receive(rest);
        drain.give_back(2); // one for the chunk, one for the frame
        // A payload of 0x03 0x00 ... would resynchronise on garbage if the
        // dropped frame's bytes were not skipped.
        Packet tricky = make_packet(frame(bytes({3, 0, 0, 5, 'X'})));
        owner.receive(tricky);
    }
    EXPECT_EQ(owner.messages, (std::vector<std::string>{bytes({3, 0, 0, 5, 'X'})}));
    EXPECT_EQ(tpkt->dropped, 4u);
    EXPECT_EQ(err.str(), "(no name) TPKT frame dropped: packet pool empty, dropped=1\n");
    EXPECT_EQ(log.str(), "(no name) TPKT frames flow again, dropped=4\n");
    EXPECT_FALSE(timer_armed());
}

TEST_F(TpktTest, TheOwnerMayEndTheStackFromItsCallback)
{
    const std::string two = frame("first") + frame("second") + frame("thi");
    owner.on_payload = [&](Packet&) { owner.deactivate(); };
    feed(two);
    EXPECT_EQ(owner.messages, (std::vector<std::string>{"first"}));
    EXPECT_EQ(owner.ends, (std::vector<std::string>{"TPKT deactivated"}));
    EXPECT_FALSE(timer_armed());

    // Deleting the layer from inside its own delivery is safe too.
    owner.on_payload = [&](Packet&) { delete tpkt; };
    owner.messages.clear();
    feed(two);
    EXPECT_EQ(owner.messages, (std::vector<std::string>{"first"}));
    EXPECT_EQ(owner.size(), 0u);
}

TEST_F(TpktTest, ActivationStopsHereAndResets)
{
    feed(frame("half").substr(0, 5));
    owner.activate();
    EXPECT_EQ(owner.activated, 0);
    EXPECT_EQ(tpkt->state(), Tpkt_protocol::receive_idle);
    EXPECT_FALSE(timer_armed());
}

// Random frames (payloads of 0 and 65531 bytes among them) with garbage
// between them, cut at random points into chunks of any size up to a
// buffer: exactly the payloads come out, in order, with one log line per
// run of garbage.
TEST_F(TpktTest, RandomStreamsDeliverExactlyTheValidPayloads)
{
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng); };
        std::string stream;
        std::vector<std::string> expected;
        unsigned runs = 0, garbage_bytes = 0;
        for (unsigned f = 0; f < 60; ++f) {
            if (pick(0, 2) == 0) {
                ++runs;
                for (unsigned t = pick(1, 6); t > 0; --t) {
                    std::string token;
                    switch (pick(0, 2)) {
                    case 0: // not a start byte
                        token = std::string(1, char(pick(0, 255)));
                        if (token[0] == 3)
                            token[0] = 4;
                        break;
                    case 1: // a start byte with a bad reserved byte
                        token = bytes({3, int(pick(1, 255))});
                        break;
                    default: // a length too small for a header
                        token = bytes({3, 0, 0, int(pick(0, 3))});
                    }
                    stream += token;
                    garbage_bytes += unsigned(token.size());
                }
            }
            unsigned size = f == 7 ? 0 : f == 23 ? Tpkt_protocol::max_payload : pick(0, 9) == 0 ? pick(0, 65531) : pick(0, 300);
            std::string payload(size, '\0');
            for (char& c : payload)
                c = char(pick(0, 255));
            expected.push_back(payload);
            stream += frame(payload);
        }
        owner.messages.clear();
        log.clear();
        for (size_t pos = 0; pos < stream.size();) {
            size_t n = pick(0, 3) == 0 ? pick(1, 65536) : pick(1, 40);
            n = std::min(n, stream.size() - pos);
            feed(stream.substr(pos, n));
            pos += n;
        }
        ASSERT_EQ(owner.messages.size(), expected.size()) << "seed " << seed;
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_TRUE(owner.messages[i] == expected[i]) << "seed " << seed << " frame " << i;
        std::istringstream lines(log.str());
        unsigned n_lines = 0, skipped = 0;
        for (std::string line; std::getline(lines, line); ++n_lines)
            skipped += unsigned(std::stoul(line.substr(line.rfind('=') + 1)));
        EXPECT_EQ(n_lines, runs) << "seed " << seed;
        EXPECT_EQ(skipped, garbage_bytes) << "seed " << seed;
        EXPECT_FALSE(timer_armed());
    }
}

// Two stacks of a stream and a TPKT layer over TCP: one sends, the other
// echoes every payload back.
TEST(TpktOverTcp, FramesMakeTheRoundTrip)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    clock.set_settle_ms(200);
    vbtest::SocketPair pair = vbtest::tcp_pair();
    ASSERT_TRUE(pair.a && pair.b);
    Recorder client, server;
    for (Recorder* r : {&client, &server}) {
        r->add_protocol_tail(new StrmProtocol(r == &client ? pair.a : pair.b));
        r->add_protocol_tail(new Tpkt_protocol);
        r->activate();
    }
    server.on_payload = [&](Packet& p) {
        Packet answer;
        server.prepare_head(answer);
        answer.put(p);
        EXPECT_TRUE(server.message(answer));
    };
    std::vector<std::string> payloads = {"", "ping", std::string(Tpkt_protocol::max_payload, 'M'), "pong"};
    for (const std::string& s : payloads) {
        Packet p;
        client.prepare_head(p);
        for (char c : s)
            p.put(static_cast<uint8_t>(c));
        EXPECT_TRUE(client.message(p));
    }
    ASSERT_TRUE(run_until([&] { return client.messages.size() == payloads.size(); }));
    EXPECT_TRUE(client.messages == payloads);

    // The peer going away reaches the owner as the stream layer's error.
    pair.b.close();
    server.deactivate();
    ASSERT_TRUE(run_until([&] { return !client.ends.empty(); }));
    EXPECT_EQ(client.ends[0].rfind("read error: ", 0), 0u);
    EXPECT_EQ(client.last_reporter, client.top());
    EXPECT_EQ(server.ends, (std::vector<std::string>{"success"}));
    EXPECT_EQ(multiplexer.pending().size() + multiplexer.active().size(), 0u);
}

} // namespace
