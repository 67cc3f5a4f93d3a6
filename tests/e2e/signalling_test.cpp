// Signalling links through the running server, as a controller drives
// them: an MCC data slot joined to the signalling slot is the far end,
// its userData carrying the link's raw frames both ways across the
// simulated switch, so the test plays the peer octet by octet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "board/hal_requests.h"
#include "tests/e2e/answered_flow.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/server_process.h"
#include "tests/signalling/signalling_commands.h"
#include "tests/e2e/flow_commands.h"

using namespace vbtest;
using testing::HasSubstr;

namespace {

class SignallingFlow : public ::testing::Test, protected AnsweredFlow {
protected:
    void SetUp() override { ASSERT_TRUE(start()) << server.err(); }

    static std::string ok(unsigned slot) { return "slot=" + std::to_string(slot) + " success"; }
    // The far end's next userData.
    static std::string at(unsigned slot) { return "slot=" + std::to_string(slot) + " userData"; }
    static std::string frame(unsigned slot, const std::string& hexText)
    {
        return "slot=" + std::to_string(slot) + " userData '" + lower(hexText) + "'H";
    }
    // The far end answers the SABME of the link `near`, which is up at
    // its UA: one SABME and one UA, whatever the line's rate, also when an
    // activate restarts the link while its old channel still drains.
    void bring_up(unsigned near, unsigned far)
    {
        const std::string up = "slot=" + std::to_string(near) + " activated";
        ASSERT_EQ(await(at(far), up), frame(far, "00 01 7F"));
        on(far, user_data("00 01 73"));
        ASSERT_EQ(await(up, at(far)), up + " NULL");
    }
    // The far end, an MCC data slot on `far`, joined to the signalling
    // slot `near` in one or both directions.
    void join(unsigned near, unsigned far, bool both, bool ss7Mode = false)
    {
        ASSERT_EQ(on(far, mcc_slot(LGCP::MccType::data, ss7Mode)), ok(far));
        ASSERT_EQ(on(far, connect(near)), ok(far));
        if (both) {
            ASSERT_EQ(on(near, connect(far)), ok(near));
        }
    }
};

TEST_F(SignallingFlow, Ss7LinkAlignsAndCarriesMsus)
{
    C create = ss7(1, true);
    ASSERT_EQ(on(1, create), "slot=1 success");
    join(1, 2, false, true);
    EXPECT_EQ(await("slot=2 userData"), frame(2, "FF FF 01 00"));
    on(2, user_data("FF FF 01 02"));
    EXPECT_EQ(await("slot=2 userData"), frame(2, "FF FF 01 02"));
    on(2, user_data("FF FF 01 09")); // SIN with a spare bit set keeps proving
    EXPECT_EQ(await("slot=2 userData"), frame(2, "FF FF 00"));
    on(2, user_data("FF FF 00"));
    EXPECT_EQ(await("slot=1 activated"), "slot=1 activated NULL");
    on(2, user_data("FF FF 01 0D")); // SIB with a spare bit set keeps the link in service
    EXPECT_EQ(on(1, user_data("03 01 02")), "slot=1 success");
    EXPECT_EQ(await("slot=2 userData 'FF 80"), frame(2, "FF 80 03 03 01 02"));
    on(2, user_data("80 80 03 03 04 05"));
    EXPECT_EQ(await("slot=1 userData"), frame(1, "03 04 05"));
    EXPECT_EQ(await("slot=2 userData '80"), frame(2, "80 80 00"));
    C bsn;
    bsn.get_ioctl().set_ss7RqBSN();
    EXPECT_EQ(on(1, bsn), "slot=1 success");
    EXPECT_EQ(await("slot=1 ioctl ss7BSN"), "slot=1 ioctl ss7BSN : 0");

    // Moved to another far end, the link says farewell on the old line,
    // is reported down once, and aligns afresh on the new one, whose far
    // end hears its first status while the old channel still drains.
    ASSERT_EQ(on(3, mcc_slot(LGCP::MccType::data, true)), ok(3));
    ASSERT_EQ(on(3, connect(1)), ok(3));
    EXPECT_EQ(await("slot=2 userData 'FF FF 01"), frame(2, "FF FF 01 03"));
    EXPECT_EQ(await("slot=1 deactivated", "slot=1 activated"), "slot=1 deactivated networkError");
    EXPECT_EQ(await("slot=3 userData"), frame(3, "FF FF 01 00"));
    on(3, user_data("FF FF 01 02"));
    EXPECT_EQ(await("slot=3 userData"), frame(3, "FF FF 01 02"));
    EXPECT_EQ(await("slot=3 userData"), frame(3, "FF FF 00"));
    on(3, user_data("FF FF 00"));
    EXPECT_EQ(await("slot=1 activated", "slot=1 deactivated"), "slot=1 activated NULL");
    EXPECT_EQ(on(1, user_data("03 0A 0B")), "slot=1 success");
    EXPECT_EQ(await("slot=3 userData 'FF 80"), frame(3, "FF 80 03 03 0A 0B"));
    on(3, user_data("80 80 03 03 0C 0D"));
    EXPECT_EQ(await("slot=1 userData"), frame(1, "03 0C 0D"));
    EXPECT_EQ(await("slot=3 userData '80"), frame(3, "80 80 00"));
    for (const std::string& t : pending) {
        EXPECT_THAT(t, testing::Not(HasSubstr("0a 0b")));
        EXPECT_THAT(t, testing::Not(HasSubstr("slot=1 deactivated")));
    }

    EXPECT_EQ(on(1, simple(C::e_destroy)), "slot=1 success");
    EXPECT_EQ(await("slot=3 userData 'FF FF 01"), frame(3, "FF FF 01 03"));
}

// The link's farewell (SIOS) leaves on the line before its channel goes,
// also right behind a message still on the line, and the destroy is
// answered at once: a create in its place meanwhile (a slow line in the
// last round) is told the slot is still going.
TEST_F(SignallingFlow, AnSs7LinksFarewellReachesTheFarEndEveryRound)
{
    BoardPort board;
    ASSERT_TRUE(board.connect(server.pid()));
    const int rounds = 6;
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        // The last round's link goes once its farewell left the line,
        // which is a little after the far end heard it.
        ASSERT_TRUE(eventually([&] { return on(1, ss7(1, true)) == "slot=1 success"; }));
        join(1, 2, false, true);
        EXPECT_EQ(await("slot=2 userData"), frame(2, "FF FF 01 00"));
        on(2, user_data("FF FF 01 02"));
        EXPECT_EQ(await("slot=2 userData 'ff ff 01 02"), frame(2, "FF FF 01 02"));
        on(2, user_data("FF FF 00"));
        ASSERT_EQ(await("slot=1 activated"), "slot=1 activated NULL");
        std::string msu;
        for (int i = 0; i < round * 20; ++i)
            msu += "AA ";
        const bool slow = round == rounds - 1;
        if (slow) {
            ASSERT_EQ(board.ask("mcc-rate 200"), "ok");
        }
        EXPECT_EQ(on(1, user_data(msu + "03 01 02")), "slot=1 success");
        EXPECT_EQ(on(1, simple(C::e_destroy)), "slot=1 success");
        if (slow) {
            EXPECT_EQ(on(1, ss7(1, true)), "slot=1 error destroyInProgress");
        }
        EXPECT_EQ(await("slot=2 userData 'FF FF 01"), frame(2, "FF FF 01 03")) << server.err();
        if (slow) {
            ASSERT_EQ(board.ask("mcc-rate 8000"), "ok");
        }
        EXPECT_EQ(on(2, simple(C::e_destroy)), "slot=2 success");
        pending.clear();
    }
}

