// LAPD frame formats, address checks and TEI management of a BRI user side.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/signalling/lapd_support.h"

using vbtest::LinkHarness;
using Strings = std::vector<std::string>;

namespace {

std::string byte(unsigned v)
{
    char s[3];
    std::snprintf(s, sizeof(s), "%02X", v & 0xFF);
    return s;
}

// A management message from the network with reference ri.
std::string management(unsigned ri, int type, int ai)
{
    return "FE FF 03 0F " + byte(ri) + " " + byte(ri >> 8) + " " + byte(type) + " " + byte(ai << 1 | 1);
}

std::string request(unsigned ri)
{
    return "FC FF 03 0F " + byte(ri) + " " + byte(ri >> 8) + " 01 FF";
}

// A BRI user side waiting for its TEI (state 1), with the request taken:
// the network's removal of every TEI made it ask.
struct TeiLink : LinkHarness {
    TeiLink() : LinkHarness(ISDN::Side::user, true)
    {
        EXPECT_EQ(state(), 0u);
        rx(management(0, 6, 127));
        EXPECT_EQ(sent(), Strings{request(link->Ri)});
        EXPECT_EQ(state(), 1u);
    }
    void assign(int tei) { rx(management(link->Ri, 2, tei)); }
};

TEST(LapdFramesTest, AddressAndControlOctetsFollowTheSide)
{
    struct Case {
        ISDN::Side::type side;
        const char* peerSabme;
        const char* ua;
        const char* ownSabme;
    };
    // A user sends commands with C/R = 0, a network with C/R = 1.
    for (Case c : {Case{ISDN::Side::user, "02 01 7F", "02 01 73", "00 01 7F"},
                   Case{ISDN::Side::network, "00 01 7F", "00 01 73", "02 01 7F"}}) {
        SCOPED_TRACE(c.side);
        LinkHarness h(c.side);
        h.rx(c.peerSabme);
        EXPECT_EQ(h.sent(), Strings{c.ua});
        h.link->activate();
        EXPECT_EQ(h.sent(), Strings{c.ownSabme});
    }
}

// Frames carry the assigned TEI; its removal ends the link and asks anew.
TEST(LapdFramesTest, TheAssignedTeiUntilItsRemoval)
{
    TeiLink h;
    h.send("L3");
    h.assign(64);
    // The message queued while the TEI was missing asks for the link and
    // goes out with it.
    ASSERT_EQ(h.state(), 4u);
    EXPECT_EQ(h.sent(), Strings{"00 81 7F"});
    h.rx("00 81 73");
    EXPECT_EQ(h.sent(), Strings{"00 81 00 00 4C 33"});
    h.rx("00 81 01 02");
    h.advance(ISDN::LAPD::kT203 + 1);
    EXPECT_EQ(h.sent(), Strings{"00 81 01 01"});
    h.owner.take_reports();
    h.rx(management(0, 6, 64));
    EXPECT_EQ(h.owner.take_reports(), Strings{"end (error): error (MDL-REMOVE received)"});
    EXPECT_EQ(h.state(), 1u);
    EXPECT_EQ(h.sent(), Strings{request(h.link->Ri)});
}

// A BRI user side with no TEI yet takes no TEI 0 frame either.
TEST(LapdFramesTest, MalformedAddressesAndForeignTeisAreDropped)
{
    for (const char* frame : {"03 01 7F", "02 00 7F", "02 0B 7F", "02 01 7F", "02 01 00 00 41"}) {
        SCOPED_TRACE(frame);
        LinkHarness bri(ISDN::Side::user, true);
        bri.rx(frame);
        EXPECT_EQ(bri.sent(), Strings{});
        EXPECT_EQ(bri.state(), 0u);
        EXPECT_EQ(bri.owner.take_reports(), Strings{});
        EXPECT_EQ(bri.owner.messages, Strings{});
    }
    LinkHarness pointToPoint;
    pointToPoint.rx("02 0B 7F");
    EXPECT_EQ(pointToPoint.state(), 6u) << "without TEI management every TEI is the peer's";
}

// TEI 0 is no TEI of a BRI user side that holds none: a UI frame on it
// carries no layer 3 message for this terminal, though the same frame on
// the group TEI does.
TEST(LapdFramesTest, AFreshBriUserSideTakesNoUiFrameOnTeiZero)
{
    LinkHarness bri(ISDN::Side::user, true);
    bri.rx("02 01 03 08 01 05 05");
    EXPECT_EQ(bri.owner.messages, Strings{});
    EXPECT_EQ(bri.sent(), Strings{});
    EXPECT_EQ(bri.state(), 0u);
    EXPECT_EQ(bri.owner.take_reports(), Strings{});
    bri.rx("02 FF 03 08 01 05 05");
    EXPECT_EQ(bri.owner.messages, Strings{vbtest::octets("08 01 05 05")});
}

TEST(LapdFramesTest, IdentityRequestThenAssignment)
{
    TeiLink h;
    EXPECT_TRUE(h.st().T202running);
    h.rx(management(h.link->Ri ^ 1, 2, 64));
    EXPECT_EQ(h.state(), 1u) << "another Ri is not ours";
    h.assign(64);
    EXPECT_EQ(h.state(), 3u);
    EXPECT_EQ(h.st().ownTEI, 64);
    EXPECT_FALSE(h.st().T202running);
    EXPECT_EQ(h.owner.take_reports(), Strings{});
}

TEST(LapdFramesTest, DeniedIdentityKeepsWaiting)
{
    TeiLink h;
    vbtest::CaptureStream clog(std::clog);
    h.rx(management(h.link->Ri, 3, 127));
    EXPECT_EQ(h.state(), 1u);
    EXPECT_TRUE(h.st().T202running);
    EXPECT_EQ(h.owner.take_reports(), Strings{"status: Tei Assign - Tei denied"});
    EXPECT_NE(clog.str().find("ASP returned: All TEI's used"), std::string::npos);
}

TEST(LapdFramesTest, CheckRequestIsAnsweredWithOwnTei)
{
    TeiLink h;
    h.assign(64);
    unsigned ri = h.link->Ri;
    h.rx(management(0x1234, 4, 127));
    h.rx(management(0x1234, 4, 64));
    h.rx(management(0x1234, 4, 65));
    std::string answer = "FC FF 03 0F " + byte(ri) + " " + byte(ri >> 8) + " 05 81";
    EXPECT_EQ(h.sent(), (Strings{answer, answer}));
}

TEST(LapdFramesTest, FiveRequestsThenTheLinkGivesUp)
{
    TeiLink h;
    h.advance(4 * ISDN::LAPD::kT202 + 1);
    EXPECT_EQ(h.sent().size(), 4u);
    EXPECT_EQ(h.state(), 1u);
    h.advance(ISDN::LAPD::kT202);
    EXPECT_EQ(h.sent(), Strings{});
    EXPECT_EQ(h.state(), 0u);
    EXPECT_EQ(h.owner.take_reports(), Strings{"end (error): link error (T202 expired N202 times)"});
}

// A fresh BRI user side asks for a TEI before it establishes (Q.921
// 5.3.2); a PRI link starts on TEI 0.
TEST(LapdFramesTest, EstablishWhileWaitingForTheTeiEstablishesOnAssignment)
{
    LinkHarness pri;
    pri.link->activate();
    EXPECT_EQ(pri.sent(), Strings{"00 01 7F"});
    LinkHarness h(ISDN::Side::user, true);
    EXPECT_EQ(h.state(), 0u);
    h.link->activate();
    EXPECT_EQ(h.state(), 2u);
    Strings sent = h.sent();
    ASSERT_EQ(sent, Strings{request(h.link->Ri)});
    h.rx(management(h.link->Ri, 2, 70));
    EXPECT_EQ(h.state(), 4u);
    EXPECT_EQ(h.sent(), Strings{"00 8D 7F"});
    EXPECT_EQ(h.owner.take_reports(), Strings{}) << "no timer conflict";
    h.rx("00 8D 73");
    EXPECT_EQ(h.state(), 6u);
}

TEST(LapdFramesTest, WithoutBriNoIdentityMessageAndNoUi)
{
    LinkHarness h;
    h.link->mdl_remove();
    h.send("x");
    EXPECT_EQ(h.state(), 1u);
    h.rx(management(h.link->Ri, 2, 64));
    h.rx("02 FF 03 08 01 05 05");
    EXPECT_EQ(h.sent(), Strings{});
    EXPECT_EQ(h.state(), 1u);
    EXPECT_EQ(h.owner.messages, Strings{});
    EXPECT_EQ(h.link->out_count(), 1u) << "the message waits";
}

// With a TEI the link is asked for at once; without one, the TEI first.
TEST(LapdFramesTest, LayerThreeInUiStartsEstablishmentAndGoesUp)
{
    TeiLink h;
    h.assign(65);
    h.rx("02 FF 03 08 01 05 05");
    EXPECT_EQ(h.owner.messages, Strings{vbtest::octets("08 01 05 05")});
    EXPECT_EQ(h.sent(), Strings{"00 83 7F"});
    EXPECT_EQ(h.state(), 4u);
    LinkHarness fresh(ISDN::Side::user, true);
    fresh.rx("02 FF 03 08 01 05 05");
    EXPECT_EQ(fresh.owner.messages, Strings{vbtest::octets("08 01 05 05")});
    EXPECT_EQ(fresh.sent(), Strings{request(fresh.link->Ri)});
    fresh.rx(management(fresh.link->Ri, 2, 64));
    EXPECT_EQ(fresh.sent(), Strings{"00 81 7F"});
    EXPECT_EQ(fresh.state(), 4u);
}

// The group TEI carries broadcast UI frames only: no other frame on it
// touches the link of TEI 64.
TEST(LapdFramesTest, OnlyUiFramesAreTakenOnTheGroupTei)
{
    TeiLink h;
    h.assign(64);
    h.rx("02 81 7F");
    h.sent();
    h.owner.take_reports();
    for (const char* frame : {"02 FF 53", "02 FF 7F", "00 FF 0F", "02 FF 00 00 41", "02 FF 01 01"}) {
        SCOPED_TRACE(frame);
        h.rx(frame);
        EXPECT_EQ(h.sent(), Strings{});
        EXPECT_EQ(h.state(), 6u);
        EXPECT_EQ(h.owner.take_reports(), Strings{});
        EXPECT_EQ(h.owner.messages, Strings{});
    }
    h.rx("02 81 53");
    EXPECT_EQ(h.sent(), Strings{"02 81 73"});
    EXPECT_EQ(h.state(), 3u);
}

} // namespace
