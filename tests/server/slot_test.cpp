// Slots joined in pairs: which side drives the switch, stream
// announcements, refusals, log lines; device events into signals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <iomanip>

#include "tests/server/slot_support.h"

using namespace vbtest;
using C = LGCP::Command;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

class SlotTest : public ::testing::Test {
protected:
    Texts journal;
    SlotWorld world;
    TestFactory factory{"T", journal};

    TestSlot& make(int n, Kind kind = Kind())
    {
        factory.kind = kind;
        world.command(create_ext(n, 100 + n), n);
        journal.clear();
        return *world.slot(unsigned(n));
    }
    Texts connect(int source, int receiver) { return world.command(simple(C::e_connect, unsigned(receiver)), source); }
    Texts disconnect(int receiver) { return world.command(simple(C::e_disconnect), receiver); }
};

TEST_F(SlotTest, ConnectAnnouncesStreamsOnceAndMovesReceivers)
{
    for (int n = 1; n <= 4; ++n)
        make(n);
    EXPECT_THAT(connect(1, 2), ElementsAre("slot=1 transmitter active : 1", "slot=2 receiver active : 102",
                                           "slot=1 success"));
    EXPECT_THAT(journal, ElementsAre("01:test IOnOutputStream", "02:test IOnInputStream", "02:test IHwConnectReceiver"));
    EXPECT_THAT(world.log.str(), HasSubstr("mux: slot 01:test [1] -> 02:test [102]\n"));

    journal.clear();
    EXPECT_THAT(connect(1, 2), ElementsAre("slot=1 success"));
    EXPECT_THAT(connect(1, 3), ElementsAre("slot=3 receiver active : 103", "slot=1 success"));
    EXPECT_THAT(journal, ElementsAre("03:test IOnInputStream", "03:test IHwConnectReceiver"));

    // 3 moves from 1 to 4: no new receiver signal, 1 keeps 2.
    journal.clear();
    EXPECT_THAT(connect(4, 3), ElementsAre("slot=4 transmitter active : 4", "slot=4 success"));
    EXPECT_THAT(journal, ElementsAre("04:test IOnOutputStream", "01:test IHwDisconnectTransmitter",
                                     "03:test IHwConnectReceiver"));
    EXPECT_EQ(world.sim.hal().output(103).source, 4);
    EXPECT_THAT(world.slot(1)->GetReceivers(), ElementsAre(world.slot(2)));

    // The last receiver of 4 moves away: 4 hears of it.
    journal.clear();
    connect(1, 3);
    EXPECT_THAT(journal, ElementsAre("04:test IHwDisconnectTransmitter", "03:test IHwConnectReceiver",
                                     "04:test IOnOutputRelease"));
    journal.clear();
    EXPECT_THAT(disconnect(2), ElementsAre("slot=2 success"));
    EXPECT_THAT(disconnect(2), ElementsAre("slot=2 success"));
    EXPECT_THAT(journal, ElementsAre("01:test IHwDisconnectTransmitter", "02:test IOnInputRelease"));
    EXPECT_THAT(world.log.str(), HasSubstr("mux: disconnect slot 02:test [102]\n"));
    EXPECT_EQ(world.sim.hal().output(102).value, HwMux::kIdleByte);
}

// The side of higher priority drives the switch; on a tie the receiver
// connects and the transmitter disconnects.
TEST_F(SlotTest, PriorityChoosesTheSideThatDrivesTheSwitch)
{
    const struct {
        int source, receiver;
        const char *connects, *disconnects;
    } cases[] = {
        {0, 0, "02:test IHwConnectReceiver", "01:test IHwDisconnectTransmitter"},
        {1, 0, "01:test IHwConnectTransmitter", "01:test IHwDisconnectTransmitter"},
        {0, 1, "02:test IHwConnectReceiver", "02:test IHwDisconnectReceiver"},
        {-1, -2, "01:test IHwConnectTransmitter", "01:test IHwDisconnectTransmitter"},
    };
    for (const auto& c : cases) {
        Kind source, receiver;
        source.priority = c.source;
        receiver.priority = c.receiver;
        make(1, source);
        make(2, receiver);
        connect(1, 2);
        EXPECT_EQ(world.sim.hal().output(102).source, 1);
        disconnect(2);
        EXPECT_THAT(journal, ElementsAre("01:test IOnOutputStream", "02:test IOnInputStream", c.connects,
                                         c.disconnects, "02:test IOnInputRelease", "01:test IOnOutputRelease"))
            << c.source << " " << c.receiver;
    }
}

