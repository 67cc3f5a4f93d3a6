// HDLC channels of the multichannel controller on the simulated board.
#include <gtest/gtest.h>

#include <poll.h>

#include <cerrno>
#include <memory>

#include "runtime/trace_ctl.h"
#include "tests/signalling/hdlc_support.h"
#include "tests/support/test_support.h"

using namespace Device::Mcc;
using SimBoard::Hal;
using vbtest::LineChannel;
using vbtest::one_pass;

namespace {

struct HdlcTest : public ::testing::Test {
    vbtest::SwitchedBoard board;
    SimBoard::MccController& mcc = board.sim.mcc();
    Hal& hal = board.sim.hal();

    int fds()
    {
        board.sim.board.sweep();
        return vbtest::open_fd_count();
    }
    bool carries(int output, int source) const
    {
        const Hal::Output& o = hal.output(output);
        return o.drive == Hal::Drive::connected && o.source == source;
    }
};

TEST_F(HdlcTest, ActivationAllocatesByTypeAndConnectsTheSwitch)
{
    struct Case {
        int type;
        uint32_t mode;
    };
    for (Case c : {Case{0, kSs7}, Case{1, kData}, Case{2, kBri}}) {
        SCOPED_TRACE(c.type);
        HDLC hdlc;
        hdlc.parameters.type = c.type;
        hdlc.parameters.tdm = 10;
        hdlc.parameters.transmit = 11;
        ASSERT_TRUE(hdlc.activate());
        EXPECT_TRUE(hdlc.is_open());
        EXPECT_FALSE(hdlc.is_ready());
        auto allocations = board.sim.board.ioctls(kDevice, MCC_ALLOCATE);
        EXPECT_EQ(allocations.back().out, (std::vector<uint32_t>{c.mode, 512, 0, 1, 4}));
        int t = board.last_timeslot();
        EXPECT_TRUE(carries(c.type == 2 ? 11 : 10, t)) << "the line side carries the channel";
        EXPECT_TRUE(carries(t, 10)) << "the channel hears the line";
        if (c.type == 2) {
            EXPECT_FALSE(carries(10, t)) << "a BRI D channel sends into its own channel";
        }
    }
    EXPECT_EQ(mcc.allocated(), 0u);
}

TEST_F(HdlcTest, EveryFailingActivationStepLeavesNothingBehind)
{
    struct Case {
        const char* what;
        std::function<void()> inject;
        int type;
        int tdm;
        const char* line;
    };
    SimBoard::Board& sim = board.sim.board;
    const Case cases[] = {
        {"open", [&] { sim.fail(kDevice, SimBoard::Op::open, ENOENT); }, 1, 5,
         "hdlc [0/0]: fail to open MCC device: No such file or directory\n"},
        {"allocate", [&] { sim.fail(kDevice, MCC_ALLOCATE, ENOSPC); }, 1, 5,
         "hdlc [0/0]: MCC_ALLOCATE fail: No space left on device\n"},
        {"timeslot", [&] { sim.fail(kDevice, MCC_TIMESLOT, EIO); }, 1, 5,
         "hdlc [0/0]: MCC_TIMESLOT fail: Input/output error\n"},
        {"first connection", [&] { sim.fail(Device::Hal::kDevice, Device::Hal::SWITCH_CONNECT, EIO); }, 1, 5,
         "hdlc [0/0]: switch connect fail: 1024 -> 5\n"},
        {"line channel missing", [] {}, 2, -1, "hdlc [0/0]: switch connect fail: -1 -> 1280\n"},
        {"unknown type", [] {}, 3, 5, "hdlc [0/0]: unknown channel type 3\n"},
    };
    int before = fds();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HDLC hdlc;
        hdlc.parameters.type = c.type;
        hdlc.parameters.tdm = c.tdm;
        hdlc.parameters.transmit = 20;
        c.inject();
        vbtest::CaptureStream err(std::cerr);
        EXPECT_FALSE(hdlc.activate());
        EXPECT_EQ(err.str(), c.line);
        EXPECT_FALSE(hdlc.is_open());
        EXPECT_EQ(fds(), before);
        EXPECT_EQ(mcc.allocated(), 0u);
        EXPECT_EQ(hal.output(20).drive == Hal::Drive::connected, false) << "a connection made is undone";
        sim.clear_failures();
    }
}

