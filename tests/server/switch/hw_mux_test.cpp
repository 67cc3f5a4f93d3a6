// The TDM switch driven through the simulated board.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <map>

#include "runtime/mux_time.h"
#include "server/switch/hw_mux.h"
#include "tests/runtime/loop_support.h"
#include "tests/simboard/sim_board.h"
#include "tests/support/test_support.h"

using SimBoard::Hal;

namespace {

class HwMuxTest : public ::testing::Test {
protected:
    vbtest::SimulatedBoard sim;
    SimBoard::Board& board = sim.board;
    vbtest::CaptureStream log{std::clog};

    void TearDown() override { EXPECT_TRUE(multiplexer.dpcs().empty()) << "refresh left active"; }

    // Channels of the disable requests logged so far, in order.
    std::vector<int32_t> disabled() const
    {
        std::vector<int32_t> out;
        for (const auto& r : board.ioctls("/dev/hal", Hal::kDisable))
            out.push_back(static_cast<int32_t>(r.in.at(0)));
        return out;
    }
    void hang_up()
    {
        for (SimBoard::Channel* ch : board.channels("/dev/hal"))
            ch->hang_up();
    }
    // What reached the board for an output: its requests, and the opens.
    uint64_t asked(int32_t output) const
    {
        uint64_t n = board.count("/dev/hal", SimBoard::Op::open);
        for (const auto& r : board.log())
            n += !r.in.empty() && static_cast<int32_t>(r.in[0]) == output;
        return n;
    }
    // One period of the retry, in virtual time.
    static void retry(Mux::VirtualClock& clock)
    {
        clock.advance_ms(HwMux::kRetryMs);
        multiplexer.timers_schedule();
    }
    // Makers of claims: a connection, its receiver, another connection, a
    // line's end.
    const HwMux::Owner path{&sim, nullptr}, receiver{&board, nullptr}, other{&log, nullptr}, end{&sim, &board};

