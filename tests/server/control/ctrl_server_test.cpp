// The control server: one answer per command whatever the services do,
// dispatch in bind order, bad frames, delayed answers and signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>

#include "runtime/mux_time.h"
#include "runtime/packet_quota.h"
#include "tests/runtime/loop_support.h"
#include "tests/server/control/lgcp_support.h"
#include "tests/support/test_support.h"

using testing::HasSubstr;
using vbtest::ScriptedService;
typedef std::vector<std::string> Texts;

namespace {

class CtrlServerTest : public ::testing::Test {
protected:
    vbtest::CaptureStream err{std::cerr}, log{std::clog};
    Texts journal;
    ScriptedService a{"A", journal}, b{"B", journal};
    CtrlSrv::Server server;
    vbtest::PairLink* link = new vbtest::PairLink;

    void SetUp() override
    {
        server.Bind(&a);
        server.Bind(&b);
        server.Activate(link);
        link->up();
        journal.clear();
        b.on_signal = [this] {
            char c;
            EXPECT_LT(::recv(link->pair.b.get(), &c, 1, MSG_PEEK | MSG_DONTWAIT), 0) << "sent before offered";
        };
    }
    Texts feed(const std::string& frame)
    {
        server.OnMessage(frame.data(), int(frame.size()));
        return vbtest::answers(link->pair.b);
    }
};

// What each service does when offered a command: S Success, E
// Error(slotNotExists), D delayResponse, L delayResponse and at once
// delayedSuccess, G SendSignal; then T or F for the value it returns.
bool play(ScriptedService& s, const std::string& moves)
{
    LGCP::Signal sig;
    sig.set_activated();
    for (char m : moves) {
        if (m == 'S')
            s.Success();
        if (m == 'E')
            s.Error(LGCP::ErrorCause::slotNotExists);
        if (m == 'D' || m == 'L') {
            CtrlSrv::Seq seq = s.delayResponse();
            m == 'L' ? s.delayedSuccess(s.GetSlot(), seq) : void();
        }
        if (m == 'G')
            s.SendSignal(sig);
    }
    return moves.back() == 'T';
}

TEST_F(CtrlServerTest, ExactlyOneAnswerPerCommandInBindOrder)
{
    LGCP::PDU response, signal;
    response.get_response().set_success();
    signal.get_signal().set_activated();
    std::string query = vbtest::lgcp(vbtest::command(false), 7, 3), unexpected = "seq=7 slot=3 error unexpectedMsgType";
    const struct {
        std::string frame;
        const char *a, *b;
        Texts offered, sent;
        const char* logged;
    } cases[] = {
        {query, "F", "F", {"A", "B"}, {unexpected}, ""},
        {vbtest::lgcp(vbtest::command(false)), "F", "F", {"A", "B"}, {"error unexpectedMsgType"}, ""},
        {vbtest::lgcp(vbtest::command(false), 7), "ST", "F", {"A"}, {"seq=7 success"}, ""},
        {query, "T", "F", {"A"}, {"seq=7 slot=3 error internal"}, "software error: server do NOT send ack!!!"},
        {query, "F", "ET", {"A", "B"}, {"seq=7 slot=3 error slotNotExists"}, ""},
        {query, "SET", "F", {"A"}, {"seq=7 slot=3 success"}, ""},
        {query, "EST", "F", {"A"}, {"seq=7 slot=3 error slotNotExists"}, ""},
        // Answered but not taken: still offered on, and not answered twice.
        {query, "SF", "F", {"A", "B"}, {"seq=7 slot=3 success"}, ""},
        {query, "SF", "ST", {"A", "B"}, {"seq=7 slot=3 success"}, ""},
        {query, "DT", "F", {"A"}, {}, ""},
        {query, "DST", "F", {"A"}, {}, ""},
        {vbtest::lgcp(vbtest::command(false), 9, 4), "LT", "F", {"A"}, {"seq=9 slot=4 success"}, ""},
        // Not the seq of the command before.
        {vbtest::lgcp(vbtest::command(false)), "LT", "F", {"A"}, {"success"}, ""},
        // Offered to the other services before it goes out.
        {query, "GST", "F", {"A", "B signal"}, {"slot=3 signal", "seq=7 slot=3 success"}, ""},
        {vbtest::lgcp(response, 4), "ST", "ST", {}, {"seq=4 error unexpectedMsgType"}, ""},
        {vbtest::lgcp(signal, -1, 2), "ST", "ST", {}, {"error unexpectedMsgType"}, ""},
        // A query on slot 1500 is seen by no service.
        {std::string("\xC0\x01\x07\x05\xDC\x00", 6), "ST", "ST", {}, {"seq=7 error invalidSlot"},
         "decoder bound: an INTEGER above its range: 1500 for (0..1023), field slot\n"},
        {"", "ST", "ST", {}, {}, "receive fail: decode error!\n msg: \n"},
        {"\xFF\xFF\xFF", "ST", "ST", {}, {}, "receive fail: decode error!\n msg: FF FF FF \n"},
        {query.substr(0, 2), "ST", "ST", {}, {}, "receive fail: decode error!\n msg: "},
        {query, "ST", "F", {"A"}, {"seq=7 slot=3 success"}, ""},
    };
    for (const auto& c : cases) {
        a.script = [&](ScriptedService& s) { return play(s, c.a); };
        b.script = [&](ScriptedService& s) { return play(s, c.b); };
        journal.clear();
        err.clear();
        std::string name = std::string(c.a) + " " + c.b + " " + (c.sent.empty() ? "" : c.sent[0]);
        EXPECT_EQ(feed(c.frame), c.sent) << name;
        EXPECT_EQ(journal, c.offered) << name;
        EXPECT_EQ(err.str().empty(), !*c.logged) << name;
        EXPECT_THAT(err.str(), HasSubstr(c.logged)) << name;
    }
}

// Past a bound of the decoder a message is refused with its seq and slot
// and one line naming the bound; one whose seq is past it is not answered.
TEST_F(CtrlServerTest, AMessagePastADecoderBoundIsRefusedWithItsSeq)
{
    LGCP::Command clock;
    clock.get_clockCfg().set_source(1);
    std::string source = vbtest::lgcp(clock, 9), name = vbtest::trap_receivers(1, 8, 3);
    source.replace(source.size() - 2, 2, std::string("\x05\0\0\0\0\x01", 6));
    name.replace(name.size() - 2, 2, "\xC1" + std::string(16384, 'a') + '\0');
    const struct {
        std::string frame;
        Texts sent;
        const char* logged;
    } cases[] = {
        {vbtest::trap_receivers(129, 7), {"seq=7 error invalidParams"},
         "decoder bound: more than 128 elements in a SEQUENCE OF, field snmpTrapReceivers\n"},
        {name, {"seq=8 slot=3 error invalidParams"},
         "decoder bound: a length of 16384 or more, field snmpTrapReceivers\n"},
        {source, {"seq=9 error invalidParams"}, "decoder bound: an INTEGER of more than 4 octets, field source\n"},
        // On slot 40, create ats-qsig-b {slot 1500, subslot 4}: the first is named.
        {std::string("\xC0\x01\x08\x00\x28\x08\x90\x05\xDC\xC0", 10), {"seq=8 slot=40 error invalidParams"},
         "decoder bound: an INTEGER above its range: 1500 for (0..1023), field slot\n"},
        {std::string("\x80\x09\0\x80", 4) + std::string(7, '\0') + "\x18", {}, "decode error!\n msg: 80 09 00 80 00 00 00 00 00 00 00 18 \n"},
    };
    for (const auto& c : cases) {
        err.clear();
        EXPECT_EQ(feed(c.frame), c.sent) << c.logged;
        EXPECT_EQ(err.str(), "ctrl [127.0.0.1:4000]: receive fail: " + std::string(c.logged));
    }
}

// seq is any INTEGER: -1 and the ends of the range come back as they
// went, in every kind of answer, and a delayed one keeps its own.
TEST_F(CtrlServerTest, EverySeqValueComesBackInItsAnswer)
{
    LGCP::PDU response;
    response.get_response().set_success();
    for (int seq : {-1, INT_MIN, INT_MAX, 0}) {
        const std::string s = "seq=" + std::to_string(seq) + " ";
        const struct {
            std::string frame;
            const char *a, *b;
            Texts sent;
        } cases[] = {
            {vbtest::lgcp_seq(vbtest::command(true), seq), "ST", "F", {s + "success"}},
            {vbtest::lgcp_seq(vbtest::command(false), seq, 3), "ET", "F", {s + "slot=3 error slotNotExists"}},
            {vbtest::lgcp_seq(vbtest::command(false), seq), "F", "F", {s + "error unexpectedMsgType"}},
            {vbtest::lgcp_seq(vbtest::command(false), seq), "T", "F", {s + "error internal"}},
            {vbtest::lgcp_seq(response, seq, 2), "ST", "ST", {s + "error unexpectedMsgType"}},
            {vbtest::lgcp_seq(vbtest::command(false), seq, 4), "LT", "F", {s + "slot=4 success"}},
        };
        for (const auto& c : cases) {
            a.script = [&](ScriptedService& svc) { return play(svc, c.a); };
            b.script = [&](ScriptedService& svc) { return play(svc, c.b); };
            EXPECT_EQ(feed(c.frame), c.sent) << seq << " " << c.a;
        }

        // Answered after a command without seq and one with another.
        CtrlSrv::Seq kept;
        a.script = [&](ScriptedService& svc) { return kept = svc.delayResponse(), true; };
        EXPECT_EQ(feed(vbtest::lgcp_seq(vbtest::command(false), seq, 5)), Texts{});
        a.script = [&](ScriptedService& svc) { return play(svc, "ST"); };
        EXPECT_EQ(feed(vbtest::lgcp(vbtest::command(true))), Texts{"success"});
        EXPECT_EQ(feed(vbtest::lgcp_seq(vbtest::command(true), 8)), Texts{"seq=8 success"});
        a.delayedSuccess(5, kept);
        EXPECT_EQ(vbtest::answers(link->pair.b), Texts{s + "slot=5 success"});
    }
}

// The error stream is unbuffered: each piece handed to it is a write of
// its own. An undecodable frame, however long, is logged in one.
struct CountingBuf : std::streambuf {
    std::string text;
    unsigned writes = 0;
    std::streamsize xsputn(const char* s, std::streamsize n) override
    {
        ++writes;
        text.append(s, size_t(n));
        return n;
    }
    int overflow(int c) override { return ++writes, text += char(c), c; }
};

TEST_F(CtrlServerTest, AnUndecodableFrameIsLoggedInOneWrite)
{
    CountingBuf counted;
    std::streambuf* old = std::cerr.rdbuf(&counted);
    std::string frame(4000, '\xFF');
    Texts sent = feed(frame);
    std::cerr.rdbuf(old);
    EXPECT_EQ(sent, Texts{});
    std::string hex;
    for (size_t i = 0; i < frame.size(); ++i)
        hex += "FF ";
    EXPECT_EQ(counted.text, "ctrl [" + link->peer_name() + "]: receive fail: decode error!\n msg: " + hex + "\n");
    EXPECT_EQ(counted.writes, 1u);
}

// Between commands a signal has no slot unless given one.
TEST_F(CtrlServerTest, SignalsBetweenCommands)
{
    LGCP::Signal sig;
    sig.set_activated();
    b.SendSignal(sig);
    b.SendSignal(12, sig);
    EXPECT_EQ(journal, (Texts{"A signal", "A signal"}));
    EXPECT_EQ(vbtest::answers(link->pair.b), (Texts{"signal", "slot=12 signal"}));

    ScriptedService unbound("C", journal);
    bool connected = false;
    unbound.SendSignal(sig);
    EXPECT_THAT(err.str(), HasSubstr("CtrlSrv::Service error! service not connected to server."));
    EXPECT_FALSE(unbound.CheckServerConnection(connected));
    EXPECT_EQ(unbound.GetSlot(), CtrlSrv::no_slot);
}

TEST_F(CtrlServerTest, ConnectAndShutDownReachEveryServiceOnce)
{
    auto status = [&] {
        bool up = false;
        std::ostringstream o;
        server.PutHeader(o);
        return o.str() + (a.CheckServerConnection(up) ? up ? "up" : "down" : "none");
    };
    EXPECT_THAT(log.str(), HasSubstr("ctrl [127.0.0.1:4000]: controller connect."));
    EXPECT_EQ(status(), "ctrl [127.0.0.1:4000]: up");
    server.Deactivate();
    EXPECT_EQ(status(), "ctrl [null]: none");
    // No controller ever connected: signals are refused, shut-down still
    // reaches every service.
    server.Activate(new vbtest::PairLink);
    EXPECT_EQ(status(), "ctrl [not connected]: down");
    LGCP::Signal sig;
    b.SendSignal(sig);
    EXPECT_THAT(err.str(), HasSubstr("ctrl [not connected]: send fail: encode error!{"));
    sig.set_activated();
    b.SendSignal(sig);
    EXPECT_THAT(err.str(), HasSubstr("ignore Send request in Connecting state."));
    server.Deactivate();
    server.Deactivate();
    EXPECT_EQ(journal, (Texts{"A disconnect", "B disconnect", "A signal", "A signal", "A disconnect", "B disconnect"}));
    EXPECT_TRUE(multiplexer.timers().empty());
}

// What the handlers of one loop pass send leaves in one send, before the
// loop waits again; a controller that stops reading is still dropped after
// the write budget.
class OnePassTest : public CtrlServerTest {
protected:
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock{clock};
    unsigned offeredAt = 0;

