// The slot table through the control server: one answer per command, the
// release states, the loss of the controller, the factory registry, and
// the graph and the switch after random command sequences.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>

#include "runtime/hal_requests.h"
#include "server/kind_factories.h"
#include "tests/server/slot_support.h"

using namespace vbtest;
using C = LGCP::Command;
using testing::ElementsAre;
using testing::StartsWith;

namespace {

using Drive = SimBoard::Hal::Drive;
const auto kConnectRequest = Device::Hal::SWITCH_CONNECT;

class SlotsTest : public ::testing::Test {
protected:
    Texts journal;
    ScriptedService e1{"E1", journal}; // another service, when bound
    SlotWorld world;
    TestFactory factory{"T", journal};

    Texts cmd(const C& c, int slot, int seq = -1) { return world.command(c, slot, seq); }
    Texts create(int slot, Kind kind = Kind(), int seq = -1)
    {
        factory.kind = kind;
        return cmd(create_ext(slot, 100 + slot), slot, seq);
    }
    // The table, the live list and every factory's list hold the same slots.
    void ExpectConsistent()
    {
        std::multiset<Slot*> table, live(world.slots().live().begin(), world.slots().live().end()), made;
        for (unsigned n = 0; n < Slots::size; ++n)
            if (Slot* s = world.slots().at(n)) {
                table.insert(s);
                EXPECT_EQ(s->id, n);
            }
        for (SlotFactory* f = firstFactory; f; f = f->next())
            made.insert(f->slots().begin(), f->slots().end());
        EXPECT_EQ(table, live);
        EXPECT_EQ(made, live);
    }
    // B is among A's receivers exactly when B's source is A, and the switch
    // output of every receiver carries its source (and no other's).
    void ExpectGraphMatchesSwitch(bool with_switch = true)
    {
        const auto& live = world.slots().live();
        auto alive = [&](Slot* s) { return std::find(live.begin(), live.end(), s) != live.end(); };
        for (Slot* s : live) {
            auto* slot = static_cast<TestSlot*>(s);
            const auto& rs = slot->GetReceivers();
            EXPECT_TRUE(std::is_sorted(rs.begin(), rs.end()) && std::adjacent_find(rs.begin(), rs.end()) == rs.end());
            for (Slot* r : rs)
                EXPECT_TRUE(alive(r) && r->GetSource() == slot) << *slot << " feeds " << *r;
            const SimBoard::Hal::Output& out = world.sim.hal().output(slot->rx);
            auto* source = static_cast<TestSlot*>(slot->GetSource());
            if (!source) {
                EXPECT_TRUE(!with_switch || out.drive != Drive::connected) << *slot;
                continue;
            }
            EXPECT_TRUE(alive(source));
            EXPECT_EQ(std::count(source->GetReceivers().begin(), source->GetReceivers().end(), slot), 1);
            if (!with_switch)
                continue;
            EXPECT_EQ(out.drive, Drive::connected) << *slot;
            EXPECT_EQ(out.source, source->tx) << *slot;
        }
    }
};

TEST_F(SlotsTest, EveryCommandIsAnsweredOnce)
{
    Kind quiet;
    quiet.done = false;
    const struct {
        C command;
        int slot;
        Texts sent;
    } steps[] = {
        {simple(C::e_destroy), 3, {"seq=1 slot=3 error slotNotExists"}},
        {simple(C::e_activate), 3, {"seq=1 slot=3 error slotNotExists"}},
        {simple(C::e_disconnect), 3, {"seq=1 slot=3 error slotNotExists"}},
        {create_ext(10, 20), 3, {"seq=1 slot=3 success"}},
        {simple(C::e_connect, 4), 3, {"seq=1 slot=3 error slotNotExists"}},
        {simple(C::e_connect, 3), 4, {"seq=1 slot=4 error slotNotExists"}},
        {create_ext(11, 21), 4, {"seq=1 slot=4 success"}},
        {simple(C::e_connect, 4), 3,
         {"slot=3 transmitter active : 10", "slot=4 receiver active : 21", "seq=1 slot=3 success"}},
        {simple(C::e_connect, 4), 3, {"seq=1 slot=3 success"}},
        {simple(C::e_disconnect), 4, {"seq=1 slot=4 success"}},
        {simple(C::e_disconnect), 4, {"seq=1 slot=4 success"}},
        {simple(C::e_activate), 3, {"seq=1 slot=3 success"}},
        {simple(C::e_deactivate), 3, {"seq=1 slot=3 success"}},
        {simple(C::e_userData), 3, {"seq=1 slot=3 success"}},
        {simple(C::e_ioctl), 3, {"seq=1 slot=3 success"}},
        {simple(C::e_destroy), 3, {"seq=1 slot=3 success"}},
        {simple(C::e_destroy), 3, {"seq=1 slot=3 error slotNotExists"}},
        // Not the slot table's.
        {simple(C::e_query), 3, {"seq=1 slot=3 error unexpectedMsgType"}},
        {simple(C::e_ping), -1, {"seq=1 error unexpectedMsgType"}},
        {simple(C::e_destroy), -1, {"seq=1 error unexpectedMsgType"}},
    };
    for (const auto& s : steps)
        EXPECT_EQ(cmd(s.command, s.slot, 1), s.sent) << s.command << " on " << s.slot;

    // The hooks' refusals.
    create(5, quiet);
    for (auto c : {C::e_activate, C::e_deactivate, C::e_userData, C::e_ioctl})
        EXPECT_THAT(cmd(simple(c), 5), ElementsAre("slot=5 error unsupported"));
    factory.refuse = true;
    EXPECT_THAT(cmd(create_ext(1, 2), 6), ElementsAre("slot=6 error insufficientResources"));
    EXPECT_EQ(world.slots().at(6), nullptr);
    ExpectConsistent();
}

TEST_F(SlotsTest, QueryAnswersThenReports)
{
    Texts sent = cmd(simple(C::e_query), -1, 2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0], "seq=2 success");
    EXPECT_EQ(sent[1], "query { boardMajor 0, boardMinor 0, rtp-g729 0, rtp-g723 0, rtp-g711 0, rtp-g711mcc 0, "
                       "modem 1, mixer { }, mux TRUE, mcc-data 0, mcc-bri 0, mcc-trans 0, echoBus { }, "
                       "t38-instances 0, digital-modems 0, lin16 0, universal 0, rtp-g722 0}");
}

