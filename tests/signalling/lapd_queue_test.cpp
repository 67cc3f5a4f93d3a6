// The data link's queues: window, acknowledgement, retransmission, flow
// status, link information, and two links on a lossy channel.
#include <gtest/gtest.h>

#include "tests/signalling/lapd_support.h"
#include "tests/support/test_support.h"

using vbtest::LinkHarness;
using Strings = std::vector<std::string>;
using Flow = ISDN::LAPD::FlowStatus;

namespace {

// An RR response from the network acknowledging up to nr.
std::string rr(unsigned nr)
{
    char s[16];
    std::snprintf(s, sizeof(s), "00 01 01 %02X", (nr & 127) << 1);
    return s;
}

TEST(LapdQueueTest, TheHundredAndTwentyNinthMessageIsRefused)
{
    LinkHarness h;
    for (int i = 0; i < 128; ++i)
        ASSERT_TRUE(h.send("m"));
    vbtest::CaptureStream err(std::cerr);
    EXPECT_FALSE(h.send("m"));
    EXPECT_EQ(err.str(), "LAPD[0] (Awaiting establishment): discard outgoing message: buffer overflow\n");
    EXPECT_EQ(h.link->out_count(), 128u);
    EXPECT_EQ(h.link->stats.outOverflows, 1u);
    EXPECT_EQ(h.link->stats.tx, 129u);
}

TEST(LapdQueueTest, CongestionAboveEightyEightAndNormalAgainAtSixtyFour)
{
    LinkHarness h;
    h.enter(6);
    for (int i = 0; i < 96; ++i)
        h.send("m");
    EXPECT_EQ(h.link->out_count(), 89u);
    EXPECT_EQ(h.owner.flows, std::vector<Flow::Type>{Flow::congested});
    for (unsigned nr : {7u, 14u, 21u, 24u})
        h.rx(rr(nr));
    EXPECT_EQ(h.link->out_count(), 65u);
    EXPECT_EQ(h.owner.flows.size(), 1u);
    h.rx(rr(25));
    EXPECT_EQ(h.link->out_count(), 64u);
    EXPECT_EQ(h.owner.flows, (std::vector<Flow::Type>{Flow::congested, Flow::normal}));
}

TEST(LapdQueueTest, WindowOfSevenOpensByTheAcknowledgedCount)
{
    LinkHarness h;
    h.enter(6);
    for (int i = 0; i < 10; ++i)
        h.send(std::string(1, char('a' + i)));
    EXPECT_EQ(h.sent().size(), 7u);
    EXPECT_EQ(h.link->ack_count(), 7u);
    h.rx(rr(3));
    EXPECT_EQ(h.sent(), (Strings{"00 01 0E 00 68", "00 01 10 00 69", "00 01 12 00 6A"}));
    EXPECT_EQ(h.link->ack_count(), 7u);
    EXPECT_EQ(unsigned(h.st().VS), 10u);
}

TEST(LapdQueueTest, RejectResendsEveryUnacknowledgedFrameInOrder)
{
    LinkHarness h;
    h.enter(6);
    for (char c : std::string("abcd"))
        h.send(std::string(1, c));
    h.rx(rr(1));
    h.sent();
    h.rx("00 01 09 02"); // REJ N(R) = 1 = V(A)
    EXPECT_EQ(h.sent(), (Strings{"00 01 02 00 62", "00 01 04 00 63", "00 01 06 00 64"}));
    EXPECT_EQ(h.link->stats.retrains, 3u);
    EXPECT_EQ(h.link->ack_count(), 3u);
}

TEST(LapdQueueTest, AcknowledgementRidesOnAnIFrameWhenOneGoes)
{
    LinkHarness h;
    h.enter(6);
    h.rx("02 01 00 00 41");
    EXPECT_EQ(h.sent(), Strings{"02 01 01 02"}) << "an RR response owed";
    for (int i = 0; i < 8; ++i)
        h.send("m");
    h.sent();
    h.rx("02 01 02 02 42"); // N(S) 1, N(R) 1: the eighth goes and carries N(R) 2
    EXPECT_EQ(h.sent(), Strings{"00 01 0E 04 6D"});
    EXPECT_FALSE(h.st().AckRQ);
}

TEST(LapdQueueTest, BlockedChannelKeepsIFramesQueuedUntilReady)
{
    LinkHarness h;
    h.enter(6);
    h.wire.blocked = true;
    {
        vbtest::CaptureStream clog(std::clog);
        h.send("a");
        h.send("b");
    }
    EXPECT_EQ(h.link->out_count(), 2u);
    EXPECT_EQ(h.link->ack_count(), 0u);
    EXPECT_EQ(unsigned(h.st().VS), 0u);
    h.wire.unblock();
    EXPECT_EQ(h.sent(), (Strings{"00 01 00 00 61", "00 01 02 00 62"}));
    EXPECT_EQ(h.link->out_count(), 0u);
}

TEST(LapdQueueTest, LinkInformationReportsOnlyChanges)
{
    LinkHarness h;
    h.enter(6);
    h.send("a");
    ACP::IsdnLinkInfo info;
    info.set_side(ACP::IsdnSide::user);
    EXPECT_TRUE(h.link->GetInfo(info));
    EXPECT_EQ(info.get_lapdState().getValue(), int(ACP::LAPDState::multiple_frame_established));
    EXPECT_EQ(info.get_msuTxCount().getValue(), 1);
    EXPECT_EQ(info.get_vs().getValue(), 1);
    EXPECT_EQ(info.get_queueAck().getValue(), 1);
    EXPECT_TRUE(info.get_t200run().getValue());
    EXPECT_TRUE(info.get_l3Initiated().getValue());
    EXPECT_FALSE(h.link->GetInfo(info));
    EXPECT_EQ(info.get_vs().getValue(), 1) << "the record stays filled";
    h.rx(rr(1));
    EXPECT_TRUE(h.link->GetInfo(info));
    EXPECT_EQ(info.get_va().getValue(), 1);
}

// Two links, user and network side, on a channel that loses 5% of the
// frames each way: every message arrives once and in order, the window
// holds, the acknowledgement queue matches V(S) - V(A), and every packet
// buffer comes back.
TEST(LapdQueueTest, LossyChannelDeliversEveryMessageOnceInOrder)
{
    const unsigned kMessages = 2000;
    unsigned poolBefore = Packet_pool::available();
    {
        Mux::VirtualClock clock;
        Mux::ScopedClock scoped(clock);
        vbtest::HdlcPair pair(20240607);
        pair.loss = 0.05;
        struct End {
            vbtest::LinkOwner owner;
            ISDN::LAPD* link;
            unsigned queued = 0;
            unsigned received = 0;
            bool inOrder = true;
        };
        End user, network;
        user.link = new ISDN::LAPD(ISDN::Side::user, 0);
        network.link = new ISDN::LAPD(ISDN::Side::network, 0);
        bool invariants = true;
        for (auto [end, wire] : {std::pair{&user, &pair.a}, std::pair{&network, &pair.b}}) {
            end->link->hdlc = wire;
            wire->notify = end->link;
            end->owner.add_protocol_tail(end->link);
        }
        auto check = [&] {
            for (End* e : {&user, &network}) {
                const ISDN::LAPDFullState& s = e->link->full_state();
                unsigned outstanding = unsigned(s.VS - s.VA);
                invariants = invariants && outstanding <= 7 && e->link->ack_count() == outstanding;
            }
        };
        pair.after_delivery = check;
        vbtest::FnDpc feed([&] {
            for (End* e : {&user, &network}) {
                // Received messages are checked against the sender's count.
                for (const std::string& m : e->owner.messages)
                    e->inOrder = e->inOrder && m == "m" + std::to_string(e->received++);
                e->owner.messages.clear();
                while (e->queued < kMessages && e->link->out_count() < 40) {
                    Packet p;
                    e->link->prepare_head(p);
                    for (char c : "m" + std::to_string(e->queued++))
                        p.put(static_cast<uint8_t>(c));
                    e->link->message(p);
                }
            }
            check();
        });
        feed.dpc.Activate();
        user.link->activate();
        bool done = vbtest::run_until(
            [&] { return user.received == kMessages && network.received == kMessages; }, 3600 * 1000);
        EXPECT_TRUE(done) << "user got " << user.received << ", network got " << network.received;
        EXPECT_TRUE(user.inOrder);
        EXPECT_TRUE(network.inOrder);
        EXPECT_TRUE(invariants);
        EXPECT_GT(pair.toA.lost + pair.toB.lost, 100u);
        EXPECT_EQ(user.link->stats.rx, kMessages);
        EXPECT_EQ(network.link->stats.rx, kMessages);
    }
    EXPECT_EQ(Packet_pool::available(), poolBefore);
}

} // namespace
