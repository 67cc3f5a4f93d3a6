// The bus clock and the backplane tests on the simulated "/dev/hal".
#include <cerrno>
#include <cstdio>
#include <tuple>

#include "server/boardctl/bus_ctl.h"
#include "server/switch/hw_mux.h"
#include "server/boardctl/hw_tests.h"
#include "server/boardctl/spi_ctrl.h"
#include "tests/server/boardctl/board_control_support.h"

using testing::HasSubstr;
using Codes = std::vector<uint32_t>;
using Sel = LGCP::ClkSel0;
using Ext = LGCP::BExtEn;

namespace {

// The low bytes of the C library's numbers after srandom(seed).
std::vector<int> sequence(uint32_t seed, size_t n)
{
    std::vector<int> out;
    for (srandom(seed); out.size() < n;)
        out.push_back(int(random() & 0xFF));
    return out;
}

// A byte as the log shows it.
std::string hex(int byte)
{
    char text[4];
    return std::snprintf(text, sizeof(text), "%02X ", byte), text;
}

class BusTest : public vbtest::BoardControlTest {
protected:
    SimBoard::Hal& hal = sim.hal();
    spiCtrl::Scoped lines;
    HwMux::Scoped mux;
    BusCtl bus;
    HwTests tests;

    void SetUp() override { start({&tests, &bus}), connect(); }
    std::string clock_cfg(Sel::NamedNumber sel, Ext::NamedNumber ext, int source)
    {
        LGCP::Command c;
        c.get_clockCfg().set_clkSel0(sel), c.get_clockCfg().set_bextEn(ext), c.get_clockCfg().set_source(source);
        return command(c);
    }
    // mode: r read, w write, d disconnect.
    std::string bpc(unsigned bus, uint32_t seed, char mode, unsigned start, unsigned length)
    {
        LGCP::Command c;
        LGCP::BpcTestParams& p = c.get_testBpc();
        p.set_bus(bus), p.set_seed(int(seed)), p.set_timeslot_start(start), p.set_timeslot_length(length);
        mode == 'r' ? p.get_mode().set_read() : mode == 'w' ? p.get_mode().set_write() : p.get_mode().set_disconnect();
        return command(c);
    }
};

TEST_F(BusTest, ClockCfgSelectsTheSourceUnlessDisabledAndConnectionsFreeRun)
{
    // With the name logged for the code selected ("" none).
    const std::tuple<Sel::NamedNumber, Ext::NamedNumber, int, std::string> cases[] = {
        {Sel::internal, Ext::enabled, 2, "freerun"}, {Sel::external, Ext::disabled, 2, "X3"},
        {Sel::external, Ext::enabled, 2, "f2"},      {Sel::external, Ext::enabled, -1, ""},
        {Sel::external, Ext::enabled, 9, "9"}};
    for (const auto& c : cases) {
        err.clear();
        EXPECT_EQ(clock_cfg(std::get<0>(c), std::get<1>(c), std::get<2>(c)), "success");
        std::string name = std::get<3>(c), tail = err.str().substr(err.str().rfind("}\n") + 2);
        EXPECT_EQ(tail, name.empty() ? "" : "clkctl: clock source = " + name + "\n");
    }
    EXPECT_THAT(err.str(), HasSubstr("clkctl: set clock source cmd: {\n  clkSel0 external,\n"));
    hang_up();
    bus.DisableControl();
    connect();
    EXPECT_EQ(clock_cfg(Sel::internal, Ext::disabled, 0), "error unsupported");
    hang_up();
    EXPECT_EQ(hal.clock_selects(), (Codes{4, 4, 5, 2, 9, 4}));

    BusCtl other;
    board.fail(Device::Hal::kDevice, SimBoard::Op::open, ENOENT);
    other.SetDefaultClock();
    EXPECT_THAT(err.str(), HasSubstr("clkctl: set clock source fail: code 1.\n"));
    EXPECT_THAT(log.str(), HasSubstr("spi: clock master disabled\n")) << "no line may drive the clock then";
}

// A device that cannot be reached answers an error; one removed under the
// service is let go, so the next clockCfg opens it again.
TEST_F(BusTest, ClockCfgWithoutTheDeviceAnswersAnErrorAndTheNextOneOpensItAgain)
{
    for (SimBoard::Channel* ch : board.channels(Device::Hal::kDevice))
        ch->hang_up();
    err.clear();
    EXPECT_EQ(clock_cfg(Sel::external, Ext::enabled, 2), "error internal");
    EXPECT_THAT(err.str(), HasSubstr("clkctl: HW_CLOCK_SELECT fail.\n"));
    EXPECT_EQ(clock_cfg(Sel::external, Ext::enabled, 3), "success");
    board.fail(Device::Hal::kDevice, SimBoard::Op::open, ENOENT);
    for (SimBoard::Channel* ch : board.channels(Device::Hal::kDevice))
        ch->hang_up();
    EXPECT_EQ(clock_cfg(Sel::internal, Ext::disabled, 0), "error internal");
    EXPECT_EQ(clock_cfg(Sel::internal, Ext::disabled, 0), "error internal") << "cannot be opened";
    EXPECT_EQ(clock_cfg(Sel::internal, Ext::disabled, 0), "success");
    EXPECT_EQ(hal.clock_selects(), (Codes{4, 3, 4}));
}

TEST_F(BusTest, TestBytesAreTheCLibrarySequenceFromAGeneratorOfItsOwn)
{
    for (uint32_t seed : {0u, 1u, 7u, 0xFFFFFFFFu}) {
        srandom(4242);
        EXPECT_EQ(bpc(3, seed, 'w', 0, 127), "success");
        long next = random();
        srandom(4242);
        EXPECT_EQ(next, random()) << "the process's generator is left alone";
        std::vector<int> written;
        for (int ch = 8192 + 3 * 128; ch < 8192 + 3 * 128 + 127; ++ch)
            written.push_back(hal.output(ch).value);
        EXPECT_EQ(written, sequence(seed, 127)) << seed;
        EXPECT_EQ(bpc(3, seed, 'r', 0, 127), "success");
    }
}

// The test's bytes pass over a path that a slot holds; its disconnect
// gives that output back to the path and leaves the others disabled.
TEST_F(BusTest, TheDisconnectGivesEachOutputBackToWhatTheSlotsHold)
{
    using Drive = SimBoard::Hal::Drive;
    const int held = 8192 + 3 * 128 + 5;
    ASSERT_EQ(mux.mux().Join(33, held), HwMux::Joined::made);
    EXPECT_EQ(bpc(3, 1, 'w', 0, 8), "success");
    EXPECT_EQ(hal.output(held).drive, Drive::constant);
    EXPECT_EQ(bpc(3, 1, 'd', 0, 8), "success");
    EXPECT_TRUE(hal.output(held).drive == Drive::connected && hal.output(held).source == 33);
    EXPECT_EQ(hal.output(held + 1).drive, Drive::disabled);
}

// Bus 1 from channel 120 runs on into bus 2, whose stuck bit shows in the
// first byte that has it clear.
TEST_F(BusTest, StuckBitGivesBusErrorNamingTheChannelWithinItsBus)
{
    EXPECT_EQ(bpc(1, 7, 'w', 120, 16), "success");
    hal.stick_bit(2, 0, true);
    std::vector<int> bytes = sequence(7, 16);
    size_t bad = 8;
    while (bytes[bad] & 1)
        ++bad;
    board.clear_log();
    err.clear();
    EXPECT_EQ(bpc(1, 7, 'r', 120, 16), "error busError");
    EXPECT_EQ(board.ioctls(Device::Hal::kDevice, Device::Hal::SWITCH_READ).back().in.at(0), 8440 + bad);
    EXPECT_EQ(bpc(1, 7, 'w', 120, 16), "error busError");
    std::string channel = std::to_string(bad - 8), sent = hex(bytes[bad]), heard = hex(bytes[bad] | 1);
    EXPECT_EQ(err.str(), "bus 1: test failed on channel " + channel + " expected " + sent + " read " + heard +
                             "\nbus 1: write failed on channel " + channel + " write " + sent + " written " + heard +
                             "\n");
}

// Outputs told to send a byte show whether a run reached them.
TEST_F(BusTest, EmptyRunsAndRunsPastTheLastBusTouchNothing)
{
    EXPECT_EQ(bpc(15, 1, 'w', 112, 16), "success");
    board.clear_log();
    for (char mode : {'r', 'w', 'd'})
        EXPECT_EQ(bpc(15, 1, mode, 112, 0), "success");
    EXPECT_EQ(bpc(15, 1, 'd', 120, 16), "error invalidParams");
    EXPECT_THAT(err.str(), HasSubstr("bus 15: test leaves the shared bus\n"));
    EXPECT_EQ(board.ioctls(Device::Hal::kDevice, Device::Hal::SWITCH_READ).size(), 0u);
    EXPECT_EQ(hal.output(10224).drive, SimBoard::Hal::Drive::constant);
    EXPECT_EQ(hal.output(10239).drive, SimBoard::Hal::Drive::constant);
}

} // namespace
