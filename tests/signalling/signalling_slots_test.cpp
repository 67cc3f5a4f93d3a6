// What every signalling slot kind leaves behind, and its answer when no
// packet buffer is free.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <limits>
#include <string>

#include "server/tdm/map_slot.h"
#include "tests/runtime/loop_support.h"
#include "tests/signalling/hdlc_support.h"
#include "tests/signalling/signalling_slot_support.h"

using namespace vbtest;
using testing::ElementsAre;
using Strings = std::vector<std::string>;
namespace Mcc = Device::Mcc;

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

// A link destroyed with a frame still on a slow line (an HDLC slot with
// packages still queued for lack of room too), whose channel then hangs
// up, goes at once: its descriptors and its number are free, and the
// loop, which nothing wakes any more, idles.
TEST_F(SignallingSlotsTest, ADrainingLinkWhoseChannelHangsUpGoesAtOnce)
{
    std::string body;
    for (int i = 0; i < 4000; ++i)
        body += "AA ";
    for (const std::string name : {"ss7", "isdn", "hdlc"}) {
        SCOPED_TRACE(name);
        int fds = settled_fds();
        sim.mcc().set_rate(100);
        command(std::find_if(kinds().begin(), kinds().end(), [&](const auto& k) { return k.first == name; })->second,
                1);
        command(trunk_slot(0, 16), 2);
        command(connect(1), 2);
        command(connect(2), 1);
        command(simple(C::e_activate), 1);
        if (name == "hdlc") {
            EXPECT_THAT(command(packages(Strings(5, body)), 1), ElementsAre("slot=1 success"));
        }
        wait(10);
        if (name == "hdlc") {
            EXPECT_EQ(at<HdlcSlot>(1).queued(), 1u) << "the line and the channel take four";
        }
        const int channel = out(16).source;
        ASSERT_TRUE(sim.mcc().find(channel));
        EXPECT_THAT(command(simple(C::e_destroy), 1), testing::Contains("slot=1 success"));
        ASSERT_NE(slots().at(1), nullptr) << "its last frame is still on the line";
        sim.mcc().hang_up(channel);
        unsigned passes = 0;
        FnDpc count([&] { ++passes == 2000 ? multiplexer.terminate() : void(); });
        count.dpc.Activate();
        wait(50);
        EXPECT_LT(passes, 100u);
        EXPECT_EQ(slots().at(1), nullptr);
        count.dpc.Deactivate();
        command(simple(C::e_destroy), 2);
        sim.mcc().set_rate(SimBoard::MccController::kUnpaced);
        EXPECT_EQ(settled_fds(), fds);
        EXPECT_EQ(sim.mcc().allocated(), 0u);
    }
}

// The kinds with an HDLC channel of their own on the line they are joined
// to; what each connection from trunk slot 2 (to 1, then from 1) answers
// while the channel cannot open: an E1 link opens on the connection from
// the line, a BRI D channel once both directions are joined, the packet
// slot on either.
struct LineKind {
    const char* name;
    C create;
    std::vector<const char*> joins;
};
const std::vector<LineKind>& line_kinds()
{
    static const std::vector<LineKind> all = {
        {"ss7", ss7(1), {"slot=2 error connectFail", "slot=1 success"}},
        {"pri", pstn_isdn(false, 1, false), {"slot=2 error connectFail", "slot=1 success"}},
        {"cas", cas(1), {"slot=2 error connectFail", "slot=1 success"}},
        {"bri user", pstn_isdn(true, 1, false), {"slot=2 success", "slot=1 error connectFail"}},
        {"bri network", pstn_isdn(true, 1, true), {"slot=2 success", "slot=1 error connectFail"}},
        {"hdlc", hdlc_params(1, 7), {"slot=2 error connectFail", "slot=1 error connectFail"}},
    };
    return all;
}

// A connection or an activation whose channel does not open is refused,
// not answered success: the controller also hears deactivated, and the
// line carries nothing. Once the device allocates again, joining opens it.
TEST_F(SignallingSlotsTest, AChannelThatDoesNotOpenIsAnError)
{
    for (const LineKind& k : line_kinds()) {
        SCOPED_TRACE(k.name);
        command(k.create, 1);
        command(trunk_slot(0, 16), 2);
        sim.board.fail(Mcc::kDevice, Mcc::MCC_ALLOCATE, ENOSPC, SimBoard::Board::Times::always);
        Texts first = command(connect(1), 2), second = command(connect(2), 1);
        EXPECT_EQ((Strings{first.back(), second.back()}), Strings(k.joins.begin(), k.joins.end()));
        EXPECT_THAT(k.joins[0] == std::string("slot=2 success") ? second : first,
                    testing::Contains("slot=1 deactivated networkError"));
        EXPECT_NE(out(16).drive, SimBoard::Hal::Drive::connected);

        sim.board.clear_failures();
        command(connect(1), 2), command(connect(2), 1);
        EXPECT_EQ(out(16).drive, SimBoard::Hal::Drive::connected);
        sim.board.fail(Mcc::kDevice, Mcc::MCC_ALLOCATE, ENOSPC);
        EXPECT_THAT(command(simple(C::e_activate), 1),
                    testing::IsSupersetOf({"slot=1 deactivated networkError", "slot=1 error internal"}));
        EXPECT_THAT(command(simple(C::e_activate), 1), testing::Contains("slot=1 success"));
        EXPECT_EQ(out(16).drive, SimBoard::Hal::Drive::connected);
        command(simple(C::e_destroy), 1), command(simple(C::e_destroy), 2);
        wait(10);
    }
}