// The octets in one userData signal ("... '5a 5a'H").
size_t octets_in(const std::string& signal)
{
    size_t open = signal.find('\''), close = signal.rfind('\'');
    return open == std::string::npos || close <= open + 1 ? 0 : (close - open) / 3;
}

// A raw MCC slot's queued blocks and an ISDN link's last message leave on
// the line after their destroy, which is answered at once; a create in the
// slot's place meanwhile is told it is still going.
TEST_F(SignallingFlow, WhatAnMccSlotOrIsdnLinkWroteReachesTheFarEndAfterItsDestroy)
{
    ASSERT_EQ(on(1, mcc_slot(LGCP::MccType::data)), "slot=1 success");
    join(1, 2, true);
    std::string block;
    for (int i = 0; i < 500; ++i)
        block += "5A ";
    // 3000 octets: 0.4 s on the line.
    for (int i = 0; i < 6; ++i)
        ASSERT_EQ(on(1, user_data(block)), "slot=1 success");
    EXPECT_EQ(on(1, simple(C::e_destroy)), "slot=1 success");
    EXPECT_EQ(on(1, mcc_slot(LGCP::MccType::data)), "slot=1 error destroyInProgress");
    size_t heard = 0;
    for (std::string t; heard < 3000 && !(t = await("slot=2 userData")).empty();)
        heard += octets_in(t);
    EXPECT_EQ(heard, 3000u);

    BoardPort board;
    ASSERT_TRUE(board.connect(server.pid()));
    ASSERT_EQ(on(3, isdn(false)), "slot=3 success");
    join(3, 4, true);
    ASSERT_EQ(on(3, simple(C::e_activate)), "slot=3 success");
    EXPECT_EQ(await("slot=4 userData"), frame(4, "00 01 7F"));
    on(4, user_data("00 01 73"));
    ASSERT_EQ(await("slot=3 activated"), "slot=3 activated NULL");
    // A message of 128 octets holds the line for 2.6 s at 50 octets a
    // second, longer than a drain waits for a line that stopped: the
    // second waits behind it, and leaves only if the drain knows what the
    // channel took.
    ASSERT_EQ(board.ask("mcc-rate 50"), "ok");
    EXPECT_EQ(on(3, user_data(block.substr(0, 3 * 128))), "slot=3 success");
    EXPECT_EQ(on(3, user_data("08 02 00 01 05")), "slot=3 success");
    EXPECT_EQ(on(3, simple(C::e_destroy)), "slot=3 success");
    EXPECT_EQ(octets_in(await("slot=4 userData")), 4u + 128u);
    EXPECT_EQ(await("slot=4 userData"), frame(4, "00 01 02 00 08 02 00 01 05"));
}