// An activation of a channel that still drains (or runs) lets the old
// one go in order: its frame leaves on the line first, then one fresh
// channel opens, its counters from 0. Meanwhile the old channel, on the
// same line, is read and takes what the receiver writes, in order.
TEST_F(HdlcTest, SecondActivationStartsAfreshOnOneChannel)
{
    auto& line = board.line(3);
    LineChannel ch(board, 3);
    ASSERT_TRUE(ch.send("\x01\x02"));
    Packet none;
    ch.hdlc.deactivate();
    EXPECT_FALSE(ch.hdlc.hdlc_transmit(none = vbtest::make_packet("x")));
    EXPECT_EQ(ch.hdlc.statistics.txSU, 1u);
    EXPECT_EQ(ch.hdlc.statistics.txDiscard, 1u);
    ASSERT_TRUE(ch.hdlc.activate());
    ASSERT_TRUE(ch.hdlc.activate());
    EXPECT_TRUE(ch.hdlc.draining());
    ASSERT_EQ(line.send("far"), 1u);
    EXPECT_TRUE(ch.send("near"));
    EXPECT_TRUE(vbtest::run_until([&] { return ch.hdlc.is_open(); }));
    EXPECT_EQ(ch.rx.frames, std::vector<std::string>{"far"});
    EXPECT_EQ(line.take(), "\x01\x02");
    EXPECT_EQ(line.take(), "near");
    EXPECT_EQ(ch.hdlc.statistics.txSU + ch.hdlc.statistics.txDiscard + ch.hdlc.statistics.rxSU, 0u);
    EXPECT_EQ(mcc.allocated(), 1u);

    // Moved to another line, the old channel takes nothing more: the frame
    // waits for the fresh channel on the new line.
    auto& moved = board.line(5);
    ASSERT_TRUE(ch.send("old"));
    ch.hdlc.parameters.tdm = 5;
    ASSERT_TRUE(ch.hdlc.activate());
    EXPECT_TRUE(ch.hdlc.draining());
    EXPECT_FALSE(ch.send("new"));
    EXPECT_TRUE(vbtest::run_until([&] { return ch.hdlc.is_open(); }));
    EXPECT_TRUE(ch.send("new"));
    EXPECT_EQ(line.take(), "old");
    EXPECT_EQ(line.waiting(), 0u);
    EXPECT_TRUE(vbtest::run_until([&] { return moved.waiting() > 0; }));
    EXPECT_EQ(moved.take(), "new");
}

// A BRI D channel's line is the channel it sends into as well: restarted
// on both, its old channel takes what it writes; sending into another
// channel, it waits for the fresh one.
TEST_F(HdlcTest, ABriDChannelRestartsInPlaceOnlyOnBothItsChannels)
{
    for (int transmit : {11, 12}) {
        SCOPED_TRACE(transmit);
        vbtest::Receiver rx;
        HDLC hdlc;
        hdlc.notify = &rx;
        hdlc.parameters.type = 2;
        hdlc.parameters.tdm = 10;
        hdlc.parameters.transmit = 11;
        ASSERT_TRUE(hdlc.activate());
        Packet frame = vbtest::make_packet("first");
        ASSERT_TRUE(hdlc.hdlc_transmit(frame));
        hdlc.parameters.transmit = transmit;
        ASSERT_TRUE(hdlc.activate());
        ASSERT_TRUE(hdlc.draining());
        frame = vbtest::make_packet("second");
        EXPECT_EQ(hdlc.hdlc_transmit(frame), transmit == 11);
        EXPECT_TRUE(vbtest::run_until([&] { return hdlc.is_open(); }));
    }
}

TEST_F(HdlcTest, FramesCrossTheSwitchOneFramePerPass)
{
    auto& line = board.line(3);
    LineChannel ch(board, 3);
    ASSERT_TRUE(ch.send(vbtest::bytes({0x02, 0x01, 0x00, 0x00, 0x08})));
    EXPECT_EQ(line.take(), vbtest::bytes({0x02, 0x01, 0x00, 0x00, 0x08}));
    EXPECT_EQ(ch.hdlc.statistics.txSU, 1u);

    ASSERT_EQ(line.send(vbtest::bytes({0x00, 0xff, 0x7e})), 1u);
    ASSERT_EQ(line.send("second"), 1u);
    one_pass();
    EXPECT_EQ(ch.rx.frames, (std::vector<std::string>{vbtest::bytes({0x00, 0xff, 0x7e})}));
    one_pass();
    EXPECT_EQ(ch.rx.frames.size(), 2u);
    EXPECT_EQ(ch.rx.frames.back(), "second");
    EXPECT_EQ(ch.hdlc.statistics.rxSU, 2u);
    EXPECT_EQ(ch.rx.errors, 0);

    Packet empty;
    EXPECT_TRUE(ch.hdlc.hdlc_transmit(empty)) << "a null packet";
    empty = vbtest::make_packet("");
    EXPECT_TRUE(ch.hdlc.hdlc_transmit(empty));
    EXPECT_EQ(ch.hdlc.statistics.txSU, 1u);
    EXPECT_EQ(line.waiting(), 0u);

    HDLC never;
    Packet p = vbtest::make_packet("x");
    EXPECT_FALSE(never.hdlc_transmit(p));
    EXPECT_EQ(never.statistics.txDiscard, 1u);
}