    static std::vector<uint16_t> shadow(const HwMux& mux)
    {
        std::vector<uint16_t> s;
        for (int i = 0; i < HwMux::kBusChannels; ++i)
            s.push_back(mux.shadow(i));
        return s;
    }
};

TEST_F(HwMuxTest, FirstOpenDisablesEveryBusOutputInOrder)
{
    HwMux::Scoped scoped;
    HwMux& mux = *HwMux::instance();
    EXPECT_EQ(&mux, &scoped.mux());
    EXPECT_EQ(log.str(), "hwMux: init\nhwMux: device opened\n");
    std::vector<int32_t> expected;
    for (int32_t ch = 8192; ch <= 10239; ++ch)
        expected.push_back(ch);
    EXPECT_EQ(disabled(), expected);
    EXPECT_EQ(shadow(mux), std::vector<uint16_t>(2048, HwMux::kDisabled));
    EXPECT_TRUE(::fcntl(mux.fd(), F_GETFD) & FD_CLOEXEC);
    EXPECT_EQ(multiplexer.dpcs().size(), 1u);
    EXPECT_TRUE(mux.IsOpened());
    EXPECT_EQ(board.log().size(), 1u + 2048u) << "opened once";
}

// Each operation tries the open again; a run of failed opens costs a line
// when it starts and one when the device is back.
TEST_F(HwMuxTest, EveryOperationRetriesAFailedOpen)
{
    board.fail("/dev/hal", SimBoard::Op::open, ENODEV, SimBoard::Board::Times::always);
    HwMux mux;
    EXPECT_TRUE(multiplexer.dpcs().empty());
    EXPECT_EQ(mux.Read(8300), 255);
    EXPECT_FALSE(mux.Connect(5, 8200));
    EXPECT_EQ(log.str(), "hwMux: init\n"
                         "hwMux: can't open device: No such device\n"
                         "hwMux: ERROR not opened\n");
    EXPECT_EQ(board.log().size(), 3u) << "three opens, no request";
    board.clear_failures();
    log.clear();
    EXPECT_TRUE(mux.Disable(8200));
    EXPECT_EQ(disabled().size(), 2048u + 1u);
    EXPECT_EQ(log.str(), "hwMux: device opened\n"
                         "hwMux: device back after 3 failed open(s), 0 connection(s) made again\n");
}

// Only 8192..10239 have a shadow entry; the numbers around them touch none.
TEST_F(HwMuxTest, ShadowBounds)
{
    HwMux mux;
    struct Case {
        int channel;
        int index;  // shadow entry, -1 for none
        bool asked; // a request reaches the switch
        bool ok;
    };
    const Case cases[] = {
        {-1, -1, false, false}, {8191, -1, true, true}, {8192, 0, true, true},
        {10239, 2047, true, true}, {10240, -1, true, false}, // the switch refuses it
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel);
        // Each step leaves the entry different from the step before.
        const std::pair<std::function<bool()>, uint16_t> steps[] = {
            {[&] { return mux.Connect(5, c.channel); }, 5},
            {[&] { return mux.Disconnect(c.channel); }, HwMux::kFixedByte},
            {[&] { return mux.Disable(c.channel); }, HwMux::kDisabled},
            {[&] { return mux.Write(c.channel, 0x11); }, HwMux::kFixedByte},
        };
        for (const auto& step : steps) {
            std::vector<uint16_t> want = shadow(mux);
            if (c.index >= 0)
                want[static_cast<size_t>(c.index)] = step.second;
            size_t before = board.log().size();
            EXPECT_EQ(step.first(), c.ok);
            EXPECT_EQ(board.log().size() - before, c.asked ? 1u : 0u);
            EXPECT_EQ(shadow(mux), want);
        }
        // A bus time slot hears what its output sends; a local input its line.
        EXPECT_EQ(mux.Read(c.channel), c.index >= 0 ? 0x11 : 255);
    }
    EXPECT_NE(log.str().find("hwMux: connect 5 -> 10240 failed: Invalid argument\n"), std::string::npos);
}

TEST_F(HwMuxTest, SwitchStateFollowsTheCalls)
{
    HwMux mux;
    Hal& hal = sim.hal();
    EXPECT_TRUE(mux.Connect(5, 8200));
    EXPECT_EQ(board.log().back().in, (std::vector<uint32_t>{8200, 5}));
    EXPECT_EQ(mux.shadow(8), 5);
    EXPECT_EQ(hal.output(8200).source, 5);
    EXPECT_TRUE(mux.Connect(5, 40));
    EXPECT_EQ(hal.output(40).source, 5);
    hal.set_line(5, 0x42);
    EXPECT_EQ(mux.Read(8200), 0x42) << "the bus carries the connected input";

    EXPECT_TRUE(mux.Disconnect(8300));
    EXPECT_EQ(board.log().back().in, (std::vector<uint32_t>{8300, 0xD5}));
    EXPECT_EQ(mux.shadow(108), HwMux::kFixedByte);
    EXPECT_EQ(mux.Read(8300), 0xD5);

    size_t requests = board.log().size();
    log.clear();
    EXPECT_FALSE(mux.Connect(-1, 8200));
    EXPECT_EQ(log.str(), "hwMux: ERROR not opened\n");
    EXPECT_EQ(board.log().size(), requests);
    EXPECT_EQ(mux.shadow(8), 5);
}

