// The slot table through the control server: answers, release states, the
// loss of the controller, the factory registry, and the graph and the
// switch after random command sequences.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>

#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "board/hal_requests.h"
#include "tests/server/slots/slot_support.h"

using namespace vbtest;
using C = LGCP::Command;
using testing::ElementsAre;
using testing::HasSubstr;
using Drive = SimBoard::Hal::Drive;

namespace {

struct SlotsTest : ::testing::Test, SlotWorld {
    void fail_connects(SimBoard::Board::Times times = SimBoard::Board::Times::once)
    {
        sim.board.fail("/dev/hal", Device::Hal::SWITCH_CONNECT, EIO, times);
    }
    // Disconnections refused: the pair stays joined, or the switch owes the
    // release of a pair let go.
    void fail_disconnects() { sim.board.fail("/dev/hal", Device::Hal::SWITCH_WRITE, EIO); }
    // The table, the live list and the factories' lists hold the same slots;
    // B is among A's receivers exactly when B's source is A; read from the
    // board, the switch output of a receiver carries its source, that of
    // any other slot none.
    void ExpectConsistent(bool with_switch = true)
    {
        std::multiset<Slot*> table, live(slots().live().begin(), slots().live().end()), made;
        for (unsigned n = 0; n < Slots::size; ++n)
            if (Slot* s = slots().at(n)) {
                table.insert(s);
                EXPECT_EQ(s->id, n);
            }
        for (SlotFactory* f = firstFactory; f; f = f->next())
            made.insert(f->slots().begin(), f->slots().end());
        EXPECT_EQ(table, live);
        EXPECT_EQ(made, live);
        for (Slot* s : live) {
            const auto& rs = s->GetReceivers();
            EXPECT_TRUE(std::is_sorted(rs.begin(), rs.end()) && std::adjacent_find(rs.begin(), rs.end()) == rs.end());
            for (Slot* r : rs)
                EXPECT_TRUE(live.count(r) && r->GetSource() == s) << *s << " feeds " << *r;
            auto* source = static_cast<TestSlot*>(s->GetSource());
            EXPECT_TRUE(!source || (live.count(source) && std::count(source->GetReceivers().begin(),
                                                                    source->GetReceivers().end(), s) == 1));
            const SimBoard::Hal::Output& out = sim.hal().output(static_cast<TestSlot*>(s)->rx);
            bool carries = source ? out.drive == Drive::connected && out.source == source->tx
                                  : out.drive != Drive::connected;
            EXPECT_TRUE(carries || !with_switch) << *s;
        }
    }
};

TEST_F(SlotsTest, CommandsOnMissingAndRefusingSlots)
{
    for (auto c : {C::e_destroy, C::e_disconnect, C::e_activate, C::e_userData})
        EXPECT_THAT(command(simple(c), 3, 1), ElementsAre("seq=1 slot=3 error slotNotExists"));
    create(3);
    EXPECT_THAT(command(simple(C::e_connect, 4), 3), ElementsAre("slot=3 error slotNotExists"));
    EXPECT_THAT(command(simple(C::e_query), 3), ElementsAre("slot=3 error unexpectedMsgType"));
    EXPECT_THAT(command(simple(C::e_destroy), -1), ElementsAre("error unexpectedMsgType"));
    for (bool done : {true, false}) {
        slot(3)->kind.done = done;
        for (auto c : {C::e_activate, C::e_deactivate, C::e_userData, C::e_ioctl})
            EXPECT_THAT(command(simple(c), 3), ElementsAre(done ? "slot=3 success" : "slot=3 error unsupported"));
    }
}

// A kind whose channel a driver hands out must hold the channel's
// descriptor once it names the channel, in either direction or both (a
// voice player only sends on it, a recorder only receives); one that
// names none yet (a modem before its first stream) is made.
TEST_F(SlotsTest, ASlotNamingAHandedOutChannelItDoesNotHoldIsNotMade)
{
    const struct {
        const char* what;
        int tx, rx;
        bool made;
    } rows[] = {
        {"both directions", 3, 103, false},
        {"transmit only, as a player", 3, -1, false},
        {"receive only, as a recorder", -1, 103, false},
        {"no channel yet", -1, -1, true},
    };
    factory.kind.hold = Slot::Hold::descriptor;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        journal.clear();
        err.clear();
        if (row.made) {
            EXPECT_THAT(command(create_ext(row.tx, row.rx), 3), ElementsAre("slot=3 success"));
            EXPECT_EQ(err.str(), "");
            continue;
        }
        EXPECT_THAT(command(create_ext(row.tx, row.rx), 3), ElementsAre("slot=3 error insufficientResources"));
        EXPECT_THAT(journal, testing::Contains("na:test deleted"));
        EXPECT_THAT(err.str(), testing::HasSubstr("T: a test slot holds no descriptor of its channel"));
        EXPECT_EQ(slots().at(3), nullptr);
    }
}