TEST_F(SlotTest, RefusedStreamsLeaveTheGraphAlone)
{
    Kind mute, deaf;
    mute.output = false;
    deaf.input = false;
    make(1, mute);
    make(2);
    make(3, deaf);
    EXPECT_THAT(connect(1, 2), ElementsAre("slot=1 error connectFail"));
    EXPECT_THAT(world.err.str(), HasSubstr("slot 01:test don't have output stream to 02:test\n"));
    // The output announced before the receiver refused stays announced.
    EXPECT_THAT(connect(2, 3), ElementsAre("slot=2 transmitter active : 2", "slot=2 error connectFail"));
    EXPECT_THAT(world.err.str(), HasSubstr("slot 03:test don't have input stream from 02:test\n"));
    for (int n = 1; n <= 3; ++n)
        EXPECT_TRUE(!world.slot(unsigned(n))->GetSource() && world.slot(unsigned(n))->GetReceivers().empty());
    EXPECT_THAT(journal, ElementsAre("01:test IOnOutputStream", "02:test IOnOutputStream", "03:test IOnInputStream"));
}

TEST_F(SlotTest, StreamsGoingOffDropTheirConnections)
{
    for (int n = 1; n <= 5; ++n)
        make(n);
    for (int n = 2; n <= 4; ++n)
        connect(1, n);
    connect(5, 1);
    world.controller();
    world.slot(1)->OnChangeOutputStream(false);
    for (int n = 2; n <= 4; ++n)
        EXPECT_EQ(world.slot(unsigned(n))->GetSource(), nullptr);
    EXPECT_THAT(world.controller(), ElementsAre("slot=1 transmitter inactive : NULL"));
    world.slot(1)->OnChangeOutputStream(false);
    world.slot(1)->OnChangeInputStream(false);
    world.slot(1)->OnChangeInputStream(false);
    EXPECT_EQ(world.slot(1)->GetSource(), nullptr);
    EXPECT_THAT(world.controller(), ElementsAre("slot=1 receiver inactive : NULL"));
}

TEST_F(SlotTest, PutNamesTheSlotByNumber)
{
    TestSlot& slot = make(7);
    const struct {
        unsigned id;
        const char* text;
    } cases[] = {{7, "07:test"}, {0, "00:test"}, {1023, "1023:test"}, {Slot::no_id, "na:test"}, {1500, "i1500:test"}};
    for (const auto& c : cases) {
        slot.id = c.id;
        std::ostringstream o;
        o << slot << std::setw(3) << 5;
        EXPECT_EQ(o.str(), std::string(c.text) + "  5") << "no format left behind";
    }
    slot.id = 7;
}