TEST_F(HwMuxTest, FailedRequestsAreReportedAndTheShadowKeepsTheRequest)
{
    HwMux mux;
    for (unsigned long number : {Hal::kConnect, Hal::kDisable, Hal::kWrite, Hal::kRead})
        board.fail("/dev/hal", number, EIO, SimBoard::Board::Times::always);
    log.clear();
    EXPECT_FALSE(mux.Connect(5, 8200));
    EXPECT_FALSE(mux.Disconnect(8300));
    EXPECT_TRUE(mux.Disable(8301)) << "owed";
    EXPECT_FALSE(mux.Write(8302, 0xAB));
    EXPECT_EQ(mux.Read(8303), 255);
    EXPECT_EQ(log.str(), "hwMux: connect 5 -> 8200 failed: Input/output error\n"
                         "hwMux: disconnect failed 8300 : Input/output error\n"
                         "hwMux: disable failed 8301 : Input/output error\n"
                         "hwMux: write failed 8302 <- 0xAB : Input/output error\n"
                         "hwMux: read failed 8303 -> 0xFF : Input/output error\n");
    EXPECT_EQ(mux.shadow(8), 5);
    EXPECT_EQ(mux.shadow(108), HwMux::kFixedByte);
    EXPECT_EQ(mux.shadow(109), HwMux::kDisabled);
    EXPECT_EQ(mux.shadow(110), HwMux::kFixedByte);
}

// The first request to find the device gone lets it go, the refresh's too
// (which stops there); the next operation opens it again and disables every
// bus output anew: the device forgot what it was told.
TEST_F(HwMuxTest, AGoneDeviceIsLetGoAndOpenedAgain)
{
    HwMux mux;
    mux.Connect(5, 8200);
    hang_up();
    log.clear();
    EXPECT_FALSE(mux.Connect(6, 8201));
    EXPECT_EQ(log.str(), "hwMux: device lost: No such device\n"
                         "hwMux: connect 6 -> 8201 failed: No such device\n");
    EXPECT_EQ(mux.fd(), -1);
    EXPECT_TRUE(mux.Write(8201, 0x11));
    EXPECT_EQ(mux.shadow(8), HwMux::kDisabled);
    EXPECT_EQ(sim.hal().output(8200).drive, Hal::Drive::disabled);

    hang_up();
    board.clear_log();
    mux.OnDPC();
    EXPECT_EQ(board.log().size(), 1u) << "the refresh stops at the first failure";
    EXPECT_EQ(mux.fd(), -1);
}

// A device opened again is told what the record holds: the paths, and
// the idle byte that a receiver the table let go (while the device
// refused its disconnection) holds, on a bus output or a local one alike.
// A path no slot holds is not made again.
TEST_F(HwMuxTest, AnOpenAgainTellsTheDeviceWhatTheRecordHolds)
{
    HwMux mux;
    const struct {
        int source, output;
        bool held, letGo;
        Hal::Drive after;
    } cases[] = {
        {5, 8200, true, false, Hal::Drive::connected}, {6, 40, true, false, Hal::Drive::connected},
        {7, 8201, true, true, Hal::Drive::constant},   {8, 41, true, true, Hal::Drive::constant},
        {9, 8202, false, false, Hal::Drive::disabled},
    };
    for (const auto& c : cases)
        c.held ? void(mux.Join(c.source, c.output, path)) : void(mux.Connect(c.source, c.output));
    board.fail("/dev/hal", Hal::kWrite, EIO, SimBoard::Board::Times::always);
    for (const auto& c : cases)
        if (c.letGo && !mux.Rest(c.output, path, receiver))
            mux.Rest(c.output, path, receiver, true);
    board.clear_failures();
    hang_up();
    log.clear();
    mux.OnDPC();
    EXPECT_TRUE(mux.IsOpened());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.output);
        EXPECT_EQ(sim.hal().output(c.output).drive, c.after);
        EXPECT_TRUE(c.after != Hal::Drive::connected || sim.hal().output(c.output).source == c.source);
        EXPECT_EQ(mux.Carries(c.source, c.output), c.held && !c.letGo);
    }
    // The idle byte that works ends the run of refused disconnections.
    EXPECT_EQ(log.str(), "hwMux: device lost: No such device\nhwMux: device opened\n"
                         "hwMux: disconnect fail: 4 more time(s)\n"
                         "hwMux: device back, 2 connection(s) made again, 2 idle output(s) again\n");
}

