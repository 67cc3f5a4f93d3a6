// "/dev/hal" hung up under the running server: the TDM switch lets its
// descriptor go and opens the device again, so a controller's connections
// work again without a restart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/e2e/board_port.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"

using namespace vbtest;
using testing::Contains;

namespace {

TEST(HalLoss, ConnectionsWorkAgainAfterTheSwitchDeviceHungUp)
{
    ServerProcess server;
    Controller ctl;
    BoardPort board;
    ASSERT_TRUE(server.start() && ctl.connect(server.port()) && board.connect(server.pid())) << server.err();
    auto to = [&](int slot, const LGCP::Command& c) { return ctl.exchange(to_slot(c, slot)); };
    const LGCP::Command activate = simple(LGCP::Command::e_activate);

    EXPECT_THAT(to(1, create_trunk(0, 5)), Contains("slot=1 success"));
    EXPECT_THAT(to(2, create_ext(10, 20)), Contains("slot=2 success"));
    EXPECT_THAT(to(2, activate), Contains("slot=2 success"));
    EXPECT_THAT(to(1, simple(LGCP::Command::e_connect, 2)), Contains("slot=1 success"));

    std::string hung = board.ask("hangup /dev/hal");
    EXPECT_TRUE(hung.compare(0, 3, "ok ") == 0 && hung != "ok 0") << hung;

    // A new receiver: its activation idles its output on the switch, so it
    // may be the request that finds the device gone; the connection after
    // it reaches the device opened again.
    EXPECT_THAT(to(3, create_ext(11, 21)), Contains("slot=3 success"));
    to(3, activate);
    EXPECT_THAT(to(1, simple(LGCP::Command::e_connect, 3)), Contains("slot=1 success")) << server.err();
    EXPECT_THAT(to(2, simple(LGCP::Command::e_disconnect)), Contains("slot=2 success"));
}

} // namespace
