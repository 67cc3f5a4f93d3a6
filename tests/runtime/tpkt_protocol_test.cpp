// TPKT framing: frames cut from chunks of any size, resynchronisation,
// the partial-frame timer, the size limit, and a link over TCP.
#include <gtest/gtest.h>

#include <random>

#include "runtime/mux_time.h"
#include "runtime/strm_protocol.h"
#include "runtime/tpkt_protocol.h"
#include "tests/runtime/stack_support.h"
#include "tests/support/test_support.h"

using vbtest::bytes;
using vbtest::make_packet;
using vbtest::run_until;
typedef std::vector<std::string> Texts;

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
    vbtest::Recorder owner;
    Tpkt_protocol* tpkt = new Tpkt_protocol;
    vbtest::CaptureStream log{std::clog};

    void SetUp() override { owner.add_protocol_tail(tpkt); }
    void feed(const std::string& chunk)
    {
        Packet p = make_packet(chunk);
        owner.receive(p);
    }
    bool timer_armed() const { return multiplexer.timers().size() == 1; }
    void wait(unsigned ms)
    {
        clock.advance_ms(ms);
        multiplexer.timers_schedule();
    }
};

TEST_F(TpktTest, FramesFromChunks)
{
    const std::string abc = bytes({3, 0, 0, 7, 'A', 'B', 'C'});
    const struct {
        Texts chunks, payloads;
        const char* log;
    } cases[] = {
        {{abc}, {"ABC"}, ""},
        {{bytes({3, 0, 0, 4})}, {""}, ""},
        {{frame("1") + frame("22") + frame("333").substr(0, 5), frame("333").substr(5)}, {"1", "22", "333"}, ""},
        {{"\x55" + abc}, {"ABC"}, "(no name) bad TPKT packet start. skipped=1\n"},
        {{bytes({3, 1}) + abc}, {"ABC"}, "(no name) bad TPKT reserved. skipped=2\n"},
        {{bytes({3, 3, 0, 0, 7}) + abc}, {"ABC"}, "(no name) bad TPKT reserved. skipped=5\n"},
        {{bytes({3, 0, 0, 3}) + abc}, {"ABC"}, "(no name) TPKT too small 3 skipped=4\n"},
        {{std::string(1000, 'g'), bytes({3, 7, 3, 0, 0, 1}) + abc + "x" + abc}, {"ABC", "ABC"},
         "(no name) bad TPKT packet start. skipped=1006\n(no name) bad TPKT packet start. skipped=1\n"},
    };
    for (const auto& c : cases) {
        owner.messages.clear();
        log.clear();
        for (const std::string& chunk : c.chunks)
            feed(chunk);
        EXPECT_EQ(owner.messages, c.payloads) << c.log;
        EXPECT_EQ(log.str(), c.log);
        EXPECT_EQ(tpkt->state(), Tpkt_protocol::receive_idle) << c.log;
    }
    // One byte at a time: the timer runs between the chunks of a frame.
    owner.messages.clear();
    for (size_t i = 0; i < abc.size(); ++i) {
        feed(abc.substr(i, 1));
        EXPECT_EQ(timer_armed(), i + 1 < abc.size()) << i;
    }
    EXPECT_EQ(owner.messages, Texts{"ABC"});
}

TEST_F(TpktTest, APartialFrameIsDropped3000MsAfterItsLastChunk)
{
    feed(frame("hello").substr(0, 6));
    wait(2000);
    feed(frame("hello").substr(6, 1)); // counts from here again
    wait(2999);
    EXPECT_EQ(log.str(), "");
    wait(1);
    EXPECT_EQ(log.str(), "(no name) TPKT packet timeout.\n");
    EXPECT_FALSE(timer_armed());
    feed("o" + frame("next")); // read from the start of a frame
    EXPECT_EQ(owner.messages, Texts{"next"});
}

TEST_F(TpktTest, SendingUpToTheLargestPayloadAndRefusingMore)
{
    vbtest::CaptureStream err(std::cerr);
    for (unsigned size : {0u, Tpkt_protocol::max_payload, Tpkt_protocol::max_payload + 1}) {
        Packet p;
        owner.prepare_head(p);
        EXPECT_EQ(p.get()->_headroom(), 4);
        p.reserve_tail(0);
        if (size > Tpkt_protocol::max_payload) // beyond what the header room leaves
            p.reserve_tail(4);
        for (unsigned i = 0; i < size; ++i)
            p.put(uint8_t(i));
        EXPECT_EQ(owner.message(p), size <= Tpkt_protocol::max_payload) << size;
    }
    ASSERT_EQ(owner.sent.size(), 2u);
    EXPECT_EQ(owner.sent[0], frame(""));
    EXPECT_EQ(owner.sent[1].substr(0, 4), bytes({3, 0, 0xFF, 0xFF}));
    EXPECT_EQ(owner.sent[1].size(), 65535u);
    EXPECT_EQ(err.str(), "(no name) TPKT payload of 65532 bytes over 65531, not sent\n");
}

