// "/dev/hal" hung up or refusing under the running server: the TDM switch
// lets its descriptor go and opens the device again, telling it the paths
// that the slot table holds, so a controller's connections work again
// without a restart; a path the switch could not let go never stays on
// it once its slots are gone; no receiver of a shared bus output cuts the
// path that another holds there; and no bus output carries anything that
// no live slot or link holds.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

#include "board/hal_requests.h"
#include "tests/e2e/board_port.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"
#include "tests/signalling/signalling_commands.h"
#include "tests/support/rtp_peer.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::Not;

namespace {

const LGCP::Command kDisconnect = simple(LGCP::Command::e_disconnect);
const LGCP::Command kDestroy = simple(LGCP::Command::e_destroy);

// A map slot that receives on {bus, channel} and, given a transmitter
// bus, sends on {txBus, txChannel}.
LGCP::Command create_map(int bus, int channel, int txBus = -1, int txChannel = 0)
{
    LGCP::Command c;
    LGCP::MapParams& p = c.get_create().get_map();
    p.include_receiver().set_bus(bus);
    p.get_receiver().set_channel(channel);
    if (txBus >= 0) {
        p.include_transmitter().set_bus(txBus);
        p.get_transmitter().set_channel(txChannel);
    }
    return c;
}

struct HalFlow {
    ServerProcess server;
    Controller ctl;
    BoardPort board;

