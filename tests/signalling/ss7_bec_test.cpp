// Basic error correction of the SS7 link against a scripted peer in
// virtual time: numbering, acknowledgement, negative acknowledgement,
// retransmission and their limits.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/signalling/ss7_support.h"

using Texts = std::vector<std::string>;
using SS7::SLC;

namespace {

// A unit header: BSN/BIB, FSN/FIB, LI, in hexadecimal.
std::string su(int bsn, int bib, int fsn, int fib, int li)
{
    char b[16];
    std::snprintf(b, sizeof b, "%02X %02X %02X", bib << 7 | bsn, fib << 7 | fsn, li);
    return b;
}

std::string msu_from_peer(int bsn, int bib, int fsn, int fib, const std::string& body = "83 AA BB")
{
    return su(bsn, bib, fsn, fib, static_cast<int>(body.size() + 1) / 3) + " " + body;
}

// The link leaves service exactly ms from now, with the timer's line in
// log when one is given.
void leaves_service_after(vbtest::Ss7Link& l, unsigned ms, vbtest::CaptureStream* log = nullptr,
                          const std::string& line = "")
{
    l.wait(ms - 1);
    EXPECT_EQ(l.slc->state_id(), SLC::in_service);
    if (log)
        log->clear();
    l.wait(1);
    EXPECT_EQ(l.slc->state_id(), SLC::idle);
    if (log) {
        EXPECT_EQ(vbtest::link_lines(*log), "SS7/L2 [dpc=0, slc=0, trunk=0] (worked): " + line + "\n");
    }
}

struct Ss7Bec : ::testing::Test {
    vbtest::Ss7Link link;
    SLC& slc = *link.slc;
    vbtest::CaptureStream log{std::clog};
    vbtest::CaptureStream err{std::cerr};

