// The PSTN signalling slot through the slot table: SS7, ISDN (PRI, BRI
// user and network side) and CAS links on trunk and MCC slots.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/signalling/signalling_slot_support.h"

using namespace vbtest;
using testing::ElementsAre;
using testing::HasSubstr;
using Strings = std::vector<std::string>;

namespace {

struct PstnSlotTest : ::testing::Test, SignallingWorld {
    // The pstn slot on 1 joined to trunk time slot {0, 16} on 2: from the
    // trunk, and towards it when both is set.
    Texts join(const C& pstnCreate, bool both = false)
    {
        Texts sent = command(pstnCreate, 1);
        command(trunk_slot(0, 16), 2);
        for (auto& t : command(connect(1), 2))
            sent.push_back(t);
        for (auto& t : both ? command(connect(2), 1) : Texts())
            sent.push_back(t);
        for (auto& t : wait(10))
            sent.push_back(t);
        return sent;
    }
    // A PRI user side in multiple-frame operation.
    Texts established()
    {
        join(pstn_isdn(false, 1, false));
        from(16);
        to(16, "00 01 73");
        return wait(10);
    }
    // An emergency SS7 link aligned by a peer that proves as briefly.
    Texts aligned()
    {
        to(16, "FF FF 01 02");
        wait(600);
        to(16, "FF FF 00");
        return wait();
    }
    PstnSlot& pstn() { return at<PstnSlot>(1); }
    // The one allocated controller channel.
    int mcc_channel()
    {
        for (int n = 1024; n < 1024 + 3 * 256; ++n)
            if (sim.mcc().find(n))
                return n;
        return -1;
    }
    size_t allocations() { return sim.board.ioctls(Device::Mcc::kDevice, Device::Mcc::MCC_ALLOCATE).size(); }
};

TEST_F(PstnSlotTest, EachAlternativeBuildsItsLayerOnItsChannel)
{
    struct Case {
        C create;
        PstnSlot::Kind kind;
        int trunkIndex;
        const char* layer;
        uint32_t mode; // of the controller's channel
    } cases[] = {
        {ss7(1), PstnSlot::kSs7OrCas, 0, "SS7", Device::Mcc::kSs7},
        {pstn_isdn(false, 2, true), PstnSlot::kPri, 1, "LAPD", Device::Mcc::kData},
        {pstn_isdn(true, 3, false), PstnSlot::kBriUser, 2, "LAPD", Device::Mcc::kBri},
        {pstn_isdn(true, 3, true), PstnSlot::kBriNetwork, 0, "LAPD_NT", Device::Mcc::kBri},
        {cas(2), PstnSlot::kSs7OrCas, 0, "", Device::Mcc::kSs7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.layer);
        sim.board.clear_log();
        join(c.create, true);
        PstnSlot& s = pstn();
        EXPECT_EQ(s.kind(), c.kind);
        EXPECT_EQ(s.trunk_index(), c.trunkIndex);
        EXPECT_EQ(std::string(s.link() ? "SS7" : s.lapd() ? "LAPD" : s.lapd_nt() ? "LAPD_NT" : ""), c.layer);
        if (s.lapd()) {
            EXPECT_EQ(s.lapd()->side, c.create.get_create().get_pstn().get_isdn().get_side().is_network()
                                          ? ISDN::Side::network : ISDN::Side::user);
        }
        auto alloc = sim.board.ioctls(Device::Mcc::kDevice, Device::Mcc::MCC_ALLOCATE);
        ASSERT_EQ(alloc.size(), 1u);
        EXPECT_EQ(alloc[0].out, (std::vector<uint32_t>{c.mode, 512, 0, 1, 4}));
        int t = mcc_channel();
        ASSERT_NE(t, -1);
        EXPECT_EQ(out(16).source, t);
        EXPECT_EQ(out(t).source, 16);
        command(simple(C::e_destroy), 1);
        command(simple(C::e_destroy), 2);
        EXPECT_EQ(sim.mcc().allocated(), 0u);
        EXPECT_NE(out(16).source, t);
    }
}

struct FarSlot : Slot {
    FarSlot(int trunk, int timeslot) : Slot(Hold::fixed), trunk(trunk), timeslot(timeslot) {}
    int GetTrunk() override { return trunk; }
    int GetTrunkTimeSlot() override { return timeslot; }
    int IGetTransmitChannel() override { return 5; }
    const char* GetName() const override { return "far"; }
    int trunk, timeslot;
};

TEST_F(PstnSlotTest, E1ConnectionRefusesWhatNoE1Has)
{
    command(ss7(1), 1);
    FarSlot trunk4(4, 0), timeslot32(0, 32), fine(3, 31);
    EXPECT_FALSE(pstn().IHwConnectReceiver(trunk4));
    EXPECT_FALSE(pstn().IHwConnectReceiver(timeslot32));
    EXPECT_EQ(err.str(), "pstn-slot: invalid trunk number: 4\npstn-slot: invalid timeslot: 32\n");
    EXPECT_EQ(allocations(), 0u);
    EXPECT_TRUE(pstn().IHwConnectReceiver(fine));
    EXPECT_EQ(pstn().channel().parameters.trunk_timeslot, 31);
    EXPECT_EQ(allocations(), 1u);
}

TEST_F(PstnSlotTest, CasOpensItsChannelAndCarriesNothing)
{
    Texts sent = join(cas(1));
    EXPECT_EQ(sim.mcc().allocated(), 1u);
    EXPECT_THAT(command(user_data("08 01 05"), 1), ElementsAre("slot=1 success"));
    C bsn;
    bsn.get_ioctl().set_ss7RqBSN();
    EXPECT_THAT(command(bsn, 1), ElementsAre("slot=1 error unsupported"));
    sent = wait(3000);
    EXPECT_THAT(names(sent), ElementsAre("slot=1 ioctl hdlcLinkInfo")) << "never activated";
    EXPECT_TRUE(from(16).empty());
}

TEST_F(PstnSlotTest, PriLinkCarriesLayer3AndReportsInOrder)
{
    EXPECT_THAT(names(established()), ElementsAre("slot=1 ioctl isdnLinkInfo", "slot=1 activated"));
    EXPECT_THAT(command(user_data("08 02 00 01 05"), 1), ElementsAre("slot=1 success"));
    EXPECT_THAT(from(16), ElementsAre("00 01 00 00 08 02 00 01 05"));
    to(16, "02 01 00 02 08 02 80 01 07");
    EXPECT_THAT(wait(), ElementsAre("slot=1 userData '08 02 80 01 07'H"));
    EXPECT_THAT(from(16), ElementsAre("02 01 01 02"));

    // The period: the channel always, the link only when it changed.
    EXPECT_THAT(names(wait(3000)), ElementsAre("slot=1 ioctl hdlcLinkInfo", "slot=1 ioctl isdnLinkInfo"));
    EXPECT_THAT(names(wait(3000)), ElementsAre("slot=1 ioctl hdlcLinkInfo"));

    command(simple(C::e_deactivate), 1);
    EXPECT_THAT(from(16), ElementsAre("00 01 53"));
    to(16, "00 01 73");
    EXPECT_THAT(names(wait()), ElementsAre("slot=1 ioctl isdnLinkInfo", "slot=1 ioctl hdlcLinkInfo",
                                           "slot=1 deactivated"));
}

TEST_F(PstnSlotTest, CongestionIsReportedOnce)
{
    established();
    Texts sent;
    for (int i = 0; i < 100; ++i)
        for (auto& t : command(user_data("08 01 01 05"), 1))
            sent.push_back(t);
    EXPECT_THAT(only(sent, "slot=1 ioctl"), ElementsAre("slot=1 ioctl isdnLinkStatus : congested"));
}

// A message the link's full queue cannot take is refused, not answered
// success and lost; what the link keeps, for sending or for
// retransmission, counts in the bound all queues share.
TEST_F(PstnSlotTest, AFullLinkRefusesTheMessageAndCountsWhatItKeeps)
{
    const unsigned before = PacketQuota::queued();
    struct Case {
        const char* name;
        unsigned kept; // unacknowledged plus waiting
    };
    for (const Case& c : {Case{"pri", 7 + 128}, Case{"ss7", 127 + 200}}) {
        if (c.name[0] == 'p') {
            established();
        } else {
            join(ss7(1, true));
            aligned();
        }
        for (unsigned i = 0; i < c.kept; ++i)
            ASSERT_THAT(command(user_data("03 01 02"), 1), testing::Contains("slot=1 success")) << c.name << i;
        EXPECT_EQ(PacketQuota::queued(), before + c.kept) << c.name;
        EXPECT_THAT(command(user_data("03 01 02"), 1), testing::Contains("slot=1 error insufficientResources"))
            << c.name;
        EXPECT_EQ(PacketQuota::queued(), before + c.kept) << c.name;
        command(simple(C::e_destroy), 1);
        command(simple(C::e_destroy), 2);
        wait(10);
        EXPECT_EQ(PacketQuota::queued(), before) << c.name;
        from(16);
    }
}

} // namespace