TEST_F(TpktTest, EmptyPoolDropsFramesAndKeepsTheStreamInStep)
{
    vbtest::CaptureStream err(std::cerr);
    Packet chunk = make_packet(frame("lost") + frame("") + frame("lost too").substr(0, 6));
    Packet rest = make_packet(frame("lost too").substr(6) + frame("ok"));
    // Its payload would look like a frame if the dropped bytes were not skipped.
    Packet tricky = make_packet(frame(frame("X")));
    {
        vbtest::PoolDrain drain;
        owner.receive(chunk);
        owner.receive(rest);
        drain.give_back(PacketQuota::reserve + 1);
        owner.receive(tricky);
    }
    EXPECT_EQ(owner.messages, Texts{frame("X")});
    EXPECT_EQ(tpkt->dropped, 4u);
    EXPECT_EQ(err.str(), "(no name) TPKT frame dropped: packet pool empty, dropped=1\n");
    EXPECT_EQ(log.str(), "(no name) TPKT frames flow again, dropped=4\n");
}

TEST_F(TpktTest, TheOwnerMayEndOrDeleteTheLayerFromItsCallback)
{
    const std::string three = frame("first") + frame("second") + frame("thi");
    owner.on_payload = [&](Packet&) { owner.deactivate(); };
    feed(three);
    EXPECT_EQ(owner.ends, Texts{"TPKT deactivated"});
    owner.on_payload = [&](Packet&) { delete tpkt; };
    feed(three);
    EXPECT_EQ(owner.messages, (Texts{"first", "first"}));
    EXPECT_EQ(owner.size(), 0u);
}

// Random frames (payloads of 0 and 65531 bytes among them) with runs of
// garbage between them, cut at random points into chunks of any size up to
// a buffer: exactly the payloads come out, in order, with one log line per
// run of garbage.
TEST_F(TpktTest, RandomStreamsDeliverExactlyTheValidPayloads)
{
    for (unsigned seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        auto pick = [&](unsigned lo, unsigned hi) { return std::uniform_int_distribution<unsigned>(lo, hi)(rng); };
        std::string stream;
        Texts expected;
        unsigned runs = 0, garbage = 0;
        for (unsigned f = 0; f < 60; ++f) {
            for (unsigned t = pick(0, 2) ? 0 : (++runs, pick(1, 6)); t > 0; --t) {
                const std::string tokens[] = {std::string(1, char(pick(0, 255) | 4)), // never a start byte
                                              bytes({3, int(pick(1, 255))}),          // bad reserved byte
                                              bytes({3, 0, 0, int(pick(0, 3))})};    // length too small
                const std::string& token = tokens[pick(0, 2)];
                stream += token;
                garbage += unsigned(token.size());
            }
            unsigned size = f == 7 ? 0 : f == 23 ? Tpkt_protocol::max_payload : pick(0, 9) ? pick(0, 300) : pick(0, 65531);
            std::string payload(size, '\0');
            for (char& c : payload)
                c = char(pick(0, 255));
            expected.push_back(payload);
            stream += frame(payload);
        }
        owner.messages.clear();
        log.clear();
        for (size_t pos = 0, n; pos < stream.size(); pos += n) {
            n = std::min<size_t>(pick(0, 3) ? pick(1, 40) : pick(1, 65536), stream.size() - pos);
            feed(stream.substr(pos, n));
        }
        ASSERT_TRUE(owner.messages == expected) << "seed " << seed;
        std::istringstream lines(log.str());
        unsigned n_lines = 0, skipped = 0;
        for (std::string line; std::getline(lines, line); ++n_lines)
            skipped += unsigned(std::stoul(line.substr(line.rfind('=') + 1)));
        EXPECT_EQ(n_lines, runs) << "seed " << seed;
        EXPECT_EQ(skipped, garbage) << "seed " << seed;
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
    vbtest::Recorder client, server;
    for (vbtest::Recorder* r : {&client, &server}) {
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
    const Texts payloads = {"", "ping", std::string(Tpkt_protocol::max_payload, 'M'), "pong"};
    for (const std::string& s : payloads) {
        Packet p;
        client.prepare_head(p);
        p.put(make_packet(s));
        EXPECT_TRUE(client.message(p));
    }
    ASSERT_TRUE(run_until([&] { return client.messages.size() == payloads.size(); }));
    EXPECT_TRUE(client.messages == payloads);

    // The peer going away reaches the owner from the top, as the stream's error.
    server.deactivate();
    pair.b.close();
    ASSERT_TRUE(run_until([&] { return !client.ends.empty(); }));
    EXPECT_EQ(client.ends[0].rfind("read error: ", 0), 0u);
    EXPECT_EQ(client.reporter, client.top());
    EXPECT_EQ(server.ends, Texts{"success"});
}

} // namespace
