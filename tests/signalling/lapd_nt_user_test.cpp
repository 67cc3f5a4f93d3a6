// The network side's link towards one terminal (TEI 64), event by event in
// virtual time: the frames it sends and where it ends up.
#include <gtest/gtest.h>

#include <functional>

#include "tests/signalling/lapd_nt_support.h"

using Strings = std::vector<std::string>;

namespace {

std::string hx(unsigned v)
{
    return vbtest::hex(vbtest::bytes({int(v & 0xFF)}));
}
// Message n from above, on call reference 1.
std::string m(unsigned n)
{
    return "08 01 01 7B " + hx(n);
}
// Our I frame: a command with P = 1.
std::string I(unsigned ns, unsigned nr, unsigned n)
{
    return "02 81 " + hx(ns << 1) + " " + hx(nr << 1 | 1) + " " + m(n);
}
// The terminal's I frame (a command, C/R 0) with a message on call 1.
std::string tI(unsigned ns, unsigned nr, bool p)
{
    return "rx 00 81 " + hx(ns << 1) + " " + hx(nr << 1 | p) + " 08 01 81 7B";
}
// The terminal's S frame as a response (C/R 1).
std::string tS(unsigned code, unsigned nr, bool f)
{
    return "rx 02 81 " + hx(code) + " " + hx(nr << 1 | f);
}
std::string send(unsigned n)
{
    return "send " + m(n);
}
const unsigned RR = 0x01, RNR = 0x05, REJ = 0x09;
const std::string kPoll = "02 81 01 03"; // RR command P = 1, V(R) 1

struct Step {
    std::string event; // "rx HEX", "send HEX", "wait MS"
    Strings sent;
};
// Messages 1..count from above, each sent at once with N(R) nr; then the rest.
std::vector<Step> sends(unsigned count, unsigned nr, std::vector<Step> rest)
{
    std::vector<Step> out;
    for (unsigned n = 1; n <= count; ++n)
        out.push_back({send(n), {I(n - 1, nr, n)}});
    out.insert(out.end(), rest.begin(), rest.end());
    return out;
}
struct Case {
    const char* name;
    std::vector<Step> steps;
    int state;
    unsigned ack = 0, out = 0, up = 0;
};

void run(const Case& c)
{
    vbtest::NtHarness h;
    h.request(1);
    h.rx("00 81 00 00 08 01 81 07"); // the terminal answers call 1
    h.sent();
    h.owner.messages.clear();
    for (const Step& s : c.steps) {
        if (s.event.rfind("rx ", 0) == 0)
            h.rx(s.event.substr(3));
        else if (s.event.rfind("send ", 0) == 0)
            h.send(s.event.substr(5));
        else
            h.advance(unsigned(std::stoul(s.event.substr(5))));
        EXPECT_EQ(h.sent(), s.sent) << c.name << ": " << s.event;
    }
    const ISDN::LAPD_NT_user& u = h.nt->user(0);
    EXPECT_EQ(u.state(), c.state) << c.name;
    EXPECT_EQ(u.ack_count(), c.ack) << c.name;
    EXPECT_EQ(u.out_count(), c.out) << c.name;
    EXPECT_EQ(h.owner.messages.size(), c.up) << c.name;
}

TEST(LapdNtUserTest, TerminalLinkAnswersEachEvent)
{
    const Case cases[] = {
        {"the terminal's UA to our SABME is ignored", {{"rx 02 81 73", {}}}, 1},
        {"idle poll, three retries, then given up",
         {{"wait 10000", {kPoll}}, {"wait 1000", {kPoll}}, {"wait 1000", {kPoll}}, {"wait 1000", {kPoll}},
          {"wait 1000", {}}},
         0},
        {"a lost poll answer brings a second poll and the terminal stays",
         {{"wait 10000", {kPoll}}, {"wait 1000", {kPoll}}, {tS(RR, 0, true), {}}, {"wait 9999", {}},
          {"wait 1", {kPoll}}},
         2},
        {"a poll from the terminal is answered", {{"rx 00 81 01 01", {"00 81 01 03"}}}, 1},
        {"out of sequence: one REJ, then RR F = 1 for polls only, until the gap is filled",
         {{tI(5, 0, true), {"00 81 09 03"}}, {tI(6, 0, false), {}}, {tI(7, 0, true), {"00 81 01 03"}},
          {tI(1, 0, false), {"00 81 01 04"}}, {tI(5, 0, false), {"00 81 09 04"}}},
         1,
         0,
         0,
         1},
        {"in sequence: RR F = 0 for P = 0, F = 1 for P = 1",
         {{tI(1, 0, false), {"00 81 01 04"}}, {tI(2, 0, true), {"00 81 01 07"}}},
         1,
         0,
         0,
         2},
        {"a short I frame advances V(R) only", {{"rx 00 81 02 FE 08 01 81", {"00 81 01 04"}}}, 1},
        {"an I frame that leaves takes the acknowledgement along",
         sends(7, 1, {{send(8), {}}, {tI(1, 1, false), {I(7, 2, 8)}}}),
         2,
         7,
         0,
         1},
        {"ten messages: seven out, three wait, none dropped",
         sends(7, 1, {{send(8), {}}, {send(9), {}}, {send(10), {}},
                      {tS(RR, 3, true), {I(7, 1, 8), I(8, 1, 9), I(9, 1, 10)}}}),
         2,
         7},
        {"REJ with N(R) 0 resends all three, with the current V(R)",
         sends(3, 1, {{tI(1, 0, false), {"00 81 01 04"}}, {tS(REJ, 0, false), {I(0, 2, 1), I(1, 2, 2), I(2, 2, 3)}}}),
         2,
         3,
         0,
         1},
        {"a lost frame is resent after 1000 ms",
         sends(2, 1, {{tS(RR, 1, false), {}}, {"wait 999", {}}, {"wait 1", {I(1, 1, 2)}}, {tS(RR, 2, true), {}}}),
         1},
        {"N(R) beyond V(S) is not accepted",
         {{send(1), {I(0, 1, 1)}}, {tS(RR, 2, true), {}}, {send(2), {}}},
         0},
        {"a busy terminal gets its messages after RR",
         {{tS(RNR, 0, false), {}}, {send(1), {}}, {send(2), {}}, {tS(RR, 0, false), {I(0, 1, 1), I(1, 1, 2)}}},
         2,
         2},
        {"SABME from the terminal renumbers and sends what waits",
         {{tS(RNR, 0, false), {}}, {send(1), {}}, {"rx 00 81 7F", {"00 81 73", "02 81 00 01 " + m(1)}}},
         2,
         1},
        {"DISC is answered and ends the link", {{"rx 00 81 53", {"00 81 73"}}, {send(1), {}}}, 0},
        {"FRMR ends the link", {{"rx 02 81 97 00 00 00", {}}}, 0},
    };
    for (const Case& c : cases)
        run(c);
}

// A terminal that stays busy keeps the newest 128 messages; the oldest
// are dropped. A run of drops is said at its first, and its count when
// the queue moves again, is emptied or goes with its link.
TEST(LapdNtUserTest, DropsFromAFullQueueAreSaidAtTheFirstAndCountedAtTheEnd)
{
    vbtest::CaptureStream err(std::cerr);
    const std::string busy = tS(RNR, 0, false).substr(3);
    {
        vbtest::NtHarness h;
        h.request(1);
        h.rx("00 81 00 00 08 01 81 07");
        h.rx(busy);
        for (unsigned n = 1; n <= 200; ++n)
            EXPECT_TRUE(h.send(m(n)));
        EXPECT_EQ(h.nt->user(0).out_count(), 128u);
        EXPECT_EQ(err.str(), "LAPD_user(NT BRI)[Tei=64,assigned,busy]: out queue full, dropping the oldest messages\n")
            << "once, and the run goes on";
        err.clear();
        h.sent();
        h.rx(tS(RR, 0, false).substr(3));
        Strings sent = h.sent();
        ASSERT_EQ(sent.size(), 7u);
        EXPECT_EQ(sent[0], I(0, 1, 73)) << "the oldest kept";
        EXPECT_EQ(err.str(), "LAPD_user(NT BRI)[Tei=64,assigned]: out queue full, 72 oldest message(s) dropped\n");

        err.clear();
        h.rx(busy);
        for (unsigned n = 201; n <= 217; ++n)
            h.send(m(n));
        h.rx("00 81 53"); // DISC: the link and its queue go
        EXPECT_EQ(err.str(),
                  "LAPD_user(NT BRI)[Tei=64,wait_answer,busy]: out queue full, dropping the oldest messages\n"
                  "LAPD_user(NT BRI)[Tei=64,wait_answer,busy]: out queue full, 10 oldest message(s) dropped\n"
                  "LAPD_user(NT BRI)[Tei=64,wait_answer,busy]: unassigned, 135 message(s) dropped (128 not sent, 7 "
                  "not acknowledged)\n");

        err.clear();
        h.request(2);
        h.rx("00 81 00 00 08 01 81 07");
        h.rx(busy);
        for (unsigned n = 1; n <= 129; ++n)
            h.send(m(n));
    }
    EXPECT_EQ(err.str(), "LAPD_user(NT BRI)[Tei=64,assigned,busy]: out queue full, dropping the oldest messages\n"
                         "LAPD_user(NT BRI)[Tei=64,assigned,busy]: out queue full, 1 oldest message(s) dropped\n");
}

// Whatever ends a link with messages in its queues loses them: one line
// says how many, those never sent apart from those sent but not
// acknowledged. A link that had nothing waiting goes quietly.
TEST(LapdNtUserTest, MessagesLostWithTheLinkAreOneLine)
{
    struct End {
        const char* name;
        std::function<void(vbtest::NtHarness&)> act;
        const char* line; // after the header
    };
    auto rx = [](const char* frame) { return [frame](vbtest::NtHarness& h) { h.rx(frame); }; };
    const End ends[] = {
        {"DISC", rx("00 81 53"), "unassigned, 9 message(s) dropped (2 not sent, 7 not acknowledged)"},
        {"DM", rx("02 81 1F"), "unassigned, 9 message(s) dropped (2 not sent, 7 not acknowledged)"},
        {"N(R) beyond V(S)", rx("02 81 01 20"), "unassigned, 9 message(s) dropped (2 not sent, 7 not acknowledged)"},
        {"no answer", [](vbtest::NtHarness& h) { h.advance(5000); },
         "unassigned, 9 message(s) dropped (2 not sent, 7 not acknowledged)"},
        {"deactivation", [](vbtest::NtHarness& h) { h.nt->deactivate(); },
         "unassigned, 9 message(s) dropped (2 not sent, 7 not acknowledged)"},
        // The terminal starts its link again: what it had not acknowledged
        // is gone, what waited goes out on the new link.
        {"SABME", rx("00 81 7F"), "link reset by the terminal, 7 message(s) dropped (0 not sent, 7 not acknowledged)"},
    };
    for (const End& e : ends) {
        for (unsigned messages : {9u, 0u}) {
            SCOPED_TRACE(std::string(e.name) + ", " + std::to_string(messages) + " message(s)");
            vbtest::CaptureStream err(std::cerr);
            vbtest::NtHarness h;
            h.request(1);
            h.rx("00 81 00 00 08 01 81 07");
            for (unsigned n = 1; n <= messages; ++n)
                h.send(m(n));
            std::string header = "LAPD_user(NT BRI)[Tei=64," + std::string(messages ? "wait_answer" : "assigned") + "]: ";
            e.act(h);
            EXPECT_EQ(err.str(), messages ? header + e.line + "\n" : "");
        }
    }
}

} // namespace