    bool start()
    {
        return server.start() && ctl.connect(server.port()) && board.connect(server.pid()) &&
               board.ask("record on") == "ok";
    }
    Texts to(int slot, const LGCP::Command& c) { return ctl.exchange(to_slot(c, slot)); }
    // Trunk 10 feeds trunk 11 on output 38.
    void pair()
    {
        to(10, create_trunk(1, 5)), to(11, create_trunk(1, 6));
        EXPECT_THAT(to(10, simple(LGCP::Command::e_connect, 11)), Contains("slot=10 success"));
    }
    // The switch requests of one kind made on an output since recording
    // began, oldest first: what followed the channel ("d5=0", "25!5").
    Texts requests(unsigned long request, int output)
    {
        std::istringstream answer(board.ask("log /dev/hal " + std::to_string(request)));
        std::ostringstream channel;
        channel << std::hex << output << ',';
        Texts found;
        std::string word;
        answer >> word >> word; // "ok" and the count
        while (answer >> word)
            if (word.compare(0, channel.str().size(), channel.str()) == 0)
                found.push_back(word.substr(channel.str().size()));
        return found;
    }
    bool logged(const std::string& line)
    {
        return eventually([&] { return server.err().find(line) != std::string::npos; }, 4000);
    }
};

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

// A disconnection that the switch refuses leaves the pair joined, its
// path told again in case the refused request touched it; a destroy
// releases the output.
TEST(HalLoss, ARefusedDisconnectionKeepsThePairUntilItsDestroyReleasesTheOutput)
{
    HalFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    f.pair();
    for (int again = 0; again < 2; ++again) {
        EXPECT_EQ(f.board.ask("fail /dev/hal " + std::to_string(Device::Hal::SWITCH_WRITE) + " 5"), "ok");
        EXPECT_THAT(f.to(11, kDisconnect), Contains("slot=11 error disconnectFail"));
    }
    EXPECT_THAT(f.requests(Device::Hal::SWITCH_WRITE, 38), ElementsAre("d5!5", "d5!5")) << "each disconnect asks";
    EXPECT_THAT(f.to(11, kDestroy), Contains("slot=11 success"));
    EXPECT_THAT(f.requests(Device::Hal::SWITCH_WRITE, 38), ElementsAre("d5!5", "d5!5", "d5=0"));
    EXPECT_THAT(f.to(10, kDestroy), Contains("slot=10 success"));
    const Texts connects = f.requests(Device::Hal::SWITCH_CONNECT, 38);
    EXPECT_THAT(connects, testing::AllOf(testing::Not(testing::IsEmpty()), testing::Each("25=0")));
}

// The same while the switch is hung up and cannot be opened: the destroy
// lets the pair go, and the switch releases the output by itself once the
// device opens.
TEST(HalLoss, APairLetGoWhileTheSwitchIsAwayIsReleasedWhenItComesBack)
{
    HalFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    f.pair();
    EXPECT_EQ(f.board.ask("fail /dev/hal open 19 always"), "ok");
    EXPECT_NE(f.board.ask("hangup /dev/hal"), "ok 0");
    EXPECT_THAT(f.to(11, kDisconnect), Contains("slot=11 error disconnectFail"));
    EXPECT_THAT(f.to(11, kDestroy), Contains("slot=11 success"));
    Texts refused = f.requests(Device::Hal::SWITCH_WRITE, 38);
    EXPECT_THAT(refused, testing::Each("d5!19"));

    EXPECT_EQ(f.board.ask("fail /dev/hal open 0"), "ok");
    EXPECT_TRUE(f.logged(" failed open(s), 0 connection(s) made again, 1 output(s) released\n")) << f.server.err();
    refused.push_back("d5=0");
    EXPECT_EQ(f.requests(Device::Hal::SWITCH_WRITE, 38), refused);
}

// Trunk 1 feeds map slot 2 on bus 0 channel 5 (output 8197). The switch
// opened again connects it by itself; while the device refuses, a connect
// of the pair answers an error.
TEST(HalLoss, TheSwitchOpenedAgainConnectsTheTablesPathsByItself)
{
    HalFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    f.to(1, create_trunk(0, 5));
    f.to(2, create_map(0, 5));
    const LGCP::Command join = simple(LGCP::Command::e_connect, 2);
    EXPECT_THAT(f.to(1, join), Contains("slot=1 success"));
    EXPECT_NE(f.board.ask("hangup /dev/hal"), "ok 0");
    EXPECT_TRUE(f.logged("hwMux: device back, 1 connection(s) made again\n")) << f.server.err();
    EXPECT_THAT(f.requests(Device::Hal::SWITCH_CONNECT, 8197), ElementsAre("5=0", "5=0"));

    const std::string fail = "fail /dev/hal " + std::to_string(Device::Hal::SWITCH_CONNECT);
    f.board.ask(fail + " 5 always");
    f.board.ask("hangup /dev/hal");
    EXPECT_TRUE(f.logged("hwMux: device back, 0 connection(s) made again\n")) << f.server.err();
    EXPECT_THAT(f.to(1, join), Contains("slot=1 error connectFail"));
    f.board.ask(fail + " 0");
    EXPECT_THAT(f.to(1, join), Contains("slot=1 success"));
    EXPECT_EQ(f.requests(Device::Hal::SWITCH_CONNECT, 8197).back(), "5=0");
}

// What the controller ended while the switch was away leaves the switch
// once the device opens again, with no further command and nothing else
// held to bring the retry: trunk 10 (channel 33) feeds receiver 20 on bus
// 0 channel 10 (output 8202), a map or an activated external line; the
// end comes while /dev/hal is hung up and cannot be opened. An external
// line that stays active keeps its idle byte.
TEST(HalLoss, WhatTheControllerEndedWhileTheSwitchWasAwayLeavesIt)
{
    using C = LGCP::Command;
    struct Step {
        int slot;
        C::Choices command;
        const char* answer;
    };
    const struct Case {
        const char* what;
        bool ext;
        std::vector<Step> away;
        const char* output;
    } cases[] = {
        {"map destroyed", false, {{20, C::e_destroy, "slot=20 success"}}, "ok disabled"},
        {"map destroyed after a refused disconnect", false,
         {{20, C::e_disconnect, "slot=20 error disconnectFail"}, {20, C::e_destroy, "slot=20 success"}}, "ok disabled"},
        {"external line deactivated", true, {{20, C::e_deactivate, "slot=20 success"}}, "ok disabled"},
        {"external line destroyed", true, {{20, C::e_destroy, "slot=20 success"}}, "ok disabled"},
        {"active external line loses its source", true, {{10, C::e_destroy, "slot=10 success"}}, "ok constant d5"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        HalFlow f;
        ASSERT_TRUE(f.start()) << f.server.err();
        f.to(10, create_trunk(1, 1));
        if (c.ext) {
            EXPECT_THAT(f.to(20, create_ext(11, 10)), Contains("slot=20 success"));
            EXPECT_THAT(f.to(20, simple(C::e_activate)), Contains("slot=20 success"));
        } else {
            EXPECT_THAT(f.to(20, create_map(0, 10)), Contains("slot=20 success"));
        }
        EXPECT_THAT(f.to(10, simple(C::e_connect, 20)), Contains("slot=10 success"));
        EXPECT_EQ(f.board.ask("switch 8202"), "ok connected 33");

        EXPECT_EQ(f.board.ask("fail /dev/hal open 19 always"), "ok");
        EXPECT_NE(f.board.ask("hangup /dev/hal"), "ok 0");
        for (const Step& step : c.away)
            EXPECT_THAT(f.to(step.slot, simple(step.command)), Contains(step.answer));
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(f.board.ask("fail /dev/hal open 0"), "ok");
        EXPECT_TRUE(eventually([&] { return f.board.ask("switch 8202") == c.output; }, 4000))
            << f.board.ask("switch 8202") << "\n" << f.server.err();
    }
}

// An HDLC channel whose line is a shared-bus channel leaves the idle byte
// of its line end there while the link lives: external slot 116 (bus 0
// channel 6, output 8198) feeds HDLC slot 115, whose channel's line goes
// by a disconnect (the link stays) or the slot's destroy. The switch
// opened again tells the byte again while the link holds it.
TEST(HalLoss, AnEndedHdlcChannelLeavesAByteOnTheBusOnlyWhileTheLinkLives)
{
    using C = LGCP::Command;
    const int kOutput = 8198;
    const std::string output = "switch " + std::to_string(kOutput);
    for (C::Choices end : {C::e_disconnect, C::e_destroy}) {
        SCOPED_TRACE(end == C::e_disconnect ? "disconnect" : "destroy");
        const std::string left = end == C::e_disconnect ? "ok constant d5" : "ok disabled";
        HalFlow f;
        ASSERT_TRUE(f.start()) << f.server.err();
        ASSERT_THAT(f.to(116, create_ext(6, 6)), Contains("slot=116 success"));
        ASSERT_THAT(f.to(115, hdlc_params(1, 0x1234)), Contains("slot=115 success"));
        ASSERT_THAT(f.to(116, simple(C::e_connect, 115)), Contains("slot=116 success"));
        ASSERT_EQ(f.board.ask(output).compare(0, 13, "ok connected "), 0) << f.board.ask(output);
        EXPECT_THAT(f.to(115, simple(end)), Contains("slot=115 success"));
        EXPECT_EQ(f.board.ask(output), left);

        EXPECT_NE(f.board.ask("hangup /dev/hal"), "ok 0");
        EXPECT_TRUE(f.logged("hwMux: device lost")) << f.server.err();
        f.pair();
        EXPECT_EQ(f.board.ask(output), left);
        f.to(115, kDestroy);
        EXPECT_EQ(f.board.ask("bus"), "ok");
    }
}

// Slots 116 and 117 receive on bus 0 channel 5 (output 8197), each an
// activated external line or a map; a trunk (channel 33, or trunk 0 time
// slot 0: channel 0) feeds 117. Whatever 116 does leaves that path; once
// 117 goes, the output is what 116 asks: the idle byte while it is an
// activated line, else disabled.
TEST(HalLoss, AReceiverOfASharedBusOutputLeavesAnothersPathThere)
{
    using C = LGCP::Command;
    const C line = create_ext(6, 5), map = create_map(0, 5);
    const struct {
        const C *other, *holder;
        C::Choices step;
        const char* left;
        int trunk = 1, slot = 1;
    } rows[] = {{&line, &line, C::e_destroy, "ok disabled"},      {&line, &line, C::e_deactivate, "ok disabled"},
                {&line, &line, C::e_activate, "ok constant d5"},   {&line, &map, C::e_destroy, "ok disabled"},
                {&line, &map, C::e_deactivate, "ok disabled"},     {&line, &map, C::e_activate, "ok constant d5"},
                {&map, &line, C::e_destroy, "ok disabled"},        {&line, &line, C::e_destroy, "ok disabled", 0, 0},
                {&line, &line, C::e_deactivate, "ok disabled", 0, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(&row - rows);
        HalFlow f;
        ASSERT_TRUE(f.start()) << f.server.err();
        for (int n : {116, 117}) {
            const C& kind = n == 116 ? *row.other : *row.holder;
            EXPECT_THAT(f.to(n, kind), Contains("slot=" + std::to_string(n) + " success"));
            if (&kind == &line)
                f.to(n, simple(C::e_activate));
        }
        const std::string carried = "ok connected " + std::to_string(32 * row.trunk + row.slot);
        f.to(40, create_trunk(row.trunk, row.slot));
        EXPECT_THAT(f.to(40, simple(C::e_connect, 117)), Contains("slot=40 success"));
        EXPECT_THAT(f.to(116, simple(row.step)), Contains("slot=116 success"));
        EXPECT_EQ(f.board.ask("switch 8197"), carried);
        EXPECT_THAT(f.to(117, kDestroy), Contains("slot=117 success"));
        EXPECT_EQ(f.board.ask("switch 8197"), row.left);
    }
}

// An HDLC link on external line 116 (transmitter bus 0 channel 6, output
// 8198) beside line 117, both receiving on output 8197: whatever order it
// ends in, no bus output carries anything once every slot is destroyed.
// Line 116 activated under the link's path on 8197 (joined through 117)
// keeps the idle byte there once the link went, also on the switch opened
// again.
TEST(HalLoss, AnHdlcLinkOnAnExternalLineLeavesNoBusOutputDriven)
{
    using C = LGCP::Command;
    struct Step {
        int slot;
        C::Choices command;
    };
    const std::vector<Step> destroyAll = {{137, C::e_destroy}, {116, C::e_destroy}, {117, C::e_destroy}};
    const struct {
        const char* what;
        bool hangUp;
        std::vector<Step> end;
    } rows[] = {
        {"link destroyed first", false, destroyAll},
        {"line destroyed first", false, {{116, C::e_destroy}, {137, C::e_destroy}, {117, C::e_destroy}}},
        {"link deactivated first", false, {{137, C::e_deactivate}, {137, C::e_destroy}, {116, C::e_destroy},
                                           {117, C::e_destroy}}},
        {"link's channel hung up first", true, destroyAll},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        HalFlow f;
        ASSERT_TRUE(f.start()) << f.server.err();
        f.to(116, create_ext(6, 5)), f.to(117, create_ext(7, 5)), f.to(137, hdlc_params(1, 7));
        f.to(137, simple(C::e_connect, 116));
        EXPECT_THAT(f.to(116, simple(C::e_connect, 137)), Contains("slot=116 success"));
        EXPECT_THAT(f.to(137, simple(C::e_activate)), Contains("slot=137 success"));
        ASSERT_EQ(f.board.ask("bus").compare(0, 7, "ok 8198"), 0) << f.board.ask("bus");
        if (row.hangUp) {
            EXPECT_THAT(f.board.ask("hangup /dev/mcc/ctl"), testing::StartsWith("ok "));
            EXPECT_TRUE(f.logged("read error")) << f.server.err();
        }
        for (const Step& step : row.end)
            EXPECT_THAT(f.to(step.slot, simple(step.command)), Contains("slot=" + std::to_string(step.slot) + " success"));
        EXPECT_EQ(f.board.ask("bus"), "ok");
    }

    SCOPED_TRACE("switch opened again under an activated line whose link went");
    HalFlow f;
    ASSERT_TRUE(f.start()) << f.server.err();
    f.to(116, create_ext(6, 5)), f.to(117, create_ext(7, 5)), f.to(137, hdlc_params(1, 7));
    f.to(117, simple(C::e_activate));
    EXPECT_THAT(f.to(137, simple(C::e_connect, 117)), Contains("slot=137 success"));
    ASSERT_EQ(f.board.ask("switch 8197").compare(0, 13, "ok connected "), 0) << f.board.ask("switch 8197");
    EXPECT_THAT(f.to(116, simple(C::e_activate)), Contains("slot=116 success"));
    for (int n : {137, 117})
        EXPECT_THAT(f.to(n, kDestroy), Contains("slot=" + std::to_string(n) + " success"));
    EXPECT_EQ(f.board.ask("bus"), "ok 8197");
    EXPECT_EQ(f.board.ask("switch 8197"), "ok constant d5");
    EXPECT_NE(f.board.ask("hangup /dev/hal"), "ok 0");
    EXPECT_TRUE(f.logged("hwMux: device back")) << f.server.err();
    EXPECT_EQ(f.board.ask("switch 8197"), "ok constant d5");
    EXPECT_THAT(f.to(116, kDestroy), Contains("slot=116 success"));
    EXPECT_EQ(f.board.ask("bus"), "ok");
}

// Each output carries the latest connection that the answers hold, or
// rests, whatever the switch refused on the way: a replaced connection
// leaves nothing behind, a repeated connect is the latest path again, and
// of two trunks on one bus output the later is carried, then the earlier.
// Steps: a command and a piece of its answer, or a word for the board's
// port and its answer, awaited for a while.
TEST(HalLoss, AnOutputCarriesTheLatestConnectionTheAnswersHold)
{
    using C = LGCP::Command;
    struct Step {
        int slot; // -1 for a word to the board, -2 for a line the server logs, -3 a command to no slot,
                  // -4 a pause (text: its milliseconds) for what drains to end, -6 the signals
                  // of text milliseconds, with answer deactivated among them
        C command;
        std::string text; // the word, or a piece of the answer
        std::string answer;
    };
    auto say = [](int slot, const C& c, const char* answer) { return Step{slot, c, "", answer}; };
    auto board = [](const std::string& word, const std::string& answer) { return Step{-1, C(), word, answer}; };
    auto logged = [](const std::string& line) { return Step{-2, C(), line, ""}; };
    auto connect = [&](int from, int to) {
        return say(from, simple(C::e_connect, unsigned(to)), ("slot=" + std::to_string(from) + " success").c_str());
    };
    const std::string failWrite = "fail /dev/hal " + std::to_string(Device::Hal::SWITCH_WRITE) + " ";
    // Trunk 12 receives on 35; trunk 15 and map 20 send on 38 and 8232.
    auto replaced = [&](int error) {
        return std::vector<Step>{say(12, create_trunk(1, 3), "success"), say(15, create_trunk(1, 6), "success"),
                                 say(20, create_map(0, 10, 0, 40), "success"), connect(15, 12),
                                 board("switch 35", "ok connected 38"), board(failWrite + std::to_string(error), "ok"),
                                 connect(20, 12), board("switch 35", "ok connected 8232"),
                                 say(12, kDestroy, "slot=12 success"), board(failWrite + "0", "ok"),
                                 board("switch 35", "ok constant d5")};
    };
    // Line 30 receives on 8292, line 31 sends on 8273, trunk 12 on 35.
    const std::vector<Step> line = {
        say(30, create_ext(80, 100), "success"), say(30, simple(C::e_activate), "slot=30 success"),
        board(failWrite + "5", "ok"), say(31, create_ext(81, 101), "success"), say(12, create_trunk(1, 3), "success"),
        connect(12, 30), connect(31, 30), board("switch 8292", "ok connected 8273"),
        say(30, kDisconnect, "slot=30 error disconnectFail"), board(failWrite + "0", "ok"),
        board("switch 8292", "ok connected 8273"), say(30, kDisconnect, "slot=30 success"),
        board("switch 8292", "ok constant d5")};
    // Line 20 and map 21 receive on 8192; trunks 10 and 11 send on 33 and 34.
    const std::vector<Step> shared = {
        say(20, create_ext(5, 0), "success"), say(20, simple(C::e_activate), "slot=20 success"),
        say(21, create_map(0, 0), "success"), say(10, create_trunk(1, 1), "success"),
        say(11, create_trunk(1, 2), "success"), connect(10, 20), connect(11, 21),
        board("switch 8192", "ok connected 34")};
    std::vector<Step> repeated = shared, twoTrunks = shared, refusedMove = shared;
    for (const Step& s : {connect(10, 20), board("switch 8192", "ok connected 33"),
                          say(10, kDestroy, "slot=10 success"), board("switch 8192", "ok connected 34")})
        repeated.push_back(s);
    for (const Step& s : {say(11, kDestroy, "slot=11 success"), board("switch 8192", "ok connected 33"),
                          say(10, kDestroy, "slot=10 success"), board("switch 8192", "ok constant d5")})
        twoTrunks.push_back(s);
    for (const Step& s : {say(12, create_trunk(1, 4), "success"),
                          board("fail /dev/hal " + std::to_string(Device::Hal::SWITCH_CONNECT) + " 5", "ok"),
                          say(12, simple(C::e_connect, 20), "slot=12 error connectFail"),
                          board("switch 8192", "ok connected 34"), say(11, kDestroy, "slot=11 success"),
                          board("switch 8192", "ok connected 33")})
        refusedMove.push_back(s);
    // Trunk 11 (output 34) hears trunk 10 (33) while a move to trunk 12 is
    // refused for good, or meets a switch gone: it keeps 10, and the
    // graph too (10 is still what 11 hears once 12 is gone).
    const std::string failConnect = "fail /dev/hal " + std::to_string(Device::Hal::SWITCH_CONNECT) + " ";
    auto move = [&](std::vector<Step> fault, bool lost) {
        std::vector<Step> steps = {say(10, create_trunk(1, 1), "success"), say(11, create_trunk(1, 2), "success"),
                                   say(12, create_trunk(1, 3), "success"), connect(10, 11),
                                   board("switch 34", "ok connected 33")};
        steps.insert(steps.end(), fault.begin(), fault.end());
        steps.push_back(say(12, simple(C::e_connect, 11), "slot=12 error connectFail"));
        // The board keeps what a lost switch carried: read it once it is back.
        steps.push_back(lost ? logged("hwMux: device back") : board("switch 34", "ok connected 33"));
        for (const Step& s : {board(failConnect + "0", "ok"), board("switch 34", "ok connected 33"),
                              say(12, kDestroy, "slot=12 success"), board("switch 34", "ok connected 33"),
                              say(10, kDestroy, "slot=10 success"), board("switch 34", "ok constant d5")})
            steps.push_back(s);
        return steps;
    };
    // Link 70 on trunk 11 (output 34, over trunk 10's path) is moved to map
    // 21 while every disable meets the switch lost: refused, it is back on
    // trunk 11 once the switch takes requests (its controller channel the
    // driver's first, 1024), with no deactivated.
    const std::string failDisable = "fail /dev/hal " + std::to_string(Device::Hal::SWITCH_DISABLE) + " ";
    const std::vector<Step> linkMove = {
        say(10, create_trunk(1, 1), "success"), say(11, create_trunk(1, 2), "success"),
        say(70, hdlc_params(1, 1), "success"), say(21, create_map(0, 11, 0, 41), "success"), connect(10, 11),
        connect(11, 70), board("switch 34", "ok connected 1024"), board(failDisable + "19 always", "ok"),
        say(21, simple(C::e_connect, 70), "slot=21 error connectFail"), board(failDisable + "0", "ok"),
        logged("hwMux: device back"), board("switch 34", "ok connected 1024")};
    // A connection refused once under the move, which opens the link on
    // map 21 once its old channel let go: told again, it is a wish the
    // answer kept. Trunk 11 hears trunk 10 again, the map's output carries
    // the link, and the controller hears no deactivated.
    std::vector<Step> linkMoveOnce(linkMove.begin(), linkMove.begin() + 7);
    for (const Step& s : {board(failConnect + "5", "ok"), say(21, simple(C::e_connect, 70), "slot=21 success"),
                          board("switch 34", "ok connected 33"), board("switch 8233", "ok connected 1024"),
                          say(70, kDestroy, "slot=70 success")})
        linkMoveOnce.push_back(s);
    // A slot's channel lost while the switch is away (its first reopen
    // refused): the release it owes is made once the switch is back.
    const std::string refuseOpen = "fail /dev/hal open 19";
    C rtp = create_rtp_on(free_rtp_port(), free_rtp_port());
    const std::vector<Step> rtpLost = {
        say(61, rtp, "slot=61 success"), board("switch 2048", "ok disabled"), board(refuseOpen, "ok"),
        board("hangup /dev/hal", "ok "), board("hangup /dev/rtp", "ok 1"), logged("fail to read from rtp"),
        logged("hwMux: device back"), board("switch 2048", "ok disabled")};
    const std::vector<Step> mccLost = {
        say(61, create_mcc(LGCP::MccType::data), "slot=61 success"), board("switch 1024", "ok disabled"),
        board(refuseOpen, "ok"), board("hangup /dev/hal", "ok "), board("hangup /dev/mcc/ctl", "ok "),
        logged("channel lost"), logged("hwMux: device back"), board("switch 1024", "ok disabled")};
    // Mixer unit 0's input on channel 10 (time slot 4106) goes with its unit.
    C input, query = simple(C::e_query);
    input.get_create().get_mixerIn().set_unit(0), input.get_create().get_mixerIn().get_channel().set_tdm(10);
    const std::vector<Step> mixerLost = {
        say(-3, query, "success"), say(61, input, "slot=61 success"), board("switch 4106", "ok disabled"),
        board(refuseOpen, "ok"), board("hangup /dev/hal", "ok "), board("mixer-unit remove 0", "ok"),
        say(-3, query, "success"), logged("channel lost"), logged("hwMux: device back"),
        board("switch 4106", "ok disabled")};
    // Link 70 joined both ways to a line has three packages of 1,400
    // octets queued when a later connection takes the line's output (its
    // channel, the driver's first, 1024; trunk 11 sends on 34, trunk 12 on
    // 35; MCC 41 is channel 1024 and the link's then 1025): the output
    // keeps the later connection, also once the link's channel drained and
    // reopened there (a restart by activate, or its receiver taken).
    const std::vector<std::string> three(3, [] {
        std::string body;
        for (int i = 0; i < 1400; ++i)
            body += "A5 ";
        return body;
    }());
    const Step pause = {-4, C(), "2500", ""};
    auto reopen = [&](int line, std::vector<Step> create, int output, int link, int later, int carried,
                      bool restart) {
        std::vector<Step> steps = create;
        for (const Step& s : {say(70, hdlc_params(1, 1), "success"), connect(line, 70), connect(70, line),
                              board("switch " + std::to_string(output), "ok connected " + std::to_string(link)),
                              say(70, packages(three), "slot=70 success"), connect(later, line),
                              board("switch " + std::to_string(output), "ok connected " + std::to_string(carried))})
            steps.push_back(s);
        if (restart)
            steps.push_back(say(70, simple(C::e_activate), "slot=70 success"));
        steps.push_back(pause);
        steps.push_back(board("switch " + std::to_string(output), "ok connected " + std::to_string(carried)));
        return steps;
    };
    const std::vector<Step> trunks = {say(10, create_trunk(1, 1), "success"), say(11, create_trunk(1, 2), "success")};
    const std::vector<Step> mccLine = {say(41, create_mcc(LGCP::MccType::data), "success"),
                                       say(12, create_trunk(1, 3), "success")};
    // A link's signals, whichever way it is joined (trunk 10 on 33, 11 on
    // 34, 12 on 35): no deactivated for a link that carries or whose line
    // is a wish; one for a line given up, and the link stays down until an
    // activate or a connect; a join that goes leaves the link's own line.
    auto quiet = [](int ms, int deactivated) { return Step{-6, C(), std::to_string(ms), std::to_string(deactivated)}; };
    const std::vector<Step> bothWays = {say(10, create_trunk(1, 1), "success"), say(11, create_trunk(1, 2), "success"),
                                        say(70, hdlc_params(1, 1), "success"), connect(10, 70), connect(70, 10),
                                        board("switch 33", "ok connected 1024")};
    auto refusedBothWays = [&](const std::string& times) {
        std::vector<Step> steps = bothWays;
        for (const Step& s : {board(failConnect + "5" + times, "ok"),
                              say(11, simple(C::e_connect, 70), "slot=11 error connectFail"), pause,
                              board(failConnect + "0", "ok"), board("switch 33", "ok connected "), quiet(1500, 0)})
            steps.push_back(s);
        return steps;
    };
    std::vector<Step> otherJoinGoes = {say(10, create_trunk(1, 1), "success"), say(11, create_trunk(1, 2), "success"),
                                       say(70, hdlc_params(1, 1), "success"), connect(10, 70), connect(70, 11),
                                       connect(10, 70), board("switch 33", "ok connected "),
                                       board("fail /dev/hal open 19 always", "ok"), board("hangup /dev/hal", "ok "),
                                       say(11, kDisconnect, "slot=11 success"), board("fail /dev/hal open 0", "ok"),
                                       logged("hwMux: device back"), board("switch 33", "ok connected "),
                                       quiet(1500, 0)};
    const std::vector<Step> refusedDisconnect = {
        say(10, create_trunk(1, 1), "success"), say(71, hdlc_params(1, 1), "success"),
        say(21, create_map(0, 11, 0, 41), "success"), connect(71, 21), connect(71, 10),
        board("switch 8203", "ok disabled"), board(failWrite + "5", "ok"), say(21, kDisconnect, "slot=21 success"),
        board("switch 8203", "ok constant d5"), quiet(1000, 0)};
    const std::vector<Step> notRevived = {
        say(11, create_trunk(1, 2), "success"), say(12, create_trunk(1, 3), "success"),
        say(70, hdlc_params(1, 1), "success"), connect(70, 11), board("switch 34", "ok connected 1024"),
        board("hangup /dev/mcc/ctl", "ok "), quiet(1500, 1), board(failConnect + "5 always", "ok"),
        say(12, simple(C::e_connect, 11), "slot=12 error connectFail"), board(failConnect + "0", "ok"),
        quiet(1500, 0), board("switch 34", "ok constant d5"), connect(70, 11), board("switch 34", "ok connected ")};
    std::vector<Step> reopenGivenUp = bothWays;
    for (const Step& s : {say(70, packages(three), "slot=70 success"), board(failConnect + "22 always", "ok"),
                          say(70, simple(C::e_activate), "slot=70 success"), quiet(2500, 1),
                          board(failConnect + "0", "ok"), board("switch 33", "ok constant d5"), quiet(1000, 0),
                          say(70, simple(C::e_activate), "slot=70 success"), board("switch 33", "ok connected ")})
        reopenGivenUp.push_back(s);
    const std::vector<Step> reopenOffLine = {
        say(10, create_trunk(1, 1), "success"), say(70, hdlc_params(1, 1), "success"), connect(10, 70),
        say(70, packages(three), "slot=70 success"), say(70, simple(C::e_activate), "slot=70 success"),
        say(70, kDisconnect, "slot=70 success"), pause, board("switch 33", "ok constant d5"), quiet(1000, 0)};
    // Refused as invalid, the move keeps the path held: a reopen makes it again.
    std::vector<Step> invalidMove = move({board(failConnect + "22", "ok")}, false);
    invalidMove.insert(invalidMove.begin() + 7, {board("hangup /dev/hal", "ok "), logged("1 connection(s) made again")});
    const struct {
        const char* what;
        std::vector<Step> steps;
    } rows[] = {{"a link both ways moved, refused once", refusedBothWays("")},
                {"a link both ways moved, refused for a while", refusedBothWays(" always")},
                {"another join of a link goes while the switch is lost", otherJoinGoes},
                {"a receiver off a link's line disconnected, its idle byte refused once", refusedDisconnect},
                {"a link down is not brought back by a refused move", notRevived},
                {"a link whose reopen is given up", reopenGivenUp},
                {"a link taken off its line while its restart waits", reopenOffLine},
                {"a link's line taken by a later connection", reopen(10, trunks, 33, 1024, 11, 34, false)},
                {"a link restarted under a later connection", reopen(10, trunks, 33, 1024, 11, 34, true)},
                {"an MCC line taken from a link", reopen(41, mccLine, 1024, 1025, 12, 35, false)},
                {"a link restarted under a later connection on MCC", reopen(41, mccLine, 1024, 1025, 12, 35, true)},
                {"a link's move meeting the switch lost", linkMove},
                {"a link's move meeting one refusal", linkMoveOnce},
                {"an RTP channel lost while the switch is away", rtpLost},
                {"an MCC channel lost while the switch is away", mccLost},
                {"a mixer input lost while the switch is away", mixerLost},
                {"replaced, its idle byte refused, switch lost", replaced(19)},
                {"replaced, its idle byte refused", replaced(5)},
                {"replaced on a live line, then disconnected", line},
                {"a connect repeated", repeated},
                {"two trunks on one bus output", twoTrunks},
                {"a move refused", refusedMove},
                {"a move refused as invalid", invalidMove},
                {"a move refused for good", move({board(failConnect + "5 always", "ok")}, false)},
                {"a move meeting the switch lost",
                 move({board(failConnect + "19", "ok"), board("hangup /dev/hal", "ok ")}, true)}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        HalFlow f;
        ASSERT_TRUE(f.start()) << f.server.err();
        for (const Step& step : row.steps) {
            SCOPED_TRACE(step.slot < 0 ? step.text : "slot " + std::to_string(step.slot));
            if (step.slot >= 0 || step.slot == -3) {
                const Texts answer = f.to(step.slot, step.command);
                EXPECT_THAT(answer, Contains(HasSubstr(step.answer)));
                EXPECT_THAT(answer, Not(Contains(HasSubstr("deactivated"))));
            }
            else if (step.slot == -2)
                EXPECT_TRUE(f.logged(step.text)) << f.server.err();
            else if (step.slot == -4)
                std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(step.text)));
            else if (step.slot == -6) {
                const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(std::stoi(step.text));
                int deactivated = 0;
                while (std::chrono::steady_clock::now() < end) {
                    const std::string t = f.ctl.next(100);
                    deactivated += t.find(" deactivated") != std::string::npos;
                }
                EXPECT_EQ(std::to_string(deactivated), step.answer);
            }
            else
                // An answer that ends in a blank is how the board's answer starts.
                EXPECT_TRUE(eventually(
                    [&] {
                        const std::string got = f.board.ask(step.text);
                        return step.answer.back() == ' ' ? got.rfind(step.answer, 0) == 0 : got == step.answer;
                    },
                    3000))
                    << f.board.ask(step.text) << "\n" << f.server.err();
        }
    }
}

} // namespace