// MCC slot 1 on trunk 0 time slot 1 sends its blocks and is destroyed.
// A line that carries at a time slot's rate keeps the channel until the
// last block left, frames of 16,383 octets included (6.1 s); a line that
// stopped is cut at the bound, and the controller's going cuts the drain
// too: each cut says how much of what was answered did not leave, counting
// only what the line had no time for, within one block. So a channel that
// refuses the last block (300 ms in) loses that block alone, though its
// line had no later block to move the bound; and a line that slows to a
// crawl 300 ms in says no more than the blocks it had not taken up.
// mcc-line counts a block as the line takes it up.
TEST_F(SignallingFlow, AnMccSlotsDrainIsCutOnlyWhenItsLineStoppedAndSaysWhatItDropped)
{
    BoardPort board;
    ASSERT_TRUE(board.connect(server.pid()));
    ASSERT_EQ(on(10, create_trunk(0, 1)), ok(10));
    const struct {
        const char* what;
        const char* rate;
        size_t block;
        int blocks;
        const char* at300ms; // a board word 300 ms after the blocks, or none
        bool controllerGoes;
        uint64_t carried; // 0: not read
        const char* cut;  // the line's beginning, or none for no cut
        size_t least, most;
    } rows[] = {
        {"a line that carries", "8000", 16383, 3, nullptr, false, 3 * 16383, nullptr, 0, 0},
        {"a line that stopped", "1", 500, 3, nullptr, false, 500, "channel 1024: drain cut at its bound, ", 500, 1500},
        {"a channel that refuses the last block", "8000", 16383, 3, "fail /dev/mcc/ctl write 11 always", false,
         2 * 16383, "channel 1024: drain cut at its bound, ", 16383, 16383},
        {"a line that slows", "8000", 1024, 8, "mcc-rate 1", false, 0, "channel 1024: drain cut at its bound, ", 1024,
         5 * 1024},
        {"the controller's going", "8000", 16383, 3, nullptr, true, 16383,
         "channel 1024: drain cut at the controller's going, ", 2 * 16383, 3 * 16383 - 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(board.ask(std::string("mcc-rate ") + row.rate), "ok");
        ASSERT_EQ(board.ask("fail /dev/mcc/ctl write 0"), "ok");
        ASSERT_EQ(on(1, mcc_slot(LGCP::MccType::data)), ok(1));
        ASSERT_EQ(on(1, connect(10)), ok(1));
        std::string hex;
        for (size_t i = 0; i < row.block; ++i)
            hex += "5A ";
        for (int i = 0; i < row.blocks; ++i)
            ASSERT_EQ(on(1, user_data(hex)), ok(1));
        if (row.at300ms) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            ASSERT_EQ(board.ask(row.at300ms), "ok");
        }
        const size_t from = server.err().size();
        const auto start = std::chrono::steady_clock::now();
        // The port is not served while the server pauses for a controller gone.
        uint64_t carried = std::stoull(board.ask("mcc-line 1024").substr(3));
        if (row.controllerGoes)
            ctl.close();
        else
            EXPECT_EQ(on(1, simple(C::e_destroy)), ok(1));
        EXPECT_TRUE(eventually(
            [&] {
                const std::string line = board.ask("mcc-line 1024");
                if (line.rfind("ok ", 0) != 0)
                    return true;
                carried = std::stoull(line.substr(3));
                return false;
            },
            9000));
        if (row.carried) {
            EXPECT_EQ(carried, row.carried);
        }
        const std::string said = server.err().substr(from);
        const size_t at = row.cut ? said.find(row.cut) : std::string::npos;
        if (row.cut) {
            ASSERT_NE(at, std::string::npos) << said;
            const size_t unsent = std::stoul(said.substr(at + std::strlen(row.cut)));
            EXPECT_GE(unsent, row.least);
            EXPECT_LE(unsent, row.most);
        } else {
            EXPECT_THAT(said, testing::Not(HasSubstr("unsent")));
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(6000));
        }
    }
}