// A driver hands out only a free channel: the slot that still names one
// that another slot is given has lost it, although its end is still
// unread, and its loss runs before the new slot is numbered. A loss lets
// go only of the paths the switch still holds for the lost slot.
TEST_F(SlotsTest, AHandedOutChannelIsTakenFromTheSlotThatStillNamesIt)
{
    int pair[2][2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair[0]), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair[1]), 0);
    Fd old(pair[0][0]), oldPeer(pair[0][1]), fresh(pair[1][0]), freshPeer(pair[1][1]);
    create(1), create(2);
    Kind k;
    k.hold = Slot::Hold::descriptor;
    k.holds = &old;
    factory.kind = k;
    ASSERT_THAT(command(create_ext(7, 107), 3), ElementsAre("slot=3 success"));
    command(simple(C::e_connect, 3), 1), command(simple(C::e_connect, 2), 3), controller();
    journal.clear();

    k.holds = &fresh;
    factory.kind = k;
    EXPECT_THAT(command(create_ext(7, 107), 4), ElementsAre("slot=4 success"));
    EXPECT_TRUE(slot(3)->IsLost());
    EXPECT_FALSE(slot(4)->IsLost());
    EXPECT_THAT(journal, testing::Contains("03:test IOnChannelLost channel given to another slot"));
    EXPECT_LT(std::find(journal.begin(), journal.end(), "03:test IOnChannelLost channel given to another slot"),
              std::find(journal.begin(), journal.end(), "04:test IAfterCreate"));
    EXPECT_EQ(sim.hal().output(102).value, HwMux::kIdleByte);
    EXPECT_TRUE(slot(3)->GetReceivers().empty() && !slot(3)->GetSource());
    ExpectConsistent();

    // A descriptor that cannot be watched takes nothing: that slot is not
    // made, and the slot that has the channel keeps it.
    Fd unopened(1 << 20);
    k.holds = &unopened;
    factory.kind = k;
    EXPECT_THAT(command(create_ext(7, 108), 5), ElementsAre("slot=5 error insufficientResources"));
    unopened.release();
    EXPECT_FALSE(slot(4)->IsLost());
    EXPECT_NE(HandedChannelIndex::instance().HolderOf(7), nullptr);

    // Another path at the lost slot's output by now is left to its maker;
    // the kind still hears that its connection went.
    command(simple(C::e_connect, 4), 1);
    command(simple(C::e_connect, 2), 4);
    HwMux::instance()->Join(9, 102);
    journal.clear();
    slot(4)->LoseChannel(Device::End{"hang-up", ENODEV});
    EXPECT_EQ(sim.hal().output(102).source, 9);
    EXPECT_EQ(sim.hal().output(107).value, HwMux::kIdleByte);
    EXPECT_THAT(journal, testing::Contains("04:test IHwDisconnectTransmitter"));
    EXPECT_TRUE(slot(4)->GetReceivers().empty() && !slot(4)->GetSource());
}

TEST_F(SlotsTest, TheHighestNumberIsASlotLikeAnyOther)
{
    EXPECT_THAT(create(1023), ElementsAre("slot=1023 success"));
    EXPECT_NE(slots().at(1023), nullptr);
    EXPECT_THAT(command(simple(C::e_destroy), 1023), ElementsAre("slot=1023 success"));
    EXPECT_EQ(slots().at(1023), nullptr);
}

