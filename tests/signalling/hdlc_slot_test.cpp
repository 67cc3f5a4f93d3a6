// The HDLC packet slot through the slot table: addressed frames with
// their counters out, batches of received packages back.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tests/signalling/signalling_slot_support.h"

using namespace vbtest;
using testing::ElementsAre;

namespace {

struct HdlcSlotTest : ::testing::Test, SignallingWorld {
    HdlcSlotTest()
    {
        command(hdlc_params(1, 0x1234), 1);
        command(trunk_slot(0, 16), 2);
        command(connect(1), 2);
        wait();
    }
    HdlcSlot& slot() { return at<HdlcSlot>(1); }
    // The control octets of the frames sent since the last call.
    std::vector<int> controls()
    {
        std::vector<int> out;
        for (std::string f = line(16).take(); !f.empty(); f = line(16).take())
            out.push_back(uint8_t(f.at(2)));
        return out;
    }
    int channel() { return sim.hal().output(16).source; }
};

TEST_F(HdlcSlotTest, FramesCarryBothCounters)
{
    command(packages({"AA"}), 1);
    EXPECT_THAT(from(16), ElementsAre("12 34 00 AA"));
    command(packages({"01", "02", "03", "04", "05", "06", "07", "08"}), 1);
    EXPECT_THAT(controls(), ElementsAre(0x20, 0x40, 0x60, 0x80, 0xA0, 0xC0, 0xE0, 0x00));
    to(16, "12 34 A0 00");
    wait();
    command(packages({""}), 1);
    EXPECT_THAT(from(16), ElementsAre("12 34 25"));

}

// A command that cannot be carried out whole is refused whole: the queue
// and the counters stay as they were, so it may be sent again as it is.
TEST_F(HdlcSlotTest, RefusedPackagesLeaveTheQueueAndTheCounters)
{
    command(packages({"01", "02"}), 1);
    from(16);
    {
        // Buffers for two of three packages (the refusal finds none either).
        PoolDrain drain;
        drain.give_back(2);
        err.clear();
        command(packages({"03", "04", "05"}), 1);
        EXPECT_THAT(err.str(), testing::HasSubstr("no packet buffer, refused\n"));
        EXPECT_EQ(slot().queued(), 0u);
    }
    EXPECT_TRUE(from(16).empty());

    // The channel takes nothing: 120 wait, and one more finds no room.
    sim.mcc().set_room(channel(), 0);
    EXPECT_THAT(command(packages(std::vector<std::string>(119, "00")), 1), ElementsAre("slot=1 success"));
    EXPECT_THAT(command(packages({"00", "00"}), 1), ElementsAre("slot=1 error insufficientResources"));
    EXPECT_THAT(command(packages({"00"}), 1), ElementsAre("slot=1 success"));
    EXPECT_THAT(command(packages({"00"}), 1), ElementsAre("slot=1 error insufficientResources"));
    EXPECT_EQ(slot().queued(), 120u);
    sim.mcc().set_room(channel(), SimBoard::MccController::kUnlimited);
    wait();
    EXPECT_EQ(controls().size(), 120u);
    command(packages({"06"}), 1);
    EXPECT_THAT(controls(), ElementsAre((2 + 120) * 32 & 0xE0)) << "no counter spent on what was refused";
}

// The fifth octet's bit 7 announces more; a frame too short to have one
// ends the batch; frames without a control octet are no package.
TEST_F(HdlcSlotTest, ReceivedPackagesComeInBatches)
{
    struct Step {
        const char* frame; // "" lets 40 ms pass
        std::vector<std::string> sent;
    } steps[] = {
        {"12 34 A0 00 80", {}},
        {"", {}},
        {"43 21 00 00 80 01", {}}, // another address: no restart, not collected
        {"", {}},
        {"", {"slot=1 ioctl hdlcPackages : { { body '00 80'H }}"}},
        {"12 34 20 00 00", {"slot=1 ioctl hdlcPackages : { { body '00 00'H }}"}},
        {"12 34 40 00 80", {}},
        {"12 34 60 00 00", {"slot=1 ioctl hdlcPackages : { { body '00 80'H }, { body '00 00'H }}"}},
        {"43 21 00 00 00", {}}, // ends an empty batch
        {"12 34 80 05", {"slot=1 ioctl hdlcPackages : { { body '05'H }}"}},
        {"12 34 A0 00 80", {}},
        {"12 34", {"slot=1 ioctl hdlcPackages : { { body '00 80'H }}"}},
        {"", {}},
    };
    int n = 0;
    for (const Step& s : steps) {
        SCOPED_TRACE(n++);
        if (*s.frame)
            to(16, s.frame);
        EXPECT_EQ(only(wait(*s.frame ? 1 : 40), "slot=1 ioctl hdlcPackages"), s.sent);
    }
    command(packages({""}), 1);
    EXPECT_THAT(controls(), ElementsAre(0x05)) << "the last counter heard";
}

TEST_F(HdlcSlotTest, PackagesQueuedWhileDisconnectedLeaveOnReturn)
{
    command(simple(C::e_disconnect), 1);
    EXPECT_THAT(command(packages({"01", "02"}), 1), ElementsAre("slot=1 success"));
    EXPECT_EQ(slot().queued(), 2u);
    command(connect(1), 2);
    wait();
    EXPECT_THAT(from(16), ElementsAre("12 34 00 01", "12 34 20 02"));
    EXPECT_THAT(names(command(simple(C::e_deactivate), 1)),
                ElementsAre("slot=1 ioctl hdlcLinkInfo", "slot=1 success"));
    EXPECT_THAT(command(simple(C::e_ioctl), 1), ElementsAre("slot=1 error unsupported"));
}

} // namespace