// Device events and signal senders, as the controller receives them.
TEST_F(SlotTest, DeviceEventsBecomeSignals)
{
    TestSlot& slot = make(3);
    auto tonec = [&](uint32_t code) { slot.processTonecEvent({code, 99}); };
    auto vad = [&](int32_t rx, int32_t tx) { slot.processVADEvent({rx, tx}); };
    auto flags = [&](uint32_t values, uint32_t mask) {
        dsproc_flags_event e{values, mask, 0};
        slot.processFlagsEvent(&e);
    };
    auto bss = [&](float score) {
        dsproc_bss_event e{score, {0, 0}};
        slot.processBSSEvent(&e);
    };
    auto tone = [&](uint32_t freq, uint32_t presence) {
        dsproc_tone_event e{freq, presence, 0};
        slot.processToneFltEvent(&e);
    };
    auto rtp = [&](uint32_t type) { slot.processRtpEvent(rtp_event{type, 7, 8, {}}); };
    const std::string t = "slot=3 tonec { timestamp 99, event ";
    const struct {
        std::function<void()> event;
        Texts sent;
        const char* logged;
    } cases[] = {
        {[&] { tonec(0); }, {t + "dtmf : 0}"}, ""},
        {[&] { tonec(17); }, {t + "ced : NULL}"}, ""},
        {[&] { tonec(18); }, {t + "cng : NULL}"}, ""},
        {[&] { tonec(127); }, {t + "dtmf : 127}"}, ""},
        {[&] { tonec(128); }, {}, "bad DTMF code, ignored.\n"},
        {[&] { tonec(0x0100); }, {t + "iva : code : 1}"}, ""},
        {[&] { tonec(0x0500); }, {t + "iva : code : 5}"}, ""},
        {[&] { tonec(0x14FF); }, {t + "iva : code : 20}"}, ""},
        {[&] { tonec(0x1500); }, {t + "iva : ringoff : NULL}"}, ""},
        {[&] { tonec(0x1600); }, {}, "bad DTMF code, ignored.\n"},
        {[&] { tonec(0xFFFFFF00); }, {}, "bad DTMF code, ignored.\n"},
        {[&] { slot.processToneGenEvent(); }, {"slot=3 tonec { timestamp 0, event dtmfDone : NULL}"}, ""},
        {[&] { tone(1000, 0x100); }, {"slot=3 tonec { timestamp 0, event tone-presence : { freq 1000, presence TRUE }}"}, ""},
        {[&] { tone(1000, 0); }, {"slot=3 tonec { timestamp 0, event tone-presence : { freq 1000, presence FALSE }}"}, ""},
        {[&] { vad(1, -1); }, {"slot=3 vad { vad-rx TRUE}"}, ""},
        {[&] { vad(-1, 0); }, {"slot=3 vad { vad-tx FALSE}"}, ""},
        {[&] { vad(0, 5); }, {"slot=3 vad { vad-rx FALSE, vad-tx TRUE}"}, ""},
        {[&] { vad(-1, -7); }, {}, "bad VAD event, ignored.\n"},
        {[&] { flags(0x20000000, 0xE0000000); },
         {"slot=3 vad { vad-rx TRUE, vad-tx FALSE}", "slot=3 selcal { in-progress FALSE}"}, ""},
        {[&] { flags(0xFFFFFFFF, 0x40000000); }, {"slot=3 vad { vad-tx TRUE}"}, ""},
        {[&] { flags(0x80000000, 0x80000000); }, {"slot=3 selcal { in-progress TRUE}"}, ""},
        {[&] { flags(0xFFFFFFFF, 0x1FFFFFFF); }, {}, ""},
        {[&] { bss(1.5f); }, {"slot=3 bss { score \"1.500000\"}"}, ""},
        {[&] { bss(-FLT_MAX); }, {"slot=3 bss { score \"-340282346638528859811704183484516925440.000000\"}"}, ""},
        {[&] { bss(NAN); }, {"slot=3 bss { score \" nan\"}"}, ""},
        {[&] { slot.processSDEvent({0}); }, {"slot=3 sd { sd-rx FALSE}"}, ""},
        {[&] { slot.processSDEvent({3}); }, {"slot=3 sd { sd-rx TRUE}"}, ""},
        {[&] { slot.processSDEvent({-1}); }, {}, "bad SD event, ignored.\n"},
        {[&] { rtp(1); }, {"slot=3 rtp pd : { value 7, timeout 8}"}, ""},
        {[&] { rtp(2); }, {}, ""},
        {[&] { slot.OnActivated(); }, {"slot=3 activated NULL"}, ""},
        {[&] { slot.OnDeactivated(); }, {"slot=3 deactivated networkError"}, ""},
        {[&] { slot.OnAbort(-4); }, {"slot=3 abort -4"}, ""},
        {[&] { slot.OnNumber("123"); }, {"slot=3 number \"123\""}, ""},
        {[&] { slot.OnUserData({'\x01', '\x02'}); }, {"slot=3 userData '01 02'H"}, ""},
    };
    for (const auto& c : cases) {
        world.err.clear();
        c.event();
        EXPECT_EQ(world.controller(), c.sent) << (c.sent.empty() ? c.logged : c.sent[0]);
        EXPECT_EQ(world.err.str(), c.logged);
    }
}

} // namespace