// The controller goes while a channel on trunk 0 time slot 1 holds more
// than its buffer: five blocks of 4,096 octets to an MCC slot (also after
// its destroy), or 60 HDLC frames of 303 octets. A new controller's ping
// is answered within a second of the server's one-second release pause,
// the channel and the line are free, and SIGTERM still ends the server.
// The line's far end hears no more than the channel took: what the line
// took up before the pause, as the slots' paths go before the channel; a
// path whose release the switch refuses stays, so the far end also hears
// what the line had time for in the pause.
TEST_F(SignallingFlow, TheControllersGoingInADrainLeavesTheServerServingAndTheBoardClean)
{
    BoardPort board;
    ASSERT_TRUE(board.connect(server.pid()));
    const struct {
        const char* what;
        bool hdlc;
        bool destroyed;
        bool refused;
        size_t unit;
        size_t atLeast;
        size_t took;
    } rows[] = {
        {"mcc", false, false, false, 4096, 4096, 3 * 4096},
        {"mcc destroyed first", false, true, false, 4096, 4096, 3 * 4096},
        {"hdlc", true, false, false, 303, 303, 29 * 303},
        {"mcc, releases refused", false, false, true, 4096, 2 * 4096, 3 * 4096},
    };
    auto refuse = [&](const char* how) {
        for (unsigned long release : {Device::Hal::SWITCH_WRITE, Device::Hal::SWITCH_DISABLE})
            ASSERT_EQ(board.ask("fail /dev/hal " + std::to_string(release) + how), "ok");
    };
    ASSERT_EQ(board.ask("line 1"), "ok 0");
    uint64_t before = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ASSERT_EQ(on(1, create_trunk(0, 1)), ok(1));
        ASSERT_EQ(on(2, row.hdlc ? hdlc_params(0, 5) : mcc_slot(LGCP::MccType::data)), ok(2));
        ASSERT_EQ(on(2, connect(1)), ok(2));
        ASSERT_EQ(on(1, connect(2)), ok(1));
        ASSERT_EQ(board.ask("switch 1"), "ok connected 1024");
        std::string body;
        for (size_t i = 0; i < row.unit - (row.hdlc ? 3 : 0); ++i)
            body += "A5 ";
        if (row.hdlc) {
            ASSERT_EQ(on(2, packages(std::vector<std::string>(60, body))), ok(2));
        } else {
            for (int i = 0; i < 5; ++i)
                ASSERT_EQ(on(2, user_data(body)), ok(2));
        }
        if (row.destroyed) {
            ASSERT_EQ(on(2, simple(C::e_destroy)), ok(2));
        }
        if (row.refused) {
            refuse(" 5 always");
        }
        ctl.close();
        const auto gone = std::chrono::steady_clock::now();
        ASSERT_TRUE(eventually([&] { return ctl.dial(server.port()) && ctl.sync().empty(); }, 2000));
        EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - gone)
                      .count(),
                  2000);
        EXPECT_EQ(board.ask("mcc-line 1024"), "error no channel on 1024");
        EXPECT_EQ(board.ask("descriptors /dev/mcc/ctl"), "ok 0");
        const uint64_t heard = std::stoull(board.ask("line 1").substr(3)) - before;
        before += heard;
        EXPECT_EQ(heard % row.unit, 0u) << heard;
        EXPECT_GE(heard, row.atLeast);
        EXPECT_LE(heard, row.took);
        if (row.refused) {
            refuse(" 0");
        }
        EXPECT_TRUE(eventually([&] { return board.ask("switch 1") == "ok constant d5"; })) << board.ask("switch 1");
        pending.clear();
    }
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(5000), 0);
}