// The loop runs its DPCs twice per pass: a pass still refreshes at most 128
// outputs, and every disabled one once per 16 passes.
TEST_F(HwMuxTest, RefreshCoversEveryDisabledOutputOncePer16Passes)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    HwMux mux;
    mux.Connect(5, 8200);   // entry 8
    mux.Disconnect(8300);   // entry 108
    mux.Write(10239, 0x01); // entry 2047
    board.clear_log();
    vbtest::FnTimer tick;
    int ticks = 0;
    tick.arm(10, [&] {
        if (++ticks == 16)
            multiplexer.terminate();
        else
            tick.arm(10);
    });
    vbtest::run_bounded();

    // Each pass runs at its own virtual time; the last stops before its poll.
    std::map<uint32_t, size_t> perPass;
    for (const auto& r : board.log())
        ++perPass[r.ms];
    ASSERT_EQ(perPass.size(), 17u);
    for (const auto& p : perPass)
        EXPECT_LE(p.second, 128u);
    std::vector<int32_t> got = disabled();
    got.resize(got.size() - perPass.rbegin()->second);
    ASSERT_EQ(got.size(), 2048u - 3u);
    EXPECT_EQ(got.front(), 8193) << "entry 1 first after an open";
    EXPECT_EQ(got.back(), 8192) << "entry 0 last";
    std::map<int32_t, int> times;
    for (int32_t ch : got)
        ++times[ch];
    EXPECT_EQ(times.size(), got.size()) << "each once";
    EXPECT_EQ(times.count(8200) + times.count(8300) + times.count(10239), 0u);
    EXPECT_EQ(sim.hal().output(8300).drive, Hal::Drive::constant);
}

// A switch that opens but goes again under its own first requests is not
// open: operations do not open it again one by one, and the log keeps to
// a line or two until an open holds.
TEST_F(HwMuxTest, ASwitchGoneUnderItsOpenIsOpenedOnlyByTheRetry)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    HwMux mux;
    ASSERT_EQ(mux.Join(5, 40), HwMux::Joined::made);
    board.fail("/dev/hal", Hal::kDisable, ENODEV, SimBoard::Board::Times::always);
    hang_up();
    // The first finds the device gone, the second's open goes under it.
    EXPECT_FALSE(mux.Connect(6, 41));
    EXPECT_FALSE(mux.Connect(6, 41));
    log.clear();
    uint64_t opens = board.count("/dev/hal", SimBoard::Op::open);
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(mux.Connect(6, 41));
    EXPECT_EQ(board.count("/dev/hal", SimBoard::Op::open), opens);
    EXPECT_EQ(log.str(), "");

    board.clear_failures();
    clock.advance_ms(HwMux::kRetryMs);
    multiplexer.timers_schedule();
    EXPECT_TRUE(mux.Carries(5, 40));
    EXPECT_TRUE(mux.Connect(6, 41));
}

// The backplane test's raw requests pass over the claims and leave them:
// its bytes stay until its restore gives each output back to what its
// claims ask (the idle byte, a path), or disables a bus output that
// nothing holds; a claim changed meanwhile is told whatever the output had.
TEST_F(HwMuxTest, TheRawRequestsOfTheBackplaneTestLeaveTheClaims)
{
    HwMux mux;
    const Hal& hal = sim.hal();
    ASSERT_TRUE(mux.Idle(8200, receiver) && mux.Join(33, 8201, path) == HwMux::Joined::made);
    for (int output : {8200, 8201, 8202})
        EXPECT_TRUE(mux.Write(output, 0x11));
    EXPECT_EQ(hal.output(8201).value, 0x11) << "the test's byte stays";
    for (int output : {8200, 8201, 8202}) {
        EXPECT_TRUE(mux.Disable(output));
        mux.Restore(output);
    }
    EXPECT_TRUE(hal.output(8200).drive == Hal::Drive::constant && hal.output(8200).value == HwMux::kIdleByte);
    EXPECT_EQ(hal.output(8201).source, 33);
    EXPECT_EQ(hal.output(8202).drive, Hal::Drive::disabled);
    EXPECT_TRUE(mux.Write(8201, 0x11) && mux.Join(33, 8201, path) == HwMux::Joined::made && mux.Carries(33, 8201));
    EXPECT_EQ(hal.output(8201).drive, Hal::Drive::connected);
}