// The creation's answer precedes the new slot's stream signals; an old slot
// that releases at once is gone before them.
TEST_F(SlotsTest, CreateAnswersBeforeTheNewSlotSpeaks)
{
    Kind speaking;
    speaking.announce = true;
    EXPECT_THAT(create(3, speaking, 5),
                ElementsAre("seq=5 slot=3 success", "slot=3 transmitter active : 3", "slot=3 receiver active : 103"));
    journal.clear();
    EXPECT_THAT(create(3, speaking, 6),
                ElementsAre("seq=6 slot=3 success", "slot=3 transmitter active : 3", "slot=3 receiver active : 103"));
    EXPECT_THAT(journal, ElementsAre("03:test IBeforeDestroy", "03:test deleted", "03:test IAfterCreate"));
    ExpectConsistent();
}

TEST_F(SlotsTest, ReleasingNumbersRefuseCreateAndDestroy)
{
    Kind later;
    later.release = Kind::later;
    // A destroy answered late, with its sequence number 0.
    create(5, later);
    EXPECT_THAT(cmd(simple(C::e_destroy), 5, 0), ElementsAre());
    EXPECT_THAT(cmd(simple(C::e_destroy), 5, 1), ElementsAre("seq=1 slot=5 error destroyInProgress"));
    EXPECT_THAT(cmd(create_ext(1, 2), 5, 2), ElementsAre("seq=2 slot=5 error destroyInProgress"));
    EXPECT_THAT(cmd(simple(C::e_activate), 5, 3), ElementsAre("seq=3 slot=5 success"));
    ExpectConsistent();
    world.slot(5)->on_release();
    EXPECT_THAT(world.controller(), ElementsAre("seq=0 slot=5 success"));
    EXPECT_EQ(world.slots().at(5), nullptr);

    // A create that displaces a slot releasing later: busy, and no answer
    // when the release ends.
    create(6, later);
    EXPECT_THAT(create(6, Kind(), 7), ElementsAre("seq=7 slot=6 error slotIdBusy"));
    EXPECT_THAT(create(6, Kind(), 8), ElementsAre("seq=8 slot=6 error destroyInProgress"));
    world.slot(6)->on_release();
    EXPECT_THAT(world.controller(), ElementsAre());
    EXPECT_THAT(create(6, Kind(), 9), ElementsAre("seq=9 slot=6 success"));

    // A kind that ends its release inside IBeforeDestroy is released at once.
    Kind inside;
    inside.release = Kind::inside;
    create(7, inside);
    EXPECT_THAT(cmd(simple(C::e_destroy), 7, 10), ElementsAre("seq=10 slot=7 success"));
    create(7, inside);
    EXPECT_THAT(create(7, Kind(), 11), ElementsAre("seq=11 slot=7 success"));
    ExpectConsistent();

    // The end of a release that never started does nothing.
    world.slot(7)->on_release();
    EXPECT_NE(world.slots().at(7), nullptr);
}