TEST_F(HdlcTest, BlockedWriteWaitsForOneReadyEvent)
{
    LineChannel ch(board, 4);
    one_pass();
    EXPECT_TRUE(ch.hdlc.is_ready());
    EXPECT_EQ(ch.rx.readies, 1) << "the first writable event";
    mcc.set_room(ch.timeslot, 0);
    EXPECT_FALSE(ch.send("blocked"));
    EXPECT_FALSE(ch.hdlc.is_ready());
    EXPECT_EQ(ch.hdlc.statistics.txSU + ch.hdlc.statistics.txError + ch.hdlc.statistics.txDiscard, 0u);
    one_pass();
    EXPECT_EQ(ch.rx.readies, 1) << "still full";
    mcc.set_room(ch.timeslot, SimBoard::MccController::kUnlimited);
    one_pass();
    one_pass();
    EXPECT_EQ(ch.rx.readies, 2);
    EXPECT_TRUE(ch.hdlc.is_ready());
}

TEST_F(HdlcTest, FailedAndShortWritesCountAsErrors)
{
    LineChannel ch(board, 4);
    board.sim.board.fail(kDevice, SimBoard::Op::write, EIO);
    EXPECT_FALSE(ch.send("abc"));
    mcc.set_room(ch.timeslot, 2);
    EXPECT_FALSE(ch.send("abcde")) << "cut short";
    EXPECT_EQ(ch.hdlc.statistics.txError, 2u);
    EXPECT_EQ(ch.hdlc.statistics.txSU, 0u);
    board.sim.board.fail(kDevice, SimBoard::Op::write, EINTR);
    mcc.set_room(ch.timeslot, SimBoard::MccController::kUnlimited);
    EXPECT_TRUE(ch.send("again")) << "an interrupted write is repeated";
    EXPECT_EQ(ch.hdlc.statistics.txSU, 1u);
}