// A release that did not reach the switch (a claim gone, a disable) is
// owed whatever later call touches the output without reaching the
// switch, and whoever made it; once the faults clear, the retry alone (no
// operation) leaves each output as its record asks: disabled, the idle
// byte a claim still holds, or a local output's rest on the idle byte.
TEST_F(HwMuxTest, AReleaseIsOwedUntilTheSwitchTakesIt)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    enum Fault { refused, away };
    // A disconnection that the device refuses lets go all the same.
    const auto disconnect = [this](HwMux& m, int o) { m.Rest(o, path, receiver) || m.Rest(o, path, receiver, true); };
    // Each case starts with 33 joined to its output, after the idle byte
    // that a line claims when `idle` (an activated external line).
    const struct Case {
        const char* what;
        int output;
        bool idle;
        Fault fault;
        std::function<void(HwMux&, int)> end;
        Hal::Drive after;
    } cases[] = {
        {"bus receiver destroyed", 8202, false, away, [&](HwMux& m, int o) { disconnect(m, o), m.Leave(o, receiver); },
         Hal::Drive::disabled},
        {"bus receiver destroyed, refused", 8203, false, refused,
         [&](HwMux& m, int o) { disconnect(m, o), m.Leave(o, receiver); }, Hal::Drive::disabled},
        {"local receiver destroyed: the line rests idle", 40, false, away,
         [&](HwMux& m, int o) { disconnect(m, o), m.Leave(o, receiver); }, Hal::Drive::constant},
        {"a lost channel's output", 43, false, away,
         [&](HwMux& m, int o) { disconnect(m, o), m.Leave(o, receiver, true); }, Hal::Drive::disabled},
        {"the backplane test's raw requests, refused, and its restore", 8207, false, refused,
         [](HwMux& m, int o) { m.Write(o, 0x11), m.Disable(o), m.Restore(o); }, Hal::Drive::connected},
        {"let go, then a refused join and its destroy", 8204, false, refused,
         [&](HwMux& m, int o) { m.Leave(o, path), m.Join(9, o, other), m.Leave(o, other); }, Hal::Drive::disabled},
        {"let go, then a join refused as invalid", 8209, false, refused,
         [&](HwMux& m, int o) {
             m.Leave(o, path);
             board.fail("/dev/hal", Hal::kConnect, EINVAL, SimBoard::Board::Times::always);
             m.Join(9, o, other);
         },
         Hal::Drive::disabled},
        {"let go, then a refused connect", 42, false, refused,
         [&](HwMux& m, int o) { m.Rest(o, path, receiver, true), m.Join(9, o, other); }, Hal::Drive::constant},
        {"idle byte taken off", 8205, true, away,
         [&](HwMux& m, int o) { m.Rest(o, path, receiver, true), m.Leave(o, receiver), m.Leave(o, end); },
         Hal::Drive::disabled},
        {"an active line keeps its idle byte", 8206, true, away,
         [&](HwMux& m, int o) { disconnect(m, o), m.Leave(o, receiver); }, Hal::Drive::constant},
        // A move: the new path refused, the old one is owed, never let go.
        {"a move refused", 44, false, refused, [&](HwMux& m, int o) { m.Join(9, o, other); }, Hal::Drive::connected},
        {"reopened while a bus disable is refused, its path let go then", 8208, false, refused,
         [&](HwMux& m, int o) {
             // The refresh finds the switch gone; its open is refused every disable.
             board.clear_failures(), hang_up(), m.OnDPC();
             board.fail("/dev/hal", Hal::kDisable, EIO, SimBoard::Board::Times::always);
             retry(clock), m.Leave(o, path);
         },
         Hal::Drive::disabled},
        // A disabled rest that its channel's slot asked ends with a new use.
        {"a new use after a disabled rest", 47, false, refused,
         [&](HwMux& m, int o) { m.Leave(o, path, true), m.Rest(o, other, receiver, true), m.Leave(o, receiver); },
         Hal::Drive::constant},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HwMux mux;
        ASSERT_TRUE((!c.idle || mux.Idle(c.output, end)) && mux.Join(33, c.output, path) == HwMux::Joined::made);
        if (c.fault == away) {
            hang_up();
            board.fail("/dev/hal", SimBoard::Op::open, ENODEV, SimBoard::Board::Times::always);
        } else {
            for (unsigned long number : {Hal::kConnect, Hal::kDisable, Hal::kWrite})
                board.fail("/dev/hal", number, EIO, SimBoard::Board::Times::always);
        }
        c.end(mux, c.output);
        uint64_t before = asked(c.output);
        retry(clock);
        EXPECT_GT(asked(c.output), before) << "owed: the retry asks again";
        board.clear_failures();
        retry(clock);
        const Hal::Output& out = sim.hal().output(c.output);
        EXPECT_EQ(out.drive, c.after);
        EXPECT_TRUE(c.after != Hal::Drive::constant || out.value == HwMux::kIdleByte);
        EXPECT_TRUE(c.after != Hal::Drive::connected || out.source == 33) << out.source;
        before = asked(c.output);
        retry(clock);
        EXPECT_EQ(asked(c.output), before) << "nothing left owed";
    }
}

