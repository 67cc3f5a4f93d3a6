// The TDM slot kinds through the slot table on the simulated board: trunk
// and BRI time slots, shared-bus map and external channels, echo-canceller
// channels and MCC data channels.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "server/tdm/echo_slot.h"
#include "server/tdm/ext_slot.h"
#include "server/tdm/map_slot.h"
#include "server/tdm/mcc_slot.h"
#include "server/tdm/trunk_slot.h"
#include "signalling/hdlc_slot.h"
#include "tests/runtime/loop_support.h"
#include "tests/server/slots/slot_support.h"

using namespace vbtest;
using C = LGCP::Command;
using testing::ElementsAre;
using testing::HasSubstr;
using Drive = SimBoard::Hal::Drive;
namespace Mcc = Device::Mcc;

namespace {

C trunk(int t, int ts, bool bri = false)
{
    C c;
    LGCP::TrunkParams& p = bri ? c.get_create().get_trunk_bri() : c.get_create().get_trunk();
    p.set_trunk(t);
    p.set_timeslot(ts);
    return c;
}

// A negative bus leaves that direction out.
C map(int txBus, int txChannel, int rxBus = -1, int rxChannel = 0)
{
    C c;
    LGCP::MapParams& p = c.get_create().get_map();
    txBus >= 0 ? p.include_transmitter().set_bus(txBus), p.get_transmitter().set_channel(txChannel) : void();
    rxBus >= 0 ? p.include_receiver().set_bus(rxBus), p.get_receiver().set_channel(rxChannel) : void();
    return c;
}

C echo(int bus, int channel)
{
    C c;
    return c.get_create().get_echo().set_bus(bus), c.get_create().get_echo().set_channel(channel), c;
}

C mcc(LGCP::MccType::NamedNumber type, LGCP::MccMode::NamedNumber mode = LGCP::MccMode::standard)
{
    C c;
    return c.get_create().get_mcc().set_type(type), c.get_create().get_mcc().set_mode(mode), c;
}

C user_data(const std::string& bytes)
{
    C c;
    return c.get_userData().assign(bytes.begin(), bytes.end()), c;
}

std::string user_data_signal(int slot, const std::string& bytes)
{
    LGCP::Signal sig;
    sig.get_userData().assign(bytes.begin(), bytes.end());
    return "slot=" + std::to_string(slot) + " " + signal_text(sig);
}

struct TdmSlotsTest : ::testing::Test, SlotWorld {
    MapFactory maps;
    ExtFactory exts;
    MccFactory mccs;
    std::unique_ptr<EchoFactory> echoes{new EchoFactory};

