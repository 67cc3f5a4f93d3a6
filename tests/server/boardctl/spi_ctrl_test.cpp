// BRI line chips on the simulated "/dev/hal", in virtual time.
#include "server/boardctl/spi_ctrl.h"
#include "tests/server/boardctl/board_control_support.h"

using testing::HasSubstr;
using SpiWrites = std::vector<SimBoard::Hal::SpiWrite>;
typedef std::vector<std::string> Texts;

namespace {

class SpiCtrlTest : public vbtest::BoardControlTest {
protected:
    SimBoard::Hal& hal = sim.hal();
    spiCtrl spi;

    void SetUp() override { start({&spi}); }
    // One poll's reports without the four loss counters (always 0).
    Texts poll()
    {
        run_ms(spiCtrl::kPollMs);
        Texts out;
        for (const std::string& s : signals.take())
            out.push_back(s.substr(0, s.size() - 8));
        return out;
    }
};

TEST_F(SpiCtrlTest, ChipsProgrammedAtConstructionAndClockMaster)
{
    SpiWrites expected;
    for (int c = 0; c < 8; ++c)
        expected.insert(expected.end(), {{c, 50, 128}, {c, 48, 8}, {c, 87, 48}, {c, 52, 96}, {c, 53, 0}, {c, 54, 0},
                                         {c, 55, 0}, {c, 50, 0}});
    EXPECT_EQ(hal.spi_writes(), expected);
    EXPECT_EQ(log.str().substr(0, 56), "spi: try init\nspi: init channel 0\nspi: enable channel 0\n");
    spi.clock(3);
    spi.clock(8);
    for (int c = 0; c < 8; ++c)
        expected.push_back({c, 87, 48});
    expected.push_back({3, 87, 56});
    EXPECT_EQ(hal.spi_writes(), expected);
    EXPECT_THAT(log.str(), HasSubstr("spi: set clock master on channel 3\nspi: bad channel for set clock master 8\n"));
}

TEST_F(SpiCtrlTest, StatusRegisterDecodingAndSlipsPerLine)
{
    connect();
    run_ms(999);
    EXPECT_TRUE(signals.sent.empty()) << "first poll a second after the connection";
    const uint8_t statuses[8] = {0xE5, 0x85, 0x45, 0x04, 0x01, 0x05, 0x00, 0xC5};
    for (int c = 0; c < 8; ++c)
        hal.set_line_status(c, statuses[c]);
    EXPECT_EQ(poll(), (Texts{"bri 0 normal 1", "bri 1 rai 0", "bri 2 ais 0", "bri 3 lossCarrier 0", "bri 4 lossBF 0",
                             "bri 5 ais 0", "bri 6 lossCarrier 0", "bri 7 normal 0"}));
    // Slip bit of each line at each poll, and the slips reported.
    const char* const polls[][2] = {{"00110000", "00110000"}, {"00110000", "00000000"}, {"11111111", "11001111"},
                                    {"11111111", "00000000"}, {"11111011", "00000000"}, {"11111111", "00000100"}};
    for (const auto& p : polls) {
        for (int c = 0; c < 8; ++c)
            hal.set_line_status(c, p[0][c] == '1' ? 0xE5 : 0xC5);
        std::string slips;
        for (const std::string& s : poll())
            slips += s.back();
        EXPECT_EQ(slips, p[1]) << p[0];
    }
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The log's lines of the line control, without their prefix.
std::string spi_lines(const std::string& log)
{
    std::string text, line;
    for (std::istringstream lines(log); std::getline(lines, line);)
        text += line.compare(0, 5, "spi: ") ? "" : line.substr(5) + "\n";
    return text;
}

// A chip whose reads keep failing is one run, also among chips that work.
TEST_F(SpiCtrlTest, EachChipsLastingFailuresAreOneRun)
{
    connect();
    log.clear();
    hal.fail_chip(3, EIO);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(poll().at(4), "bri 4 normal 0");
    hal.fail_chip(3, 0);
    poll();
    EXPECT_EQ(spi_lines(log.str()), "read error: channel=3 addr=51\nchannel 3 read fail: 2 more time(s)\n");
}

// Programming the board refused is made again each second until the chips
// took every write: no line is normal meanwhile, each chip's refusals are
// one run, and the device is back only then.
TEST_F(SpiCtrlTest, RefusedProgrammingIsMadeAgainUntilTheChipsTookIt)
{
    connect();
    board.fail(Device::Hal::kDevice, Device::Hal::SPI_WRITE, EIO, SimBoard::Board::Times::always);
    hal.fail_chip(5, EIO);
    board.channels(Device::Hal::kDevice).at(0)->hang_up();
    log.clear();
    board.clear_log();
    for (int i = 0; i < 3; ++i)
        for (const std::string& line : poll())
            EXPECT_EQ(line.find("normal"), std::string::npos) << line;
    EXPECT_GE(board.ioctls(Device::Hal::kDevice, Device::Hal::SPI_WRITE).size(), 16u) << "each chip, each second";
    EXPECT_FALSE(spi.programmed(0));
    board.clear_failures();
    Texts lines = poll();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0], "bri 0 normal 0");
    EXPECT_EQ(lines[5], "bri 5 lossCarrier 0") << "chip 5 still refuses";
    EXPECT_EQ(log.str().find("device back"), std::string::npos);
    hal.fail_chip(5, 0);
    EXPECT_EQ(poll().at(5), "bri 5 normal 0");
    std::string text = spi_lines(log.str());
    EXPECT_EQ(count(text, "write error: channel="), 8u) << text;
    EXPECT_EQ(count(text, "device back\n"), 1u) << text;
    EXPECT_EQ(count(text, " write fail: "), 8u) << text;
    EXPECT_LT(text.find("channel 5 write fail: "), text.find("device back")) << text;
    EXPECT_TRUE(spi.programmed(5));
}

