// Modem slots made by the real factory on the simulated board: which kind a
// creation gives, the driver requests of a DSP modem's start and the abort
// each failure reports, the digital modem's interface requests, the
// command lines of the children, and how a child's end and the slot's
// destruction meet.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <set>

#include "board/modem_requests.h"
#include "media/modem_child.h"
#include "tests/media/modem_support.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::HasSubstr;
namespace Mdm = Device::Modem;
namespace If = Device::NetIf;
using DDM = TERM::DigitalDataModeEnum;

namespace {

struct ModemSlotTest : ::testing::Test, ModemWorld {
    // The numbers of the requests on "/dev/mctl" since the last look (0 for an open).
    std::vector<unsigned long> requests()
    {
        std::vector<unsigned long> out;
        for (const SimBoard::Request& r : sim.board.log())
            if (r.device == Mdm::kDevice)
                out.push_back(r.op == SimBoard::Op::open ? 0 : r.number);
        sim.board.clear_log();
        return out;
    }
    LGCP::Command with_ddm(std::vector<DDM::NamedNumber> modes)
    {
        return create_modem([&](TERM::ModemParams& p) {
            auto& list = p.include_ddm();
            for (auto m : modes)
                list.push_back(DDM(m));
        });
    }
    // Takes modems 0..n-1 away from the slots.
    std::vector<Fd> hold_modems(int n)
    {
        std::vector<Fd> held;
        for (int i = 0; i < n; ++i) {
            held.emplace_back(Device::open(Mdm::kDevice, O_RDWR));
            Device::ioctl_value(held.back().get(), Mdm::MDM_ALLOCATE, 0);
        }
        return held;
    }
    // Creates slot 2 with the parameters, starts it, and returns its child's run.
    StandinRun start(const LGCP::Command& c)
    {
        command(c, 2);
        stream(2);
        return standin.wait_run(modem(2)->child());
    }
};

TEST_F(ModemSlotTest, TheCreationChoosesTheKind)
{
    struct Row {
        std::vector<std::string> interfaces; // point-to-point, besides hdlc0 and hdlc1 gone
        bool ddm;
        std::vector<DDM::NamedNumber> modes;
        const char* kind;
        uint32_t mask; // of a DSP modem's digital data mode, -1 for none set
    } rows[] = {
        {{"hdlc0"}, false, {}, "dsp-modem", ~0u},
        {{"hdlc0"}, true, {}, "dsp-modem", 0},
        {{}, true, {DDM::ddmV110}, "dsp-modem", 1},
        {{}, true, {DDM::ddm7BIT, DDM::ddm8BIT, DDM::ddmV120}, "dsp-modem", 6},
        {{"hdlc0"}, true, {DDM::ddmV110}, "digital-modem", ~0u},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kind + std::to_string(row.mask));
        interfaces().remove("hdlc0");
        interfaces().remove("hdlc1");
        for (const std::string& name : row.interfaces)
            interfaces().add(name, If::kPointToPoint);
        modems.IQuery();
        command(row.ddm ? with_ddm(row.modes) : create_modem(), 2);
        ASSERT_STREQ(slots().at(2)->GetName(), row.kind);
        stream(2);
        const SimBoard::ModemControl::State* s = mctl().allocated(0);
        if (row.mask == ~0u)
            EXPECT_TRUE(!s || !s->ddmSet);
        else
            EXPECT_TRUE(s && s->ddmSet && s->ddm == row.mask);
        destroy_gone(2);
        destroy(1);
    }
}

TEST_F(ModemSlotTest, TheScanCountsModemsAndFreePointToPointInterfaces)
{
    interfaces().add("hdlc3", If::kPointToPoint);
    interfaces().add("hdlc4", If::kPointToPoint);
    mctl().set_modems(3);
    query();
    EXPECT_EQ(modems.dsp_modems(), 3);
    // The scan stops at the first name missing.
    EXPECT_THAT(modems.free_names(), ElementsAre("hdlc0", "hdlc1"));
    EXPECT_THAT(log.str(), HasSubstr("modem[3,0]: found point-o-point devices: hdlc0 hdlc1"));
    EXPECT_THAT(query(), Contains(HasSubstr("digital-modems 2")));

    // A name held by a live call is not offered again.
    command(with_ddm({DDM::ddmV110}), 2);
    modems.IQuery();
    EXPECT_THAT(modems.free_names(), ElementsAre("hdlc1"));

    sim.board.fail(Mdm::kDevice, SimBoard::Op::open, ENOENT, SimBoard::Board::Times::always);
    query();
    EXPECT_EQ(modems.dsp_modems(), 0);
    EXPECT_THAT(err.str(), HasSubstr("fail to open \"/dev/mctl\" : No such file or directory"));
}

