// E1 trunk control on the simulated framer drivers, in virtual time.
#include <cerrno>
#include <functional>
#include <map>

#include "server/boardctl/e1_ctl.h"
#include "tests/server/boardctl/board_control_support.h"

using testing::HasSubstr;
using Alarm = SimBoard::E1Maintenance::Alarm;
using Mode = LGCP::TrunkMode;
typedef std::vector<std::string> Texts;

namespace {

class E1CtlTest : public vbtest::BoardControlTest {
protected:
    E1Ctl e1;
    SimBoard::E1Maintenance& framer = sim.maintenance();
    void SetUp() override { start({&e1}); }

    std::string trunk_cfg(int trunk, Mode::NamedNumber mode)
    {
        LGCP::Command c;
        c.get_trunkCfg().set_trunk(trunk);
        c.get_trunkCfg().set_mode(mode);
        return command(c);
    }
    // op: o open, c close, s set, g get; the signals it brought.
    Texts cas(int path, int timeslot, char op, int bits = 0, const std::string& answer = "success")
    {
        LGCP::Command c;
        LGCP::CasCommand& cas = c.get_ioctl().get_cas();
        cas.get_channel().set_path(path);
        cas.get_channel().set_timeslot(timeslot);
        LGCP::CasCommandSignal& cmd = cas.get_cmd();
        op == 'o' ? cmd.set_open(bits) : op == 'c' ? cmd.set_close() : op == 's' ? cmd.set_set(bits) : cmd.set_get();
        EXPECT_EQ(command(c), answer) << path << " " << timeslot << " " << op;
        return signals.take();
    }
    size_t lines(const std::string& text) const
    {
        size_t n = 0;
        for (size_t at = 0; (at = err.str().find(text, at)) != std::string::npos; ++at)
            ++n;
        return n;
    }
};

TEST_F(E1CtlTest, EveryTrunkAtConnectThenEverySecondWithOnePollAfterReconnect)
{
    run_ms(3000);
    EXPECT_TRUE(signals.sent.empty()) << "no poll before the first controller";
    uint32_t t0 = Mux::milliseconds();
    connect();
    run_ms(500);
    framer.raise(2, Alarm::los);
    run_ms(1000);
    framer.fail_status(1, EIO);
    framer.force_state(3, 9);
    hang_up();
    run_ms(800);
    connect();
    run_ms(2200);

    std::map<uint32_t, Texts> got;
    for (const auto& s : signals.sent)
        got[s.first - t0].push_back(s.second);
    const Texts first = {"e1 0 normal 0 0 0 0 0", "e1 1 normal 0 0 0 0 0", "e1 2 normal 0 0 0 0 0",
                         "e1 3 normal 0 0 0 0 0"};
    const Texts los = {first[0], first[1], "e1 2 lossCarrier 0 0 1 0 0", first[3]};
    const Texts later = {first[0], los[2], "e1 3 unknown 0 0 0 0 0"};
    // The poll goes on without a controller; a new one restarts it.
    EXPECT_EQ(got, (std::map<uint32_t, Texts>{
                       {0, first}, {1000, los}, {2000, later}, {2300, later}, {3300, later}, {4300, later}}));
    Texts wire = vbtest::answers(link->pair.b);
    EXPECT_EQ(std::count(wire.begin(), wire.end(), "signal"), 4 + 4 + 3 * 3) << "every signal encodes";
    EXPECT_THAT(err.str(), HasSubstr("E1: synchronization status read fail, trunk = 1 cause = Input/output error\n"));
}

// A status read that fails for good is one run per trunk: its first line,
// then its count once a read works; another error starts another run.
TEST_F(E1CtlTest, AStatusReadThatKeepsFailingIsOneRunPerTrunk)
{
    board.fail(GetMaintenance(), Device::E1::E1_GET_STATUS, EIO, SimBoard::Board::Times::always);
    connect();
    run_ms(4500);
    EXPECT_TRUE(signals.take().empty());
    EXPECT_EQ(lines("status read fail"), 4u) << err.str();
    EXPECT_EQ(lines("E1: synchronization status read fail, trunk = 3 cause = Input/output error\n"), 1u);

    board.clear_failures();
    framer.fail_status(2, EBUSY);
    run_ms(1000);
    EXPECT_EQ(signals.take(), (Texts{"e1 0 normal 0 0 0 0 0", "e1 1 normal 0 0 0 0 0", "e1 3 normal 0 0 0 0 0"}));
    for (int trunk : {0, 1, 2, 3})
        EXPECT_EQ(lines("E1: trunk " + std::to_string(trunk) + " status read fail: 4 more time(s)\n"), 1u) << trunk;
    EXPECT_EQ(lines("E1: synchronization status read fail, trunk = 2 cause = Device or resource busy\n"), 1u);
    run_ms(2000);
    EXPECT_EQ(lines("status read fail"), 9u);
}

// The last state the protocol names, and the first it does not.
TEST_F(E1CtlTest, StatesBeyondTheProtocolsAreReportedAsUnknown)
{
    connect();
    framer.force_state(0, 6);
    framer.force_state(1, 7);
    signals.sent.clear();
    run_ms(1000);
    Texts got;
    for (const auto& s : signals.sent)
        got.push_back(s.second);
    EXPECT_THAT(got, testing::IsSupersetOf({"e1 0 disabled 0 0 0 0 0", "e1 1 unknown 0 0 0 0 0"}));
}

TEST_F(E1CtlTest, TclkMaskFollowsTrunkCfg)
{
    connect();
    const std::vector<uint32_t>& writes = framer.tclk_writes();
    EXPECT_EQ(writes, std::vector<uint32_t>{0}) << "cleared at the connection";
    const struct {
        int trunk;
        Mode::NamedNumber mode;
        std::vector<uint32_t> writes;
    } cases[] = {{2, Mode::slave, {0x4}},          {2, Mode::master, {0}},  {31, Mode::slave, {0x80000000}},
                 {32, Mode::slave, {0x80000000}}, {-1, Mode::master, {}}, {0, Mode::slave, {0x80000001}}};
    for (const auto& c : cases) {
        size_t before = writes.size();
        EXPECT_EQ(trunk_cfg(c.trunk, c.mode), "success");
        EXPECT_EQ(std::vector<uint32_t>(writes.begin() + long(before), writes.end()), c.writes) << c.trunk;
    }
    EXPECT_THAT(log.str(), HasSubstr("E1: TCLT = 0x4\n"));
    // Refused or gone: an error, and later commands carry what the board took.
    board.clear_log();
    board.fail(GetMaintenance(), Device::E1::E1_SET_TCLK, EIO);
    EXPECT_EQ(trunk_cfg(1, Mode::slave), "error internal");
    EXPECT_THAT(err.str(), HasSubstr("E1: fail to set TCLK [cause=Input/output error]\n"));
    board.fail(GetMaintenance(), Device::E1::E1_SET_TCLK, ENODEV);
    EXPECT_EQ(trunk_cfg(0, Mode::master), "error internal");
    EXPECT_EQ(trunk_cfg(2, Mode::slave), "success");
    std::vector<std::pair<uint32_t, int>> sent;
    for (const SimBoard::Request& r : board.ioctls(GetMaintenance(), Device::E1::E1_SET_TCLK))
        sent.emplace_back(r.in.at(0), r.error);
    EXPECT_EQ(sent, (decltype(sent){{0x80000003, EIO}, {0x80000000, ENODEV}, {0x80000005, 0}}));
}

TEST_F(E1CtlTest, CasCommandsAndFarEndChanges)
{
    connect();
    signals.take();
    EXPECT_EQ(cas(1, 5, 'o', 0x1F), (Texts{"cas 1 0 0 0", "cas 1 5 0 15"}));
    sim.cas().far_end(1, 5, 0x9);
    run_ms(10);
    EXPECT_EQ(signals.take(), Texts{"cas 1 5 9 15"});
    EXPECT_EQ(cas(1, 5, 's', 0x13), Texts{"cas 1 5 9 3"});
    EXPECT_EQ(cas(1, 5, 'g'), Texts{"cas 1 5 9 3"});
    EXPECT_EQ(cas(1, 16, 'o'), Texts{"cas 1 0 0 0"});
    EXPECT_EQ(cas(1, 6, 's', 1), Texts{"cas 1 6 -1 0"}) << "channel not enabled";
    EXPECT_EQ(cas(1, 5, 'c'), Texts{"cas 1 5 -1 1"});
    EXPECT_EQ(cas(1, 0, 'c'), Texts{"cas 1 0 1 0"});
    EXPECT_EQ(cas(1, 5, 'g'), Texts{}) << "trunk closed";
    // A trunk that the board does not have: refused, and the device is not asked.
    uint64_t requests = board.count(Device::Cas::kDevice, SimBoard::Op::ioctl);
    EXPECT_EQ(cas(4, 5, 'o', 0, "error invalidParams"), Texts{});
    EXPECT_EQ(cas(-1, 5, 'o', 0, "error invalidParams"), Texts{});
    EXPECT_EQ(cas(7, 1, 'g', 0, "error invalidParams"), Texts{});
    EXPECT_EQ(board.count(Device::Cas::kDevice, SimBoard::Op::ioctl), requests);
    for (unsigned trunk = 0; trunk < E1Ctl::kTrunks; ++trunk)
        EXPECT_FALSE(sim.cas().is_open(trunk)) << trunk;
    board.fail(Device::Cas::kDevice, Device::Cas::CAS_OPEN, EIO);
    EXPECT_EQ(cas(2, 3, 'o'), Texts{"cas 2 0 -1 0"});
    EXPECT_THAT(log.str(), HasSubstr("E1: open cas signalling on trunk(2) - fail(-1)\n"));

    Device::Cas::Record r{3, 7, 2, 1, {0, 0}};
    for (size_t size : {8, 12})
        board.post(Device::Cas::kDevice, &r, size);
    run_ms(10);
    EXPECT_EQ(signals.take(), Texts{"cas 3 7 2 1"}) << "a short record is no record";
    EXPECT_EQ(cas(3, 7, 'o', 1), (Texts{"cas 3 0 0 0", "cas 3 7 0 1"}));
    hang_up();
    EXPECT_EQ(signals.take(), Texts{"cas 3 0 1 0"});
    EXPECT_FALSE(sim.cas().is_open(3));
}

// However the CAS descriptor ends, it is read no more and closed with one
// line; the next poll opens the device again and its events flow. Trunks
// that were open went with the descriptor: their commands are refused
// until an open, while a trunk never opened is ignored as before.
TEST_F(E1CtlTest, EndedCasDescriptorIsClosedAndTheNextPollOpensItAgain)
{
    const Device::Cas::Record far{1, 5, 9, 0, {0, 0}};
    const struct {
        const char* fault;
        std::function<void()> make;
        const char* why;
    } cases[] = {
        {"hang-up", [&] { board.channels(Device::Cas::kDevice).at(0)->hang_up(); }, "(end of file)"},
        {"read fails",
         [&] {
             board.fail(Device::Cas::kDevice, SimBoard::Op::read, EIO, SimBoard::Board::Times::always);
             board.post(Device::Cas::kDevice, &far, sizeof(far));
         },
         "(Input/output error)"},
        {"empty read", [&] { board.post(Device::Cas::kDevice, "", 0); }, "(end of file)"},
        {"removed under a request", [&] { board.fail(Device::Cas::kDevice, Device::Cas::CAS_SET, ENODEV); },
         "(No such device)"},
    };
    connect();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        err.clear(), log.clear();
        signals.take();
        cas(1, 5, 'o', 0x1F);
        cas(2, 0, 'o');
        uint64_t reads = board.count(Device::Cas::kDevice, SimBoard::Op::read);
        c.make();
        // A request that meets the removed device answers an error at once.
        if (std::string(c.fault) == "removed under a request")
            cas(1, 5, 's', 3, "error internal");
        run_ms(300);
        EXPECT_LE(board.count(Device::Cas::kDevice, SimBoard::Op::read) - reads, 2u);
        EXPECT_EQ(lines("E1: cas interface lost " + std::string(c.why) + ", open trunks closed with it\n"), 1u)
            << err.str();
        EXPECT_FALSE(sim.cas().is_open(1)) << "the last close of the device closes its trunks";

        board.clear_failures();
        run_ms(1000);
        EXPECT_EQ(board.channels(Device::Cas::kDevice).size(), 1u);
        EXPECT_THAT(log.str(), HasSubstr("E1: cas interface opened!\n"));
        signals.take();
        board.post(Device::Cas::kDevice, &far, sizeof(far));
        run_ms(10);
        EXPECT_EQ(signals.take(), Texts{"cas 1 5 9 0"}) << "events flow again";
        for (char op : {'g', 's', 'c'})
            EXPECT_EQ(cas(1, 5, op, 1, "error internal"), Texts{});
        EXPECT_EQ(cas(2, 0, 'c', 0, "error internal"), Texts{});
        EXPECT_EQ(lines("E1: cas on trunk(2) refused: closed with the device, not opened since\n"), 1u);
        EXPECT_EQ(cas(3, 5, 'g'), Texts{}) << "never opened: ignored";
        EXPECT_EQ(cas(1, 5, 'o', 2), (Texts{"cas 1 0 0 0", "cas 1 5 0 2"}));
        EXPECT_EQ(cas(1, 5, 'g'), Texts{"cas 1 5 0 2"});
        cas(1, 0, 'c'), cas(2, 0, 'o'), cas(2, 0, 'c');
    }
    // A new controller starts afresh.
    cas(3, 0, 'o');
    board.channels(Device::Cas::kDevice).at(0)->hang_up();
    run_ms(10);
    hang_up();
    connect();
    signals.take();
    EXPECT_EQ(cas(3, 5, 'g'), Texts{});
}