// ENODEV on a descriptor that SPI answered on is a lost device, opened
// again at the next poll; on a fresh descriptor's first access it is a
// board without SPI, left alone for good.
TEST_F(SpiCtrlTest, NoDeviceOnABoardThatServedOpensAgainOnAFreshOneMeansNoSpi)
{
    connect();
    hal.set_spi(false);
    EXPECT_EQ(poll(), Texts{});
    EXPECT_THAT(log.str(), HasSubstr("spi: device lost: No such device\n"));
    // Opened again and gone under its first access: lost again, quietly.
    EXPECT_EQ(poll(), Texts{});
    EXPECT_EQ(log.str().find("hal without spi"), std::string::npos);
    EXPECT_EQ(log.str().find("device lost"), log.str().rfind("device lost"));
    hal.set_spi(true);
    EXPECT_EQ(poll().size(), 8u) << "the lines report again";

    log.clear();
    hal.set_spi(false);
    spiCtrl fresh;
    EXPECT_EQ(log.str(), "spi: try init\nspi: hal without spi\n");
}


// An outage costs one "try init", whether the opens fail or the device
// opens and is gone under its first access (then only the holder's retry
// opens it); the device's return counts the failed opens of this outage
// only and ends the run of failed opens with its count.
TEST_F(SpiCtrlTest, AnOutageIsOneTryInitAndItsReturnCountsItsOwnFailedOpens)
{
    struct Away {
        const char* how;
        bool opens;
        const char* runEnd; // the end of the run of failed opens, if any
    };
    const Away outages[] = {
        {"opens fail", false, "spi: device back after 4 failed open(s)\nspi: /dev/hal open fail: 3 more time(s)\n"},
        {"gone under its first access", true, "spi: device back after 4 failed open(s)\n"},
    };
    connect();
    for (const Away& a : outages) {
        SCOPED_TRACE(a.how);
        log.clear();
        board.fail(Device::Hal::kDevice, Device::Hal::SPI_READ, ENODEV);
        if (a.opens)
            hal.set_spi(false);
        else
            board.fail(Device::Hal::kDevice, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(poll(), Texts{}) << i;
        EXPECT_EQ(count(log.str(), "spi: try init\n"), 1u) << log.str();
        EXPECT_EQ(count(log.str(), "/dev/hal open fail\n"), a.opens ? 0u : 1u);
        board.clear_failures();
        hal.set_spi(true);
        EXPECT_EQ(poll().size(), 8u) << "the lines report again";
        EXPECT_THAT(log.str(), HasSubstr(a.runEnd));
    }
    log.clear();
    board.fail(Device::Hal::kDevice, Device::Hal::SPI_READ, ENODEV);
    EXPECT_EQ(poll(), Texts{});
    EXPECT_EQ(poll().size(), 8u);
    EXPECT_THAT(log.str(), HasSubstr("spi: device lost: No such device\n"));
    EXPECT_THAT(log.str(), HasSubstr("spi: device back\n")) << "no failed open";
    EXPECT_EQ(log.str().find(" failed open(s)"), std::string::npos) << log.str();
}

} // namespace