TEST_F(ModemSlotTest, ADspModemStartsInOrderAndOnce)
{
    interfaces().remove("hdlc0");
    interfaces().remove("hdlc1");
    modems.IQuery();
    command(create_modem([](TERM::ModemParams& p) {
        p.include_ddm().push_back(DDM(DDM::ddmV110));
        TERM::DDModemParam a, b;
        a.set_offset(5), a.set_value(7), b.set_offset(9), b.set_value(-1);
        p.include_dmp().push_back(a);
        p.get_dmp().push_back(b);
    }), 2);
    requests();
    EXPECT_THAT(stream(2), ElementsAre("slot=2 transmitter active : 3072", "slot=2 receiver active : 3072",
                                       "slot=1 receiver active : 101", "slot=2 success"));
    EXPECT_THAT(requests(), ElementsAre(0, Mdm::MDM_ALLOCATE, Mdm::MDM_TIMESLOT, Mdm::MDM_SET_DDM,
                                        Mdm::MDM_RESET_PARAMS, Mdm::MDM_SET_PARAM, Mdm::MDM_SET_PARAM,
                                        Mdm::MDM_ANSWER));
    EXPECT_EQ(mctl().allocated(0)->params, (std::map<int32_t, int32_t>{{5, 7}, {9, -1}}));
    EXPECT_EQ(mctl().allocated(0)->mode, SimBoard::ModemControl::Mode::answer);
    // A second stream asks nothing more.
    create(3);
    EXPECT_THAT(command(simple(LGCP::Command::e_connect, 3), 2), ElementsAre("slot=3 receiver active : 103", "slot=2 success"));
    EXPECT_TRUE(requests().empty());
}

TEST_F(ModemSlotTest, EachFailingStepAbortsWithItsErrno)
{
    using Op = SimBoard::Op;
    struct Row {
        unsigned long request; // 0: the open
        bool originate, fax, held; // held: the stream still gets the time slot
        const char* text;
    } rows[] = {
        {0, false, false, false, "fail to open device: "},
        {Mdm::MDM_ALLOCATE, false, false, false, "insufficient resources : "},
        {Mdm::MDM_TIMESLOT, false, false, false, "get timeslot fail : "},
        {Mdm::MDM_SET_DDM, false, false, false, "set DDM failed : "},
        {Mdm::MDM_ANSWER, false, false, true, "answer failed : "},
        {Mdm::MDM_ORIGINATE, true, false, true, "originate failed : "},
        {Mdm::MDM_FAX_ORIGINATE, true, true, true, "originate failed : "},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        command(create_modem([&](TERM::ModemParams& p) {
            p.include_ddm();
            row.originate ? void(p.include_originate()) : void();
            row.fax ? void(p.include_fax()) : void();
        }), 2);
        row.request ? sim.board.fail(Mdm::kDevice, row.request, EIO) : sim.board.fail(Mdm::kDevice, Op::open, EIO);
        Texts got = stream(2);
        EXPECT_THAT(got, Contains("slot=2 abort 5"));
        // Without a time slot the stream is refused: no switch connection on -1.
        EXPECT_THAT(got, Contains(row.held ? "slot=2 success" : "slot=2 error connectFail"));
        EXPECT_EQ(modem(2)->child(), -1);
        EXPECT_THAT(err.str(), HasSubstr(std::string(row.text) + "Input/output error"));
        destroy_gone(2);
        EXPECT_EQ(mctl().in_use(), 0u);
    }
    // A parameter that is refused is only logged.
    command(create_modem([](TERM::ModemParams& p) {
        TERM::DDModemParam a;
        a.set_offset(-3), a.set_value(1);
        p.include_dmp().push_back(a);
    }), 2);
    sim.board.fail(Mdm::kDevice, Mdm::MDM_RESET_PARAMS, EIO);
    EXPECT_THAT(stream(2), Contains("slot=2 success"));
    EXPECT_THAT(err.str(), HasSubstr("reset dmp parameters failed : Input/output error"));
    EXPECT_THAT(err.str(), HasSubstr("set dmp parameter index=-3 value=1 failed : Invalid argument"));
    EXPECT_GT(modem(2)->child(), 0);
}