    TdmSlotsTest() { factory.refuse = true; }
    const SimBoard::Hal::Output& out(int channel) { return sim.hal().output(channel); }
    int channel(unsigned n) { return slots().at(n)->IGetTransmitChannel(); }
    // Loop passes until the loop idles, at most 10 (a descriptor that stays
    // ready would keep it busy); DPCs run twice a pass.
    unsigned run_passes()
    {
        unsigned runs = 0;
        FnDpc count([&] { ++runs == 20 ? multiplexer.terminate() : void(); });
        FnTimer idle;
        count.dpc.Activate(), idle.arm(1, [] { multiplexer.terminate(); }), multiplexer.run(false, true);
        return runs / 2;
    }
    // Open descriptors, once the loop has made its own and the board has
    // noticed every close.
    int settled_fds() { return run_passes(), sim.board.sweep(), open_fd_count(); }
};

TEST_F(TdmSlotsTest, TrunkAndBriTimeSlots)
{
    EXPECT_THAT(command(trunk(1, 5), 2, 1),
                ElementsAre("seq=1 slot=2 success", "slot=2 transmitter active : 37", "slot=2 receiver active : 37"));
    // The slot's name, channel, trunk and time slot; refused ones answer instead.
    std::pair<C, std::string> cases[] = {
        {trunk(3, 31), "trunk 127 3 31"},        {trunk(4, 0), "slot=3 error insufficientResources"},
        {trunk(2, 3, true), "trunkBRI 11 2 3"},  {trunk(2, 4, true), "slot=3 error insufficientResources"},
        {trunk(7, 3, true), "trunkBRI 31 7 3"},  {trunk(8, 0, true), "slot=3 error insufficientResources"}};
    for (auto& c : cases) {
        Texts sent = command(c.first, 3);
        Slot* s = sent.size() == 3 ? slots().at(3) : nullptr;
        EXPECT_EQ(s ? std::string(s->GetName()) + " " + std::to_string(s->IGetReceiveChannel()) + " " +
                          std::to_string(s->GetTrunk()) + " " + std::to_string(s->GetTrunkTimeSlot())
                    : sent.at(0),
                  c.second);
    }
    // Beyond what the decoder can deliver.
    for (SlotFactory* f = firstFactory; f; f = f->next())
        EXPECT_EQ(f->NewSlot(trunk(0, 32).get_create()), nullptr) << f->GetName();
    // A slot deleted without its release leaves its time slot free.
    delete trunk1.NewSlot(trunk(1, 9).get_create());
    EXPECT_EQ(trunk1.at(9), nullptr);
}

TEST_F(TdmSlotsTest, ABusyTimeSlotDisplacesItsSlotAndItsConnections)
{
    command(trunk(0, 5), 3);
    command(trunk(0, 6), 4);
    command(simple(C::e_connect, 4), 3);
    command(simple(C::e_connect, 3), 4);
    ASSERT_EQ(out(6).source, 5);
    EXPECT_THAT(command(trunk(0, 5), 10),
                ElementsAre("slot=10 success", "slot=10 transmitter active : 5", "slot=10 receiver active : 5"));
    EXPECT_EQ(err.str(), "trunk-slot: two slots require the same timeslot, remove old.\n old slot 03:trunk\n");
    EXPECT_EQ(slots().at(3), nullptr);
    EXPECT_EQ(trunk0.at(5), slots().at(10));
    EXPECT_TRUE(!slots().at(4)->GetSource() && slots().at(4)->GetReceivers().empty());
    EXPECT_TRUE(out(5).drive == Drive::constant && out(6).drive == Drive::constant) << "both send the idle byte";
}

TEST_F(TdmSlotsTest, MapSlotsOwnTheirBusChannels)
{
    EXPECT_THAT(command(map(1, 3), 1), ElementsAre("slot=1 success", "slot=1 transmitter active : 8323"));
    command(map(-1, 0, 0, 0), 2);
    command(trunk(1, 5), 3);
    command(simple(C::e_connect, 2), 3);
    command(simple(C::e_connect, 3), 1);
    EXPECT_EQ(out(8192).source, 37);
    EXPECT_EQ(out(37).source, 8323);

    // A receiver on the channel slot 4 transmits on displaces slot 4.
    command(map(0, 9), 4);
    err.clear();
    EXPECT_THAT(command(map(-1, 0, 0, 9), 5), ElementsAre("slot=5 success", "slot=5 receiver active : 8201"));
    EXPECT_EQ(err.str(),
              "map-slot: two slots require the same ipc-slot, remove old.\nnew slot na:map <-> old slot 04:map\n");
    EXPECT_EQ(maps.owner(9), slots().at(5));

    // One slot on one channel both ways owns it alone, and frees it.
    command(map(2, 5, 2, 5), 6);
    EXPECT_EQ(maps.owner(261), slots().at(6));
    sim.board.clear_log();
    EXPECT_THAT(command(simple(C::e_destroy), 6), ElementsAre("slot=6 success"));
    EXPECT_EQ(sim.board.ioctls("/dev/hal", Device::Hal::SWITCH_DISABLE).at(0).in, std::vector<uint32_t>{8453});
    EXPECT_EQ(maps.owner(261), nullptr);
    EXPECT_THAT(err.str(), testing::Not(HasSubstr("internal error")));
}

TEST_F(TdmSlotsTest, ExternalSlotHearsOnlyWhileActivated)
{
    EXPECT_THAT(command(create_ext(10, 20), 1), ElementsAre("slot=1 success", "slot=1 transmitter active : 8202"));
    command(trunk(0, 1), 2);
    EXPECT_THAT(command(simple(C::e_connect, 1), 2), testing::Contains("slot=2 error connectFail"));
    EXPECT_THAT(err.str(), HasSubstr("slot 01:bri don't have input stream from 02:trunk"));
    EXPECT_THAT(command(simple(C::e_activate), 1), ElementsAre("slot=1 receiver active : 8212", "slot=1 success"));
    EXPECT_TRUE(out(8212).drive == Drive::constant && out(8212).value == HwMux::kIdleByte);
    EXPECT_THAT(command(simple(C::e_connect, 1), 2), ElementsAre("slot=2 success"));
    EXPECT_THAT(command(simple(C::e_activate), 1), ElementsAre("slot=1 success"));
    EXPECT_EQ(out(8212).source, 1) << "the live connection stays";
    EXPECT_THAT(command(simple(C::e_deactivate), 1), ElementsAre("slot=1 receiver inactive : NULL", "slot=1 success"));
    EXPECT_EQ(out(8212).drive, Drive::disabled);
    EXPECT_EQ(slots().at(1)->GetSource(), nullptr);

    for (auto tx_rx : {std::make_pair(2048, 0), {0, -1}, {INT_MAX, 0}, {0, INT_MIN}})
        EXPECT_THAT(command(create_ext(tx_rx.first, tx_rx.second), 3), ElementsAre("slot=3 error invalidParams"));
    EXPECT_THAT(command(create_ext(2047, 0), 3), ElementsAre("slot=3 success", "slot=3 transmitter active : 10239"));
}

// An activated external slot's idle byte is held by the switch: a switch
// opened again, which turned every bus output off, sends it again by
// itself, and an activation again asks for it again.
TEST_F(TdmSlotsTest, ExternalSlotsIdleByteComesBackWithTheSwitch)
{
    command(create_ext(10, 20), 1);
    command(simple(C::e_activate), 1);
    for (SimBoard::Channel* hal : sim.board.channels("/dev/hal"))
        hal->hang_up();
    mux.mux().Read(0);
    ASSERT_TRUE(mux.mux().IsOpened());
    EXPECT_TRUE(out(8212).drive == Drive::constant && out(8212).value == HwMux::kIdleByte);
    EXPECT_THAT(log.str(), HasSubstr("hwMux: device back, 0 connection(s) made again, 1 idle output(s) again\n"));
    mux.mux().Disable(8212);
    EXPECT_THAT(command(simple(C::e_activate), 1), ElementsAre("slot=1 success"));
    EXPECT_TRUE(out(8212).drive == Drive::constant && out(8212).value == HwMux::kIdleByte);
}

TEST_F(TdmSlotsTest, EchoSlotsOnFittedBusesOnly)
{
    sim.hal().set_echo_buses(0x8001);
    echoes.reset(new EchoFactory);
    EXPECT_THAT(command(echo(15, 31), 1), ElementsAre("slot=1 success", "slot=1 transmitter active : 511",
                                                      "slot=1 receiver active : 511"));
    // Missing buses are not served; channels beyond a bus are invalid.
    for (auto bus_channel : {std::make_pair(1, 0), {16, 0}, {-1, 0}, {0, 32}, {0, -1}})
        EXPECT_THAT(command(echo(bus_channel.first, bus_channel.second), 2).at(0),
                    HasSubstr(bus_channel.second ? "invalidParams" : "insufficientResources"));
    EXPECT_THAT(command(simple(C::e_query), -1).at(1), HasSubstr("echoBus { 0, 15 }"));

    sim.board.fail("/dev/hal", Device::Hal::HW_ECHO_BUSES, EIO);
    echoes.reset(new EchoFactory);
    EXPECT_THAT(command(echo(0, 0), 2), ElementsAre("slot=2 error insufficientResources"));
    EXPECT_THAT(command(simple(C::e_query), -1).at(1), HasSubstr("echoBus { }"));
}

TEST_F(TdmSlotsTest, MccAllocationAndResources)
{
    using M = LGCP::MccType;
    std::pair<C, uint32_t> cases[] = {
        {mcc(M::data, LGCP::MccMode::ss7), 3}, {mcc(M::bri), 1}, {mcc(M::transparent), 2}, {mcc(M::data), 0}};
    for (auto& c : cases) {
        sim.board.clear_log();
        EXPECT_THAT(command(c.first, 1), ElementsAre("slot=1 success"));
        EXPECT_EQ(sim.board.ioctls(Mcc::kDevice, Mcc::MCC_ALLOCATE).at(0).out,
                  (std::vector<uint32_t>{c.second, 512, 0, 1, 1}));
    }
    EXPECT_EQ(channel(1), 1024);
    EXPECT_THAT(command(simple(C::e_query), -1).at(1), HasSubstr("mcc-data 31, mcc-bri 8, mcc-trans 32,"));

    sim.mcc().set_capacity(Mcc::kBri, 0);
    sim.board.fail(Mcc::kDevice, SimBoard::Op::open, ENODEV);
    for (const char* why : {"mcc: fail to open MCC device: No such device", "mcc: MCC_ALLOCATE fail: No space"}) {
        EXPECT_THAT(command(mcc(M::bri), 2), ElementsAre("slot=2 error insufficientResources"));
        EXPECT_THAT(err.str(), HasSubstr(why));
    }
    sim.board.fail(Mcc::kDevice, SimBoard::Op::open, ENODEV);
    EXPECT_THAT(command(simple(C::e_query), -1).at(1), HasSubstr("mcc-data 0, mcc-bri 0, mcc-trans 0,"));
}

TEST_F(TdmSlotsTest, MccDataBothWays)
{
    sim.mcc().set_rate(SimBoard::MccController::kUnpaced); // the slot's own queue, not the line's pace
    int fds = settled_fds();
    command(mcc(LGCP::MccType::data), 7);
    int ch = channel(7);
    std::string block;
    for (int i = 0; i < 2500; ++i)
        block += char(i * 13);
    sim.mcc().deliver(ch, block);
    sim.mcc().deliver(ch, "x");
    EXPECT_LT(run_passes(), 10u);
    EXPECT_THAT(controller(), ElementsAre(user_data_signal(7, block.substr(0, 1024)),
                                          user_data_signal(7, block.substr(1024, 1024)),
                                          user_data_signal(7, block.substr(2048)), user_data_signal(7, "x")));

    EXPECT_THAT(command(user_data("frame"), 7), ElementsAre("slot=7 success"));
    EXPECT_THAT(command(user_data(""), 7), ElementsAre("slot=7 success"));
    EXPECT_EQ(sim.mcc().take(ch), "frame");
    EXPECT_EQ(sim.mcc().take(ch), "");

    // A full channel takes the rest when it has room again, block by block.
    sim.mcc().set_room(ch, 3);
    EXPECT_THAT(command(user_data("abcdef"), 7), ElementsAre("slot=7 success"));
    EXPECT_THAT(command(user_data("gh"), 7), ElementsAre("slot=7 success"));
    const std::string big(16000, 'y'); // four wait beside "def" and "gh", a fifth is too many
    for (const char* answer : {"success", "success", "success", "success", "error insufficientResources"})
        EXPECT_THAT(command(user_data(big), 7), ElementsAre(std::string("slot=7 ") + answer));
    // 64005 bytes wait: a block that makes exactly 65536 is taken, one more byte is not.
    const std::string last(65536 - 64005, 'z');
    EXPECT_THAT(command(user_data(last), 7), ElementsAre("slot=7 success"));
    EXPECT_THAT(command(user_data("!"), 7), ElementsAre("slot=7 error insufficientResources"));
    EXPECT_EQ(sim.mcc().take(ch), "abc");
    sim.mcc().set_room(ch, SimBoard::MccController::kUnlimited);
    run_passes();
    for (const char* rest : {"def", "gh"})
        EXPECT_EQ(sim.mcc().take(ch), rest);
    for (int n = 0; n < 4; ++n)
        EXPECT_EQ(sim.mcc().take(ch).size(), big.size());
    EXPECT_EQ(sim.mcc().take(ch), last);
    EXPECT_EQ(sim.mcc().take(ch), "");

    sim.board.fail(Mcc::kDevice, SimBoard::Op::write, EIO);
    EXPECT_THAT(command(user_data("lost"), 7), ElementsAre("slot=7 error internal"));
    EXPECT_THAT(err.str(), HasSubstr("07:MCC write fail: Input/output error, 4 bytes dropped"));

    EXPECT_THAT(command(simple(C::e_destroy), 7), ElementsAre("slot=7 success"));
    EXPECT_EQ(settled_fds(), fds);
    EXPECT_EQ(sim.mcc().allocated(), 0u);
}

// However the channel ends (the device hangs it up, with data waiting or
// none; a read fails; a read of 0 bytes), what waits is read, the
// descriptor is let go with one line rather than polled on every pass, and
// the slot, which has no signal for a lost channel, refuses its userData.
// Its connections go with the channel, whose number the driver gives to
// the next slot: the stale slot's destroy leaves that one's connections.
TEST_F(TdmSlotsTest, MccChannelOver)
{
    const struct {
        const char* fault;
        std::string last;
        std::function<void(int)> make;
        const char* why;
    } cases[] = {
        {"hang-up", "last", [&](int ch) { sim.mcc().hang_up(ch); }, "end of file"},
        {"hang-up, nothing waits", "", [&](int ch) { sim.mcc().hang_up(ch); }, "end of file"},
        {"read fails", "",
         [&](int ch) {
             sim.board.fail(Mcc::kDevice, SimBoard::Op::read, EIO, SimBoard::Board::Times::always);
             sim.mcc().deliver(ch, "lost");
         },
         "Input/output error"},
        {"empty read", "last", [&](int ch) { sim.mcc().deliver(ch, ""); }, "end of file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        err.clear();
        int fds = settled_fds();
        command(trunk(0, 5), 3);
        command(mcc(LGCP::MccType::data), 7);
        const int ch = channel(7);
        auto joined = [&] { return sim.hal().carries(ch, 5) && sim.hal().carries(5, ch); };
        command(simple(C::e_connect, 7), 3), command(simple(C::e_connect, 3), 7), controller();
        ASSERT_TRUE(joined());
        c.last.empty() ? void() : void(sim.mcc().deliver(ch, c.last));
        uint64_t reads = sim.board.count(Mcc::kDevice, SimBoard::Op::read);
        c.make(ch);
        EXPECT_LT(run_passes(), 10u);
        EXPECT_LE(sim.board.count(Mcc::kDevice, SimBoard::Op::read) - reads, 3u);
        EXPECT_EQ(controller(), c.last.empty() ? Texts() : Texts{user_data_signal(7, c.last)});
        EXPECT_EQ(err.str(), "07:MCC channel lost (" + std::string(c.why) + "), 0 bytes unsent\n");
        EXPECT_FALSE(sim.hal().carries(ch, 5) || sim.hal().carries(5, ch));
        sim.board.clear_failures();
        EXPECT_THAT(command(user_data("late"), 7), ElementsAre("slot=7 error internal"));
        EXPECT_THAT(command(simple(C::e_connect, 3), 7), ElementsAre("slot=7 error internal"));
        EXPECT_THAT(command(simple(C::e_connect, 7), 3), ElementsAre("slot=3 error internal"));
        command(mcc(LGCP::MccType::data), 8);
        ASSERT_EQ(channel(8), ch);
        command(simple(C::e_connect, 8), 3), command(simple(C::e_connect, 3), 8);
        EXPECT_THAT(command(simple(C::e_destroy), 7), ElementsAre("slot=7 success"));
        EXPECT_TRUE(joined());
        command(simple(C::e_destroy), 8), command(simple(C::e_destroy), 3);
        EXPECT_EQ(settled_fds(), fds);
    }
}

// Short of descriptors, a create either makes a slot that works or
// answers insufficientResources and leaves nothing behind.
// A destroyed MCC slot keeps its channel until its blocks left the line; a
// hang-up meanwhile, or the controller's going, ends it at once; a line
// that does not move, at the bound, with a line for what the slot had not
// written. Its own queue lengthens the bound by its time on the line:
// 30,000 octets queued all leave. A line that slows after the channel took
// the blocks is cut at the bound too, its count within a block.
TEST_F(TdmSlotsTest, ADrainingMccSlotGoesByItsLineAHangUpOrTheController)
{
    enum End { kLine, kHangUp, kController, kStalled, kQueued, kSlowed };
    for (End end : {kLine, kHangUp, kController, kStalled, kQueued, kSlowed}) {
        SCOPED_TRACE(end);
        command(mcc(LGCP::MccType::data), 7);
        int number = channel(7);
        uint64_t carried = 0;
        auto gone = [&] {
            if (const auto* a = sim.mcc().find(number))
                carried = a->carried;
            return !slots().at(7);
        };
        if (end == kStalled)
            sim.mcc().set_room(number, 0); // the line takes nothing: the blocks wait in the slot
        const std::string block(end == kQueued ? 10000 : 500, 'x');
        for (int i = 0; i < 3; ++i)
            command(user_data(block), 7);
        if (end == kSlowed)
            sim.mcc().set_rate(1); // the channel took all three; the first goes on at a time slot's rate
        uint64_t from = clock.monotonic_us();
        err.clear();
        EXPECT_THAT(command(simple(C::e_destroy), 7), ElementsAre("slot=7 success"));
        EXPECT_THAT(command(mcc(LGCP::MccType::data), 7), ElementsAre("slot=7 error destroyInProgress"));
        if (end == kLine) {
            // Two blocks wait behind the first: 125 ms at a time slot's rate.
            EXPECT_TRUE(run_until(gone));
            EXPECT_GE(clock.monotonic_us() - from, 2 * 500 * 125u);
        } else if (end == kHangUp) {
            sim.mcc().hang_up(number);
            run_passes();
        } else if (end == kController) {
            slots().OnDisconnect();
        } else if (end == kStalled) {
            // 1500 octets still queued add 187 ms to the bound.
            EXPECT_TRUE(run_until(gone, 3000));
            EXPECT_NEAR(double(clock.monotonic_us() - from), (HandedChannel::kDrainBoundMs + 187) * 1000.0, 20000.0);
            EXPECT_EQ(err.str(), "channel " + std::to_string(number) + ": drain cut at its bound, 1500 bytes unsent\n");
        } else if (end == kSlowed) {
            // The line had time for all three at a time slot's rate: what
            // it still holds is counted as the block it took last.
            EXPECT_TRUE(run_until(gone, 3000));
            EXPECT_EQ(err.str(), "channel " + std::to_string(number) + ": drain cut at its bound, 500 bytes unsent\n");
            sim.mcc().set_rate(8000);
        } else {
            EXPECT_TRUE(run_until(gone, 8000));
            EXPECT_EQ(carried, 30000u);
        }
        EXPECT_EQ(slots().at(7), nullptr);
        EXPECT_EQ(sim.mcc().allocated(), 0u);
        if (end == kLine || end == kController) {
            EXPECT_THAT(err.str(), testing::Not(HasSubstr("unsent")));
        }
        if (end == kStalled) {
            EXPECT_THAT(command(mcc(LGCP::MccType::data), 7), ElementsAre("slot=7 success"));
            command(simple(C::e_destroy), 7);
        }
    }
}

// The seeds of a random test: a fixed list, so that a run's verdict never
// depends on the draw. VOXBRIDGE_SEED replays one; VOXBRIDGE_FRESH_SEEDS=N
// draws N new ones for a longer search. A failing seed is named in the
// test's name and printed.
std::vector<uint32_t> seeds(std::vector<uint32_t> fixed)
{
    if (const char* one = std::getenv("VOXBRIDGE_SEED"))
        return {uint32_t(std::strtoul(one, nullptr, 10))};
    if (const char* fresh = std::getenv("VOXBRIDGE_FRESH_SEEDS")) {
        std::random_device draw;
        std::vector<uint32_t> drawn(std::strtoul(fresh, nullptr, 10));
        for (uint32_t& seed : drawn)
            seed = draw();
        return drawn;
    }
    return fixed;
}

struct TdmSlotsRandom : TdmSlotsTest, ::testing::WithParamInterface<uint32_t> {
    uint32_t seed() const
    {
        std::cout << "seed " << GetParam() << std::endl;
        return GetParam();
    }
};

// Random steps on MCC slots whose lines stall, hang up or lose their
// controller. A number that drains refuses every command with
// destroyInProgress and nothing more reaches its line; what was taken before
// the destroy all leaves unless a hang-up, a stall or the controller cut
// the drain short; once over, the number is free within its bound and the
// channel let go.
TEST_P(TdmSlotsRandom, DrainsRefuseEveryCommandAndLeaveWhatWasTaken)
{
    const uint32_t seed = this->seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](unsigned n) { return unsigned(rng() % n); };
    struct Number {
        int ch = -1;                    // while the slot holds its channel
        uint64_t sent = 0, carried = 0; // octets answered success; octets the line carried
        bool draining = false, stalled = false, cut = false;
        uint64_t by = 0; // when the drain is over at the latest
    };
    std::map<unsigned, Number> model;
    const int fds = settled_fds();
    // A drain's bound: past what waits and what the line has yet to carry
    // of its block (at most 3,000 octets), counted again whenever the line
    // moves, as the channel then takes more.
    auto extend = [&](Number& m) {
        const uint64_t ms = HandedChannel::kDrainBoundMs + (m.sent - m.carried + 3000) / 8 + 50;
        m.by = std::max(m.by, clock.monotonic_us() + ms * 1000);
    };
    auto sample = [&] {
        for (auto& nm : model)
            if (const auto* a = nm.second.ch >= 0 ? sim.mcc().find(nm.second.ch) : nullptr) {
                const bool moved = a->carried > nm.second.carried;
                nm.second.carried = a->carried;
                if (moved && nm.second.draining)
                    extend(nm.second);
            }
        return false;
    };
    auto check = [&] {
        sample(), sim.board.sweep();
        for (auto& [n, m] : model) {
            if (m.draining && slots().at(n)) {
                EXPECT_LE(clock.monotonic_us(), m.by) << n << " drains past its bound";
            } else if (m.draining) {
                EXPECT_TRUE(m.cut ? m.carried <= m.sent : m.carried == m.sent)
                    << n << " carried " << m.carried << " of " << m.sent;
                EXPECT_TRUE(m.ch < 0 || !sim.mcc().find(m.ch)) << n << " still holds " << m.ch;
                m = Number();
            }
        }
    };
    auto refused = [&](const Texts& t, unsigned n) {
        EXPECT_THAT(t, ElementsAre("slot=" + std::to_string(n) + " error destroyInProgress"));
    };
    auto drain = [&](Number& m) {
        m.draining = true, m.cut = m.cut || m.stalled;
        extend(m);
    };
    for (int step = 0; step < 400 && !HasFailure(); ++step) {
        const unsigned n = 6 + pick(3), o = 6 + (n - 5 + pick(2)) % 3, what = pick(40);
        SCOPED_TRACE("step " + std::to_string(step) + ", " + std::to_string(what) + " on " + std::to_string(n));
        Number& m = model[n];
        const std::string ok = "slot=" + std::to_string(n) + " success";
        const bool free = !slots().at(n);
        sample();
        if (what < 4) {
            // A create in a live slot's place destroys it first: busy while it drains.
            Texts t = command(mcc(LGCP::MccType::data), n);
            if (m.draining) {
                refused(t, n);
            } else if (t == Texts{ok}) {
                EXPECT_TRUE(free || m.cut || m.carried == m.sent) << "replaced, " << m.sent - m.carried << " unsent";
                m = Number(), m.ch = channel(n);
            } else {
                ASSERT_FALSE(free) << t.at(0);
                EXPECT_THAT(t, ElementsAre("slot=" + std::to_string(n) + " error slotIdBusy"));
                drain(m);
            }
        } else if (what < 14) {
            const std::string data(pick(3000), char(what));
            Texts t = command(user_data(data), n);
            m.draining ? refused(t, n) : t == Texts{ok} ? void(m.sent += data.size()) : void();
        } else if (what < 20) {
            // A connection naming no slot is refused as such first.
            const bool either = slots().at(o) && (m.draining || (model[o].draining && !free && m.ch >= 0));
            Texts t = command(simple(C::e_connect, o), n);
            either ? refused(t, n) : void();
            t = command(simple(pick(2) ? C::e_disconnect : C::e_activate), n);
            m.draining ? refused(t, n) : void();
        } else if (what < 24) {
            Texts t = command(simple(C::e_destroy), n);
            if (m.draining)
                refused(t, n);
            else if (t == Texts{ok})
                drain(m);
        } else if (what < 28 && m.ch >= 0) {
            m.stalled = !m.stalled, m.cut = m.cut || (m.stalled && m.draining);
            sim.mcc().set_room(m.ch, m.stalled ? 0 : SimBoard::MccController::kUnlimited);
            m.draining && !m.stalled ? extend(m) : void();
        } else if (what < 30 && m.ch >= 0) {
            sim.mcc().hang_up(m.ch);
            m.cut = true, m.ch = -1;
            run_passes();
        } else if (what < 39) {
            run_until(sample, 1 + pick(700));
        } else if (pick(4) == 0) {
            slots().OnDisconnect();
            for (auto& nm : model)
                nm.second.draining = true, nm.second.cut = true, nm.second.by = 0;
            for (unsigned k : {6u, 7u, 8u})
                EXPECT_EQ(slots().at(k), nullptr);
        }
        controller();
        check();
    }
    slots().OnDisconnect();
    EXPECT_EQ(settled_fds(), fds);
    EXPECT_EQ(sim.mcc().allocated(), 0u);
}

TEST_F(TdmSlotsTest, MccCreateAtTheDescriptorLimit)
{
    // The sanitizer's first look at a type needs descriptors of its own:
    // both outcomes are met once before descriptors run short.
    sim.board.fail(Mcc::kDevice, SimBoard::Op::open, EMFILE);
    command(mcc(LGCP::MccType::data), 7);
    command(mcc(LGCP::MccType::data), 7), command(user_data("x"), 7), command(simple(C::e_destroy), 7);
    // The slot goes once its octet left the line.
    const auto gone = [&] { return !slots().at(7); };
    ASSERT_TRUE(run_until(gone));
    int fds = settled_fds();
    std::set<std::string> outcomes;
    for (int left = 5; left >= 0; --left) {
        SCOPED_TRACE(left);
        Texts answer;
        {
            DescriptorsLeft limit(left);
            answer = command(mcc(LGCP::MccType::data), 7);
        }
        ASSERT_EQ(answer.size(), 1u);
        outcomes.insert(answer[0]);
        if (answer[0] == "slot=7 success") {
            EXPECT_THAT(command(user_data("x"), 7), ElementsAre("slot=7 success"));
            EXPECT_EQ(sim.mcc().take(channel(7)), "x");
            EXPECT_THAT(command(simple(C::e_destroy), 7), ElementsAre("slot=7 success"));
            EXPECT_TRUE(run_until(gone));
        } else {
            EXPECT_EQ(answer[0], "slot=7 error insufficientResources");
            EXPECT_EQ(slots().at(7), nullptr);
        }
        EXPECT_EQ(sim.mcc().allocated(), 0u);
        EXPECT_EQ(settled_fds(), fds);
    }
    EXPECT_EQ(outcomes.size(), 2u);
    EXPECT_THAT(err.str(), HasSubstr("mcc: fail to watch MCC channel: Too many open files"));
}

// Random rounds over slots sharing bus outputs, and HDLC links on them,
// while the switch refuses requests (once or for good, EIO, EINVAL or
// ENODEV) or is lost and reopened, also under a move, a link's restart or
// packages it still queues. What each output should carry is read from
// the answers (and the links' deactivated) alone: once the faults clear,
// every output carries the latest connection that an answer made and none
// undid (a link's line taking the place its join had), else rests: on
// the idle byte if used (local) or claimed by a live receiver or a link's
// line end (bus), else disabled. A refusal as invalid meets only the
// command, and the switch is opened again after some such rounds, not all.
TEST_P(TdmSlotsRandom, RoundsLeaveEachOutputToTheLatestLiveConnection)
{
    const uint32_t seed = this->seed();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    auto pick = [&](unsigned n) { return unsigned(rng() % n); };
    using Times = SimBoard::Board::Times;
    HdlcSlotFactory links;
    // Bus outputs 8192 and 8193 are shared by a map and two external lines
    // each; a trunk or map displaces a live slot of its own kind.
    C link;
    link.get_create().get_hdlcParams().set_trunk(1), link.get_create().get_hdlcParams().set_address(1);
    const C kinds[] = {trunk(1, 1),       trunk(1, 2),       trunk(1, 3),       map(0, 20, 0, 0),
                       map(0, 21, 0, 1),  create_ext(22, 0), create_ext(23, 1), create_ext(24, 0),
                       create_ext(25, 1), mcc(LGCP::MccType::data), link, link};
    const unsigned kDisplacing = 5, kExt = 5, kMcc = 9, kLink = 10, kKinds = 12;
    struct Number {
        int kind = -1; // -1: no slot
        int tx = -1, rx = -1; // the channels the slot announced
        bool active = false, heard = false;
        // A link: the output of its line (-1 none), its place there, and
        // whether it is up; the outputs its line ends may claim the idle
        // byte of (where its channel closed).
        int line = -1, when = 0;
        bool up = false;
        std::set<int> ends;
    };
    std::map<unsigned, Number> at;
    std::set<int> outputs = {33, 34, 35, 8192, 8193, 8212, 8213, 8214, 8215, 8216, 8217}, used;
    std::map<unsigned, std::pair<unsigned, int>> made; // receiver -> its source, when the answer came
    int when = 0;
    auto isLink = [&](unsigned k) { return at[k].kind >= int(kLink); };
    // The line a link runs on: the output of a join, its source's (the
    // line's transmit channel) or a receiver's (its receive channel).
    auto lineOf = [&](unsigned partner, bool partnerIsSource) {
        return partnerIsSource ? at[partner].tx : at[partner].rx;
    };
    // Of a link's joins left, its source's line first, else a receiver's;
    // -2 when several receivers are left (the link takes one of them).
    auto stays = [&](unsigned k) {
        auto src = made.find(k);
        if (src != made.end() && !isLink(src->second.first))
            return lineOf(src->second.first, true);
        int line = -1;
        for (const auto& r : made)
            if (r.second.first == k && !isLink(r.first))
                line = line == -1 ? lineOf(r.first, false) : -2;
        return line;
    };
    // The link's line moves to `line` (on a new line, its place now).
    auto follow = [&](unsigned k, int line) {
        Number& l = at[k];
        if (line == l.line)
            return;
        l.line = line, l.when = ++when;
        if (line == -2)
            for (const auto& r : made)
                if (r.second.first == k)
                    l.ends.insert(at[r.first].rx);
        if (line >= 0) {
            used.insert(line);
            outputs.insert(line);
            l.ends.insert(line);
        }
    };
    // A receiver of a link claims the idle byte of its output once that
    // join goes (the link's path there is the link's own).
    auto gone = [&](unsigned k) {
        std::vector<unsigned> partners;
        for (const auto& r : made)
            if (r.first == k || r.second.first == k)
                partners.push_back(r.first == k ? r.second.first : r.first);
        for (const auto& r : made)
            if (r.second.first == k && isLink(k))
                at[r.first].heard = true;
        at[k] = Number();
        made.erase(k);
        for (auto it = made.begin(); it != made.end();)
            it = it->second.first == k ? made.erase(it) : std::next(it);
        for (unsigned p : partners)
            if (isLink(p) && at[p].kind >= 0)
                follow(p, stays(p));
    };
    // "slot=3 receiver active : 8192", "slot=3 transmitter active : 8212"
    auto announced = [&](const Texts& sent) {
        for (const std::string& t : sent) {
            const size_t rx = t.find(" receiver active : "), tx = t.find(" transmitter active : ");
            if (t.compare(0, 5, "slot=") != 0)
                continue;
            Number& k = at[unsigned(std::stoul(t.substr(5)))];
            if (tx != std::string::npos)
                k.tx = std::stoi(t.substr(tx + 22));
            // An MCC channel handed out afresh starts disabled, whatever
            // its number carried before.
            if (rx != std::string::npos && std::stoi(t.substr(rx + 19)) >= 0 && k.rx < 0 && k.kind == int(kMcc))
                used.erase(std::stoi(t.substr(rx + 19)));
            if (rx != std::string::npos && std::stoi(t.substr(rx + 19)) >= 0)
                outputs.insert(k.rx = std::stoi(t.substr(rx + 19)));
        }
    };
    // A link heard deactivated is down on its line, its line end idle.
    auto down = [&](const Texts& sent) {
        for (const std::string& t : sent)
            if (t.find(" deactivated") != std::string::npos && t.compare(0, 5, "slot=") == 0) {
                at[unsigned(std::stoul(t.substr(5)))].up = false;
            }
    };
    std::string body;
    for (int i = 0; i < 300; ++i)
        body += char(0x5A);
    C queued;
    for (int i = 0; i < 30; ++i) {
        LGCP::HdlcPackage p;
        p.set_body(std::vector<char>(body.begin(), body.end()));
        queued.get_ioctl().get_hdlcPackages().push_back(p);
    }
    std::ostringstream history; // the commands and what the controller heard, for a failing seed
    for (int round = 0; round < 400 && !HasFailure(); ++round) {
        bool invalid = false;
        history << "round " << round << "\n";
        if (getenv("VB_TRACE_ROUNDS"))
            err.clear(), log.clear();
        for (int step = 0, steps = 1 + int(pick(4)); step < steps; ++step) {
            const unsigned fault = pick(16);
            unsigned n = 1 + pick(5), m = 1 + pick(5);
            const Times times = pick(2) ? Times::once : Times::always;
            if (fault < 5) {
                const unsigned long requests[] = {Device::Hal::SWITCH_CONNECT, Device::Hal::SWITCH_CONNECT,
                                                  Device::Hal::SWITCH_WRITE, Device::Hal::SWITCH_DISABLE,
                                                  Device::Hal::SWITCH_CONNECT};
                sim.board.fail("/dev/hal", requests[fault], fault == 4 ? ENODEV : fault == 1 ? EINVAL : EIO, times);
                invalid = invalid || fault == 1;
            } else if (fault < 7) {
                fault == 6 ? sim.board.fail("/dev/hal", SimBoard::Op::open, ENODEV, times) : void();
                for (SimBoard::Channel* hal : sim.board.channels("/dev/hal"))
                    hal->hang_up();
            }
            // Mostly a create on a free number; a connect repeats or moves
            // a live one half of the time.
            const unsigned what = at[n].kind < 0 && pick(5) ? 0 : pick(21);
            if (what >= 5 && what < 10 && !made.empty()) {
                auto again = std::next(made.begin(), long(pick(unsigned(made.size()))));
                m = again->first, n = pick(2) ? again->second.first : n;
            }
            // A slot joined to itself, or a link to a link, has no line to model.
            if (m == n)
                m = n % 5 + 1;
            const unsigned kind = pick(kKinds);
            const C c = what < 1    ? kinds[kind]
                        : what < 10 ? simple(C::e_connect, m)
                        : what < 13 ? simple(C::e_disconnect)
                        : what < 14 ? simple(C::e_destroy)
                        : what < 20 ? simple(what < 18 ? C::e_activate : C::e_deactivate)
                                    : queued;
            if (c.is_connect() && isLink(n) && isLink(m)) {
                sim.board.clear_failures();
                continue;
            }
            const Texts sent = command(c, int(n));
            if (fault == 1)
                sim.board.clear_failures();
            history << " fault " << fault << ", " << n << " " << (c.is_connect() ? "connect " + std::to_string(m) : c.is_create() ? "create " + std::to_string(kind) : std::to_string(c.getTag())) << ":";
            for (const std::string& t : sent)
                history << " [" << t << "]";
            history << "\n";
            const std::string number = "slot=" + std::to_string(n) + " ";
            const bool ok = std::count(sent.begin(), sent.end(), number + "success") > 0;
            const bool busy = std::count(sent.begin(), sent.end(), number + "error destroyInProgress") > 0;
            if (c.is_create() && !busy) {
                gone(n);
                for (unsigned k = 1; ok && kind < kDisplacing && k <= 5; ++k)
                    if (at[k].kind == int(kind))
                        gone(k);
                at[n].kind = ok ? int(kind) : -1;
            }
            // A slot announces its receive channel with its first source, too.
            announced(sent);
            if (ok && c.is_destroy()) {
                gone(n);
            } else if (ok && c.is_connect()) {
                auto old = made.find(m);
                const int oldSource = old == made.end() ? -1 : int(old->second.first);
                made[m] = {n, ++when};
                at[m].heard = at[m].heard || !isLink(n);
                if (at[m].rx >= 0)
                    used.insert(at[m].rx);
                // A link joined anew runs on that line, up; the link the
                // receiver left follows its joins that stay.
                // A link up on that line already is left as it is.
                auto joined = [&](unsigned k, int line) {
                    Number& l = at[k];
                    if (!l.up || l.line != line)
                        follow(k, line), l.when = when;
                    l.up = true;
                };
                if (isLink(n) && !isLink(m))
                    joined(n, lineOf(m, false));
                if (isLink(m) && !isLink(n))
                    joined(m, lineOf(n, true));
                if (oldSource >= 0 && oldSource != int(n) && isLink(unsigned(oldSource)))
                    follow(unsigned(oldSource), stays(unsigned(oldSource)));
            } else if (ok && c.is_disconnect()) {
                auto old = made.find(n);
                const int oldSource = old == made.end() ? -1 : int(old->second.first);
                made.erase(n);
                at[n].heard = at[n].heard || oldSource >= 0;
                if (isLink(n) && oldSource >= 0)
                    follow(n, stays(n));
                if (oldSource >= 0 && isLink(unsigned(oldSource)))
                    follow(unsigned(oldSource), stays(unsigned(oldSource)));
            } else if (ok && c.is_activate()) {
                at[n].active = true;
                if (isLink(n) && at[n].line >= 0)
                    at[n].up = true;
            } else if (ok && c.is_deactivate() && at[n].kind >= int(kExt) && at[n].kind < int(kMcc)) {
                auto old = made.find(n);
                const int oldSource = old == made.end() ? -1 : int(old->second.first);
                at[n].active = at[n].heard = false;
                made.erase(n);
                if (oldSource >= 0 && isLink(unsigned(oldSource)))
                    follow(unsigned(oldSource), stays(unsigned(oldSource)));
            }
            down(sent);
            clock.advance_ms(pick(700));
            multiplexer.timers_schedule();
            down(controller());
        }
        sim.board.clear_failures();
        // A switch opened again (the next request opens it) is told every
        // held connection afresh; after a refusal as invalid only now and
        // then, so that what the refusal kept shows without it.
        if (invalid && pick(2)) {
            for (SimBoard::Channel* hal : sim.board.channels("/dev/hal"))
                hal->hang_up();
            run_passes();
            HwMux::instance()->IsOpened();
        }
        // The retry tells the switch what it owes, once a second; a
        // link's old channel drains meanwhile.
        for (int i = 0; i < 4; ++i) {
            run_until([] { return false; }, HwMux::kRetryMs);
            down(controller());
        }
        std::set<int> announcedTx;
        for (unsigned k = 1; k <= 5; ++k)
            if (at[k].kind >= 0 && at[k].tx >= 0)
                announcedTx.insert(at[k].tx);
        for (int o : outputs) {
            SCOPED_TRACE("round " + std::to_string(round) + ", output " + std::to_string(o));
            if (HasFailure())
                break;
            // An MCC channel that no live MCC slot names may be a link's own.
            if (o >= 1024 && o < HwMux::kBusFirst &&
                std::none_of(at.begin(), at.end(), [&](const auto& k) { return k.second.kind == int(kMcc) && k.second.rx == o; }))
                continue;
            int latest = -1, source = -1;
            bool idle = false, byLink = false, lineEnd = false, vague = false;
            for (unsigned k = 1; k <= 5; ++k) {
                if (at[k].kind < 0)
                    continue;
                if (isLink(k)) {
                    if (at[k].line == -2 && at[k].ends.count(o))
                        vague = true;
                    if (at[k].up && at[k].line == o && at[k].when > latest)
                        latest = at[k].when, source = -1, byLink = true;
                    lineEnd = lineEnd || at[k].ends.count(o) > 0;
                    continue;
                }
                if (at[k].rx != o)
                    continue;
                idle = idle || at[k].heard || at[k].active;
                auto it = made.find(k);
                if (it != made.end() && !isLink(it->second.first) && it->second.second > latest)
                    latest = it->second.second, source = at[it->second.first].tx, byLink = false;
            }
            const SimBoard::Hal::Output& now = out(o);
            const bool bus = o >= HwMux::kBusFirst;
            if (vague)
                continue;
            if (byLink) {
                EXPECT_TRUE(now.drive == Drive::connected && now.source >= 1024 && !announcedTx.count(now.source))
                    << "carries " << now.source << ", not a link's channel";
            } else if (source >= 0) {
                EXPECT_TRUE(now.drive == Drive::connected && now.source == source)
                    << "carries " << now.source << ", not " << source;
            } else if ((lineEnd && !idle) || (o >= 1024 && !bus)) {
                // Where a link's channel closed, its line end may hold the
                // idle byte; so may an MCC channel number that a link had.
                EXPECT_TRUE(now.drive == Drive::disabled ||
                            (now.drive == Drive::constant && now.value == HwMux::kIdleByte))
                    << "drive " << int(now.drive) << " source " << now.source;
            } else if (bus ? idle : used.count(o) > 0) {
                EXPECT_TRUE(now.drive == Drive::constant && now.value == HwMux::kIdleByte)
                    << "drive " << int(now.drive) << " source " << now.source;
            } else {
                EXPECT_EQ(now.drive, Drive::disabled) << "source " << now.source;
            }
        }
    }
    if (HasFailure())
        std::cout << history.str().substr(history.str().size() > 6000 ? history.str().size() - 6000 : 0)
                  << (getenv("VB_TRACE_ROUNDS") ? err.str() + log.str() : "");
}

INSTANTIATE_TEST_SUITE_P(Seeds, TdmSlotsRandom, ::testing::ValuesIn(seeds({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})));

} // namespace
