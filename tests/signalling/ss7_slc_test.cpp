// The SS7 link's alignment, its way into and out of service, and its
// signal units, against a scripted peer in virtual time.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/signalling/ss7_support.h"

using Texts = std::vector<std::string>;
using SS7::SLC;

namespace {

const std::string SIO = "FF FF 01 00", SIN = "FF FF 01 01", SIE = "FF FF 01 02", SIOS = "FF FF 01 03";
const std::string FISU = "FF FF 00";

struct Ss7Slc : ::testing::Test {
    vbtest::Ss7Link link;
    SLC& slc = *link.slc;
    vbtest::CaptureStream log{std::clog};
    vbtest::CaptureStream err{std::cerr};

    std::string header(const char* state) { return std::string("SS7/L2 [dpc=0, slc=0, trunk=0] (") + state + "): "; }
};

TEST_F(Ss7Slc, AlignsWithNormalAndEmergencyProving)
{
    struct Case {
        bool emergency;
        std::string lssu;
        unsigned proving;
    };
    for (const Case& c : {Case{false, SIN, 8200}, Case{true, SIE, 500}}) {
        SCOPED_TRACE(c.emergency);
        vbtest::Ss7Link l;
        l.slc->emergency = c.emergency;
        l.slc->local_activate();
        EXPECT_EQ(l.slc->state_id(), SLC::not_aligned);
        EXPECT_EQ(l.line.take(), Texts{SIO});
        l.feed(SIO);
        EXPECT_EQ(l.slc->state_id(), SLC::aligned);
        EXPECT_EQ(l.line.take(), Texts{c.lssu});
        l.feed(SIN);
        EXPECT_EQ(l.slc->state_id(), SLC::proving);
        EXPECT_EQ(l.line.take(), Texts{c.lssu});
        l.feed(SIE);
        l.wait(c.proving - 1);
        EXPECT_EQ(l.slc->state_id(), SLC::proving) << "a SIN or SIE keeps proving";
        l.wait(1);
        EXPECT_EQ(l.slc->state_id(), SLC::aligned_ready);
        EXPECT_EQ(l.line.take(), Texts{FISU});
        EXPECT_EQ(l.upper.activations, 0);
        l.feed(FISU);
        EXPECT_EQ(l.slc->state_id(), SLC::in_service);
        EXPECT_EQ(l.line.take(), (Texts{FISU, FISU}));
        EXPECT_EQ(l.upper.activations, 1);
        EXPECT_TRUE(l.upper.deactivations.empty());
    }
}

TEST_F(Ss7Slc, PeerStatusMovesAnIdleLinkWithoutActivation)
{
    link.feed(SIO);
    EXPECT_EQ(slc.state_id(), SLC::aligned);
    vbtest::Ss7Link other;
    other.feed(SIE);
    EXPECT_EQ(other.slc->state_id(), SLC::proving);
    EXPECT_EQ(other.line.take(), Texts{SIN});
    other.feed("FF FF 03 83 01 02") ;
    EXPECT_EQ(other.slc->state_id(), SLC::in_service) << "an MSU ends proving too";
    EXPECT_TRUE(other.upper.received.empty());
}

TEST_F(Ss7Slc, TimersTakeTheLinkToIdleWithTheirLines)
{
    struct Case {
        const char* timer;
        std::function<void(vbtest::Ss7Link&)> reach;
        unsigned ms;
        const char* state;
    };
    const Case cases[] = {
        {"T2", [](vbtest::Ss7Link&) {}, 7000, "not aligned"},
        {"T3", [](vbtest::Ss7Link& l) { l.feed(SIO); }, 1500, "aligned"},
        {"T1", [](vbtest::Ss7Link& l) { l.feed(SIN), l.wait(8200); }, 45000, "aligned ready"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timer);
        vbtest::Ss7Link l;
        l.slc->traces.timers = true;
        l.slc->local_activate();
        c.reach(l);
        l.line.take();
        log.clear();
        int before = l.slc->state_id();
        l.wait(c.ms - 1);
        EXPECT_EQ(l.slc->state_id(), before);
        l.wait(1);
        EXPECT_EQ(l.slc->state_id(), SLC::idle);
        EXPECT_EQ(vbtest::link_lines(log), header(c.state) + c.timer + " expired\n");
        EXPECT_EQ(l.line.take(), Texts{SIOS});
        EXPECT_EQ(l.upper.deactivations, Texts{"impossible phasing"});
    }
}

TEST_F(Ss7Slc, EveryEntryIntoIdleSendsSiosAndReports)
{
    link.bring_into_service();
    slc.local_deactivate();
    slc.local_deactivate();
    EXPECT_EQ(link.line.take(), (Texts{SIOS, SIOS})) << "idle is entered again each time";
    EXPECT_EQ(link.upper.deactivations, (Texts{"impossible phasing", "impossible phasing"}));
    link.wait(60000);
    EXPECT_TRUE(link.line.take().empty()) << "no timer runs in idle";
}

TEST_F(Ss7Slc, AnyStatusInServiceEndsIt)
{
    for (int status : {0, 1, 2, 3, 7}) {
        SCOPED_TRACE(status);
        vbtest::Ss7Link l;
        l.bring_into_service();
        err.clear();
        l.feed("FF FF 01 0" + std::to_string(status));
        EXPECT_EQ(l.slc->state_id(), SLC::idle);
        const char* names[] = {"SIO", "SIN", "SIE", "SIOS"};
        std::string name = status < 4 ? names[status] : "unknown:0x7";
        EXPECT_EQ(err.str(), header("worked") + "receive lssu: " + name + "  BSN=127 BIB=1 FSN=127 FIB=1\n");
        EXPECT_EQ(l.line.take(), Texts{SIOS});
    }
}

TEST_F(Ss7Slc, ProvingEndsAtAnyOtherStatus)
{
    slc.local_activate();
    link.feed(SIN);
    link.feed("FF FF 01 04");
    EXPECT_EQ(slc.state_id(), SLC::idle);
}

// The status is the three low bits of the octet, the five above being
// spare; 6 and 7 are no status the link knows. In every state, the state
// that each octet leads to, and out of service the line that says why.
TEST_F(Ss7Slc, StatusOctetsReadFromTheirLowBitsInEachState)
{
    using L = vbtest::Ss7Link;
    const int I = SLC::idle, N = SLC::not_aligned, A = SLC::aligned, P = SLC::proving, R = SLC::aligned_ready,
              S = SLC::in_service;
    struct Case {
        const char* name;
        std::function<void(L&)> reach;
        int after[8]; // by status 0..7
    };
    const Case cases[] = {
        {"idle", [](L&) {}, {A, P, P, I, I, I, I, I}},
        {"not aligned", [](L& l) { l.slc->local_activate(); }, {A, P, P, N, N, N, N, N}},
        {"aligned", [](L& l) { l.slc->local_activate(), l.feed(SIO); }, {A, P, P, A, A, A, A, A}},
        {"proving", [](L& l) { l.feed(SIN); }, {I, P, P, I, I, I, I, I}},
        {"aligned ready", [](L& l) { l.feed(SIN), l.wait(8200); }, {I, R, R, I, I, I, I, I}},
        {"worked", [](L& l) { l.bring_into_service(); }, {I, I, I, I, I, S, I, I}},
    };
    const char* names[] = {"SIO", "SIN", "SIE", "SIOS", "unknown:0x4", "unknown:0x5", "unknown:0x6", "unknown:0x7"};
    std::vector<int> octets;
    for (int o = 0; o < 16; ++o)
        octets.push_back(o);
    for (int o : {0x80, 0xF8, 0xF9, 0xFA, 0xFB, 0xFD, 0xFE, 0xFF})
        octets.push_back(o);
    for (const Case& c : cases) {
        for (int octet : octets) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(octet));
            L l;
            c.reach(l);
            err.clear();
            char unit[16];
            std::snprintf(unit, sizeof unit, "FF FF 01 %02X", octet);
            l.feed(unit);
            int status = octet & 7;
            EXPECT_EQ(l.slc->state_id(), c.after[status]);
            bool ended = std::string(c.name) == "worked" && c.after[status] == I;
            EXPECT_EQ(err.str(), ended ? header("worked") + "receive lssu: " + names[status] +
                                             "  BSN=127 BIB=1 FSN=127 FIB=1\n"
                                       : "");
        }
    }
    // A status field of two octets is read from its first.
    link.feed(SIN);
    link.feed("FF FF 02 09 FF");
    EXPECT_EQ(slc.state_id(), SLC::proving);
}