    void SetUp() override
    {
        // Records keep the boundaries of sends, so they can be counted.
        int s[2] = {-1, -1};
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, s), 0);
        link->pair = vbtest::SocketPair{Fd(s[0]), Fd(s[1])};
        CtrlServerTest::SetUp();
        a.script = [this](ScriptedService& s) { return offeredAt = clock.polls(), play(s, "ST"); };
    }
    static std::string frame(int seq) { return vbtest::tpkt(vbtest::lgcp(vbtest::command(true), seq)); }
};

TEST_F(OnePassTest, PipelinedCommandsAreAnsweredInOrderInOneSend)
{
    std::string frames;
    Texts expected;
    for (int seq = 0; seq < 32; ++seq)
        frames += frame(seq), expected.push_back("seq=" + std::to_string(seq) + " success");
    ASSERT_TRUE(vbtest::write_all(link->pair.b.get(), frames));
    std::string got;
    int sends = 0;
    vbtest::run_until([&] {
        char buf[4096];
        for (ssize_t n; (n = ::recv(link->pair.b.get(), buf, sizeof(buf), MSG_DONTWAIT)) > 0; ++sends)
            got.append(buf, size_t(n));
        return got.size() >= 32 * 7;
    }, 100);
    EXPECT_EQ(sends, 1);
    ASSERT_TRUE(vbtest::write_all(link->pair.a.get(), got)) << "read back as the controller would";
    EXPECT_EQ(vbtest::answers(link->pair.b), expected);
}