// The line goes with the connections that joined it: an activation after
// them opens no channel towards it, and waits for the next connection.
TEST_F(SignallingSlotsTest, AnActivationWithoutALineWaitsForTheConnection)
{
    for (const LineKind& k : line_kinds()) {
        SCOPED_TRACE(k.name);
        command(k.create, 1);
        command(trunk_slot(0, 16), 2);
        command(connect(1), 2), command(connect(2), 1);
        command(simple(C::e_disconnect), 1), command(simple(C::e_disconnect), 2);
        wait(10);
        size_t allocations = sim.board.ioctls(Mcc::kDevice, Mcc::MCC_ALLOCATE).size();
        EXPECT_THAT(command(simple(C::e_activate), 1),
                    ElementsAre("slot=1 deactivated networkError", "slot=1 success"));
        EXPECT_EQ(sim.board.ioctls(Mcc::kDevice, Mcc::MCC_ALLOCATE).size(), allocations);
        EXPECT_NE(out(16).drive, SimBoard::Hal::Drive::connected);
        EXPECT_EQ(sim.mcc().allocated(), 0u);
        command(simple(C::e_destroy), 1), command(simple(C::e_destroy), 2);
        wait(10);
    }
}

// The switch holds a channel's paths: opened again after it went (by
// itself or for another user), which turns the shared bus off, it carries
// them again; those of a channel that closed meanwhile it releases.
TEST_F(SignallingSlotsTest, ASwitchOpenedAgainCarriesTheChannelAgain)
{
    MapFactory maps;
    C bus;
    LGCP::MapParams& p = bus.get_create().get_map();
    p.include_transmitter().set_bus(0), p.get_transmitter().set_channel(5);
    p.include_receiver().set_bus(0), p.get_receiver().set_channel(5);
    const int line = 8192 + 5;
    for (const LineKind& k : line_kinds()) {
        SCOPED_TRACE(k.name);
        command(k.create, 1);
        command(bus, 2);
        command(connect(1), 2), command(connect(2), 1);
        int channel = out(line).source;
        ASSERT_EQ(out(channel).source, line);
        for (SimBoard::Channel* hal : sim.board.channels("/dev/hal"))
            hal->hang_up();
        wait(10);
        ASSERT_LT(mux.mux().fd(), 0) << "the loss was seen";
        wait(HwMux::kRetryMs + 100);
        ASSERT_TRUE(mux.mux().IsOpened());
        EXPECT_EQ(out(line).drive, SimBoard::Hal::Drive::connected);
        EXPECT_EQ(out(line).source, channel);
        EXPECT_EQ(out(channel).source, line);

        // Gone while the channel goes: the switch releases its paths once back.
        sim.board.fail("/dev/hal", SimBoard::Op::open, ENODEV, SimBoard::Board::Times::always);
        for (SimBoard::Channel* hal : sim.board.channels("/dev/hal"))
            hal->hang_up();
        wait(10);
        command(simple(C::e_destroy), 1), command(simple(C::e_destroy), 2);
        sim.board.clear_failures();
        wait(HwMux::kRetryMs + 100);
        ASSERT_TRUE(mux.mux().IsOpened());
        EXPECT_NE(out(line).drive, SimBoard::Hal::Drive::connected);
        EXPECT_NE(out(channel).drive, SimBoard::Hal::Drive::connected);
    }
}

