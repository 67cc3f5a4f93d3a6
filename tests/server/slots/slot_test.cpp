// Slots joined in pairs: which side drives the switch, stream
// announcements, refusals, log lines; device events into signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "tests/server/slots/slot_support.h"

using namespace vbtest;
using C = LGCP::Command;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

struct SlotTest : ::testing::Test, SlotWorld {
    TestSlot& make(int n, Kind kind = Kind())
    {
        create(n, kind);
        journal.clear();
        return *slot(unsigned(n));
    }
    Texts connect(int source, int receiver) { return command(simple(C::e_connect, unsigned(receiver)), source); }
    Texts disconnect(int receiver) { return command(simple(C::e_disconnect), receiver); }
};

TEST_F(SlotTest, ConnectAnnouncesStreamsOnceAndMovesReceivers)
{
    for (int n = 1; n <= 4; ++n)
        make(n);
    EXPECT_THAT(connect(1, 2), ElementsAre("slot=1 transmitter active : 1", "slot=2 receiver active : 102", "slot=1 success"));
    EXPECT_THAT(log.str(), HasSubstr("mux: slot 01:test [1] -> 02:test [102]\n"));
    EXPECT_THAT(connect(1, 2), ElementsAre("slot=1 success"));
    EXPECT_THAT(connect(1, 3), ElementsAre("slot=3 receiver active : 103", "slot=1 success"));
    // 3 moves to 4, and back: its input stays announced, the new path
    // takes its output over with no disconnection; 4 hears that its last
    // receiver went.
    EXPECT_THAT(connect(4, 3), ElementsAre("slot=4 transmitter active : 4", "slot=4 success"));
    EXPECT_EQ(sim.hal().output(103).source, 4);
    connect(1, 3);
    EXPECT_THAT(disconnect(2), ElementsAre("slot=2 success"));
    EXPECT_THAT(journal, ElementsAre("01:test IOnOutputStream", "02:test IOnInputStream", "02:test IHwConnectReceiver",
                                     "03:test IOnInputStream", "03:test IHwConnectReceiver", "04:test IOnOutputStream",
                                     "03:test IHwConnectReceiver", "03:test IHwConnectReceiver", "04:test IOnOutputRelease",
                                     "01:test IHwDisconnectTransmitter", "02:test IOnInputRelease"));
    EXPECT_THAT(log.str(), HasSubstr("mux: disconnect slot 02:test [102]\n"));
    EXPECT_EQ(sim.hal().output(102).value, HwMux::kIdleByte);
}

TEST_F(SlotTest, RefusedStreamsLeaveTheGraphAlone)
{
    Kind mute, deaf;
    mute.output = false;
    deaf.input = false;
    make(1, mute), make(2), make(3, deaf);
    EXPECT_THAT(connect(1, 2), ElementsAre("slot=1 error connectFail"));
    // The output announced before the receiver refused stays announced.
    EXPECT_THAT(connect(2, 3), ElementsAre("slot=2 transmitter active : 2", "slot=2 error connectFail"));
    EXPECT_EQ(err.str(), "slot 01:test don't have output stream to 02:test\nslot 03:test don't have input stream from 02:test\n");
    EXPECT_TRUE(slot(2)->GetReceivers().empty() && !slot(3)->GetSource());

}

TEST_F(SlotTest, StreamsGoingOffDropTheirConnections)
{
    for (int n = 1; n <= 5; ++n)
        make(n);
    for (int n : {2, 3, 4})
        connect(1, n);
    connect(5, 1), controller();
    slot(1)->OnChangeOutputStream(false);
    slot(1)->OnChangeOutputStream(false);
    EXPECT_TRUE(slot(1)->GetReceivers().empty() && !slot(2)->GetSource() && !slot(4)->GetSource());
    slot(1)->OnChangeInputStream(false);
    slot(1)->OnChangeInputStream(false);
    EXPECT_EQ(slot(1)->GetSource(), nullptr);
    EXPECT_THAT(controller(), ElementsAre("slot=1 transmitter inactive : NULL", "slot=1 receiver inactive : NULL"));

    // Log lines name a slot by its number.
    slot(1)->id = Slot::no_id;
    std::ostringstream o;
    o << *slot(1) << " " << *slot(2);
    EXPECT_EQ(o.str(), "na:test 02:test");
    slot(1)->id = 1;
}