    void SetUp() override { link.bring_into_service(); }
    // n MSUs "83 i" from the upper layer.
    void send(int n)
    {
        for (int i = 0; i < n; ++i) {
            char b[12];
            std::snprintf(b, sizeof b, "83 %02X 00", i & 0xff);
            link.send(b);
        }
    }
};

TEST_F(Ss7Bec, MsusAreNumberedAndAcknowledged)
{
    link.send("83 01 02 03");
    link.send("83 04 00");
    EXPECT_EQ(link.line.take(), (Texts{"FF 80 04 83 01 02 03", "FF 81 03 83 04 00"}));
    EXPECT_EQ(slc.statistics().rtbSize, 2u);
    link.feed(su(0, 1, 127, 1, 0));
    EXPECT_EQ(slc.statistics().rtbSize, 1u);
    link.feed(su(1, 1, 127, 1, 0));
    EXPECT_EQ(slc.statistics().rtbSize, 0u);
    EXPECT_TRUE(link.line.take().empty()) << "an acknowledgement is not answered";
    link.send("83 05 00");
    EXPECT_EQ(link.line.take(), Texts{"FF 82 03 83 05 00"});
}

TEST_F(Ss7Bec, BackwardSequenceNumberValidity)
{
    struct Case {
        int outstanding;
        int bsn;
        bool valid;
    };
    const Case cases[] = {{0, 127, true}, {0, 0, false},  {0, 126, false}, {10, 127, true}, {10, 9, true},
                          {10, 10, false}, {10, 126, false}, {127, 126, true}, {127, 127, true}, {127, 60, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.outstanding << " outstanding, BSN " << c.bsn);
        vbtest::Ss7Link l;
        l.bring_into_service();
        for (int i = 0; i < c.outstanding; ++i)
            l.send("83 00 00");
        l.feed(su(c.bsn, 1, 127, 1, 0));
        l.feed(su(c.bsn, 1, 127, 1, 0));
        EXPECT_EQ(l.slc->state_id(), c.valid ? SLC::in_service : SLC::idle);
        if (c.valid) {
            EXPECT_EQ(l.slc->statistics().rtbSize, static_cast<uint32_t>(c.outstanding - ((c.bsn + 1) & 127)));
        }
    }
}

TEST_F(Ss7Bec, OneBadBsnIsToleratedTwoInARowAreNot)
{
    slc.traces.msu_processing = true;
    link.feed(su(5, 1, 127, 1, 0));
    link.feed(su(127, 1, 127, 1, 0));
    link.feed(su(5, 1, 127, 1, 0));
    EXPECT_EQ(slc.state_id(), SLC::in_service) << "a good unit between two bad ones";
    link.feed(su(6, 1, 127, 1, 0));
    EXPECT_EQ(slc.state_id(), SLC::idle);
    EXPECT_EQ(err.str(), "SS7/L2 [dpc=0, slc=0, trunk=0] (worked): bad su acknowledgement received:  BSN=6 BIB=1 "
                         "FSN=127 FIB=1\n");
}

TEST_F(Ss7Bec, WindowAndTransmissionBufferLimits)
{
    send(128);
    EXPECT_EQ(link.line.take().size(), 127u);
    EXPECT_EQ(slc.waiting(), 1u) << "the 128th waits";
    link.feed(su(0, 1, 127, 1, 0));
    Texts sent = link.line.take();
    ASSERT_EQ(sent.size(), 1u) << "the window opened";
    EXPECT_EQ(sent[0], "FF FF 03 83 7F 00");

    link.line.blocked = true;
    send(200);
    EXPECT_EQ(slc.waiting(), 200u);
    err.clear();
    EXPECT_FALSE(link.send("83 C8 C9"));
    EXPECT_EQ(err.str(), "SS7/L2 [dpc=0, slc=0, trunk=0] (worked): no space in TB buffer, TB=200 RTB=127 ignoring "
                         "msu: 83 C8 C9\n");
    EXPECT_EQ(slc.statistics().overflowCntr, 1u);
    EXPECT_EQ(slc.waiting(), 200u);
}

TEST_F(Ss7Bec, RepeatedMsuIsDroppedUnexamined)
{
    slc.traces.msu_processing = true;
    link.feed(msu_from_peer(127, 1, 0, 1));
    link.line.take();
    err.clear();
    log.clear();
    link.feed(msu_from_peer(50, 1, 0, 1));
    link.feed(msu_from_peer(50, 1, 0, 1));
    EXPECT_EQ(slc.state_id(), SLC::in_service) << "its bad BSN is not looked at";
    EXPECT_EQ(link.upper.received.size(), 1u);
    EXPECT_TRUE(link.line.take().empty());
    EXPECT_EQ(log.str(), "SS7/L2 [dpc=0, slc=0, trunk=0] (worked): discard msu due to 5.2.2/i Q.702 fsnr=0 fsnx=0\n"
                             "SS7/L2 [dpc=0, slc=0, trunk=0] (worked): discard msu due to 5.2.2/i Q.702 fsnr=0 fsnx=0\n");
}

TEST_F(Ss7Bec, GapIsNegativelyAcknowledgedUntilTheRetransmissionArrives)
{
    link.feed(msu_from_peer(127, 1, 1, 1, "83 02 00"));
    EXPECT_EQ(link.line.take(), Texts{su(127, 0, 127, 1, 0)}) << "BIB inverted";
    EXPECT_EQ(slc.statistics().badSeqCntr, 1u);
    link.feed(msu_from_peer(127, 1, 2, 1, "83 03 00"));
    link.feed(su(127, 1, 2, 1, 0));
    EXPECT_TRUE(link.line.take().empty()) << "no second negative acknowledgement";
    EXPECT_EQ(slc.state_id(), SLC::in_service);
    link.feed(msu_from_peer(127, 1, 0, 0, "83 01 00"));
    link.feed(msu_from_peer(127, 1, 1, 0, "83 02 00"));
    EXPECT_EQ(link.upper.received, (Texts{"83 01 00", "83 02 00"}));
    EXPECT_EQ(link.line.take(), (Texts{su(0, 0, 127, 1, 0), su(1, 0, 127, 1, 0)}));

    link.feed(su(127, 1, 2, 0, 0)); // a FISU announcing a lost MSU
    EXPECT_EQ(link.line.take(), Texts{su(1, 1, 127, 1, 0)});
    EXPECT_EQ(slc.statistics().badSeqCntr, 2u);
}

TEST_F(Ss7Bec, UnexpectedFibTwiceEndsService)
{
    slc.traces.msu_processing = true;
    link.feed(su(127, 1, 127, 0, 0));
    link.feed(su(127, 1, 127, 1, 0));
    link.feed(msu_from_peer(127, 1, 0, 0));
    EXPECT_EQ(slc.state_id(), SLC::in_service) << "one unexpected FIB, then a good unit, then one";
    link.feed(su(127, 1, 127, 0, 0));
    EXPECT_EQ(slc.state_id(), SLC::idle);
    EXPECT_NE(err.str().find("bad start of a retransmission:  BSN=127 BIB=1 FSN=127 FIB=0"), std::string::npos);
}

TEST_F(Ss7Bec, BibUnlikeOurFibResendsAheadOfTheWaiting)
{
    send(3);
    link.line.blocked = true;
    link.send("83 D0 00");
    link.line.blocked = false;
    link.line.take();
    link.feed(su(0, 0, 127, 1, 0));
    EXPECT_EQ(link.line.take(), (Texts{"FF 01 03 83 01 00", "FF 02 03 83 02 00", "FF 03 03 83 D0 00"}));
    EXPECT_EQ(slc.statistics().repeatCntr, 1u);
    EXPECT_EQ(slc.statistics().rtbSize, 3u);
    link.feed(su(0, 0, 127, 1, 0));
    EXPECT_TRUE(link.line.take().empty()) << "the same BIB again asks for nothing";
    link.feed(su(3, 0, 127, 1, 0));
    EXPECT_EQ(slc.statistics().rtbSize, 0u);
}

TEST_F(Ss7Bec, T7SupervisesAcknowledgementProgress)
{
    slc.traces.timers = true;
    send(2);
    link.wait(10000);
    link.feed(su(127, 1, 127, 1, 0));
    link.wait(1999);
    EXPECT_EQ(slc.state_id(), SLC::in_service);
    link.feed(su(0, 1, 127, 1, 0)); // progress re-arms
    leaves_service_after(link, 12000, &log, "T7 expired: 1 packets in RTB.");

    vbtest::Ss7Link l;
    l.bring_into_service();
    l.send("83 01 00");
    l.feed(su(0, 1, 127, 1, 0));
    l.wait(60000);
    EXPECT_EQ(l.slc->state_id(), SLC::in_service) << "nothing outstanding: no T7";
}

// A far end that only ever asks for the MSUs again makes no progress:
// the retransmissions leave T7 running from the first MSU sent.
TEST_F(Ss7Bec, RetransmissionsDoNotRestartT7)
{
    slc.traces.timers = true;
    send(2);
    link.wait(5000);
    link.feed(su(127, 0, 127, 1, 0));
    link.wait(5000);
    link.feed(su(127, 1, 127, 1, 0));
    EXPECT_EQ(slc.statistics().repeatCntr, 2u);
    leaves_service_after(link, 2000, &log, "T7 expired: 2 packets in RTB.");
}

// A busy far end (SIB) keeps the link in service; T6 replaces T7 while
// MSUs are outstanding, later SIBs do not restart it, and an
// acknowledgement ends it.
TEST_F(Ss7Bec, BusyFarEndRunsT6InsteadOfT7)
{
    const std::string SIB = "FF FF 01 05";
    slc.traces.timers = true;
    send(2);
    link.wait(10000);
    link.feed(SIB);
    EXPECT_EQ(slc.state_id(), SLC::in_service);
    link.wait(4000);
    EXPECT_EQ(slc.state_id(), SLC::in_service) << "T7 stopped";
    link.feed(SIB);
    leaves_service_after(link, 500, &log, "T6 expired");

    vbtest::Ss7Link l;
    l.bring_into_service();
    l.feed(SIB);
    l.wait(60000);
    EXPECT_EQ(l.slc->state_id(), SLC::in_service) << "nothing outstanding: nothing to wait for";

    // A positive acknowledgement of one of two, or a negative one: T7
    // again, for what is left.
    for (const std::string& ack : {su(0, 1, 127, 1, 0), su(127, 0, 127, 1, 0)}) {
        SCOPED_TRACE(ack);
        vbtest::Ss7Link a;
        a.bring_into_service();
        a.send("83 01 00");
        a.send("83 02 00");
        a.feed(SIB);
        a.wait(4000);
        a.feed(ack);
        leaves_service_after(a, 12000);
    }
}

TEST_F(Ss7Bec, RefusedSendKeepsTheMsuAndItsNumber)
{
    link.send("83 01 00");
    link.line.blocked = true;
    link.send("83 02 00");
    EXPECT_EQ(slc.waiting(), 1u);
    link.line.blocked = false;
    link.feed(msu_from_peer(127, 1, 0, 1));
    EXPECT_EQ(link.line.take(), (Texts{"FF 80 03 83 01 00", su(0, 1, 0, 1, 0)})) << "the FISU names FSN 0";
    log.clear();
    slc.on_hdlc_ready();
    EXPECT_EQ(log.str(), "SS7/L2 [dpc=0, slc=0, trunk=0] (worked): hdlc ready\n");
    EXPECT_EQ(link.line.take(), Texts{"80 81 03 83 02 00"});
    EXPECT_EQ(slc.waiting(), 0u);
}

TEST_F(Ss7Bec, EmptyPoolSendsNothingAndCrashesNothing)
{
    Packet msu = vbtest::make_packet(vbtest::octets("83 01 00"), 3);
    Packet peer = vbtest::make_packet(vbtest::octets(msu_from_peer(127, 1, 0, 1)));
    {
        vbtest::PoolDrain drain;
        slc.message(msu);
        slc.message(msu);
        slc.on_hdlc_receive(peer);
        slc.local_deactivate();
        EXPECT_EQ(err.str(), "SS7/L2 [dpc=0, slc=0, trunk=0] (worked): packet pool empty, msu not sent\n");
        EXPECT_TRUE(link.line.take().empty());
        EXPECT_EQ(link.upper.received.size(), 1u);
    }
    link.bring_into_service();
    link.send("83 02 00");
    EXPECT_EQ(link.line.take(), Texts{"FF 80 03 83 02 00"}) << "back to normal once buffers are free";
}

TEST_F(Ss7Bec, StatisticsAfterARun)
{
    SLC::Statistics start = slc.statistics();
    send(3);                                // 3 units, 6 octets each
    link.feed(su(0, 1, 127, 1, 0));            // 3 octets in
    link.feed(msu_from_peer(0, 1, 1, 1));      // gap: nack, 6 in, 3 out
    link.feed(su(0, 0, 127, 1, 0));            // retransmission of 2: 12 out
    link.line.blocked = true;
    link.send("83 01 00");                  // refused: not counted
    SLC::Statistics s = slc.statistics();
    EXPECT_EQ(s.msuTxCount - start.msuTxCount, 6u);
    EXPECT_EQ(s.octetsTx - start.octetsTx, 33u);
    EXPECT_EQ(s.msuRxCount - start.msuRxCount, 3u);
    EXPECT_EQ(s.octetsRx - start.octetsRx, 12u);
    EXPECT_EQ(s.rtbSize, 2u);
    EXPECT_EQ(s.repeatCntr, 1u);
    EXPECT_EQ(s.badSeqCntr, 1u);
    EXPECT_EQ(s.overflowCntr, 0u);
}

} // namespace