// Every slot goes when the controller does; the slots still releasing get
// one (virtual) second, then go regardless, and leave their factories.
TEST_F(SlotsTest, ControllerLossDestroysEverySlot)
{
    Kind kinds[3];
    kinds[1].release = Kind::later;
    kinds[2].release = Kind::inside;
    for (int n = 0; n < 10; ++n)
        create(n, kinds[n % 3]);
    cmd(simple(C::e_destroy), 1); // releasing already
    for (int n = 0; n < 9; ++n)
        cmd(simple(C::e_connect, n + 1), n);
    world.controller();
    journal.clear();

    uint32_t before = Mux::milliseconds();
    world.server.OnDisconnect();
    EXPECT_EQ(Mux::milliseconds() - before, 1000u);
    EXPECT_TRUE(world.slots().live().empty());
    EXPECT_TRUE(factory.slots().empty());
    EXPECT_EQ(std::count_if(journal.begin(), journal.end(), [](const std::string& s) { return s.find("deleted") != s.npos; }), 10);
    ExpectConsistent();
    // The factory walks its (now empty) list on trunk status.
    LGCP::Signal trunk;
    trunk.get_trunkStatus().set_trunk(1);
    world.slots().OnSignal(trunk);

    // Nothing left releasing: no pause.
    create(4);
    before = Mux::milliseconds();
    world.server.OnDisconnect();
    EXPECT_EQ(Mux::milliseconds(), before);
    ExpectConsistent();
}