// An HDLC link's frames move its drain's bound as an MCC slot's blocks do,
// each behind the last: two packages of 16,000 octets, 4 s on the line,
// both taken by the channel; and 112 of 500 octets on a line a quarter
// slower than a time slot (9.4 s), most of them taken by the channel only
// as the line makes room, after the destroy. Both leave whole, the number
// stays taken until the last octet left, and no drain is cut.
TEST_F(SignallingFlow, AnHdlcLinksDrainWaitsForEveryFrameTheLineCarries)
{
    BoardPort board;
    ASSERT_TRUE(board.connect(server.pid()));
    const struct {
        const char* rate;
        size_t body;
        size_t count;
        int lineMs;
    } rows[] = {{"8000", 16000, 2, 4000}, {"6000", 500, 112, 9400}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.rate);
        ASSERT_EQ(board.ask(std::string("mcc-rate ") + row.rate), "ok");
        ASSERT_EQ(on(1, hdlc_params(1, 4660)), ok(1));
        join(1, 2, true);
        std::string body;
        for (size_t i = 0; i < row.body; ++i)
            body += "AA ";
        ASSERT_EQ(on(1, packages(std::vector<std::string>(row.count, body))), ok(1));
        const size_t from = server.err().size();
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(on(1, simple(C::e_destroy)), ok(1));
        const size_t all = row.count * (row.body + 3);
        size_t heard = 0;
        for (std::string t; heard < all && !(t = await(at(2))).empty();)
            heard += octets_in(t);
        EXPECT_EQ(heard, all);
        EXPECT_TRUE(eventually([&] { return on(1, hdlc_params(1, 4660)) == ok(1); }, 12000));
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(row.lineMs - 300));
        EXPECT_THAT(server.err().substr(from), testing::Not(HasSubstr("unsent")));
        for (unsigned n : {1u, 2u})
            EXPECT_EQ(on(n, simple(C::e_destroy)), ok(n));
        pending.clear();
    }
}