// Each way the channel can end: one error line, one on_hdlc_error, closed,
// and nothing more from it afterwards.
TEST_F(HdlcTest, ChannelEndsOnceWhateverEndsIt)
{
    struct Case {
        const char* what;
        std::function<void(LineChannel&)> end;
        const char* why;
    };
    SimBoard::Board& sim = board.sim.board;
    const Case cases[] = {
        {"hang-up", [&](LineChannel& c) { mcc.hang_up(c.timeslot); one_pass(); }, "end of file"},
        {"read error", [&](LineChannel& c) { sim.fail(kDevice, SimBoard::Op::read, EIO);
                                             board.line(6).send("x"); one_pass(); (void)c; }, "Input/output error"},
        {"POLLERR", [](LineChannel& c) { c.hdlc.on_event(-1, POLLERR | POLLOUT); }, "error"},
        {"POLLNVAL", [](LineChannel& c) { c.hdlc.on_event(-1, POLLNVAL | POLLOUT); }, "invalid descriptor"},
        {"POLLHUP", [](LineChannel& c) { c.hdlc.on_event(-1, POLLHUP); }, "hang-up"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LineChannel ch(board, 6, 2);
        board.line(6).send("before");
        one_pass();
        ASSERT_EQ(ch.rx.frames.size(), 1u);
        int readies = ch.rx.readies;
        vbtest::CaptureStream err(std::cerr);
        c.end(ch);
        EXPECT_EQ(err.str(), std::string("hdlc [2/0]: read error: ") + c.why + "\n");
        EXPECT_EQ(ch.rx.errors, 1);
        EXPECT_FALSE(ch.hdlc.is_open());
        EXPECT_EQ(ch.rx.readies, readies) << "no ready after the end";
        one_pass();
        ch.hdlc.on_event(-1, POLLIN | POLLOUT | POLLERR);
        EXPECT_EQ(ch.rx.errors, 1);
        EXPECT_EQ(ch.rx.readies, readies);
        EXPECT_EQ(mcc.allocated(), 0u);
        sim.clear_failures();
    }
}

TEST_F(HdlcTest, FramesWaitingBeforeAHangUpAreStillDelivered)
{
    LineChannel ch(board, 7);
    board.line(7).send("last words");
    mcc.hang_up(ch.timeslot);
    vbtest::CaptureStream err(std::cerr);
    one_pass();
    EXPECT_EQ(ch.rx.frames, std::vector<std::string>{"last words"});
    EXPECT_EQ(ch.rx.errors, 0);
    one_pass();
    EXPECT_EQ(ch.rx.errors, 1);
}

TEST_F(HdlcTest, OwnerMayDestroyTheChannelInsideACallback)
{
    vbtest::CaptureStream err(std::cerr);
    for (bool onError : {false, true}) {
        auto ch = std::make_unique<LineChannel>(board, 8);
        ch->rx.after = [&] { ch.reset(); };
        if (onError)
            ch->hdlc.on_event(-1, POLLERR | POLLOUT);
        else {
            board.line(8).send("bye");
            one_pass();
        }
        EXPECT_EQ(ch, nullptr);
        EXPECT_EQ(mcc.allocated(), 0u);
    }
}

TEST_F(HdlcTest, EmptyPoolDropsFramesWithOneLineThenRecovers)
{
    LineChannel ch(board, 9);
    vbtest::CaptureStream err(std::cerr);
    {
        vbtest::PoolDrain drain;
        board.line(9).send("lost 1");
        board.line(9).send("lost 2");
        one_pass();
        one_pass();
    }
    EXPECT_EQ(err.str(), "hdlc [1/0]: no packet buffer, received frames dropped\n");
    EXPECT_TRUE(ch.rx.frames.empty());
    board.line(9).send("kept");
    one_pass();
    EXPECT_EQ(ch.rx.frames, std::vector<std::string>{"kept"});
    EXPECT_TRUE(ch.hdlc.is_open());
}

TEST_F(HdlcTest, DestroyedChannelLeavesNoStaleConnection)
{
    auto& old_line = board.line(12);
    auto& new_line = board.line(13);
    int number;
    {
        LineChannel old(board, 12);
        number = old.timeslot;
        one_pass();
    }
    EXPECT_FALSE(carries(number, 12));
    EXPECT_EQ(hal.output(12).drive, Hal::Drive::constant) << "the line idles";

    LineChannel fresh(board, 13);
    ASSERT_EQ(fresh.timeslot, number) << "the driver hands out the freed number";
    EXPECT_EQ(old_line.send("old line"), 0u);
    ASSERT_TRUE(fresh.send("new frame"));
    EXPECT_EQ(old_line.waiting(), 0u) << "nothing leaves on the old line";
    EXPECT_EQ(new_line.take(), "new frame");
    one_pass();
    EXPECT_TRUE(fresh.rx.frames.empty());

    fresh.hdlc.deactivate();
    ASSERT_TRUE(vbtest::run_until([&] { return !fresh.hdlc.draining(); })) << "the frame left first";
    EXPECT_EQ(hal.output(number).drive, Hal::Drive::disabled);
    EXPECT_EQ(hal.output(13).drive, Hal::Drive::constant);
}

// The channel is in the index of handed-out channels exactly while it is
// open; its end lets go only of the paths the channel made, and an
// activation whose reader cannot be had holds nothing.
TEST_F(HdlcTest, TheChannelHoldsItsNumberAndItsOwnPathsOnly)
{
    HandedChannelIndex& index = HandedChannelIndex::instance();
    {
        LineChannel ch(board, 14);
        ASSERT_GE(ch.timeslot, 0);
        EXPECT_NE(index.HolderOf(ch.timeslot), nullptr);
        // Another maker's path at the channel's own output by now is left.
        int other = 0;
        ASSERT_EQ(HwMux::instance()->Join(9, ch.timeslot, HwMux::Owner{&other, nullptr}), HwMux::Joined::made);
        ch.hdlc.deactivate();
        EXPECT_EQ(index.HolderOf(ch.timeslot), nullptr);
        EXPECT_TRUE(carries(ch.timeslot, 9));
        EXPECT_FALSE(carries(14, ch.timeslot));
        ASSERT_TRUE(ch.hdlc.activate());
    }
    EXPECT_EQ(index.size(), 0u) << "destroyed";

    bool failed = false;
    for (int left = 4; left >= 0 && !failed; --left) {
        SCOPED_TRACE(left);
        vbtest::CaptureStream err(std::cerr);
        vbtest::DescriptorsLeft limit(left);
        HDLC hdlc;
        hdlc.parameters.type = 1;
        hdlc.parameters.tdm = 15;
        if (hdlc.activate())
            continue;
        failed = err.str().find("fail to watch MCC device") != std::string::npos;
        EXPECT_EQ(index.size(), 0u);
        EXPECT_FALSE(carries(15, board.last_timeslot()));
    }
    EXPECT_TRUE(failed) << "no activation failed at its watch";
}

} // namespace