TEST_F(Ss7Slc, ActivationInServiceIsReportedAgain)
{
    slc.traces.mtp_activate = true;
    link.bring_into_service();
    log.clear();
    slc.local_activate();
    EXPECT_EQ(slc.state_id(), SLC::in_service);
    EXPECT_EQ(link.upper.activations, 2);
    EXPECT_EQ(log.str(), header("worked") + "local_activate: ignored.\n");
    EXPECT_TRUE(link.line.take().empty());
}

TEST_F(Ss7Slc, TrunkStatus)
{
    slc.OnTrunkHardStatus(false);
    EXPECT_EQ(log.str() + err.str(), "") << "idle: nothing at all";
    EXPECT_TRUE(link.line.take().empty());
    EXPECT_TRUE(link.upper.deactivations.empty());

    std::function<void()> steps[] = {[&] { slc.local_activate(); }, [&] { link.feed(SIO); },
                                     [&] { link.feed(SIN); }, [&] { link.wait(8200); },
                                     [&] { link.feed(FISU); }};
    for (auto& step : steps) {
        step();
        int state = slc.state_id();
        slc.OnTrunkHardStatus(true);
        EXPECT_EQ(slc.state_id(), state);
    }
    log.clear();
    link.line.take();
    slc.OnTrunkHardStatus(false);
    EXPECT_EQ(slc.state_id(), SLC::idle);
    EXPECT_EQ(log.str(), header("worked") + " transport OFF by low level terminated\n");
    EXPECT_EQ(link.line.take(), Texts{SIOS});
}