TEST_F(OnePassTest, ALoneCommandIsAnsweredBeforeTheLoopWaitsAgain)
{
    unsigned answeredAt = 0;
    vbtest::FnEvent controller("controller");
    controller.fn = [&](int, short revents) {
        if (revents & POLLIN) {
            answeredAt = clock.polls();
            multiplexer.terminate();
        }
    };
    controller.watch(link->pair.b);
    ASSERT_TRUE(vbtest::write_all(link->pair.b.get(), frame(5)));
    uint32_t t0 = Mux::milliseconds();
    vbtest::run_bounded();
    EXPECT_EQ(answeredAt, offeredAt + 1) << "seen by the very next poll";
    EXPECT_EQ(Mux::milliseconds(), t0);
    EXPECT_EQ(vbtest::answers(link->pair.b), Texts{"seq=5 success"});
}

// A held answer keeps the commands after it, in order, until the service
// has answered and resumes them; they are taken on the loop's next pass.
// A controller that sends more than the bound meanwhile is dropped.
TEST_F(OnePassTest, AHeldAnswerKeepsTheCommandsAfterItInOrder)
{
    CtrlSrv::Seq held;
    a.script = [&](ScriptedService& s) {
        return s.server->IsSlotPresent() ? play(s, "ST") : (held = s.holdResponse(), true);
    };
    const std::string query = vbtest::lgcp(vbtest::command(false), 1);
    EXPECT_EQ(feed(query), Texts{});
    EXPECT_EQ(feed(vbtest::lgcp(vbtest::command(true), 2, 5)), Texts{});
    EXPECT_EQ(feed(vbtest::lgcp(vbtest::command(true), 3, 6)), Texts{});
    EXPECT_EQ(journal, Texts{"A"});
    LGCP::Signal sig;
    sig.set_activated();
    a.delayedSuccess(CtrlSrv::no_slot, held);
    EXPECT_EQ(vbtest::answers(link->pair.b), Texts{"seq=1 success"});
    a.SendSignal(sig);
    a.resumeCommands();
    EXPECT_EQ(vbtest::answers(link->pair.b), Texts{"signal"});
    Texts later;
    vbtest::run_until([&] {
        Texts more = vbtest::answers(link->pair.b);
        later.insert(later.end(), more.begin(), more.end());
        return later.size() >= 2;
    }, 100);
    EXPECT_EQ(later, (Texts{"seq=2 slot=5 success", "seq=3 slot=6 success"}));

    EXPECT_EQ(feed(query), Texts{});
    const std::string frame(60000, 'x');
    for (size_t sent = 0; sent <= CtrlSrv::Server::kept_bound; sent += frame.size())
        feed(frame);
    EXPECT_THAT(err.str(), HasSubstr("commands waiting over their bound ("));
    EXPECT_TRUE(vbtest::run_until([&] { return journal.back() == "B disconnect"; }, 100));
    EXPECT_EQ(err.str().find("decode error"), std::string::npos) << "a kept frame was taken";
}

