// What a slot holds reaches the board again after the board forgot it, or
// the command that needs it answers an error: through the running server,
// with the simulated board's test port playing the failing device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "board/hal_requests.h"
#include "board/mcc_requests.h"
#include "tests/e2e/answered_flow.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"
#include "tests/signalling/signalling_commands.h"

using namespace vbtest;

namespace {

class SlotSettings : public ::testing::Test, protected AnsweredFlow {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(start() && board.connect(server.pid())) << server.err();
        ASSERT_EQ(board.ask("record on"), "ok");
    }

    // The allocation records the controller's device was given, oldest first.
    Texts allocations()
    {
        std::istringstream in(board.ask("log " + std::string(Device::Mcc::kDevice) + " " +
                                        std::to_string(Device::Mcc::MCC_ALLOCATE)));
        Texts words;
        for (std::string w; in >> w;)
            words.push_back(w);
        return words.size() > 2 ? Texts(words.begin() + 2, words.end()) : Texts();
    }

    BoardPort board;
};

// An HDLC packet slot whose channel fails says so; packages sent meanwhile
// wait, and an activation opens a fresh channel allocated as the first one
// was and joined to the same line, on which they leave.
TEST_F(SlotSettings, AFailedHdlcChannelComesBackWhole)
{
    ASSERT_EQ(on(1, hdlc_params(1, 0x1234)), "slot=1 success");
    ASSERT_EQ(on(2, mcc_slot(LGCP::MccType::data)), "slot=2 success");
    ASSERT_EQ(on(2, connect(1)), "slot=2 success");
    ASSERT_EQ(on(1, packages({"01"})), "slot=1 success");
    EXPECT_EQ(await("slot=2 userData"), "slot=2 userData '12 34 00 01'H");
    Texts before = allocations();
    ASSERT_EQ(before.size(), 2u);

    ASSERT_EQ(board.ask("fail " + std::string(Device::Mcc::kDevice) + " read 5"), "ok");
    on(2, user_data("12 34 00 05"));
    EXPECT_EQ(await("slot=1 deactivated"), "slot=1 deactivated networkError");
    EXPECT_EQ(on(1, packages({"02"})), "slot=1 success");

    EXPECT_EQ(on(1, simple(C::e_activate)), "slot=1 success");
    EXPECT_EQ(await("slot=2 userData"), "slot=2 userData '12 34 20 02'H");
    Texts after = allocations();
    ASSERT_EQ(after.size(), 3u);
    EXPECT_EQ(after[2], before[1]) << "the same mode and sizes";
}

// An external slot's activation answers what the switch did: refused when
// the idle byte was not taken, and carried out when asked again.
TEST_F(SlotSettings, ExternalActivationAnswersTheSwitch)
{
    ASSERT_EQ(on(1, create_ext(10, 20)), "slot=1 success");
    ASSERT_EQ(board.ask("fail /dev/hal " + std::to_string(Device::Hal::SWITCH_WRITE) + " 5"), "ok");
    EXPECT_EQ(on(1, simple(C::e_activate)), "slot=1 error internal");
    EXPECT_EQ(on(1, simple(C::e_activate)), "slot=1 success");
    EXPECT_EQ(await("slot=1 receiver"), "slot=1 receiver active : 8212");
}

} // namespace
