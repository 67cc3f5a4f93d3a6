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

// A BRI user side waiting for its TEI (state 1), with the request taken.
struct TeiLink : LinkHarness {
    TeiLink() : LinkHarness(ISDN::Side::user, true)
    {
        link->mdl_remove();
        send("L3");
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
    h.assign(64);
    ASSERT_EQ(h.state(), 3u);
    h.rx("02 81 7F");
    // The message queued while the TEI was missing goes out with the link.
    EXPECT_EQ(h.sent(), (Strings{"02 81 73", "00 81 00 00 4C 33"}));
    h.rx("00 81 01 02");
    h.advance(ISDN::LAPD::kT203 + 1);
    EXPECT_EQ(h.sent(), Strings{"00 81 01 01"});
    h.owner.take_reports();
    h.rx(management(0, 6, 64));
    EXPECT_EQ(h.owner.take_reports(), Strings{"end (error): error (MDL-REMOVE received)"});
    EXPECT_EQ(h.state(), 1u);
    EXPECT_EQ(h.sent(), Strings{request(h.link->Ri)});
}

TEST(LapdFramesTest, MalformedAddressesAndForeignTeisAreDropped)
{
    for (const char* frame : {"03 01 7F", "02 00 7F", "02 0B 7F"}) {
        SCOPED_TRACE(frame);
        LinkHarness bri(ISDN::Side::user, true);
        bri.rx(frame);
        EXPECT_EQ(bri.sent(), Strings{});
        EXPECT_EQ(bri.state(), 3u);
        EXPECT_EQ(bri.owner.take_reports(), Strings{});
    }
    LinkHarness pointToPoint;
    pointToPoint.rx("02 0B 7F");
    EXPECT_EQ(pointToPoint.state(), 6u) << "without TEI management every TEI is the peer's";
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

TEST(LapdFramesTest, EstablishWhileWaitingForTheTeiEstablishesOnAssignment)
{
    LinkHarness h(ISDN::Side::user, true);
    h.link->mdl_remove();
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

TEST(LapdFramesTest, LayerThreeInUiStartsEstablishmentAndGoesUp)
{
    LinkHarness h(ISDN::Side::user, true);
    h.rx("02 FF 03 08 01 05 05");
    EXPECT_EQ(h.owner.messages, Strings{vbtest::octets("08 01 05 05")});
    EXPECT_EQ(h.sent(), Strings{"00 01 7F"});
    EXPECT_EQ(h.state(), 4u);
}

} // namespace