// With every buffer taken but the pool's reserve, the controller link still
// reads, frames and answers a command and its signal; another channel
// waits for buffers meanwhile.
TEST_F(CtrlServerTest, TheControllerIsAnsweredFromThePoolsReserveAlone)
{
    a.script = [](ScriptedService& s) { return play(s, "GST"); };
    std::vector<Packet> held;
    while (Packet_pool::available() > PacketQuota::reserve) {
        held.emplace_back();
        held.back().reserve_head(0);
    }
    vbtest::PairLink agent;
    agent.up();
    ASSERT_TRUE(vbtest::write_all(agent.pair.b.get(), vbtest::tpkt("x")));
    ASSERT_TRUE(vbtest::write_all(link->pair.b.get(), vbtest::tpkt(vbtest::lgcp(vbtest::command(false), 7, 3))));
    char c;
    vbtest::run_until([&] { return ::recv(link->pair.b.get(), &c, 1, MSG_PEEK | MSG_DONTWAIT) > 0; }, 2000);
    EXPECT_EQ(vbtest::answers(link->pair.b), (Texts{"slot=3 signal", "seq=7 slot=3 success"}));
    EXPECT_EQ(Packet_pool::available(), PacketQuota::reserve) << "every reserve buffer came back";
    EXPECT_THAT(err.str(), HasSubstr("packet pool empty, read deferred"));
}

TEST_F(CtrlServerTest, AControllerThatStopsReadingIsDroppedAfterTheBudget)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    int small = 4096;
    ::setsockopt(link->pair.a.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small));
    ::setsockopt(link->pair.b.get(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    // Far more signals in one pass than the socket takes.
    a.script = [](ScriptedService& s) { return play(s, std::string(4000, 'G') + "ST"); };
    ASSERT_TRUE(vbtest::write_all(link->pair.b.get(), vbtest::tpkt(vbtest::lgcp(vbtest::command(false), 1))));
    uint32_t t0 = Mux::milliseconds();
    bool dropped = vbtest::run_until([&] { return !journal.empty() && journal.back() == "B disconnect"; }, 5000);
    EXPECT_TRUE(dropped);
    EXPECT_EQ(Mux::milliseconds() - t0, 1000u);
    EXPECT_THAT(err.str(), HasSubstr("SockStream[server]: write timeout"));
}

} // namespace
