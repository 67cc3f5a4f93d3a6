// The users of "/dev/hal" besides the TDM switch, through the running
// server: the BRI line control and the monitoring service come back by
// themselves after the device hung up, and the bus clock and the LEDs
// answer what the board did.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "board/hal_requests.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/server_process.h"
#include "tests/support/lgcp_frames.h"

using namespace vbtest;

namespace {

LGCP::Command framer_line(unsigned e1, bool up)
{
    LGCP::Command c;
    c.get_display().get_framer().set_e1(e1);
    c.get_display().get_framer().get_info().set_line(up);
    return c;
}

class HalUsers : public ::testing::Test {
protected:
    ServerProcess server;
    Controller ctl;
    BoardPort board;

    void SetUp() override
    {
        ASSERT_TRUE(server.start() && ctl.connect(server.port()) && board.connect(server.pid())) << server.err();
    }
    bool logged(const std::string& line)
    {
        return eventually([&] { return server.err().find(line) != std::string::npos; });
    }
    std::string ask(const std::string& what, unsigned long request, const std::string& tail = "")
    {
        return board.ask(what + " /dev/hal " + std::to_string(request) + tail);
    }
};

TEST_F(HalUsers, BriLinesReportAgainAfterTheDeviceHungUp)
{
    ctl.keep_trunk_status(true);
    EXPECT_EQ(board.ask("hangup /dev/hal").compare(0, 3, "ok "), 0);
    ASSERT_TRUE(logged("spi: device lost: No such device\n")) << server.err();
    ctl.sync();
    EXPECT_TRUE(eventually([&] { return ctl.next(100).find("type bri") != std::string::npos; }))
        << "from the device opened again, with no command";
}

// The poll of a controller that comes while the device is away brings the
// lines back, with no command.
TEST_F(HalUsers, AControllerThatComesWhileTheLinesAreLostHearsThemOnceTheDeviceIsBack)
{
    EXPECT_EQ(board.ask("fail /dev/hal open 19 always"), "ok");
    EXPECT_NE(board.ask("hangup /dev/hal"), "ok 0");
    ASSERT_TRUE(logged("spi: device lost: No such device\n")) << server.err();
    ctl.close();
    Controller next;
    next.keep_trunk_status(true);
    ASSERT_TRUE(next.connect(server.port()));
    auto bri = [&] { return next.next(100).find("type bri") != std::string::npos; };
    EXPECT_FALSE(eventually(bri, 1500)) << "nothing while the device is away";
    EXPECT_EQ(board.ask("fail /dev/hal open 0"), "ok");
    EXPECT_TRUE(eventually(bri)) << server.err();
}

// Line chips whose programming the board refused a while are programmed
// again with no command: no line is normal until they took every write.
TEST_F(HalUsers, BriLinesAreProgrammedOnceTheChipsTakeTheWrites)
{
    const std::string write = " " + std::to_string(Device::Hal::SPI_WRITE);
    ctl.keep_trunk_status(true);
    EXPECT_EQ(board.ask("fail /dev/hal" + write + " 5 always"), "ok");
    EXPECT_EQ(board.ask("hangup /dev/hal").compare(0, 3, "ok "), 0);
    ASSERT_TRUE(logged("spi: device lost: No such device\n")) << server.err();
    EXPECT_EQ(board.ask("record on"), "ok");
    auto normal = [&] {
        std::string m = ctl.next(100);
        return m.find("type bri") != std::string::npos && m.find("state normal") != std::string::npos;
    };
    EXPECT_FALSE(eventually(normal, 1200)) << "no line is normal while its chip is not programmed";
    EXPECT_EQ(board.ask("fail /dev/hal" + write + " 0"), "ok");
    EXPECT_TRUE(eventually(normal, 3000)) << server.err();
    EXPECT_TRUE(logged("spi: device back\n")) << server.err();
    std::string log = board.ask("log /dev/hal" + write);
    EXPECT_NE(log.find("!5"), std::string::npos) << log;
    // {channel 7, register 50, 0} in the board's word: line 7 enabled.
    EXPECT_NE(log.find(" 3207=0"), std::string::npos) << log;
}

TEST_F(HalUsers, MonitoringReadsThePowerAgainAndWritesTheLedsAgainAfterTheDeviceHungUp)
{
    EXPECT_EQ(ctl.exchange(lgcp(framer_line(1, true), 1)), Texts{"seq=1 success"});
    EXPECT_EQ(board.ask("record on"), "ok");
    EXPECT_EQ(board.ask("hangup /dev/hal").compare(0, 3, "ok "), 0);
    ASSERT_TRUE(logged("MonitoringCtl: power read fail: No such device\n")) << server.err();
    // A new controller hears the power state as the device read it again.
    ctl.close();
    Controller next;
    next.keep_power(true);
    ASSERT_TRUE(next.connect(server.port()));
    EXPECT_EQ(next.next(), "power main");
    EXPECT_EQ(ask("log", Device::Hal::HAL_LEDS_WRITE), "ok 1 c=0") << "line 1's LEDs, as the controller set them";
}

TEST_F(HalUsers, DisplayAnswersAnErrorWhenTheLedsAreRefused)
{
    EXPECT_EQ(ask("fail", Device::Hal::HAL_LEDS_WRITE, " 5"), "ok");
    EXPECT_EQ(ctl.exchange(lgcp(framer_line(2, true), 1)), Texts{"seq=1 error internal"});
    EXPECT_EQ(board.ask("record on"), "ok");
    EXPECT_EQ(ctl.exchange(lgcp(framer_line(0, true), 2)), Texts{"seq=2 success"});
    EXPECT_EQ(ask("log", Device::Hal::HAL_LEDS_WRITE), "ok 1 3=0") << "the refused line stays dark";
}

TEST_F(HalUsers, ClockCfgAnswersAnErrorWhenTheDriverRefusesTheSource)
{
    LGCP::Command cfg;
    cfg.get_clockCfg().set_clkSel0(LGCP::ClkSel0::external);
    cfg.get_clockCfg().set_bextEn(LGCP::BExtEn::enabled);
    cfg.get_clockCfg().set_source(2);
    EXPECT_EQ(ask("fail", Device::Hal::HW_CLOCK_SELECT, " 5"), "ok");
    EXPECT_EQ(ctl.exchange(lgcp(cfg, 1)), Texts{"seq=1 error internal"});
    EXPECT_EQ(ctl.exchange(lgcp(cfg, 2)), Texts{"seq=2 success"});
}

} // namespace