TEST_F(SlotTest, DeviceEventsBecomeSignals)
{
    TestSlot& s = make(3);
    auto tonec = [&](uint32_t code) { s.processTonecEvent({code, 99}); };
    auto vad = [&](int32_t rx, int32_t tx) { s.processVADEvent({rx, tx}); };
    auto flags = [&](uint32_t values, uint32_t mask) {
        dsproc_flags_event e{values, mask, 0};
        s.processFlagsEvent(&e);
    };
    auto bss = [&](float score) {
        dsproc_bss_event e{score, {0, 0}};
        s.processBSSEvent(&e);
    };
    auto tone = [&](uint32_t presence) {
        dsproc_tone_event e{1000, presence, 0};
        s.processToneFltEvent(&e);
    };
    const std::string t = "slot=3 tonec { timestamp 99, event ", t0 = "slot=3 tonec { timestamp 0, event ";
    const char* bad = "bad DTMF code, ignored.\n";
    const struct {
        std::function<void()> event;
        Texts sent;
        const char* logged;
    } cases[] = {
        {[&] { tonec(17); }, {t + "ced : NULL}"}, ""},
        {[&] { tonec(127); }, {t + "dtmf : 127}"}, ""},
        {[&] { tonec(128); }, {}, bad},
        {[&] { tonec(0x14FF); }, {t + "iva : code : 20}"}, ""},
        {[&] { tonec(0x1500); }, {t + "iva : ringoff : NULL}"}, ""},
        {[&] { tonec(0x1600); }, {}, bad},
        {[&] { tonec(0xFFFFFF00); }, {}, bad},
        {[&] { s.processToneGenEvent(); }, {t0 + "dtmfDone : NULL}"}, ""},
        {[&] { tone(0x100); }, {t0 + "tone-presence : { freq 1000, presence TRUE }}"}, ""},
        {[&] { vad(-1, 5); }, {"slot=3 vad { vad-tx TRUE}"}, ""},
        {[&] { vad(-1, -7); }, {}, "bad VAD event, ignored.\n"},
        {[&] { flags(0x20000000, 0xE0000000); }, {"slot=3 vad { vad-rx TRUE, vad-tx FALSE}", "slot=3 selcal { in-progress FALSE}"}, ""},
        {[&] { flags(0xFFFFFFFF, 0x40000000); }, {"slot=3 vad { vad-tx TRUE}"}, ""},
        {[&] { bss(-FLT_MAX); }, {"slot=3 bss { score \"-340282346638528859811704183484516925440.000000\"}"}, ""},
        {[&] { bss(NAN); }, {"slot=3 bss { score \" nan\"}"}, ""},
        {[&] { s.processSDEvent({3}); }, {"slot=3 sd { sd-rx TRUE}"}, ""},
        {[&] { s.processSDEvent({-1}); }, {}, "bad SD event, ignored.\n"},
        {[&] { s.processRtpEvent(rtp_event{1, 7, 8, {}}); }, {"slot=3 rtp pd : { value 7, timeout 8}"}, ""},
    };
    for (const auto& c : cases) {
        err.clear();
        c.event();
        EXPECT_EQ(controller(), c.sent) << (c.sent.empty() ? c.logged : c.sent[0]);
        EXPECT_EQ(err.str(), c.logged);
    }
}

} // namespace

// Every phase, every event: the phase a slot steps to, and the rules the
// slot table reads from it.
TEST(SlotPhaseTest, TransitionsAndRules)
{
    using P = SlotPhase;
    using E = SlotEvent;
    const struct {
        P from;
        P lose, drain, release, end;
    } rows[] = {
        {P::live, P::lost, P::draining, P::releasing, P::live},
        {P::lost, P::lost, P::drainingLost, P::releasingLost, P::lost},
        {P::draining, P::drainingLost, P::draining, P::releasing, P::draining},
        {P::drainingLost, P::drainingLost, P::drainingLost, P::releasingLost, P::drainingLost},
        {P::releasing, P::releasingLost, P::releasing, P::releasing, P::released},
        {P::releasingLost, P::releasingLost, P::releasingLost, P::releasingLost, P::releasedLost},
        {P::released, P::releasedLost, P::released, P::released, P::released},
        {P::releasedLost, P::releasedLost, P::releasedLost, P::releasedLost, P::releasedLost},
    };
    for (const auto& r : rows) {
        const SlotPhaseRule& rule = RuleOf(r.from);
        SCOPED_TRACE(rule.name);
        EXPECT_EQ(rule.phase, r.from);
        EXPECT_EQ(NextPhase(r.from, E::lose), r.lose);
        EXPECT_EQ(NextPhase(r.from, E::drain), r.drain);
        EXPECT_EQ(NextPhase(r.from, E::release), r.release);
        EXPECT_EQ(NextPhase(r.from, E::end), r.end);
        // One that lost its channel serves nothing.
        EXPECT_TRUE(!rule.lost || !rule.serves);
        EXPECT_TRUE(!rule.released || rule.releasing);
        // A drain's destroy was answered: it serves nothing, and refuses
        // a second destroy.
        EXPECT_TRUE(!rule.draining || (!rule.serves && rule.releasing && !rule.released));
    }
}