// A source keeps its output while anyone receives it: only the last
// receiver's disconnect releases it.
TEST_F(SlotsTest, TheLastReceiverGoneReleasesTheSourcesOutput)
{
    for (int n = 1; n <= 3; ++n)
        create(n);
    command(simple(C::e_connect, 2), 1);
    command(simple(C::e_connect, 3), 1);
    journal.clear();
    EXPECT_THAT(command(simple(C::e_disconnect), 2), ElementsAre("slot=2 success"));
    EXPECT_THAT(journal, testing::Not(testing::Contains("01:test IOnOutputRelease")));
    journal.clear();
    EXPECT_THAT(command(simple(C::e_disconnect), 3), ElementsAre("slot=3 success"));
    EXPECT_THAT(journal, testing::Contains("01:test IOnOutputRelease"));
    EXPECT_TRUE(slot(1)->GetReceivers().empty());
    ExpectConsistent();
}

TEST_F(SlotsTest, ReleaseStates)
{
    // The creation's answer precedes the new slot's stream signals; an old
    // slot that releases at once is gone before them.
    Kind speaking, later, inside;
    speaking.announce = true;
    later.release = Kind::later;
    inside.release = Kind::inside;
    create(3, speaking);
    journal.clear();
    EXPECT_THAT(create(3, speaking, 6),
                ElementsAre("seq=6 slot=3 success", "slot=3 transmitter active : 3", "slot=3 receiver active : 103"));
    EXPECT_THAT(journal, ElementsAre("03:test IBeforeDestroy", "03:test deleted", "03:test IAfterCreate"));

    // A destroy answered late, with its sequence number 0.
    create(5, later);
    EXPECT_THAT(command(simple(C::e_destroy), 5, 0), ElementsAre());
    EXPECT_THAT(command(simple(C::e_destroy), 5, 1), ElementsAre("seq=1 slot=5 error destroyInProgress"));
    EXPECT_THAT(create(5, Kind(), 2), ElementsAre("seq=2 slot=5 error destroyInProgress"));
    EXPECT_THAT(command(simple(C::e_activate), 5, 3), ElementsAre("seq=3 slot=5 success"));
    ExpectConsistent();
    slot(5)->on_release();
    EXPECT_THAT(controller(), ElementsAre("seq=0 slot=5 success"));
    EXPECT_THAT(log.str(), HasSubstr("05:test: live -> releasing\n05:test: releasing -> released\n"));

    // A create displacing a slot that releases later: busy, and no answer
    // when that release ends.
    create(6, later);
    EXPECT_THAT(create(6, Kind(), 7), ElementsAre("seq=7 slot=6 error slotIdBusy"));
    slot(6)->on_release();
    EXPECT_THAT(create(6, Kind(), 9), ElementsAre("seq=9 slot=6 success"));

    // Ending the release inside IBeforeDestroy is releasing at once.
    create(7, inside);
    EXPECT_THAT(command(simple(C::e_destroy), 7, 10), ElementsAre("seq=10 slot=7 success"));
    create(7, inside);
    EXPECT_THAT(create(7, Kind(), 11), ElementsAre("seq=11 slot=7 success"));
    slot(7)->on_release(); // not releasing: nothing
    EXPECT_NE(slots().at(7), nullptr);
    ExpectConsistent();
}

// Every slot goes with the controller; the slots still releasing get one
// (virtual) second, then go regardless, and leave their factory's list.
TEST_F(SlotsTest, ControllerLossDestroysEverySlot)
{
    Kind kinds[3];
    kinds[1].release = Kind::later;
    kinds[2].release = Kind::inside;
    for (int n = 0; n < 10; ++n)
        create(n, kinds[n % 3]);
    command(simple(C::e_destroy), 1);
    for (int n = 0; n < 9; ++n)
        command(simple(C::e_connect, unsigned(n + 1)), n);
    uint32_t before = Mux::milliseconds();
    server.OnDisconnect();
    EXPECT_EQ(Mux::milliseconds() - before, 1000u);
    EXPECT_TRUE(slots().live().empty() && factory.slots().empty());
    ExpectConsistent();

    create(4);
    before = Mux::milliseconds();
    server.OnDisconnect();
    EXPECT_EQ(Mux::milliseconds(), before) << "nothing was left releasing";
}

