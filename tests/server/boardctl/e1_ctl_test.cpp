// E1 trunk control on the simulated framer drivers, in virtual time.
#include <cerrno>
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
    Texts cas(int path, int timeslot, char op, int bits = 0)
    {
        LGCP::Command c;
        LGCP::CasCommand& cas = c.get_ioctl().get_cas();
        cas.get_channel().set_path(path);
        cas.get_channel().set_timeslot(timeslot);
        LGCP::CasCommandSignal& cmd = cas.get_cmd();
        op == 'o' ? cmd.set_open(bits) : op == 'c' ? cmd.set_close() : op == 's' ? cmd.set_set(bits) : cmd.set_get();
        EXPECT_EQ(command(c), "success");
        return signals.take();
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
    board.fail(GetMaintenance(), Device::E1::E1_SET_TCLK, EIO);
    EXPECT_EQ(trunk_cfg(1, Mode::slave), "success");
    EXPECT_THAT(err.str(), HasSubstr("E1: fail to set TCLK [cause=Input/output error]\n"));
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
    EXPECT_EQ(cas(4, 5, 'o'), Texts{});
    EXPECT_EQ(cas(-1, 5, 'o'), Texts{});
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

} // namespace
