// The Q.921 state machine of the data link, user side, in virtual time:
// per state and event, the octets sent, the new state and what goes up.
#include <gtest/gtest.h>

#include "tests/signalling/lapd_support.h"
#include "tests/support/test_support.h"

using vbtest::LinkHarness;
using Strings = std::vector<std::string>;

namespace {

// Frames the network peer sends (commands carry C/R = 1).
const char* const SABME_P1 = "rx 02 01 7F";
const char* const SABME_P0 = "rx 02 01 6F";
const char* const DISC_P1 = "rx 02 01 53";
const char* const UA_F1 = "rx 00 01 73";
const char* const UA_F0 = "rx 00 01 63";
const char* const DM_F1 = "rx 00 01 1F";
const char* const DM_F0 = "rx 00 01 0F";
const char* const FRMR = "rx 00 01 97 00 00 00";
// What the user side sends (its commands carry C/R = 0).
const char* const tSABME = "00 01 7F";
const char* const tDISC = "00 01 53";
const char* const tUA_F1 = "02 01 73";
const char* const tUA_F0 = "02 01 63";
const char* const tDM_F1 = "02 01 1F";

void apply(LinkHarness& h, const std::string& event)
{
    if (event.rfind("rx ", 0) == 0)
        h.rx(event.substr(3));
    else if (event == "DL-ESTABLISH")
        h.link->activate();
    else if (event == "DL-RELEASE")
        h.link->deactivate();
    else if (event == "MDL-REMOVE")
        h.link->mdl_remove();
    else if (event.rfind("wait ", 0) == 0)
        h.advance(static_cast<unsigned>(std::stoi(event.substr(5))));
    else
        FAIL() << "unknown event " << event;
}

struct Case {
    unsigned from;
    std::string event;
    Strings sent;
    unsigned to;
    Strings reports;
};

TEST(LapdStateTest, EveryStateAnswersEachEventAsQ921Says)
{
    const std::string nrError = "status: Other - N(R) error";
    const Case cases[] = {
        // SABME
        {3, SABME_P1, {tUA_F1}, 6, {"activated"}},
        {3, SABME_P0, {tUA_F0}, 6, {"activated"}},
        {4, SABME_P1, {tUA_F1}, 4, {}},
        {5, SABME_P1, {tDM_F1}, 5, {}},
        {6, SABME_P1, {tUA_F1}, 6, {"status: Peer initiated re-establishment - SABME", "activated"}},
        {7, SABME_P1, {tUA_F1}, 6, {"status: Peer initiated re-establishment - SABME", "activated"}},
        // DISC
        {3, DISC_P1, {tDM_F1}, 3, {}},
        {4, DISC_P1, {tDM_F1}, 4, {}},
        {5, DISC_P1, {tUA_F1}, 5, {}},
        {6, DISC_P1, {tUA_F1}, 3, {"end (error): remote error (DISC received)"}},
        {7, DISC_P1, {tUA_F1}, 3, {"end (error): remote error (DISC received)"}},
        // UA: solicited in 4 and 5; unsolicited only reported
        {4, UA_F1, {}, 6, {"activated"}},
        {4, UA_F0, {}, 4, {"status: UA (F = 0)"}},
        {5, UA_F1, {}, 3, {"end: success (UA received)"}},
        {5, UA_F0, {}, 5, {"status: UA (F = 0)"}},
        {3, UA_F1, {}, 3, {"status: UA (F = 1)"}},
        {6, UA_F1, {}, 6, {"status: UA (F = 1)"}},
        {7, UA_F0, {}, 7, {"status: UA (F = 0)"}},
        // DM
        {3, DM_F0, {tSABME}, 4, {}},
        {3, DM_F1, {}, 3, {}},
        {4, DM_F1, {}, 3, {"end (error): error (DM received)"}},
        {4, DM_F0, {}, 4, {}},
        {5, DM_F1, {}, 3, {"end (error): error (DM received)"}},
        {6, DM_F1, {}, 6, {"status: DM (F = 1)"}},
        {6, DM_F0, {tSABME}, 4, {"status: Receipt of DM response (F = 0)"}},
        {7, DM_F1, {tSABME}, 4, {"status: DM (F = 1)"}},
        // FRMR
        {3, FRMR, {}, 3, {}},
        {6, FRMR, {tSABME}, 4, {"status: Other - Receipt of FRMR response"}},
        {7, FRMR, {tSABME}, 4, {"status: Other - Receipt of FRMR response"}},
        // Supervisory frames (V(S) = V(A) = V(R) = 0)
        {6, "rx 02 01 01 01", {"02 01 01 01"}, 6, {}},
        {6, "rx 00 01 01 0A", {tSABME}, 4, {nrError}},
        {7, "rx 00 01 01 01", {}, 6, {}},
        {7, "rx 02 01 01 00", {}, 7, {}},
        {7, "rx 02 01 01 01", {"02 01 01 01"}, 7, {}},
        {7, "rx 00 01 01 0B", {tSABME}, 4, {nrError}},
        {6, "rx 00 01 05 01", {}, 6, {"status: Supervisory (F = 1)"}},
        {6, "rx 02 01 09 01", {"02 01 01 01"}, 6, {}},
        {6, "rx 00 01 09 01", {}, 6, {"status: Supervisory (F = 1)"}},
        {3, "rx 02 01 01 01", {}, 3, {}},
        // I frames
        {6, "rx 02 01 00 01 08", {"02 01 01 03"}, 6, {}},
        {6, "rx 02 01 00 00 08", {"02 01 01 02"}, 6, {}},
        {6, "rx 02 01 02 00 08", {"02 01 09 00"}, 6, {}},
        {6, "rx 02 01 00 04 08", {tSABME}, 4, {nrError}},
        {4, "rx 02 01 00 00 08", {}, 4, {}},
        // Requests
        {3, "DL-ESTABLISH", {tSABME}, 4, {}},
        {4, "DL-ESTABLISH", {}, 4, {}},
        {6, "DL-ESTABLISH", {tSABME}, 4, {}},
        {7, "DL-ESTABLISH", {tSABME}, 4, {}},
        {3, "DL-RELEASE", {}, 3, {"end: success (deactivated locally)"}},
        {4, "DL-RELEASE", {tDISC}, 3, {"end: success (deactivated locally)"}},
        {6, "DL-RELEASE", {tDISC}, 5, {}},
        {7, "DL-RELEASE", {tDISC}, 5, {}},
        {3, "MDL-REMOVE", {}, 0, {}},
        {4, "MDL-REMOVE", {}, 0, {"end (error): error (MDL-REMOVE received)"}},
        {5, "MDL-REMOVE", {}, 0, {"end (error): error (MDL-REMOVE received)"}},
        {6, "MDL-REMOVE", {}, 0, {"end (error): error (MDL-REMOVE received)"}},
        // Timers
        {4, "wait 1001", {tSABME}, 4, {}},
        {5, "wait 1001", {tDISC}, 5, {}},
        {6, "wait 10001", {"00 01 01 01"}, 7, {}},
        {7, "wait 1001", {"00 01 01 01"}, 7, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("state " + std::to_string(c.from) + ", " + c.event);
        LinkHarness h;
        h.enter(c.from);
        apply(h, c.event);
        EXPECT_EQ(h.sent(), c.sent);
        EXPECT_EQ(h.state(), c.to);
        EXPECT_EQ(h.owner.take_reports(), c.reports);
    }
}

TEST(LapdStateTest, SabmeInStateThreeEstablishesWithFreshNumbersAndT203)
{
    LinkHarness h;
    h.rx("02 01 7F");
    EXPECT_EQ(unsigned(h.st().VS) + unsigned(h.st().VA) + unsigned(h.st().VR), 0u);
    EXPECT_TRUE(h.st().T203running);
    EXPECT_FALSE(h.st().T200running);
}

TEST(LapdStateTest, FourT200ExpiriesInAwaitingEstablishmentGiveUp)
{
    LinkHarness h;
    h.link->activate();
    h.advance(3 * ISDN::LAPD::kT200 + 1);
    EXPECT_EQ(h.sent(), Strings(4, tSABME));
    EXPECT_EQ(h.owner.take_reports(), Strings{});
    h.advance(ISDN::LAPD::kT200);
    EXPECT_EQ(h.sent(), Strings{});
    EXPECT_EQ(h.state(), 3u);
    EXPECT_EQ(h.owner.take_reports(), (Strings{"status: Unsuccessful retransmission (N200 times) - SABME",
                                               "end (error): link error (T200 expired N200 times)"}));
    EXPECT_EQ(h.link->stats.T200, 4u);
}

TEST(LapdStateTest, TimerRecoveryEnquiresThreeTimesThenReestablishes)
{
    LinkHarness h;
    h.enter(6);
    h.send("m1");
    EXPECT_EQ(h.sent(), Strings{"00 01 00 00 6D 31"});
    h.advance(ISDN::LAPD::kT200 + 1);
    EXPECT_EQ(h.state(), 7u);
    EXPECT_EQ(h.st().RC, 1);
    h.advance(2 * ISDN::LAPD::kT200);
    EXPECT_EQ(h.st().RC, 3);
    EXPECT_EQ(h.sent(), Strings(3, "00 01 01 01"));
    h.advance(ISDN::LAPD::kT200);
    EXPECT_EQ(h.sent(), Strings{tSABME});
    EXPECT_EQ(h.state(), 4u);
    EXPECT_EQ(h.owner.take_reports(),
              Strings{"status: Unsuccessful retransmission (N200 times) - Status enquiry"});
}

TEST(LapdStateTest, AfterT203FourEnquiriesGoOutBeforeGivingUp)
{
    LinkHarness h;
    h.enter(6);
    h.advance(ISDN::LAPD::kT203 + 4 * ISDN::LAPD::kT200 + 1);
    Strings sent = h.sent();
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(Strings(sent.begin(), sent.begin() + 4), Strings(4, "00 01 01 01"));
    EXPECT_EQ(sent.back(), tSABME);
    EXPECT_EQ(h.owner.take_reports(),
              Strings{"status: Unsuccessful retransmission (N200 times) - Status enquiry"});
}

TEST(LapdStateTest, ResponseWithFinalBitInRecoveryRetransmitsFromItsNR)
{
    LinkHarness h;
    h.enter(6);
    h.send("a");
    h.send("b");
    h.sent();
    h.advance(ISDN::LAPD::kT200 + 1); // enquiry, state 7
    h.sent();
    h.rx("00 01 01 03"); // RR response F = 1, N(R) = 1
    EXPECT_EQ(h.state(), 6u);
    EXPECT_EQ(h.sent(), Strings{"00 01 02 00 62"}) << "b again with N(S) = 1";
    EXPECT_EQ(h.link->stats.retrains, 1u);
}

TEST(LapdStateTest, OutOfSequenceIFramesRejectOnceThenAnswerOnlyPolls)
{
    LinkHarness h;
    h.enter(6);
    h.rx("02 01 04 00 41");
    EXPECT_EQ(h.sent(), Strings{"02 01 09 00"});
    h.rx("02 01 06 00 42");
    EXPECT_EQ(h.sent(), Strings{});
    h.rx("02 01 06 01 42");
    EXPECT_EQ(h.sent(), Strings{"02 01 01 01"});
    h.rx("02 01 00 00 43");
    EXPECT_EQ(h.owner.messages, Strings{"C"});
    EXPECT_FALSE(h.st().RejectException);
    EXPECT_EQ(h.link->stats.rejected, 3u);
}

// Mended faults of the reference behaviour.

// A message on a released link asks for the link, whether it came before
// the release ended or after; one that no SABME brings through is lost
// with the link's error report.
TEST(LapdStateTest, MessageOnAReleasedLinkEstablishesIt)
{
    LinkHarness h;
    h.enter(5);
    h.send("a");
    EXPECT_EQ(h.sent(), Strings{});
    h.rx("00 01 73"); // UA: released
    EXPECT_EQ(h.owner.take_reports(), Strings{"end: success (UA received)"});
    EXPECT_EQ(h.sent(), Strings{tSABME});
    EXPECT_EQ(h.state(), 4u);
    h.rx("00 01 73");
    EXPECT_EQ(h.sent(), Strings{"00 01 00 00 61"});
    h.rx("02 01 53"); // DISC from the peer
    h.sent();
    h.owner.take_reports();
    h.send("b");
    EXPECT_EQ(h.sent(), Strings{tSABME});
    h.advance(4 * ISDN::LAPD::kT200 + 1);
    EXPECT_EQ(h.state(), 3u);
    EXPECT_EQ(h.link->out_count(), 0u);
    EXPECT_EQ(h.owner.take_reports().back(), "end (error): link error (T200 expired N200 times)");
    h.advance(10 * ISDN::LAPD::kT200);
    EXPECT_EQ(h.sent().size(), 3u) << "three retries, then quiet";
}

TEST(LapdStateTest, ShortFramesAreDroppedAndReported)
{
    for (const char* frame : {"02 01", "02 01 00", "02 01 01"}) {
        SCOPED_TRACE(frame);
        LinkHarness h;
        h.enter(6);
        h.rx(frame);
        EXPECT_EQ(h.sent(), Strings{});
        EXPECT_EQ(h.state(), 6u);
        EXPECT_EQ(h.owner.take_reports(), Strings{"status: Other - Receipt of frame with wrong size"});
        EXPECT_EQ(h.owner.messages, Strings{}) << "no phantom message";
        h.rx("02 01 00 00 4D");
        EXPECT_EQ(h.owner.messages, Strings{"M"}) << "V(R) did not move";
    }
}

TEST(LapdStateTest, UnsolicitedUaKeepsTheNumbersAndTheUnacknowledgedFrames)
{
    LinkHarness h;
    h.enter(6);
    h.send("a");
    h.send("b");
    h.rx("00 01 73");
    EXPECT_EQ(unsigned(h.st().VS), 2u);
    EXPECT_EQ(h.link->ack_count(), 2u);
    EXPECT_EQ(h.owner.take_reports(), Strings{"status: UA (F = 1)"});
    h.rx("00 01 01 04"); // RR N(R) = 2 is still valid
    EXPECT_EQ(h.state(), 6u);
    EXPECT_EQ(h.link->ack_count(), 0u);
}

TEST(LapdStateTest, TimerFlagsAlwaysNameTheTimerThatRuns)
{
    LinkHarness h;
    h.enter(4);
    h.link->deactivate(); // DISC, state 3 with T200 running
    h.sent();
    h.owner.take_reports();
    h.rx("02 01 7F"); // SABME: T203 starts while T200 runs
    EXPECT_EQ(h.owner.take_reports(), (Strings{"status: trying to start T203 while T200 running", "activated"}));
    EXPECT_FALSE(h.st().T200running);
    EXPECT_TRUE(h.st().T203running);
    h.sent();
    h.send("x"); // the I frame starts T200 in place of T203
    EXPECT_TRUE(h.st().T200running);
    EXPECT_FALSE(h.st().T203running);
    h.advance(ISDN::LAPD::kT200 + 1);
    EXPECT_EQ(h.state(), 7u) << "T200 guards the sent frame";
    EXPECT_EQ(h.owner.take_reports(), Strings{});
}

TEST(LapdStateTest, IFramesOnOtherSapisAreDropped)
{
    LinkHarness h;
    h.enter(6);
    h.rx("42 01 00 00 58"); // SAPI 16
    h.rx("FE 01 00 00 58"); // SAPI 63, not UI
    EXPECT_EQ(h.owner.messages, Strings{});
    EXPECT_EQ(unsigned(h.st().VR), 0u);
    EXPECT_EQ(h.sent(), Strings{});
}

TEST(LapdStateTest, EmptyPoolLosesTheFrameOnceReportedAndTimersRecover)
{
    LinkHarness h;
    h.enter(4);
    vbtest::CaptureStream err(std::cerr);
    {
        vbtest::PoolDrain drain;
        h.advance(2 * ISDN::LAPD::kT200 + 1);
        EXPECT_EQ(h.sent(), Strings{});
        EXPECT_EQ(h.st().RC, 2);
    }
    EXPECT_EQ(err.str(), "LAPD[0] (Awaiting establishment): no packet buffer: frame not sent\n");
    h.advance(ISDN::LAPD::kT200);
    EXPECT_EQ(h.sent(), Strings{tSABME});
    h.rx("00 01 73");
    EXPECT_EQ(h.state(), 6u);
}

} // namespace