// What the switch refuses as invalid, at once or when the retry tells it
// again (as it does a disconnection that the table let go once refused),
// is given up: the switch would refuse it for ever. A release (a
// disable, a disconnection that the table lets go, the idle byte of an
// ended path) is not owed, and a path told again once the switch is back
// is not held, on a local output or a bus output alike. (A disable is on
// a local output: the refresh disables bus outputs again by itself.)
// Nothing of it is asked either: a switch that goes afterwards is not
// opened again for it.
TEST_F(HwMuxTest, WhatTheSwitchRefusesAsInvalidIsGivenUp)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    enum Step { disable, letGo, ended, reopen };
    const int local = 40, bus = HwMux::kBusFirst + 40;
    const struct {
        const char* what;
        Step step;
        unsigned long request;
        bool retold; // refused as invalid only when the retry tells it again
        int output;
    } rows[] = {
        {"a disable", disable, Hal::kDisable, false, local},
        {"a disable, owed first", disable, Hal::kDisable, true, local},
        {"a disconnection let go", letGo, Hal::kWrite, true, local},
        {"an ended path", ended, Hal::kWrite, false, local},
        {"a path told again", reopen, Hal::kConnect, true, local},
        {"a bus output's disconnection let go", letGo, Hal::kWrite, true, bus},
        {"a bus output's ended path", ended, Hal::kWrite, false, bus},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        HwMux mux;
        ASSERT_EQ(mux.Join(33, r.output, path), HwMux::Joined::made);
        board.fail("/dev/hal", r.request, r.step == disable && r.retold ? EIO : EINVAL, SimBoard::Board::Times::always);
        if (r.step == disable)
            mux.Leave(r.output, path, true);
        else if (r.step == letGo && !mux.Rest(r.output, path, receiver))
            mux.Rest(r.output, path, receiver, true);
        else if (r.step == ended)
            mux.End(r.output, path, end);
        else if (r.step == reopen)
            hang_up(), mux.OnDPC();
        if (r.retold) {
            board.clear_failures();
            board.fail("/dev/hal", r.request, EINVAL, SimBoard::Board::Times::always);
            retry(clock);
        }
        uint64_t before = asked(r.output);
        retry(clock);
        EXPECT_EQ(asked(r.output), before) << "given up";
        const auto* held = mux.held(r.output);
        EXPECT_TRUE(!held || !held->on());
        board.clear_failures();

        hang_up();
        mux.OnDPC(); // the refresh finds the switch gone
        ASSERT_LT(mux.fd(), 0);
        uint64_t opens = board.count("/dev/hal", SimBoard::Op::open);
        retry(clock);
        retry(clock);
        EXPECT_EQ(board.count("/dev/hal", SimBoard::Op::open), opens) << "nothing held brings the retry";
    }
}