// Every link kind, joined one way and both ways: its last frame leaves on
// the line after its destroy, which is answered at once. While it drains
// (a nearly stalled line) the number answers every command, and every
// connection naming it, destroyInProgress; once the channel drained it is
// free. Joined one way, an ISDN or QSIG slot only sends: its last frame is
// the link's first. The DSP data channel of a QSIG slot keeps nothing. A
// link that left its line (a disconnect) drains already: its destroy waits
// for that drain. A PRI link restarted by its activate while its first
// SABME still drains comes up at one SABME and one UA, on a slow line too.
TEST_F(SignallingFlow, EveryLinksLastFrameReachesTheFarEndWhicheverWayItIsJoined)
{
    BoardPort board;
    ASSERT_TRUE(board.connect(server.pid()));
    enum Kind { kSs7, kPri, kBriNetwork, kHdlc, kIsdn, kQsig };
    const struct {
        const char* name;
        Kind kind;
        bool both;
        bool leftFirst = false;
        bool slowFirst = false; // the line at 20 octets a second from the start
    } rows[] = {
        {"ss7 one way", kSs7, false},   {"ss7 both", kSs7, true},   {"pri one way", kPri, false},
        {"pri one way, slow", kPri, false, false, true},
        {"pri both", kPri, true},       {"bri network both", kBriNetwork, true},
        {"hdlc one way", kHdlc, false}, {"hdlc both", kHdlc, true}, {"hdlc left first", kHdlc, false, true},
        {"isdn one way", kIsdn, false}, {"isdn both", kIsdn, true}, {"qsig one way", kQsig, false},
        {"qsig both", kQsig, true},
    };
    unsigned near = 1;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.slowFirst) {
            ASSERT_EQ(board.ask("mcc-rate 20"), "ok");
        }
        const unsigned far = near + 1, third = near + 2;
        const C creates[] = {ss7(1, true), pstn_isdn(false, 1, false), pstn_isdn(true, 1, true),
                             hdlc_params(1, 4660), isdn(false), ats_qsig()};
        ASSERT_EQ(on(near, creates[row.kind]), ok(near));
        ASSERT_EQ(on(third, mcc_slot(LGCP::MccType::data)), ok(third));
        // A slot that serves its own switch channel hears only what its
        // source sends: joined one way it is that source.
        const bool slotLine = row.kind == kIsdn || row.kind == kQsig;
        if (slotLine && !row.both) {
            ASSERT_EQ(on(far, mcc_slot(LGCP::MccType::data)), ok(far));
            ASSERT_EQ(on(near, connect(far)), ok(near));
        } else {
            join(near, far, row.both, row.kind == kSs7);
        }
        // Brought up, then its last frame asked for on a nearly stalled
        // line (but for the HDLC packages: 24,018 octets, 3 s at the
        // line's rate, two of them still queued in the slot for lack of
        // room in the channel).
        const std::string activated = "slot=" + std::to_string(near) + " activated NULL";
        std::string last = "00 01 7F"; // a link that only sends: its SABME
        C final = simple(C::e_activate);
        if (row.kind == kSs7) {
            EXPECT_EQ(await(at(far)), frame(far, "FF FF 01 00"));
            last = "FF FF 01 03"; // its farewell, SIOS, and nothing asked
        } else if (row.kind == kBriNetwork) {
            EXPECT_EQ(await(at(far)), frame(far, "FE FF 03 0F 00 00 04 FF"));
            ASSERT_EQ(await("slot=" + std::to_string(near) + " activated"), activated);
            final = user_data("08 01 06 05");
            last = "02 FF 03 08 01 06 05";
        } else if (row.kind == kHdlc) {
            std::string body;
            for (int i = 0; i < 4000; ++i)
                body += "AA ";
            final = packages(std::vector<std::string>(6, body));
        } else if (row.kind == kPri || row.both) {
            ASSERT_EQ(on(near, simple(C::e_activate)), ok(near));
            bring_up(near, far);
            final = user_data("08 02 00 01 05");
            last = "00 01 00 00 08 02 00 01 05";
        }
        if (row.kind != kHdlc) {
            ASSERT_EQ(board.ask("mcc-rate 20"), "ok");
        }
        if (row.kind != kSs7) {
            ASSERT_EQ(on(near, final), ok(near));
        }
        if (row.leftFirst) {
            ASSERT_EQ(on(near, simple(C::e_disconnect)), ok(near));
        }
        EXPECT_EQ(on(near, simple(C::e_destroy)), ok(near));
        const std::pair<unsigned, C> refused[] = {{near, user_data("08 02 00 01 05")}, {third, connect(near)},
                                                  {near, connect(third)}, {near, simple(C::e_disconnect)},
                                                  {near, creates[row.kind]}};
        for (const auto& r : refused) {
            if (row.kind != kQsig) {
                EXPECT_EQ(on(r.first, r.second), "slot=" + std::to_string(r.first) + " error destroyInProgress");
            }
        }
        if (row.kind == kHdlc) {
            // Its last package still to leave, the number is still taken.
            size_t heard = 0;
            for (std::string t; heard < 5 * 4003 && !(t = await(at(far))).empty();)
                heard += octets_in(t);
            EXPECT_EQ(on(near, creates[row.kind]), "slot=" + std::to_string(near) + " error destroyInProgress");
            for (std::string t; heard < 6 * 4003 && !(t = await(at(far))).empty();)
                heard += octets_in(t);
            EXPECT_EQ(heard, 6 * 4003u);
        } else {
            std::string t;
            while (!(t = await(at(far))).empty() && t != frame(far, last)) {
            }
            EXPECT_EQ(t, frame(far, last)) << server.err();
        }
        ASSERT_EQ(board.ask("mcc-rate 8000"), "ok");
        EXPECT_TRUE(eventually([&] { return on(near, mcc_slot(LGCP::MccType::data)) == ok(near); }));
        for (unsigned n : {near, far, third})
            EXPECT_EQ(on(n, simple(C::e_destroy)), ok(n));
        pending.clear();
        near += 10;
    }
}

