// The controller's answers against slot queues that take up the packet
// pool: the queues of every signalling slot kind share one bound, commands
// that would pass it are refused, and pings, creates, destroys and signals
// are answered however full the queues are.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "runtime/packet_quota.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"
#include "tests/signalling/signalling_commands.h"

using namespace vbtest;
using testing::Contains;
using testing::HasSubstr;
using testing::Not;

namespace {

const std::string kRefused = "error insufficientResources";

class QueueBound : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(server.start()) << server.err();
        ASSERT_TRUE(ctl.connect(server.port()));
    }

    // The answer to c on slot n; the other messages it caused are dropped.
    std::string on(int n, const C& c)
    {
        for (const std::string& t : ctl.exchange(lgcp(c, -1, n)))
            if (t.find(" success") != std::string::npos || t.find(" error ") != std::string::npos)
                return t;
        return "no answer";
    }
    static std::string slot(int n, const std::string& answer) { return "slot=" + std::to_string(n) + " " + answer; }

    static C packages_of(unsigned n)
    {
        return packages(std::vector<std::string>(n, "01 02 03"));
    }

    // Everything the controller needs to keep its link is answered: pings
    // (sync sends one and waits for its answer), a create, a destroy and
    // the query's signal.
    void expect_the_controller_served(const std::string& when)
    {
        for (int i = 0; i < 20; ++i)
            EXPECT_THAT(ctl.sync(), Not(Contains(HasSubstr("no answer")))) << when;
        EXPECT_EQ(on(900, create_trunk(0, 1)), slot(900, "success")) << when;
        EXPECT_EQ(on(900, simple(C::e_destroy)), slot(900, "success")) << when;
        EXPECT_THAT(ctl.exchange(lgcp(simple(C::e_query), -1, -1)), Contains(HasSubstr("query { boardMajor"))) << when;
    }

    ServerProcess server;
    Controller ctl;
};

// HDLC packet slots whose channel is not up keep what they are given: they
// take the whole bound, exactly, and then every kind of queue is refused.
TEST_F(QueueBound, FullQueuesRefuseEveryKindAndTheControllerIsStillAnswered)
{
    const unsigned limit = PacketQuota::queue_limit;
    const unsigned perSlot = 120;
    const int first = 10;
    int n = first;
    unsigned queued = 0;
    for (; queued + perSlot <= limit; ++n, queued += perSlot) {
        ASSERT_EQ(on(n, hdlc_params(1, 100 + n)), slot(n, "success"));
        ASSERT_EQ(on(n, packages_of(perSlot)), slot(n, "success")) << queued;
    }
    ASSERT_EQ(on(n, hdlc_params(1, 100 + n)), slot(n, "success"));
    EXPECT_EQ(on(n, packages_of(limit - queued + 1)), slot(n, kRefused)) << "all or nothing";
    EXPECT_EQ(on(n, packages_of(limit - queued)), slot(n, "success"));
    EXPECT_EQ(on(n, packages_of(1)), slot(n, kRefused)) << "the slot's own queue has room, the bound has none";

    // Every kind that queues for the controller, made now: each is made,
    // and each refuses what it would queue.
    ASSERT_EQ(on(1, pstn_isdn(false, 0, false)), slot(1, "success"));
    ASSERT_EQ(on(1, simple(C::e_activate)), slot(1, "success"));
    ASSERT_EQ(on(2, isdn(false)), slot(2, "success"));
    ASSERT_EQ(on(2, simple(C::e_activate)), slot(2, "success"));
    ASSERT_EQ(on(3, ss7(2)), slot(3, "success"));
    ASSERT_EQ(on(4, pstn_isdn(true, 1, true)), slot(4, "success"));
    ASSERT_EQ(on(5, ats_qsig()), slot(5, "success"));
    for (int k : {1, 2, 3, 4, 5})
        EXPECT_EQ(on(k, user_data("08 01 05 05")), slot(k, kRefused)) << k;
    expect_the_controller_served("with the bound taken");

    // A destroyed slot gives its share back.
    EXPECT_EQ(on(first, simple(C::e_destroy)), slot(first, "success"));
    EXPECT_EQ(on(n, packages_of(perSlot - (limit - queued))), slot(n, "success"));
    EXPECT_EQ(on(1, user_data("08 01 05 05")), slot(1, "success"));
}

// Links still being established keep every message in their out queues;
// the first hundred and twenty-eight each fit, and no answer is lost when
// eight of them ask for more than the pool holds.
TEST_F(QueueBound, LinksBeingEstablishedNeverCostAnAnswer)
{
    const int links = 8, messages = 140;
    for (int k = 1; k <= links; ++k) {
        ASSERT_EQ(on(k, pstn_isdn(false, (k - 1) % 4, false)), slot(k, "success"));
        ASSERT_EQ(on(k, simple(C::e_activate)), slot(k, "success"));
    }
    unsigned accepted = 0, refused = 0;
    for (int k = 1; k <= links; ++k) {
        for (int i = 0; i < messages; ++i) {
            std::string a = on(k, user_data("08 01 05 05"));
            if (a == slot(k, "success"))
                ++accepted;
            else if (a == slot(k, kRefused))
                ++refused;
            else
                FAIL() << "link " << k << " message " << i << ": " << a;
        }
    }
    EXPECT_EQ(accepted + refused, unsigned(links * messages));
    EXPECT_GE(refused, unsigned(links * (messages - 128))) << "a link's own queue takes 128";
    expect_the_controller_served("with the links' queues full");
    for (int k = 1; k <= links; ++k)
        EXPECT_EQ(on(k, simple(C::e_destroy)), slot(k, "success"));
    expect_the_controller_served("after the links went");
}

} // namespace
