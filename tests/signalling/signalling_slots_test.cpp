// What every signalling slot kind leaves behind, and its answer when no
// packet buffer is free.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/signalling/signalling_slot_support.h"

using namespace vbtest;
using testing::ElementsAre;

namespace {

struct SignallingSlotsTest : ::testing::Test, SignallingWorld {
    int settled_fds() { return wait(), sim.board.sweep(), open_fd_count(); }
};

const std::vector<std::pair<std::string, C>>& kinds()
{
    static const std::vector<std::pair<std::string, C>> all = {
        {"ss7", ss7(1)},
        {"pri", pstn_isdn(false, 1, false)},
        {"bri user", pstn_isdn(true, 1, false)},
        {"bri network", pstn_isdn(true, 1, true)},
        {"cas", cas(1)},
        {"isdn", isdn(true)},
        {"ats-qsig", ats_qsig()},
        {"hdlc", hdlc_params(1, 7)},
    };
    return all;
}

TEST_F(SignallingSlotsTest, DestroyAndControllerLossLeaveNothingBehind)
{
    for (bool lost : {false, true}) {
        for (auto& kind : kinds()) {
            SCOPED_TRACE(kind.first + (lost ? " lost" : " destroyed"));
            int fds = settled_fds();
            unsigned buffers = Packet_pool::available();
            command(kind.second, 1);
            command(trunk_slot(0, 16), 2);
            command(connect(1), 2);
            command(connect(2), 1);
            command(simple(C::e_activate), 1);
            if (kind.first == "ats-qsig")
                command(ats_qsig_b(1, 2), 3);
            command(user_data("08 01 05"), 1);
            command(packages({"78"}), 1);
            to(16, "00 01 7F");
            wait(10);
            if (lost) {
                server.OnDisconnect();
            } else {
                for (int n : {3, 1, 2})
                    command(simple(C::e_destroy), n);
            }
            EXPECT_TRUE(slots().live().empty());
            wait(10);
            from(16);
            EXPECT_EQ(settled_fds(), fds);
            EXPECT_EQ(sim.mcc().allocated(), 0u);
            EXPECT_EQ(dsp_data().opens(), 0u);
            EXPECT_NE(out(16).drive, SimBoard::Hal::Drive::connected);
            EXPECT_EQ(Packet_pool::available(), buffers);
            EXPECT_TRUE(wait(3000).empty()) << "no timer left";
        }
    }
}

// No free packet buffer refuses the command instead of ending the loop
// (the answer itself finds no buffer either and is dropped).
TEST_F(SignallingSlotsTest, EmptyPoolRefusesTheCommand)
{
    std::pair<C, C> cases[] = {
        {pstn_isdn(false, 1, false), user_data("08 01 05")},
        {isdn(false), user_data("08 01 05")},
        {hdlc_params(1, 7), packages({"78"})},
    };
    for (auto& c : cases) {
        command(c.first, 1);
        err.clear();
        {
            PoolDrain drain;
            command(c.second, 1);
        }
        std::string lines = err.str();
        EXPECT_THAT(lines, testing::HasSubstr("no packet buffer, refused\n"));
        EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 2) << "and the dropped answer";
        EXPECT_THAT(command(c.second, 1), ElementsAre("slot=1 success"));
        command(simple(C::e_destroy), 1);
    }
}

} // namespace