namespace {

C ioctl_bsn()
{
    C c;
    c.get_ioctl().set_ss7RqBSN();
    return c;
}

TEST_F(PstnSlotTest, Ss7LinkAlignsCarriesMsusAndAnswersItsIoctls)
{
    join(ss7(1, true));
    EXPECT_THAT(from(16), ElementsAre("FF FF 01 00"));
    to(16, "FF FF 01 02");
    wait();
    EXPECT_THAT(from(16), ElementsAre("FF FF 01 02"));
    wait(600);
    EXPECT_THAT(from(16), testing::Contains("FF FF 00")) << "emergency proving is short";
    to(16, "FF FF 00");
    Texts up = wait();
    EXPECT_THAT(names(up), ElementsAre("slot=1 ioctl ss7LinkInfo", "slot=1 activated"));
    EXPECT_THAT(up.at(0), HasSubstr("ss7state worked"));
    from(16);
    command(user_data("03 01 02"), 1);
    EXPECT_THAT(from(16), ElementsAre("FF 80 03 03 01 02"));
    to(16, "80 80 03 03 04 05");
    EXPECT_THAT(wait(), ElementsAre("slot=1 userData '03 04 05'H"));
    EXPECT_THAT(from(16), ElementsAre("80 80 00"));
    EXPECT_THAT(command(ioctl_bsn(), 1), ElementsAre("slot=1 ioctl ss7BSN : 0", "slot=1 success"));
    EXPECT_THAT(names(wait(3000)), ElementsAre("slot=1 ioctl hdlcLinkInfo", "slot=1 ioctl ss7LinkInfo"));

    // The eight switches in the controller's order.
    for (int i = 0; i < 8; ++i) {
        C c;
        LGCP::SS7L2Log& l = c.get_ioctl().get_ss7Log();
        l.set_state(i == 0), l.set_raw_receive(i == 1), l.set_raw_transmit(i == 2), l.set_mtp_transmit(i == 3);
        l.set_mtp_receive(i == 4), l.set_mtp_activate(i == 5), l.set_timers(i == 6), l.set_msu_processing(i == 7);
        EXPECT_THAT(command(c, 1), ElementsAre("slot=1 success"));
        const SS7::SLC::Traces& t = pstn().link()->traces;
        EXPECT_EQ((std::vector<bool>{t.state, t.raw_receive, t.raw_transmit, t.mtp_transmit, t.mtp_receive,
                                     t.mtp_activate, t.timers, t.msu_processing}),
                  [i] { std::vector<bool> v(8); v[size_t(i)] = true; return v; }()) << i;
    }
    EXPECT_THAT(command(simple(C::e_ioctl), 1), ElementsAre("slot=1 error unsupported"));

    EXPECT_THAT(command(simple(C::e_destroy), 1), testing::Contains("slot=1 success"));
    EXPECT_THAT(from(16), ElementsAre("FF FF 01 03"));
}

// A disconnected link is off the line: its channel is closed and its
// switch connections undone, so it neither hears the time slot nor sends
// onto it (the slot may serve another user by now), and joining it again
// brings it up.
TEST_F(PstnSlotTest, DisconnectTakesTheChannelOffTheLine)
{
    struct Case {
        const char* name;
        C create;
        const char* heard; // what would make a listening link answer
    } cases[] = {
        {"ss7", ss7(1), "FF FF 01 00"},
        {"pri", pstn_isdn(false, 1, false), "00 01 7F"},
        {"bri user", pstn_isdn(true, 1, false), "00 01 7F"},
        {"bri network", pstn_isdn(true, 1, true), "FC FF 03 0F 12 34 01 FF"},
        {"cas", cas(1), "00 01 7F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        sim.board.clear_log();
        join(c.create, true);
        int t = mcc_channel();
        ASSERT_NE(t, -1);
        command(simple(C::e_disconnect), 1);
        wait(10);
        from(16);
        EXPECT_EQ(sim.mcc().allocated(), 0u);
        EXPECT_NE(out(16).source, t);
        EXPECT_NE(out(t).source, 16);
        to(16, c.heard);
        wait(3000);
        EXPECT_TRUE(from(16).empty()) << "nothing leaves onto the old time slot";
        command(connect(1), 2);
        wait(10);
        EXPECT_EQ(allocations(), 2u);
        EXPECT_EQ(out(16).source, mcc_channel()) << "joined again";
        command(simple(C::e_destroy), 1);
        command(simple(C::e_destroy), 2);
        wait(10);
    }
}

// The connection a link has, asked again, is answered success and leaves
// the link's line as it was: its channel and both of its paths.
TEST_F(PstnSlotTest, ARepeatedConnectKeepsTheLinksLine)
{
    for (const C& create : {ss7(1), pstn_isdn(false, 1, false)}) {
        join(create);
        const int t = mcc_channel();
        const size_t made = allocations();
        EXPECT_THAT(command(connect(1), 2), testing::Contains("slot=2 success"));
        wait(10);
        EXPECT_EQ(mcc_channel(), t);
        EXPECT_EQ(allocations(), made);
        EXPECT_EQ(out(t).source, 16);
        EXPECT_EQ(out(16).source, t);
        command(simple(C::e_destroy), 1);
        command(simple(C::e_destroy), 2);
        wait(10);
    }
}

TEST_F(PstnSlotTest, Ss7LinkComesUpAgainAfterADisconnect)
{
    join(ss7(1, true));
    command(simple(C::e_disconnect), 1);
    EXPECT_THAT(from(16), ElementsAre("FF FF 01 00", "FF FF 01 03")) << "its SIOS leaves before the channel closes";
    command(connect(1), 2);
    EXPECT_THAT(names(aligned()), testing::Contains("slot=1 activated"));
}

// A channel that fails under a working link takes the link out of
// service: the controller hears it at once and in every report after, and
// an activation starts it again on a fresh channel.
TEST_F(PstnSlotTest, Ss7LinkOnAFailedChannelIsOutOfService)
{
    join(ss7(1, true));
    ASSERT_THAT(names(aligned()), testing::Contains("slot=1 activated"));
    sim.mcc().hang_up(mcc_channel());
    Texts down = wait(10);
    EXPECT_THAT(names(down), testing::Contains("slot=1 deactivated"));
    EXPECT_THAT(only(down, "slot=1 ioctl ss7LinkInfo"), testing::Each(HasSubstr("ss7state idle")));
    EXPECT_THAT(only(wait(3000), "slot=1 ioctl ss7LinkInfo"), ElementsAre(HasSubstr("ss7state idle")));
    EXPECT_EQ(sim.mcc().allocated(), 0u);
    command(simple(C::e_activate), 1);
    EXPECT_EQ(sim.mcc().allocated(), 1u);
    EXPECT_THAT(from(16), testing::Contains("FF FF 01 00")) << "aligning again";
}

// A BRI line reports its state as trunk 0..7 of type bri: the SS7 link of
// E1 trunk 1 (index 0) hears only its own E1 trunk.
TEST_F(PstnSlotTest, TrunkStatusReachesTheLinkOfItsE1TrunkOnce)
{
    join(ss7(1));
    auto status = [this](int trunk, ACP::TrunkType::NamedNumber type) {
        LGCP::Signal sig;
        ACP::TrunkStatus& s = sig.get_trunkStatus();
        s.set_trunk(trunk), s.set_state(ACP::TrunkState::lossCarrier), s.set_type(type);
        log.clear();
        slots().OnSignal(sig);
        return log.str().find("transport OFF by low level terminated") != std::string::npos;
    };
    EXPECT_FALSE(status(0, ACP::TrunkType::bri));
    EXPECT_FALSE(status(1, ACP::TrunkType::e1));
    EXPECT_EQ(pstn().link()->state_id(), SS7::SLC::not_aligned);
    EXPECT_TRUE(status(0, ACP::TrunkType::e1));
    EXPECT_EQ(pstn().link()->state_id(), SS7::SLC::idle);
    command(simple(C::e_activate), 1);
    EXPECT_FALSE(status(0, ACP::TrunkType::e1)) << "the same state again";
    EXPECT_EQ(pstn().link()->state_id(), SS7::SLC::not_aligned);
}

// Either direction alone leaves the channel closed; a direction that went
// does not count when the other is joined again.
TEST_F(PstnSlotTest, BriLinkStartsOnlyWithBothDirectionsJoined)
{
    for (bool receiveFirst : {true, false}) {
        SCOPED_TRACE(receiveFirst);
        sim.board.clear_log();
        command(pstn_isdn(true, 1, false), 1);
        command(trunk_slot(0, 16), 2);
        command(connect(receiveFirst ? 1 : 2), receiveFirst ? 2 : 1);
        EXPECT_EQ(allocations(), 0u);
        command(connect(receiveFirst ? 2 : 1), receiveFirst ? 1 : 2);
        EXPECT_EQ(allocations(), 1u);
        EXPECT_EQ(out(16).source, mcc_channel());
        command(simple(C::e_disconnect), 1);
        command(simple(C::e_disconnect), 2);
        command(connect(1), 2);
        EXPECT_EQ(allocations(), 1u) << "towards no line";
        command(connect(2), 1);
        EXPECT_EQ(allocations(), 2u);
        command(simple(C::e_destroy), 1);
        command(simple(C::e_destroy), 2);
    }
}

TEST_F(PstnSlotTest, BriNetworkSideServesTerminalsOnItsChannel)
{
    EXPECT_THAT(names(join(pstn_isdn(true, 1, true), true)), testing::Contains("slot=1 activated"));
    EXPECT_THAT(from(16), ElementsAre("FE FF 03 0F 00 00 04 FF"));
    to(16, "FC FF 03 0F 12 34 01 FF");
    wait();
    EXPECT_THAT(from(16), ElementsAre("FE FF 03 0F 12 34 02 81", "02 81 7F"));
    to(16, "02 81 73");
    to(16, "00 81 00 00 08 01 05 05");
    EXPECT_THAT(wait(), ElementsAre("slot=1 userData '08 01 05 05'H"));
    from(16);
    EXPECT_THAT(command(user_data("08 01 06 05"), 1), ElementsAre("slot=1 success"));
    EXPECT_THAT(from(16), ElementsAre("02 FF 03 08 01 06 05"));
    // What no terminal's link carries is refused, not answered success:
    // a call no terminal used, or the call of a terminal gone.
    EXPECT_THAT(command(user_data("08 01 85 07"), 1), ElementsAre("slot=1 success"));
    EXPECT_THAT(from(16), ElementsAre("02 81 00 03 08 01 85 07"));
    EXPECT_THAT(command(user_data("08 01 86 07"), 1), ElementsAre("slot=1 error invalidParams"));
    to(16, "02 81 1F"); // DM: terminal 64 gives up its link
    wait();
    EXPECT_THAT(command(user_data("08 01 85 45"), 1), ElementsAre("slot=1 error invalidParams"));
    EXPECT_THAT(err.str(), HasSubstr("no terminal holds the call of the message, refused"));
    EXPECT_THAT(from(16), ElementsAre());
}

// The BRI network side hears nothing of its channel's end by itself: the
// slot takes the layer down, so the controller hears deactivated and a
// message for a terminal it served is refused, not answered success.
TEST_F(PstnSlotTest, BriNetworkSideGoesDownWithItsChannel)
{
    join(pstn_isdn(true, 1, true), true);
    to(16, "FC FF 03 0F 12 34 01 FF");
    to(16, "02 81 73");
    to(16, "00 81 00 00 08 01 05 05");
    ASSERT_THAT(wait(), ElementsAre("slot=1 userData '08 01 05 05'H"));
    sim.mcc().hang_up(mcc_channel());
    EXPECT_THAT(names(wait(10)), testing::Contains("slot=1 deactivated"));
    EXPECT_THAT(command(user_data("08 01 85 07"), 1), ElementsAre("slot=1 error invalidParams"));
    command(simple(C::e_activate), 1);
    EXPECT_THAT(from(16), testing::Contains("FE FF 03 0F 00 00 04 FF")) << "a fresh channel asks the terminals again";
}

} // namespace