TEST_F(ModemSlotTest, CommandLinesOfThePppDaemon)
{
    std::vector<std::string> many;
    for (int i = 0; i < 70; ++i)
        many.push_back("a" + std::to_string(i));
    struct Row {
        std::string cid;
        bool originate;
        const char* execfile;
        size_t execargs;
        std::vector<std::string> argv;
    } rows[] = {
        {"555", false, nullptr, 0,
         {"/usr/local/sbin/pppd", "file", "/usr/local/etc/ppp/aoptions", "/dev/mdm3", "remotenumber", "555"}},
        {"", true, nullptr, 0, {"/usr/local/sbin/pppd", "file", "/usr/local/etc/ppp/coptions", "/dev/mdm3"}},
        {"555", false, "/usr/local/bin/fax", 2, {"/usr/local/bin/fax", "a0", "a1"}},
        {"555", false, nullptr, 70, {}},
    };
    rows[3].argv.push_back("/usr/local/sbin/pppd");
    rows[3].argv.insert(rows[3].argv.end(), many.begin(), many.begin() + 62);
    std::vector<Fd> held = hold_modems(3);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.argv.back());
        StandinRun run = start(create_modem([&](TERM::ModemParams& p) {
            p.set_cid(row.cid);
            row.originate ? void(p.include_originate()) : void();
            row.execfile ? p.set_execfile(row.execfile) : void();
            for (size_t i = 0; i < row.execargs; ++i)
                p.include_execargs().push_back(ASN1::IA5String(many[i]));
        }));
        EXPECT_THAT(run.argv, ElementsAreArray(row.argv));
        EXPECT_THAT(log.str(), HasSubstr("pppd executed cid=\"" + row.cid + "\" pid=" + std::to_string(run.pid)));
        destroy_gone(2);
    }
}

TEST_F(ModemSlotTest, FaxProgramsGetTheModemNumber)
{
    std::vector<Fd> held = hold_modems(1);
    StandinRun run = start(create_modem([](TERM::ModemParams& p) {
        p.include_fax();
        for (int i = 0; i < 70; ++i)
            p.include_execargs().push_back(ASN1::IA5String("x" + std::to_string(i)));
    }));
    ASSERT_EQ(run.argv.size(), 63u);
    EXPECT_THAT(std::vector<std::string>(run.argv.begin(), run.argv.begin() + 4),
                ElementsAre("/usr/local/sbin/fax", "-m", "1", "x0"));
    EXPECT_EQ(run.argv.back(), "x59");
    EXPECT_THAT(log.str(), HasSubstr("fax transfer executed modem=1 ts=3073"));
    ::kill(run.pid, SIGKILL);
    await_controller();
    destroy(2);
    destroy(1);

    // The receiver is named by the time of its start and runs a second later.
    standin.behave("FAXRECV", "exit=0");
    auto begin = std::chrono::steady_clock::now();
    command(create_modem([](TERM::ModemParams& p) { p.include_fax(); }), 2);
    stream(2);
    EXPECT_GT(modem(2)->child(), 0);
    StandinRun receiver;
    ASSERT_TRUE(run_real([&] {
        for (pid_t pid : standin.runs())
            if (standin.run(pid).argv.at(0) == "/usr/local/bin/fax")
                receiver = standin.run(pid);
        return receiver.pid > 0;
    }, 3000));
    auto elapsed = std::chrono::steady_clock::now() - begin;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1000));
    ASSERT_EQ(receiver.argv.size(), 5u);
    EXPECT_THAT(std::vector<std::string>(receiver.argv.begin(), receiver.argv.begin() + 4),
                ElementsAre("/usr/local/bin/fax", "-m", "1", "receive"));
    EXPECT_THAT(receiver.argv[4], testing::MatchesRegex("/var/fax-[0-2][0-9]-[0-5][0-9]-[0-6][0-9]\\.g3"));
}

TEST_F(ModemSlotTest, AFaxReceiverIsStoppedWithItsSlotAndWritesAFileOfItsOwn)
{
    // Two receivers started together: one second names both files.
    auto receiver = [&](int n) {
        command(create_modem([](TERM::ModemParams& p) { p.include_fax(); }), n);
        n == 2 ? void(stream(2)) : void(command(simple(LGCP::Command::e_connect, 1), n));
        return modem(unsigned(n))->child();
    };
    pid_t first = receiver(2), second = receiver(3);
    ASSERT_GT(first, 0);
    ASSERT_GT(second, 0);
    std::string a = standin.wait_run(first).argv.at(4), b = standin.wait_run(second).argv.at(4);
    EXPECT_NE(a, b);
    if (a.substr(0, 17) == b.substr(0, 17)) {
        EXPECT_EQ(b, a.substr(0, 17) + "-1.g3");
    }
    // Hung up like the PPP daemon; the destroy is answered once it ended.
    EXPECT_TRUE(destroy(2).empty());
    EXPECT_THAT(await_controller(), ElementsAre("slot=2 success"));
    EXPECT_EQ(standin.end(first), "signal 1\n");
    EXPECT_TRUE(run_real([&] { return reaped(first); }));
    EXPECT_EQ(standin.end(second), "");
    // A lost controller takes the other one.
    server.OnDisconnect();
    EXPECT_TRUE(run_real([&] { return reaped(second); }));
}