// Every integer of the creation parameters at the limits of INTEGER: a
// trunk that can name none is refused, a label or a level is taken, and
// nothing overflows on the way (the sanitizer build would stop here).
TEST_F(SignallingSlotsTest, ControllerIntegersAtTheirLimits)
{
    for (int v : {std::numeric_limits<int>::min(), -1, 0, std::numeric_limits<int>::max()}) {
        C link = ss7(v);
        LGCP::SS7Params& s7 = link.get_create().get_pstn().get_ss7();
        s7.set_slc(v), s7.set_dpc(v), s7.set_opc(v);
        C pri = pstn_isdn(false, v, false), briUser = pstn_isdn(true, v, false), briNet = pstn_isdn(true, v, true);
        C mcc = isdn(false, v), ats = ats_qsig(), hdlc = hdlc_params(v, v);
        for (C* c : {&pri, &briUser, &briNet})
            c->get_create().get_pstn().get_isdn().set_log(v);
        mcc.get_create().get_isdn().set_log(v);
        ats.get_create().get_ats_qsig().set_log(v);
        hdlc.get_create().get_hdlcParams().set_log(v);
        std::pair<C*, bool> cases[] = {{&link, true}, {&pri, true},  {&briUser, true}, {&briNet, false},
                                       {&mcc, false}, {&ats, false}, {&hdlc, false}};
        for (auto& c : cases) {
            SCOPED_TRACE(::testing::Message() << v << " " << c.first->get_create());
            bool refused = c.second && v < 0;
            EXPECT_THAT(command(*c.first, 1), ElementsAre(refused ? "slot=1 error invalidParams" : "slot=1 success"));
            if (refused)
                continue;
            command(trunk_slot(0, 16), 2);
            command(connect(1), 2);
            command(connect(2), 1);
            command(simple(C::e_activate), 1);
            command(user_data("08 01 05"), 1);
            wait(3000);
            command(simple(C::e_destroy), 1);
            command(simple(C::e_destroy), 2);
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

// Every reader of a multichannel controller channel, by one rule: EAGAIN
// and EINTR leave what waits to the next pass; a read of 0 octets or any
// other error ends the channel with one line, and it is read no more. The
// HDLC packet slot, which no link layer reports for, says the end itself.
TEST_F(SignallingSlotsTest, ChannelReadersEndByOneRule)
{
    const struct {
        const char* name;
        std::function<void()> make; // on slot 1
        std::string frame;          // one that makes the slot signal...
        std::string signal;         // ...this
        std::function<std::string(int channel, const std::string& why)> line;
        std::function<bool()> over;
        Texts ended; // what the controller hears of the end at once
    } readers[] = {
        {"mcc", [&] { command(mcc_slot(LGCP::MccType::data), 1); }, "61", "slot=1 userData '61'H",
         [](int, const std::string& why) { return "01:MCC channel lost (" + why + "), 0 bytes unsent\n"; },
         [&] { return slots().at(1)->IsLost(); }, {}},
        {"isdn", [&] { command(isdn(false), 1), command(simple(C::e_activate), 1); }, "00 01 73",
         "slot=1 activated",
         [](int ch, const std::string& why) {
             return "isdn-slot[" + std::to_string(ch) + "]: channel lost (" + why + ")\n";
         },
         [&] { return slots().at(1)->IsLost(); }, {}},
        {"hdlc", [&] { command(hdlc_params(1, 7), 1), command(trunk_slot(0, 16), 2), command(connect(1), 2); },
         "00 07 00", "slot=1 ioctl hdlcPackages",
         [](int, const std::string& why) { return "hdlc [1/0]: read error: " + why + "\n"; },
         [&] { return !at<HdlcSlot>(1).channel().is_open(); }, {"slot=1 deactivated networkError"}},
    };
    const struct {
        int error; // 0: the read returns 0 octets
        const char* why;
    } reads[] = {{EAGAIN, nullptr}, {EINTR, nullptr}, {0, "end of file"}, {EIO, "Input/output error"}};
    for (const auto& r : readers) {
        for (const auto& read : reads) {
            SCOPED_TRACE(std::string(r.name) + " " + (read.error ? std::strerror(read.error) : "0 octets"));
            r.make();
            int channel = sim.board.ioctls(Mcc::kDevice, Mcc::MCC_TIMESLOT).back().result;
            wait(), controller(), err.clear();
            if (read.error)
                sim.board.fail(Mcc::kDevice, SimBoard::Op::read, read.error);
            sim.mcc().deliver(channel, read.error ? octets(r.frame) : "");
            auto made = [&, before = sim.board.count(Mcc::kDevice, SimBoard::Op::read)] {
                return sim.board.count(Mcc::kDevice, SimBoard::Op::read) - before;
            };
            one_pass();
            EXPECT_EQ(made(), 1u) << "one read a pass";
            EXPECT_EQ(controller(), read.why ? r.ended : Texts());
            one_pass();
            if (read.why) {
                EXPECT_EQ(err.str(), r.line(channel, read.why));
                EXPECT_TRUE(r.over());
                EXPECT_EQ(made(), 1u) << "read no more";
            } else {
                EXPECT_EQ(err.str(), "");
                EXPECT_FALSE(r.over());
                EXPECT_THAT(controller(), testing::Contains(testing::StartsWith(r.signal)))
                    << "what waited is read on the next pass";
            }
            command(simple(C::e_destroy), 1), command(simple(C::e_destroy), 2);
        }
    }
}

} // namespace