// A link's line path that ends leaves the idle byte of its line end on its
// output, which the link holds (told again when refused, and when the
// switch opens again) until it lets go: then a bus output is disabled, a
// local one rests on the idle byte, and nothing brings the retry. An
// output that another path holds by then is left to it.
TEST_F(HwMuxTest, AnEndedLinePathLeavesTheIdleByteOfItsLineEnd)
{
    using Drive = Hal::Drive;
    Mux::VirtualClock clock;
    Mux::ScopedClock useClock(clock);
    enum Fault { none, refused, away };
    const struct Case {
        const char* what;
        int output;
        Fault fault;
        bool replaced; // another path joined the output before the end
        Drive ended;   // once the faults are gone and the retry ran, and after a new open
        Drive left;    // once the link let go of its line end
    } cases[] = {
        {"bus", 8198, none, false, Drive::constant, Drive::disabled},
        {"bus, refused", 8198, refused, false, Drive::constant, Drive::disabled},
        {"bus, switch away", 8198, away, false, Drive::constant, Drive::disabled},
        {"local", 40, none, false, Drive::constant, Drive::constant},
        {"local, refused", 40, refused, false, Drive::constant, Drive::constant},
        {"bus, another path", 8198, none, true, Drive::connected, Drive::connected},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HwMux mux;
        const Hal::Output& out = sim.hal().output(c.output);
        ASSERT_EQ(mux.Join(33, c.output, path), HwMux::Joined::made);
        ASSERT_TRUE(!c.replaced || mux.Join(9, c.output, other) == HwMux::Joined::made);
        if (c.fault == refused) {
            board.fail("/dev/hal", Hal::kWrite, EIO, SimBoard::Board::Times::always);
        } else if (c.fault == away) {
            hang_up();
            board.fail("/dev/hal", SimBoard::Op::open, ENODEV, SimBoard::Board::Times::always);
        }
        mux.End(c.output, path, end);
        if (c.fault != none) {
            EXPECT_EQ(out.source, 33) << "not ended yet";
            uint64_t before = asked(c.output);
            retry(clock);
            EXPECT_GT(asked(c.output), before) << "held: the retry asks again";
        }
        board.clear_failures();
        retry(clock);
        for (bool reopened : {false, true}) {
            if (reopened) {
                hang_up();
                mux.OnDPC(); // the refresh finds the switch gone
                retry(clock);
                EXPECT_TRUE(mux.IsOpened());
            }
            EXPECT_EQ(out.drive, c.ended);
            EXPECT_TRUE(c.ended != Drive::constant || out.value == HwMux::kIdleByte);
            EXPECT_TRUE(c.ended != Drive::connected || out.source == 9);
        }

        EXPECT_EQ(mux.Leave(c.output, end), c.replaced ? HwMux::Left::path : HwMux::Left::disabled);
        EXPECT_EQ(out.drive, c.left);
        hang_up();
        mux.OnDPC();
        uint64_t opens = board.count("/dev/hal", SimBoard::Op::open);
        retry(clock);
        EXPECT_EQ(board.count("/dev/hal", SimBoard::Op::open) > opens, c.replaced) << "only a claim brings the retry";
    }
}

} // namespace