// The board takes the modem back under its call: the daemon (or the fax
// transfer) is hung up once, its end within the time-out is no news and
// leaves no time-out behind, and the slot answers nothing but its destroy.
// A loss while the destroy already hung the daemon up leaves that destroy
// the one answer, given once the daemon ended.
TEST_F(ModemSlotTest, AModemTheBoardTookBackStopsItsDaemonOnce)
{
    const struct {
        const char* program; // the stand-in's name
        bool fax;
        bool destroying;
        const char* signal; // what the controller hears up to the child's end
    } rows[] = {
        {"PPPD", false, false, "slot=2 abort 19"},
        {"FAX", true, false, "slot=2 abort 19"},
        {"PPPD", false, true, "slot=2 success"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.program) + (row.destroying ? " destroying" : ""));
        // Each ends a moment after its hang-up, not at once.
        standin.behave(row.program, "hup=100");
        command(create_modem([&](TERM::ModemParams& p) {
            if (row.fax)
                p.include_fax(), p.include_execargs().push_back(ASN1::IA5String("send"));
        }), 2);
        stream(2);
        pid_t pid = modem(2)->child();
        ASSERT_GT(pid, 0);
        standin.wait_run(pid);
        controller();
        err.clear();
        if (row.destroying) {
            EXPECT_TRUE(destroy(2).empty());
        }
        for (SimBoard::Channel* ch : sim.board.channels(Device::Modem::kDevice))
            ch->hang_up();
        EXPECT_THAT(await_controller(), ElementsAre(row.signal));
        if (row.destroying) {
            EXPECT_EQ(standin.end(pid), "exit 0\n") << "answered before the daemon ended";
        }
        EXPECT_EQ(mctl().allocated(0), nullptr);
        EXPECT_TRUE(run_real([&] { return !modem(2) || modem(2)->child() < 0; }));
        EXPECT_EQ(standin.end(pid), "exit 0\n");
        EXPECT_TRUE(controller().empty());
        advance(ModemSlot::kTerminateTimeoutMs);
        const std::string e = err.str();
        size_t hangUps = 0;
        for (size_t at = e.find("sent HUP to pppd."); at != std::string::npos; at = e.find("sent HUP to pppd.", at + 1))
            ++hangUps;
        EXPECT_EQ(hangUps, 1u);
        EXPECT_THAT(e, Not(HasSubstr("pppd terminate timeout!")));
        EXPECT_THAT(e, Not(HasSubstr("killing")));
        if (!row.destroying) {
            EXPECT_THAT(command(simple(LGCP::Command::e_activate), 2), ElementsAre("slot=2 error internal"));
            EXPECT_THAT(destroy(2), ElementsAre("slot=2 success"));
        }
        EXPECT_EQ(slots().at(2), nullptr);
    }
}

TEST(FaxFileName, ASuffixOnlyWhenTheNameIsTaken)
{
    tm at{};
    at.tm_year = 126, at.tm_mon = 11, at.tm_mday = 7, at.tm_hour = 9, at.tm_min = 5, at.tm_sec = 3;
    at.tm_isdst = -1;
    time_t t = std::mktime(&at);
    std::set<std::string> taken;
    auto name = [&] { return ModemChild::fax_file_name(t, [&](const std::string& f) { return taken.count(f) > 0; }); };
    EXPECT_EQ(name(), "/var/fax-09-05-03.g3");
    taken.insert("/var/fax-09-05-03.g3");
    EXPECT_EQ(name(), "/var/fax-09-05-03-1.g3");
    taken.insert("/var/fax-09-05-03-1.g3");
    EXPECT_EQ(name(), "/var/fax-09-05-03-2.g3");
    taken.erase("/var/fax-09-05-03.g3");
    EXPECT_EQ(name(), "/var/fax-09-05-03.g3");
}

} // namespace