TEST_F(Ss7Slc, MsuLengthIndicatorIsCappedAt63)
{
    link.bring_into_service();
    for (int n : {62, 63, 64, 272}) {
        SCOPED_TRACE(n);
        std::string msu(static_cast<size_t>(n), '\x05');
        ASSERT_TRUE(link.send(vbtest::hex(msu)));
        Texts sent = link.line.take();
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].substr(6, 2), n < 63 ? "3E" : "3F");
        EXPECT_EQ(sent[0].size(), 3 * (3u + n) - 1);
        link.feed("FF FF 00"); // nothing acknowledged
    }
}

TEST_F(Ss7Slc, UnitsWhoseLengthDisagreesAreDropped)
{
    slc.traces.msu_processing = true;
    link.bring_into_service();
    std::string five = "83 01 02 03 04", ten = five + " 05 06 07 08 09";
    struct Case {
        std::string unit;
        std::string line; // empty: taken
    };
    std::string forty = ten + " " + ten + " " + ten + " " + ten, seventy = forty + " " + forty.substr(0, 89);
    const Case cases[] = {
        {"FF 80 05 " + ten, "expected = 5, received = 10"},
        {"FF 80 3F " + forty, "expected = 63, received = 40"},
        {"FF 80 06 " + five, "expected = 6, received = 5"},
        {"FF 80 00 01", "expected = 0, received = 1"},
        {"FF 80 01", "expected = 1, received = 0"},
        {"FF 80 C5 " + five, ""},
        {"FF 81 7F " + seventy, ""},
    };
    int taken = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        err.clear();
        SLC::Statistics before = slc.statistics();
        link.feed(c.unit);
        EXPECT_EQ(slc.statistics().msuRxCount, before.msuRxCount + 1);
        EXPECT_EQ(slc.state_id(), SLC::in_service);
        if (c.line.empty()) {
            ++taken;
            EXPECT_EQ(err.str(), header("worked") + "ack!\n");
        } else {
            EXPECT_EQ(err.str(), header("worked") + "invalid packet length, " + c.line + "\n");
            EXPECT_TRUE(link.line.take().empty()) << "no sequence processing";
        }
        EXPECT_EQ(link.upper.received.size(), static_cast<size_t>(taken));
    }
    EXPECT_EQ(link.upper.received.back().size(), 70u * 3 - 1);

    err.clear();
    SLC::Statistics before = slc.statistics();
    link.feed("FF FF");
    EXPECT_EQ(err.str(), header("worked") + "ignore packet, length too small FF FF\n");
    EXPECT_EQ(slc.statistics().msuRxCount, before.msuRxCount);
    EXPECT_EQ(slc.statistics().octetsRx, before.octetsRx + 2);
}

TEST_F(Ss7Slc, NoChannelNoCrash)
{
    slc.hdlc = nullptr;
    slc.local_activate();
    link.feed(SIN);
    link.feed(FISU);
    EXPECT_EQ(slc.state_id(), SLC::in_service);
    EXPECT_TRUE(link.send("83 01 02"));
    EXPECT_NE(log.str().find("no HDLC interface attached!!!"), std::string::npos);
    EXPECT_EQ(slc.waiting(), 1u) << "the MSU waits for a channel";
}

} // namespace