// A connection that the switch refuses leaves the receiver on its old
// source, in the graph and in the switch; when even that cannot be put
// back, the receiver has no source in either.
TEST_F(SlotsTest, AFailedConnectKeepsGraphAndSwitchAlike)
{
    for (int n = 1; n <= 3; ++n)
        create(n);
    cmd(simple(C::e_connect, 2), 1);
    world.controller();
    journal.clear();
    world.sim.board.fail("/dev/hal", kConnectRequest, EIO);
    EXPECT_THAT(cmd(simple(C::e_connect, 2), 3),
                ElementsAre("slot=3 transmitter active : 3", "slot=3 error connectFail"));
    EXPECT_EQ(world.slot(2)->GetSource(), world.slot(1));
    EXPECT_THAT(journal, ElementsAre("03:test IOnOutputStream", "01:test IHwDisconnectTransmitter",
                                     "02:test IHwConnectReceiver", "02:test IHwConnectReceiver",
                                     "03:test IOnOutputRelease"));
    ExpectGraphMatchesSwitch();

    journal.clear();
    world.sim.board.fail("/dev/hal", kConnectRequest, EIO, SimBoard::Board::Times::always);
    EXPECT_THAT(cmd(simple(C::e_connect, 2), 3), ElementsAre("slot=3 error connectFail"));
    world.sim.board.clear_failures();
    EXPECT_EQ(world.slot(2)->GetSource(), nullptr);
    EXPECT_TRUE(world.slot(1)->GetReceivers().empty());
    EXPECT_THAT(journal, ElementsAre("03:test IOnOutputStream", "01:test IHwDisconnectTransmitter", "02:test IHwConnectReceiver",
                                     "02:test IHwConnectReceiver", "02:test IOnInputRelease",
                                     "01:test IOnOutputRelease", "03:test IOnOutputRelease"));
    EXPECT_EQ(world.sim.hal().output(102).drive, Drive::constant);
    ExpectGraphMatchesSwitch();
}

// Random commands on a few numbers, with release states, refusals, switch
// failures and lost controllers: after each, one answer per command (a
// late destroy answer exactly once, when its release ends), the lists and
// the table agree, and the graph matches the switch.
TEST_F(SlotsTest, RandomCommandsKeepEverythingConsistent)
{
    std::mt19937 rng(20261206);
    auto chance = [&](unsigned n) { return rng() % n == 0; };
    std::map<int, int> waiting; // slot number -> seq of its late destroy answer
    auto releasing = [&] {
        std::vector<Slot*> out;
        for (Slot* s : world.slots().live())
            if (s->IsReleasing())
                out.push_back(s);
        return out;
    };
    for (int seq = 0; seq < 4000; ++seq) {
        int n = int(rng() % 8), m = int(rng() % 8);
        unsigned pick = rng() % 10;
        Texts sent;
        if (pick < 2) {
            Kind k;
            k.release = Kind::Release(rng() % 3);
            k.priority = int(rng() % 2);
            k.input = !chance(8);
            k.output = !chance(8);
            k.announce = chance(2);
            sent = create(n, k, seq);
        } else if (pick < 5) {
            if (chance(5))
                world.sim.board.fail("/dev/hal", kConnectRequest, EIO,
                                     chance(2) ? SimBoard::Board::Times::once : SimBoard::Board::Times::always);
            sent = cmd(simple(C::e_connect, unsigned(m)), n, seq);
            world.sim.board.clear_failures();
        } else if (pick < 6) {
            sent = cmd(simple(C::e_disconnect), n, seq);
        } else if (pick < 8) {
            sent = cmd(simple(C::e_destroy), n, seq);
        } else if (pick < 9) {
            std::vector<Slot*> r = releasing();
            if (!r.empty())
                r[rng() % r.size()]->on_release();
            sent = world.controller();
        } else if (chance(10)) {
            world.server.OnDisconnect();
            waiting.clear();
            sent = world.controller();
        }
        int answers = 0;
        for (const std::string& text : sent) {
            int s = -1, slot = -1;
            if (std::sscanf(text.c_str(), "seq=%d slot=%d", &s, &slot) != 2)
                continue;
            if (s == seq) {
                ++answers;
            } else {
                EXPECT_EQ(waiting.count(slot) ? waiting[slot] : -1, s) << text;
                EXPECT_THAT(text, testing::EndsWith("success"));
                waiting.erase(slot);
            }
        }
        bool delayed = pick >= 6 && pick < 8 && answers == 0;
        if (delayed) {
            ASSERT_TRUE(world.slots().at(unsigned(n)) && world.slots().at(unsigned(n))->IsReleasing());
            waiting[n] = seq;
        }
        if (pick < 8) {
            ASSERT_EQ(answers, delayed ? 0 : 1) << "step " << seq;
        }
        ExpectConsistent();
        ExpectGraphMatchesSwitch();
        if (HasFailure())
            FAIL() << "after step " << seq;
    }
}