TEST_F(SignallingFlow, BriNetworkSideAssignsATerminal)
{
    ASSERT_EQ(on(1, pstn_isdn(true, 1, true)), "slot=1 success");
    join(1, 2, true);
    EXPECT_EQ(await("slot=2 userData"), frame(2, "FE FF 03 0F 00 00 04 FF"));
    EXPECT_EQ(await("slot=1 activated"), "slot=1 activated NULL");
    on(2, user_data("FC FF 03 0F 12 34 01 FF"));
    EXPECT_EQ(await("slot=2 userData"), frame(2, "FE FF 03 0F 12 34 02 81"));
    EXPECT_EQ(await("slot=2 userData"), frame(2, "02 81 7F"));
    on(2, user_data("02 81 73"));
    on(2, user_data("00 81 00 00 08 01 05 05"));
    EXPECT_EQ(await("slot=1 userData"), frame(1, "08 01 05 05"));
    EXPECT_EQ(on(1, user_data("08 01 06 05")), "slot=1 success");
    EXPECT_EQ(await("slot=2 userData '02 FF"), frame(2, "02 FF 03 08 01 06 05"));

    // The terminal is busy: of 200 messages for its call the newest 128
    // wait; the loss of the others is said at once, and counted once it
    // takes them again.
    // RNR as a poll: its answer shows the network side has it before the
    // messages come.
    on(2, user_data("00 81 05 01"));
    EXPECT_EQ(await("slot=2 userData '00 81 01 03"), frame(2, "00 81 01 03"));
    for (int i = 0; i < 200; ++i)
        ASSERT_EQ(on(1, user_data("08 01 85 7B")), "slot=1 success");
    const std::string first = "out queue full, dropping the oldest messages\n";
    EXPECT_TRUE(eventually([&] { return server.err().find(first) != std::string::npos; }));
    EXPECT_THAT(server.err(), testing::Not(HasSubstr("oldest message(s) dropped")));
    on(2, user_data("02 81 01 00"));
    EXPECT_EQ(await("slot=2 userData '02 81 00"), frame(2, "02 81 00 03 08 01 85 7B"));
    const std::string line = "out queue full, 72 oldest message(s) dropped\n";
    EXPECT_TRUE(eventually([&] { return server.err().find(line) != std::string::npos; }));
}

TEST_F(SignallingFlow, IsdnAndQsigSlotsCarryLayer3)
{
    ASSERT_EQ(on(6, ats_qsig()), "slot=6 success");
    ASSERT_EQ(on(7, ats_qsig_b(6, 1)), "slot=7 success");
    for (unsigned near : {1u, 6u}) {
        if (near == 1) {
            ASSERT_EQ(on(1, isdn(false)), "slot=1 success");
        }
        join(near, near + 10, true);
        ASSERT_EQ(on(near, simple(C::e_activate)), ok(near));
        unsigned far = near + 10;
        bring_up(near, far);
        on(near, user_data("08 02 00 01 05"));
        EXPECT_EQ(await("slot=" + std::to_string(far) + " userData"), frame(far, "00 01 00 00 08 02 00 01 05"));
        on(far, user_data("02 01 00 02 08 02 80 01 07"));
        EXPECT_EQ(await("slot=" + std::to_string(near) + " userData"), frame(near, "08 02 80 01 07"));
    }
    EXPECT_EQ(on(6, simple(C::e_destroy)), "slot=6 success");
    EXPECT_EQ(on(7, simple(C::e_destroy)), "slot=7 success");
}