// A connection the switch refuses leaves the receiver on its old source,
// in the graph and in the switch, with nothing to put back.
TEST_F(SlotsTest, AFailedConnectKeepsTheOldSource)
{
    for (int n = 1; n <= 3; ++n)
        create(n);
    command(simple(C::e_connect, 2), 1);
    journal.clear();
    fail_connects();
    EXPECT_THAT(command(simple(C::e_connect, 2), 3), ElementsAre("slot=3 transmitter active : 3", "slot=3 error connectFail"));
    EXPECT_EQ(slot(2)->GetSource(), slot(1));
    EXPECT_THAT(journal, ElementsAre("03:test IOnOutputStream", "02:test IHwConnectReceiver", "03:test IOnOutputRelease"));
    ExpectConsistent();
}

// Random commands on a few numbers, with release states, refusals, switch
// failures (refused requests, a switch away for a few commands, hang-ups)
// and lost controllers: after each, one answer per command (a late destroy
// answer exactly once, when its release ends), and a consistent graph.
// Once the faults clear and the retry ran, the board agrees with the table
// with no further command: a receiver's output carries its source, any
// other output none, and the output of a shared-bus line that is gone is
// disabled.
TEST_F(SlotsTest, RandomCommandsKeepEverythingConsistent)
{
    std::mt19937 rng(20261206);
    auto chance = [&](unsigned n) { return rng() % n == 0; };
    auto times = [&] { return chance(2) ? SimBoard::Board::Times::once : SimBoard::Board::Times::always; };
    // Odd numbers receive on the shared bus, like map and external lines.
    auto output = [](int n) { return n % 2 ? HwMux::kBusFirst + 100 + n : 100 + n; };
    std::map<int, int> waiting; // slot number -> seq of its late destroy answer
    std::map<int, bool> disables; // slot number -> whether its last slot disabled its output
    int away = 0;               // commands left with the switch unopenable
    for (int seq = 0; seq < 4000 && !HasFailure(); ++seq) {
        int n = int(rng() % 8), m = int(rng() % 8);
        unsigned pick = rng() % 10;
        if (!away && chance(25)) {
            away = 1 + int(rng() % 4);
            sim.board.fail("/dev/hal", SimBoard::Op::open, ENODEV, SimBoard::Board::Times::always);
        }
        if (away || chance(30))
            for (SimBoard::Channel* ch : sim.board.channels("/dev/hal"))
                ch->hang_up();
        Texts sent;
        if (pick < 2) {
            Kind kind{Kind::Release(rng() % 3), !chance(8), !chance(8), int(rng() % 2), true, chance(2), chance(2)};
            kind.disable = kind.disable || n % 2;
            kind.release = kind.disable ? Kind::now : kind.release;
            factory.kind = kind;
            sent = command(create_ext(n, output(n)), n, seq);
        } else if (pick < 5) {
            chance(5) ? fail_connects(times()) : void();
            sent = command(simple(C::e_connect, unsigned(m)), n, seq);
        } else if (pick < 8) {
            chance(4) ? fail_disconnects() : void();
            chance(4) ? sim.board.fail("/dev/hal", Device::Hal::SWITCH_DISABLE, EIO, times()) : void();
            C c = simple(pick < 6 ? C::e_disconnect : pick < 7 ? C::e_destroy : chance(2) ? C::e_activate : C::e_deactivate);
            sent = command(c, n, seq);
        } else if (pick < 9) {
            if (slots().at(unsigned(n)) && slots().at(unsigned(n))->IsReleasing())
                slots().at(unsigned(n))->on_release();
            sent = controller();
        } else if (chance(10)) {
            server.OnDisconnect();
            waiting.clear();
        }
        int answers = 0;
        for (const std::string& text : sent) {
            int s = -1, number = -1;
            if (std::sscanf(text.c_str(), "seq=%d slot=%d", &s, &number) != 2 || s == seq) {
                answers += s == seq;
                continue;
            }
            EXPECT_EQ(waiting.count(number) ? waiting[number] : -1, s) << text;
            waiting.erase(number);
        }
        if (pick == 6 && answers == 0 && slots().at(unsigned(n)) && slots().at(unsigned(n))->IsReleasing())
            waiting[n] = seq, answers = 1;
        EXPECT_TRUE(pick >= 8 || answers == 1) << "step " << seq;
        for (int k = 0; k < 8; ++k)
            if (slots().at(unsigned(k)))
                disables[k] = slot(unsigned(k))->kind.disable;

        // Time passes: the retry runs now and then under the faults.
        clock.advance_ms(rng() % 700);
        multiplexer.timers_schedule();
        if (away && --away) {
            ExpectConsistent(false);
            continue;
        }
        sim.board.clear_failures();
        for (int retry = 0; retry < 2; ++retry) {
            clock.advance_ms(HwMux::kRetryMs);
            multiplexer.timers_schedule();
        }
        ExpectConsistent();
        for (int k = 0; k < 8; ++k) {
            const SimBoard::Hal::Output& out = sim.hal().output(output(k));
            if (!slots().at(unsigned(k)) && disables[k]) {
                EXPECT_EQ(out.drive, Drive::disabled) << "step " << seq << ": output of " << k;
            }
        }
    }
}