// Hooks that change the receiver list while a source is destroyed: the
// table logs the surprise and leaves no link to the deleted slot.
TEST_F(SlotsTest, HooksThatRewireDuringDestroy)
{
    for (int n = 1; n <= 5; ++n)
        create(n);
    for (int n = 2; n <= 4; ++n)
        cmd(simple(C::e_connect, unsigned(n)), 1);
    // Each receiver that goes takes the last one with it.
    for (int n = 2; n <= 4; ++n)
        world.slot(unsigned(n))->on_hook = [&](TestSlot&, const std::string& hook) {
            if (hook == "IOnInputRelease" && !world.slot(1)->GetReceivers().empty())
                Disconnect(*world.slot(1)->GetReceivers().back());
        };
    EXPECT_THAT(cmd(simple(C::e_destroy), 1, 4), testing::Contains("seq=4 slot=1 success"));
    EXPECT_THAT(world.err.str(), testing::HasSubstr("mux internal error: expected slots not exists.\n"));
    ExpectGraphMatchesSwitch();

    cmd(simple(C::e_connect, 5), 4);
    world.slot(5)->on_hook = [&](TestSlot& self, const std::string& hook) {
        if (hook == "IOnInputRelease" && world.slots().at(4))
            Connect(*world.slots().at(4), self);
    };
    world.err.clear();
    EXPECT_THAT(cmd(simple(C::e_destroy), 4, 5), testing::Contains("seq=5 slot=4 success"));
    EXPECT_THAT(world.err.str(), testing::HasSubstr("mux internal error: unexpected slots exists.\n"));
    EXPECT_EQ(world.slot(5)->GetSource(), nullptr);
    ExpectConsistent();
    ExpectGraphMatchesSwitch(false);
}

TEST_F(SlotsTest, FactoriesAreAskedNewestFirst)
{
    TestFactory older{"older", journal}, newest{"newest", journal};
    world.server.Bind(&e1);
    EXPECT_EQ(firstFactory, &newest);
    EXPECT_EQ(newest.next(), &older);
    EXPECT_EQ(older.next(), &factory);

    create(1);
    EXPECT_EQ(world.slots().at(1)->GetFactory(), &newest);
    newest.refuse = true;
    create(2);
    EXPECT_EQ(world.slots().at(2)->GetFactory(), &older);
    ExpectConsistent();

    journal.clear();
    Texts sent = cmd(simple(C::e_query), -1);
    EXPECT_THAT(journal, ElementsAre("newest query", "older query", "T query", "E1 signal"));
    EXPECT_THAT(sent.at(1), testing::HasSubstr("modem 3,"));

    // Trunk status raised by another service reaches every factory; other
    // signals none.
    journal.clear();
    LGCP::Signal sig;
    sig.get_trunkStatus().set_state(ACP::TrunkState::lossCarrier);
    e1.SendSignal(sig);
    sig.set_activated();
    e1.SendSignal(sig);
    EXPECT_THAT(journal, ElementsAre("newest trunk", "older trunk", "T trunk"));
    world.controller();

    // The kinds built elsewhere register and make nothing.
    PstnFactory pstn;
    IsdnFactory isdn;
    RtpFactory rtp;
    Mixer::MixerFactory mixer;
    RtpED137Factory ed137;
    HdlcSlotFactory hdlc;
    EXPECT_STREQ(firstFactory->GetName(), "HdlcSlotFactory");
    LGCP::Command c;
    c.get_create().get_rtp();
    EXPECT_THAT(cmd(c, 9), ElementsAre("slot=9 error insufficientResources"));
    EXPECT_THAT(create(9), ElementsAre("slot=9 success"));
    EXPECT_EQ(world.slots().at(9)->GetFactory(), &older);
}

} // namespace
