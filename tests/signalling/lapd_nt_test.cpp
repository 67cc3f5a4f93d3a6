// The BRI network side: TEI management on the bus, the check cycle, layer
// 3 routing, and eight of our own user sides on a lossy bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/signalling/lapd_nt_support.h"
#include "tests/signalling/lapd_support.h"

using vbtest::NtHarness;
using vbtest::tei_message;
using Strings = std::vector<std::string>;

namespace {

const std::string kCheckRequest = tei_message(true, 0, 4, 127);

std::string check(unsigned ai)
{
    return tei_message(true, 0, 4, ai);
}

std::string remove(unsigned ai)
{
    return tei_message(true, 0, 6, ai);
}

// Terminals that asked with references 1.. hold TEIs 64..
void attach(NtHarness& h, unsigned count)
{
    for (unsigned i = 1; i <= count; ++i)
        h.request(i);
    h.sent();
}

TEST(LapdNtTest, IdentityRequestsGetTheLowestFreeTeiOrAnAnswerByAi)
{
    NtHarness h;
    h.request(0x1234);
    EXPECT_EQ(h.sent(), (Strings{"FE FF 03 0F 34 12 02 81", "02 81 7F"})); // assigned 64, SABME
    h.request(0x5678);
    EXPECT_EQ(h.sent(), (Strings{"FE FF 03 0F 78 56 02 83", "02 83 7F"}));
    // Below the automatic range nothing is said; within it, a TEI asked
    // for by value is denied with that value.
    for (unsigned ai : {10u, 63u}) {
        h.rx(tei_message(false, 7, 1, ai));
        EXPECT_EQ(h.sent(), Strings{}) << ai;
    }
    for (unsigned ai : {64u, 70u, 126u}) {
        h.rx(tei_message(false, 7, 1, ai));
        EXPECT_EQ(h.sent(), Strings{tei_message(true, 7, 3, ai)}) << ai;
    }
    h.rx("02 81 1F"); // DM: terminal 64 gives up its link
    EXPECT_EQ(h.user(64), nullptr);
    h.request(0x9ABC);
    EXPECT_EQ(h.sent(), (Strings{"FE FF 03 0F BC 9A 02 81", "02 81 7F"}));
}

TEST(LapdNtTest, EightTerminalsThenTheNinthIsDenied)
{
    NtHarness h;
    attach(h, 8);
    for (unsigned tei = 64; tei < 72; ++tei)
        EXPECT_NE(h.user(tei), nullptr) << tei;
    h.request(9);
    EXPECT_EQ(h.sent(), Strings{tei_message(true, 9, 3, 127)});
    // A frame from a TEI nobody holds, with no link free: removed twice.
    h.rx("00 A1 01 00");
    EXPECT_EQ(h.sent(), (Strings{remove(80), remove(80)}));
    h.rx(tei_message(false, 5, 5, 80));
    EXPECT_EQ(h.sent(), (Strings{remove(80), remove(80)}));
}

TEST(LapdNtTest, CheckCycleKeepsAnsweringTerminalsAndRemovesTheRest)
{
    NtHarness h;
    attach(h, 3);
    h.nt->activate();
    EXPECT_EQ(h.sent(), Strings{kCheckRequest});
    EXPECT_EQ(h.owner.reports, Strings{"activated"});
    h.rx(tei_message(false, 0x11, 5, 64));
    h.rx(tei_message(false, 0x22, 5, 65));
    h.rx(tei_message(false, 0x33, 5, 70)); // unknown and a link free: taken
    EXPECT_EQ(h.sent(), Strings{"02 8D 7F"});
    h.advance(ISDN::LAPD_NT_user::kCheckTime); // 66 stayed silent: asked again, then removed
    EXPECT_EQ(h.sent(), (Strings{check(66), remove(66), remove(66)}));
    EXPECT_EQ(h.user(66), nullptr);
    ASSERT_NE(h.user(64), nullptr);
    EXPECT_FALSE(h.user(64)->is_checking());
    // The same answer again changes nothing; another Ri is a second
    // terminal on the same TEI.
    h.rx(tei_message(false, 0x22, 5, 65));
    EXPECT_EQ(h.sent(), Strings{});
    h.rx(tei_message(false, 0x44, 5, 64));
    EXPECT_EQ(h.sent(), (Strings{remove(64), remove(64)}));
    EXPECT_EQ(h.user(64), nullptr);
    h.rx(tei_message(false, 0, 7, 65)); // identity verify: a check at once
    EXPECT_EQ(h.sent(), Strings{kCheckRequest});
    EXPECT_TRUE(h.user(65)->is_checking());
    h.advance(ISDN::LAPD_NT::kCheckCycle - 1);
    Strings polls = h.sent(); // of the idle links, which stay silent
    EXPECT_EQ(std::count(polls.begin(), polls.end(), kCheckRequest), 0);
    h.advance(1);
    EXPECT_EQ(h.sent(), Strings{kCheckRequest});
}

// One lost check frame costs a terminal nothing: after T201 the TEI that
// did not answer is asked alone once more (Q.921 5.3.5.2). Silence to both
// removes the TEI, and the network says so; the terminal's calls are then
// no longer routed.
TEST(LapdNtTest, ALostCheckAnswerIsAskedForAgainAndSilenceRemovesTheTei)
{
    NtHarness h;
    attach(h, 2);
    h.rx("00 81 00 00 08 01 81 07"); // terminal 64 on call 1
    h.nt->activate();
    h.sent();
    h.rx(tei_message(false, 0x22, 5, 65));
    h.advance(ISDN::LAPD_NT::kT201 - 1);
    EXPECT_EQ(h.sent(), Strings{});
    h.advance(1);
    EXPECT_EQ(h.sent(), Strings{check(64)});
    h.rx(tei_message(false, 0x11, 5, 64));
    h.advance(ISDN::LAPD_NT_user::kCheckTime);
    EXPECT_EQ(h.sent(), Strings{});
    ASSERT_NE(h.user(64), nullptr);
    EXPECT_FALSE(h.user(64)->is_checking());
    EXPECT_TRUE(h.send("08 01 01 0F"));
    EXPECT_EQ(h.sent(), Strings{"02 81 00 03 08 01 01 0F"});
    h.rx("00 81 01 02"); // RR: acknowledged
    h.rx(tei_message(false, 0, 7, 65)); // identity verify: the next check
    EXPECT_EQ(h.sent(), Strings{kCheckRequest});
    h.rx(tei_message(false, 0x22, 5, 65));
    h.advance(ISDN::LAPD_NT::kT201);
    EXPECT_EQ(h.sent(), Strings{check(64)});
    h.advance(ISDN::LAPD_NT_user::kCheckTime - ISDN::LAPD_NT::kT201);
    EXPECT_EQ(h.sent(), (Strings{remove(64), remove(64)}));
    EXPECT_EQ(h.user(64), nullptr);
    EXPECT_NE(h.user(65), nullptr);
    EXPECT_FALSE(h.send("08 01 01 0F"));
}

TEST(LapdNtTest, CheckResponseForEveryTeiUnassignsEveryLink)
{
    NtHarness h;
    attach(h, 3);
    h.rx("00 81 00 00 08 01 81 07"); // terminal 64 on call 1
    h.sent();
    h.rx(tei_message(false, 0, 5, 127));
    EXPECT_EQ(h.sent(), (Strings{remove(127), remove(127)}));
    for (unsigned tei = 64; tei < 67; ++tei)
        EXPECT_EQ(h.user(tei), nullptr);
    EXPECT_FALSE(h.send("08 01 01 0F"));
    h.advance(20000);
    EXPECT_EQ(h.sent(), Strings{}); // no poll of a TEI that is gone
}

TEST(LapdNtTest, FrameFromAnUnknownTeiTakesAFreeLink)
{
    NtHarness h;
    h.rx("00 85 00 01 08 01 81 07"); // I frame, TEI 66, P = 1
    EXPECT_EQ(h.sent(), (Strings{"02 85 7F", "00 85 01 03"}));
    EXPECT_EQ(h.owner.messages, Strings{"08 01 81 07"});
    ASSERT_NE(h.user(66), nullptr);
    EXPECT_EQ(h.user(66)->VR(), 1u);
}

TEST(LapdNtTest, DeactivationStopsTheCycleAndIsReported)
{
    NtHarness h;
    attach(h, 2);
    h.nt->activate();
    h.nt->deactivate();
    EXPECT_EQ(h.owner.reports, (Strings{"activated", "end: success (deactivated locally)"}));
    EXPECT_EQ(h.user(64), nullptr);
    h.sent();
    h.advance(120000);
    EXPECT_EQ(h.sent(), Strings{});
}

TEST(LapdNtTest, SetupIsBroadcastAndTheRestFollowsTheCallReference)
{
    NtHarness h;
    attach(h, 2);
    EXPECT_TRUE(h.send("08 01 01 05 04 03 80 90 A3"));
    EXPECT_EQ(h.sent(), Strings{"02 FF 03 08 01 01 05 04 03 80 90 A3"});
    h.rx("00 83 00 00 08 01 81 07"); // 65 answers call 1 (CONNECT)
    h.rx("00 81 00 00 08 01 82 07"); // 64 answers call 2
    h.rx("00 83 02 00 08 01 03 05"); // 65 starts call 3
    h.sent();
    EXPECT_EQ(h.owner.messages, (Strings{"08 01 81 07", "08 01 82 07", "08 01 03 05"}));
    EXPECT_TRUE(h.send("08 01 01 0F"));
    EXPECT_TRUE(h.send("08 01 82 0F"));
    EXPECT_TRUE(h.send("08 01 83 7B"));
    EXPECT_FALSE(h.send("08 01 09 0F"));
    EXPECT_FALSE(h.send("08 01 01"));
    EXPECT_EQ(h.sent(), (Strings{"02 83 00 05 08 01 01 0F", "02 81 00 03 08 01 82 0F", "02 83 02 05 08 01 83 7B"}));
    // RELEASE COMPLETE ends a call from either side.
    EXPECT_TRUE(h.send("08 01 01 5A"));
    h.rx("00 83 04 00 08 01 03 5A");
    h.sent();
    EXPECT_FALSE(h.send("08 01 01 7B"));
    EXPECT_FALSE(h.send("08 01 03 7B"));
    EXPECT_TRUE(h.send("08 01 02 7B"));
    // Sixteen calls are kept, the oldest goes first.
    for (unsigned cr = 0x10; cr < 0x20; ++cr)
        h.rx("00 81 " + vbtest::hex(vbtest::bytes({int(cr - 0x10 + 1) << 1, 0})) + " 08 01 " +
             vbtest::hex(vbtest::bytes({int(cr)})) + " 07");
    EXPECT_FALSE(h.send("08 01 02 7B"));
    EXPECT_TRUE(h.send("08 01 10 7B"));
}

// Our own user sides as eight fresh terminals: each asks for a TEI and
// exchanges messages with the layer above the network side under its own
// call reference, one each way every half second, over several TEI check
// cycles, while 2% of the frames of every kind (TEI management, U, S and
// I frames) are lost on the bus.
TEST(LapdNtBusTest, EightOfOurTerminalsExchangeMessagesExactlyOnce)
{
    const unsigned kMessages = 720, kTerminals = 8, kPace = 500;
    unsigned poolBefore = Packet_pool::available();
    {
        Mux::VirtualClock clock;
        Mux::ScopedClock scoped(clock);
        vbtest::SBus bus(kTerminals, 20240624);
        vbtest::NtOwner top;
        auto* nt = new ISDN::LAPD_NT;
        top.add_protocol_tail(nt);
        top.wire = [&](const std::string& f) { bus.from_network(f); };
        bus.network = [&](Packet& p) { nt->receive(p); };
        bus.loss = 0.02;
        std::map<std::string, unsigned> lostKinds;
        bus.on_lost = [&](const std::string& f) {
            bool u = f.size() >= 3 && (f[2] & 3) == 3;
            ++lostKinds[uint8_t(f[0]) >> 2 == 63 ? "TEI" : !u ? ((f[2] & 1) ? "S" : "I") : "U"];
        };
        struct Terminal {
            vbtest::LinkOwner owner;
            ISDN::LAPD* link = nullptr;
            unsigned queued = 0, received = 0; // by the terminal
            unsigned down = 0, up = 0;         // by the network side
            bool right = true;
        };
        Terminal t[kTerminals];
        for (unsigned i = 0; i < kTerminals; ++i) {
            t[i].link = new ISDN::LAPD(ISDN::Side::user, 0);
            t[i].link->change_to_bri();
            t[i].link->hdlc = bus.terminals[i].get();
            bus.terminals[i]->notify = t[i].link;
            t[i].owner.add_protocol_tail(t[i].link);
        }
        auto message = [](unsigned cr, unsigned n) {
            Packet p = vbtest::make_packet(vbtest::bytes({0x08, 0x01, int(cr), 0x7B, int(n >> 8), int(n & 0xFF)}), 8);
            return p;
        };
        // Message n of call i + 1 must come n-th, to the network side from
        // terminal i (flag set) and to terminal i from above (flag clear).
        auto check = [](const std::string& m, unsigned cr, unsigned& n) {
            bool ok = m.size() == 6 && uint8_t(m[2]) == cr && unsigned(uint8_t(m[4]) << 8 | uint8_t(m[5])) == n;
            ++n;
            return ok;
        };
        top.up = [&](Packet& p) {
            std::string m = vbtest::content(p);
            unsigned i = m.size() > 2 ? (uint8_t(m[2]) & 0x7F) - 1 : kTerminals;
            if (i >= kTerminals || !check(m, i + 1 + 0x80, t[i].up))
                t[i < kTerminals ? i : 0].right = false;
        };
        bool invariants = true;
        uint32_t start = Mux::milliseconds();
        vbtest::FnDpc feed([&] {
            unsigned due = std::min(kMessages, (Mux::milliseconds() - start) / kPace + 1);
            for (unsigned i = 0; i < kTerminals; ++i) {
                Terminal& x = t[i];
                for (const std::string& m : x.owner.messages)
                    x.right = x.right && check(m, i + 1, x.received);
                x.owner.messages.clear();
                while (x.link->full_state().state == ISDN::kMultipleFrameEstablished && x.queued < due &&
                       x.link->out_count() < 40) {
                    Packet p = message(i + 1 + 0x80, x.queued++);
                    x.link->message(p);
                }
                const ISDN::LAPD_NT_user* u = nt->find_Tei(uint8_t(x.link->full_state().ownTEI));
                if (!u)
                    continue;
                invariants = invariants && u->ack_count() == ((u->VS() - u->VA()) & 127) && u->ack_count() <= 7;
                while (x.up > 0 && x.down < due && u->out_count() < 40) {
                    Packet p = message(i + 1, x.down++);
                    nt->message(p);
                }
            }
        });
        feed.dpc.Activate();
        nt->activate();
        for (Terminal& x : t)
            x.link->activate();
        auto done = [&] {
            for (const Terminal& x : t)
                if (x.received < kMessages || x.up < kMessages)
                    return false;
            return true;
        };
        EXPECT_TRUE(vbtest::run_until(done, 3600 * 1000));
        std::vector<int> teis;
        for (unsigned i = 0; i < kTerminals; ++i) {
            EXPECT_TRUE(t[i].right) << i;
            EXPECT_EQ(t[i].received, kMessages) << i;
            EXPECT_EQ(t[i].up, kMessages) << i;
            teis.push_back(t[i].link->full_state().ownTEI);
        }
        std::sort(teis.begin(), teis.end());
        EXPECT_EQ(std::unique(teis.begin(), teis.end()), teis.end());
        EXPECT_GE(teis.front(), 64);
        EXPECT_LE(teis.back(), 126);
        EXPECT_TRUE(invariants);
        EXPECT_GE(Mux::milliseconds() - start, 6 * ISDN::LAPD_NT::kCheckCycle);
        for (const char* kind : {"TEI", "U", "S", "I"})
            EXPECT_GT(lostKinds[kind], 0u) << kind;
    }
    EXPECT_EQ(Packet_pool::available(), poolBefore);
}

} // namespace
