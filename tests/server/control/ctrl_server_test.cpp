// The control server: one answer per command whatever the services do,
// dispatch in bind order, bad frames, delayed answers and signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
            unsigned seq = s.delayResponse();
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

} // namespace