namespace {

// The octets of the userData signals among texts, by slot, in order.
void count_heard(const Texts& texts, std::map<int, std::string>& heard)
{
    for (const std::string& t : texts) {
        size_t data = t.find(" userData '"), close = t.rfind('\'');
        if (t.rfind("slot=", 0) != 0 || data == std::string::npos || close <= data + 11)
            continue;
        std::string& into = heard[std::stoi(t.substr(5))];
        for (size_t at = data + 11; at + 2 <= close; at += 3)
            into += static_cast<char>(std::stoi(t.substr(at, 2), nullptr, 16));
    }
}

// Link 2 on line 1 (bus channel 10: output 8202) has 60 packages of 200
// octets answered (more than its channel holds, so the slot still queues
// some), then one step, then 20 more: each leaves once, in order, on the
// line the link was on when it was answered. Map 21 (transmitter bus
// channel 10) passes line 1 to MCC slot 3, map 22 line 11 (channel 11) to
// MCC slot 13. A move or a restart lets the old channel drain first; a
// line the switch refuses meanwhile (for a while, or lost) is a wish told
// again, and what waits leaves once it is taken, with no deactivated.
// Each body starts with its number.
TEST(HalLoss, EveryPackageALinkWasAnsweredLeavesOnALine)
{
    using C = LGCP::Command;
    const std::string failConnect = "fail /dev/hal " + std::to_string(Device::Hal::SWITCH_CONNECT) + " ";
    struct Step {
        int slot; // -1: the word to the board; -4: a pause of text ms; -5: text more packages;
                  // -7: until what was sent is heard
        C command;
        // Of a command: an error it may answer instead of success (a move
        // whose channel had not yet drained is answered success): the link
        // then stays on line 1.
        std::string text;
    };
    auto board = [](const std::string& word) { return Step{-1, C(), word}; };
    const Step pause = {-4, C(), "2000"}, move = {11, simple(C::e_connect, 2), ""};
    const Step activate = {2, simple(C::e_activate), ""};
    const struct {
        const char* what;
        std::vector<Step> steps;
        int line; // the slot that hears what is sent after the first command; -1: nothing is sent
    } rows[] = {
        {"none", {}, 3},
        {"deactivate", {{2, simple(C::e_deactivate), ""}}, 3},
        {"disconnect", {{2, kDisconnect, ""}}, -1},
        {"line destroyed", {{1, kDestroy, ""}}, -1},
        {"move", {move}, 13},
        {"move refused once", {board(failConnect + "5"), move}, 13},
        {"activate", {activate}, 3},
        {"deactivate, activate", {{2, simple(C::e_deactivate), ""}, activate}, 3},
        {"move, connects refused for a while",
         {board(failConnect + "5 always"), move, pause, board(failConnect + "0")},
         13},
        {"activate on a draining link, connects refused for a while",
         {activate, board(failConnect + "5 always"), activate, pause, board(failConnect + "0")},
         3},
        {"move meeting the switch lost",
         {board("fail /dev/hal open 19 always"), board("hangup /dev/hal"), move, pause,
          board("fail /dev/hal open 0")},
         13},
        {"move refused with nothing to drain, back on its line as a wish",
         {{-7, C(), ""}, board(failConnect + "5 always"), {11, simple(C::e_connect, 2), "error connectFail"}, pause,
          board(failConnect + "0")},
         13},
        {"move, packages sent while it waits",
         {board(failConnect + "5 always"), move, pause, {-5, C(), "100"}, pause, board(failConnect + "0")},
         13},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        HalFlow f;
        ASSERT_TRUE(f.start()) << f.server.err();
        for (const auto& c : {std::make_pair(1, create_ext(10, 20)), std::make_pair(11, create_ext(11, 21)),
                              std::make_pair(2, hdlc_params(1, 5)), std::make_pair(21, create_map(0, 30, 0, 10)),
                              std::make_pair(22, create_map(0, 31, 0, 11)),
                              std::make_pair(3, mcc_slot(LGCP::MccType::data)),
                              std::make_pair(13, mcc_slot(LGCP::MccType::data))})
            ASSERT_THAT(f.to(c.first, c.second), Contains("slot=" + std::to_string(c.first) + " success"));
        for (const auto& join : {std::make_pair(1, 2), std::make_pair(21, 3), std::make_pair(22, 13)})
            ASSERT_THAT(f.to(join.first, simple(C::e_connect, unsigned(join.second))),
                        Contains("slot=" + std::to_string(join.first) + " success"));
        ASSERT_THAT(f.to(2, simple(C::e_activate)), Contains("slot=2 success"));
        std::map<int, std::string> heard;
        std::map<int, std::vector<int>> expected; // by the slot whose line should carry them
        int sent = 0, line = 3;
        auto check = [&](const Texts& answer) {
            count_heard(answer, heard);
            EXPECT_THAT(answer, Not(Contains(HasSubstr("slot=2 deactivated"))));
        };
        // Packages the answer refused (the slot's queue full) are not owed.
        auto send = [&](int n) {
            for (; n > 0; n -= 20) {
                std::vector<std::string> bodies;
                for (int i = 0; i < std::min(n, 20); ++i) {
                    char number[8];
                    std::snprintf(number, sizeof number, "%02X %02X ", (sent + i) >> 8, (sent + i) & 0xFF);
                    std::string body = number;
                    for (int k = 2; k < 200; ++k)
                        body += "5A ";
                    bodies.push_back(body);
                }
                Texts answer = f.to(2, packages(bodies));
                check(answer);
                if (std::count(answer.begin(), answer.end(), "slot=2 success") == 0)
                    continue;
                for (int i = 0; i < std::min(n, 20); ++i)
                    expected[line].push_back(sent + i);
                sent += std::min(n, 20);
            }
        };
        // A frame heard: the address, the control octet, the body's number, the filler.
        auto numbers = [&](int slot) {
            std::vector<int> found;
            const std::string& octets = heard[slot];
            for (size_t at = 0; at + 203 <= octets.size(); at += 203)
                found.push_back((static_cast<unsigned char>(octets[at + 3]) << 8) |
                                static_cast<unsigned char>(octets[at + 4]));
            return found;
        };
        auto done = [&] { return numbers(3) == expected[3] && numbers(13) == expected[13]; };
        // The link's counters come every 3 s: a wait has its own end.
        auto await_heard = [&](int seconds) {
            const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
            for (std::string t; !done() && std::chrono::steady_clock::now() < end && !(t = f.ctl.next(1000)).empty();)
                check({t});
        };
        send(60);
        for (const Step& step : row.steps) {
            if (step.slot == -1) {
                EXPECT_EQ(f.board.ask(step.text).substr(0, 2), "ok") << step.text;
            } else if (step.slot == -4) {
                std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(step.text)));
            } else if (step.slot == -5) {
                send(std::stoi(step.text));
            } else if (step.slot == -7) {
                await_heard(10);
            } else {
                line = row.line;
                Texts answer = f.to(step.slot, step.command);
                const std::string number = "slot=" + std::to_string(step.slot) + " ";
                if (!step.text.empty() && std::count(answer.begin(), answer.end(), number + step.text) > 0)
                    line = 3;
                else
                    EXPECT_THAT(answer, Contains(number + "success"));
                check(answer);
            }
        }
        if (line != -1)
            send(20);
        await_heard(12);
        EXPECT_EQ(numbers(3), expected[3]) << f.server.err();
        EXPECT_EQ(numbers(13), expected[13]);
        EXPECT_EQ(heard[3].size() % 203 + heard[13].size() % 203, 0u);
        EXPECT_THAT(f.server.err(), Not(HasSubstr("unsent")));
    }
}

} // namespace