// Hooks that change the receiver list while a source is destroyed: the
// table logs the surprise and leaves no link to the deleted slot.
TEST_F(SlotsTest, HooksThatRewireDuringDestroy)
{
    for (int n = 1; n <= 3; ++n)
        create(n);
    for (int n : {2, 3}) {
        command(simple(C::e_connect, unsigned(n)), 1);
        // A receiver that goes takes the other with it; one comes back.
        slot(unsigned(n))->on_hook = [&, n](TestSlot& self, const std::string& hook) {
            if (hook == "IOnInputRelease" && n == 2 && slots().at(1))
                Connect(*slots().at(1), self);
            if (hook == "IOnInputRelease" && n == 3 && slot(2)->GetSource())
                Disconnect(*slot(2));
        };
    }
    EXPECT_THAT(command(simple(C::e_destroy), 1, 4), testing::Contains("seq=4 slot=1 success"));
    EXPECT_THAT(err.str(), HasSubstr("mux internal error: unexpected slots exists.\n"));
    EXPECT_TRUE(!slot(2)->GetSource() && !slot(3)->GetSource());
    ExpectConsistent(false);
}

TEST_F(SlotsTest, FactoriesAreAskedNewestFirst)
{
    TestFactory older{"older", journal}, newest{"newest", journal};
    create(1);
    EXPECT_EQ(slots().at(1)->GetFactory(), &newest);
    newest.refuse = true;
    create(2);
    EXPECT_EQ(slots().at(2)->GetFactory(), &older);

    journal.clear();
    Texts sent = command(simple(C::e_query), -1, 2);
    EXPECT_EQ(sent.at(0), "seq=2 success");
    EXPECT_THAT(sent.at(1), HasSubstr("query { boardMajor 0, boardMinor 0, rtp-g729 0, rtp-g723 0, rtp-g711 0, "
                                      "rtp-g711mcc 0, modem 3, mixer { }, mux TRUE, mcc-data 0,"));
    LGCP::Signal sig;
    sig.get_trunkStatus().set_state(ACP::TrunkState::lossCarrier);
    slots().OnSignal(sig);
    sig.set_activated();
    slots().OnSignal(sig);
    EXPECT_THAT(journal, ElementsAre("newest query", "older query", "T query", "newest trunk", "older trunk", "T trunk"));

    // A kind no registered factory makes is refused.
    C c;
    c.get_create().get_rtp();
    EXPECT_THAT(command(c, 9), ElementsAre("slot=9 error insufficientResources"));
    EXPECT_THAT(create(9), ElementsAre("slot=9 success"));
    ExpectConsistent();
}

} // namespace