namespace {

TEST_F(Ss7Bec, SecondBadBsnOnAnMsuEndsServiceWithoutAcknowledging)
{
    link.feed(msu_from_peer(40, 1, 0, 1));
    link.feed(msu_from_peer(41, 1, 1, 1));
    EXPECT_EQ(slc.state_id(), SLC::idle);
    EXPECT_EQ(link.line.take(), (Texts{su(0, 1, 127, 1, 0), "FF FF 01 03"})) << "nothing after the SIOS";
    EXPECT_EQ(link.upper.received.size(), 1u);
}

TEST_F(Ss7Bec, MsusShorterThanThreeOctetsAreRefused)
{
    for (const char* msu : {"83", "83 01"}) {
        err.clear();
        EXPECT_FALSE(link.send(msu));
        EXPECT_EQ(err.str(), "SS7/L2 [dpc=0, slc=0, trunk=0] (worked): fail to send msu (bad packet)\n");
    }
    EXPECT_EQ(slc.waiting(), 0u);
    EXPECT_TRUE(link.line.take().empty());
}

TEST_F(Ss7Bec, MsusWaitingOutOfServiceAreDiscardedOnReturn)
{
    link.line.blocked = true;
    link.send("83 01 00");
    link.send("83 02 00");
    slc.local_deactivate();
    link.line.blocked = false;
    link.send("83 03 00");
    EXPECT_EQ(slc.waiting(), 2u) << "dropped while out of service";
    err.clear();
    link.bring_into_service();
    EXPECT_EQ(err.str(), "SS7/L2 [dpc=0, slc=0, trunk=0] (worked): discard 2 msu in TB\n");
    EXPECT_EQ(slc.waiting(), 0u);
    link.send("83 04 00");
    EXPECT_EQ(link.line.take(), Texts{"FF 80 03 83 04 00"});
}

} // namespace