// A CAS command that cannot reach the device answers an error; an ioctl
// that is no CAS command is not this service's to refuse.
TEST_F(E1CtlTest, CasCommandsWithoutTheDeviceAnswerAnError)
{
    board.fail(Device::Cas::kDevice, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
    connect();
    signals.take();
    EXPECT_EQ(cas(1, 5, 'o', 1, "error internal"), Texts{});
    EXPECT_EQ(cas(4, 5, 'g', 0, "error invalidParams"), Texts{}) << "never a trunk, device or not";
    LGCP::Command other;
    other.get_ioctl().set_echoSuppressor(true);
    EXPECT_EQ(command(other), "success");
    board.clear_failures();
    EXPECT_EQ(cas(1, 5, 'o', 1), (Texts{"cas 1 0 0 0", "cas 1 5 0 1"}));
}

// The maintenance device removed: one line, no per-trunk failures, and the
// next need opens it again. A trunkCfg that cannot reach it answers an error.
TEST_F(E1CtlTest, EndedMaintenanceDescriptorIsOneLineAndOpenedAgain)
{
    connect();
    board.channels(GetMaintenance()).at(0)->hang_up();
    signals.take();
    run_ms(1000);
    EXPECT_EQ(err.str(), "E1: maintenance device lost: No such device\n");
    EXPECT_TRUE(signals.take().empty());
    run_ms(1000);
    EXPECT_EQ(signals.take().size(), 4u) << "opened again by the next poll";

    board.fail(GetMaintenance(), SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
    board.channels(GetMaintenance()).at(0)->hang_up();
    EXPECT_EQ(trunk_cfg(1, Mode::slave), "error internal");
    EXPECT_EQ(trunk_cfg(1, Mode::slave), "error internal") << "still missing";
    run_ms(3000);
    EXPECT_EQ(lines("E1: maintenance device lost"), 2u) << "missing is silent";
    board.clear_failures();
    EXPECT_EQ(trunk_cfg(1, Mode::slave), "success");
    EXPECT_EQ(sim.maintenance().tclk(), 2u);
}

} // namespace