TEST_F(SignallingFlow, HdlcPackagesInBatches)
{
    C create = hdlc_params(1, 4660);
    ASSERT_EQ(on(1, create), "slot=1 success");
    join(1, 2, false);
    EXPECT_EQ(on(1, packages({"AA"})), "slot=1 success");
    EXPECT_EQ(await("slot=2 userData"), frame(2, "12 34 00 AA"));
    on(2, user_data("12 34 A0 00 80"));
    on(2, user_data("12 34 20 00 00"));
    EXPECT_EQ(await("slot=1 ioctl hdlcPackages"),
              "slot=1 ioctl hdlcPackages : { { body '00 80'H }, { body '00 00'H }}");
    on(1, packages({"BB"}));
    EXPECT_EQ(await("slot=2 userData"), frame(2, "12 34 21 BB"));

    // An activate restarts the channel once its frames left, 3 s on a slow
    // line: what the far end sends meanwhile reaches the controller.
    BoardPort board(server.pid());
    ASSERT_TRUE(board.connected());
    ASSERT_EQ(board.ask("mcc-rate 200"), "ok");
    std::string body;
    for (int i = 0; i < 200; ++i)
        body += "CC ";
    EXPECT_EQ(on(1, packages({body, body, body})), "slot=1 success");
    EXPECT_EQ(on(1, simple(C::e_activate)), "slot=1 success");
    on(2, user_data("12 34 40 00 00"));
    EXPECT_EQ(await("slot=1 ioctl hdlcPackages"), "slot=1 ioctl hdlcPackages : { { body '00 00'H }}");
}

// The indexes that the bodies of an hdlcPackages signal carry in their
// first and third octets; a body of another length than `size` gives -1.
std::vector<int> body_indexes(const std::string& text, size_t size)
{
    std::vector<int> out;
    for (size_t at = text.find("body '"); at != std::string::npos; at = text.find("body '", at + 1)) {
        size_t begin = at + 6, end = text.find("'H", begin);
        std::string hex = text.substr(begin, end - begin);
        bool whole = end != std::string::npos && hex.size() == 3 * size - 1;
        out.push_back(whole ? int(std::stoul(hex.substr(0, 2), nullptr, 16) << 8 |
                                  std::stoul(hex.substr(6, 2), nullptr, 16))
                            : -1);
    }
    return out;
}

// Frames played into the slot's channel on the board, each announcing
// more: more of them than one signal may carry, in octets first.
TEST_F(SignallingFlow, LongHdlcBatchesReachTheControllerWhole)
{
    ASSERT_EQ(on(1, hdlc_params(1, 4660)), "slot=1 success");
    ASSERT_EQ(on(2, trunk_slot(0, 16)), "slot=2 success");
    ASSERT_EQ(on(2, connect(1)), "slot=2 success");
    BoardPort board(server.pid());
    ASSERT_TRUE(board.connected());
    const unsigned frames = 300;
    const size_t size = 1000; // 65 bodies fill a frame to the controller
    for (unsigned i = 0; i < frames; ++i) {
        char head[32];
        std::snprintf(head, sizeof head, "123400%02X%s%02X", i >> 8, i + 1 < frames ? "80" : "00", i & 0xFF);
        std::string post = "post /dev/mcc/ctl " + std::string(head) + std::string(2 * (size - 3), 'E');
        // The channel's queue may be full for a moment.
        ASSERT_TRUE(eventually([&] { return board.ask(post) == "ok 1"; })) << i;
    }
    std::vector<int> got;
    for (std::string t = await("slot=1 ioctl hdlcPackages"); !t.empty() && got.size() < frames;
         t = got.size() < frames ? await("slot=1 ioctl hdlcPackages") : "") {
        std::vector<int> batch = body_indexes(t, size);
        EXPECT_LE(batch.size(), 65u);
        got.insert(got.end(), batch.begin(), batch.end());
    }
    ASSERT_EQ(got.size(), frames);
    for (unsigned i = 0; i < frames; ++i)
        EXPECT_EQ(got[i], int(i));
    EXPECT_EQ(on(1, simple(C::e_destroy)), "slot=1 success");
    EXPECT_THAT(server.err(), testing::Not(HasSubstr("send fail")));
    EXPECT_THAT(server.err(), testing::Not(HasSubstr("refused")));
}

} // namespace
