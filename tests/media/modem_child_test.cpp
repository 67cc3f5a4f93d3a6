// The children of modem slots: how their end reaches the controller, how
// destroying a slot stops them, what a lost controller leaves behind, and
// the digital modem's interface on the way in and out.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "media/modem_child.h"
#include "tests/media/modem_support.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
namespace If = Device::NetIf;
using DDM = TERM::DigitalDataModeEnum;

namespace {

struct ModemChildTest : ::testing::Test, ModemWorld {
    ModemChildTest()
    {
        interfaces().remove("hdlc1");
        modems.IQuery();
    }
    LGCP::Command digital()
    {
        return create_modem([](TERM::ModemParams& p) { p.include_ddm().push_back(DDM(DDM::ddmV110)); });
    }
    const SimBoard::NetInterfaces::Interface& hdlc0() { return *interfaces().find("hdlc0"); }
};

TEST_F(ModemChildTest, AChildsEndIsReported)
{
    struct Row {
        const char* name;
        const char* how;
        bool fax, link;
        std::vector<std::string> signals;
    } rows[] = {
        {"PPPD", "exit=3", false, true, {"slot=2 abort 768"}},
        // The program cannot be run: the child's own exit status.
        {"PPPD", "", false, false, {"slot=2 abort 512"}},
        {"FAX", "exit=4", true, true,
         {"slot=2 modemProceeding acct : { octetsOut { low 0, high 0 }, octetsIn { low 4, high 0 }, packetsOut { low "
          "0, high 0 }, packetsIn { low 0, high 0 }, time { low 0, high 0 }}",
          "slot=2 abort 1024"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.how);
        standin.behave(row.name, row.how);
        std::string program = root.path() + (row.fax ? "/usr/local/sbin/fax" : "/usr/local/sbin/pppd");
        if (!row.link)
            ::unlink(program.c_str());
        command(create_modem([&](TERM::ModemParams& p) {
            row.fax ? void(p.include_fax()) : void();
            row.fax ? p.include_execargs().push_back(ASN1::IA5String("send")) : void();
        }), 2);
        stream(2);
        EXPECT_EQ(await_controller(row.signals.size()), row.signals);
        EXPECT_EQ(modem(2)->child(), -1);
        destroy_gone(2);
        if (!row.link)
            ::symlink(VB_STANDIN, program.c_str());
    }
}

TEST_F(ModemChildTest, DestroyHangsTheChildUpAndWaitsForItsEnd)
{
    // The daemon takes 200 ms after the hang-up: the answer waits for it.
    standin.behave("PPPD", "hup=200");
    command(create_modem(), 2);
    stream(2);
    pid_t pid = modem(2)->child();
    standin.wait_run(pid);
    auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(destroy(2).empty());
    EXPECT_THAT(await_controller(), ElementsAre("slot=2 success"));
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(190));
    EXPECT_EQ(standin.end(pid), "exit 0\n");
    EXPECT_THAT(err.str(), HasSubstr("sent HUP to pppd."));

    // One that ignores it is killed 5000 ms later and leaves no zombie.
    standin.behave("PPPD", "hup=ignore");
    command(create_modem(), 2);
    stream(2);
    pid = modem(2)->child();
    standin.wait_run(pid);
    EXPECT_TRUE(destroy(2).empty());
    advance(4999);
    EXPECT_TRUE(controller().empty());
    advance(1);
    EXPECT_THAT(controller(), ElementsAre("slot=2 success"));
    EXPECT_THAT(err.str(), HasSubstr("pppd terminate timeout!"));
    EXPECT_THAT(err.str(), HasSubstr("pppd isn't terminated, killing ..."));
    EXPECT_TRUE(run_real([&] { return reaped(pid); }));
    EXPECT_EQ(::kill(pid, 0), -1);
}

TEST_F(ModemChildTest, ASignalGoesOnlyToAChildStillOurs)
{
    ModemChild::Setup setup;
    setup.argv = {"/usr/local/sbin/pppd"};
    pid_t pid = ModemChild::spawn(setup);
    standin.wait_run(pid);
    EXPECT_TRUE(ModemChild::signal_child(pid, SIGKILL));
    ASSERT_TRUE(run_real([&] { return reaped(pid); }));
    // Reaped: the number may name another process by now.
    EXPECT_FALSE(ModemChild::signal_child(pid, SIGKILL));
    EXPECT_FALSE(ModemChild::signal_child(::getpid(), 0));
}

// The child runs with none of the server's handlers, ignored signals or
// blocked ones: a signal sent to it before its exec acts as on the program,
// which here dies of SIGTERM during its wait (lost, the stand-in would run
// and wait for ever).
TEST_F(ModemChildTest, AChildKeepsNoSignalStateOfTheServer)
{
    struct Row {
        const char* name;
        void (*handler)(int); // null: SIGTERM blocked instead
    } rows[] = {
        {"caught", [](int) {}},
        {"ignored", SIG_IGN},
        {"blocked", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        struct sigaction set {}, old;
        set.sa_handler = row.handler ? row.handler : SIG_DFL;
        ::sigaction(SIGTERM, &set, &old);
        sigset_t term, mask;
        sigemptyset(&term);
        sigaddset(&term, SIGTERM);
        ::sigprocmask(row.handler ? SIG_UNBLOCK : SIG_BLOCK, &term, &mask);
        struct End {
            int status = -1;
            void on(int s) { status = s; }
        } end;
        ChildWait wait;
        wait.Bind(&end, &End::on);
        ModemChild::Setup setup;
        setup.argv = {"/usr/local/sbin/pppd"};
        setup.delayMs = 1000;
        pid_t pid = ModemChild::spawn(setup);
        ::kill(pid, SIGTERM);
        wait.Attach(pid);
        ::sigprocmask(SIG_SETMASK, &mask, nullptr);
        ::sigaction(SIGTERM, &old, nullptr);
        EXPECT_TRUE(run_real([&] { return end.status != -1; }, 5000));
        EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGTERM) << end.status;
        ModemChild::signal_child(pid, SIGKILL);
        EXPECT_TRUE(run_real([&] { return reaped(pid); }));
    }
}

// A child stopped before it lets go of the server's descriptors (by a
// debugger, or a SIGSTOP from another process) holds the spawn, and so
// the loop, for the bound only.
int gStoppedPid = -1;

TEST_F(ModemChildTest, AStoppedNewChildHoldsTheSpawnForTheBoundOnly)
{
    int pids[2];
    ASSERT_EQ(::pipe2(pids, O_CLOEXEC), 0);
    Fd readPid(pids[0]), writePid(pids[1]);
    gStoppedPid = pids[1];
    ModemChild::Setup setup;
    setup.argv = {"/usr/local/sbin/pppd"};
    setup.beforeRelease = [] {
        pid_t self = ::getpid();
        if (::write(gStoppedPid, &self, sizeof(self)) < 0) {
        }
        ::raise(SIGSTOP);
    };
    // Without a bound the spawn would wait for ever: the child is killed
    // after 5 s, which ends that wait.
    std::atomic<bool> spawned{false};
    std::thread guard([&] {
        pid_t child = -1;
        if (::read(readPid.get(), &child, sizeof(child)) != sizeof(child))
            return;
        auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!spawned && std::chrono::steady_clock::now() < limit)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!spawned)
            ::kill(child, SIGKILL);
    });
    auto begin = std::chrono::steady_clock::now();
    pid_t pid = ModemChild::spawn(setup);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
    spawned = true;
    guard.join();
    EXPECT_GT(pid, 0);
    EXPECT_GE(took.count(), ModemChild::kReleaseWaitMs - 10);
    EXPECT_LT(took.count(), 3000);
    EXPECT_THAT(err.str(), HasSubstr("child " + std::to_string(pid) +
                                     " did not close its descriptors within 1000 ms, going on\n"));
    // Still stopped; killed and reaped all the same.
    std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    EXPECT_EQ(stat.substr(stat.rfind(')') + 1, 3), " T ") << stat;
    EXPECT_TRUE(ModemChild::signal_child(pid, SIGKILL));
    EXPECT_TRUE(run_real([&] { return reaped(pid); }));
}

// What a helper writes on its standard output and error becomes lines of
// the server's log, named after it; a descriptor 1 given to it stays its
// own. Once the helpers ended, their pipes end, and nothing of them stays
// open in the server.
TEST_F(ModemChildTest, AHelpersOutputBecomesLinesOfTheLogNamedAfterIt)
{
    const int fds = settled_fd_count();
    CaptureStream out(std::cout);
    standin.behave("T38", "say=on stderr,instances=3");
    ModemChild::Setup setup;
    setup.argv = {"/usr/local/sbin/t38", "--num-of-instances"};
    setup.banner = "on stdout";
    pid_t logged = ModemChild::spawn(setup);
    Pipe answer;
    setup.output = answer.w.get();
    pid_t answering = ModemChild::spawn(setup);
    answer.w.close();
    auto line = [](pid_t pid, const std::string& text) { return "t38[" + std::to_string(pid) + "]: " + text + "\n"; };
    auto has = [&](const std::string& l) { return out.str().find(l) != std::string::npos; };
    EXPECT_TRUE(run_real([&] { return has(line(logged, "3")) && has(line(answering, "on stderr")); }, 3000))
        << out.str();
    EXPECT_LT(out.str().find(line(logged, "on stdout")), out.str().find(line(logged, "on stderr")));
    EXPECT_LT(out.str().find(line(logged, "on stderr")), out.str().find(line(logged, "3")));
    EXPECT_FALSE(has(line(answering, "on stdout")));
    EXPECT_FALSE(has(line(answering, "3")));
    std::string answered;
    char chunk[64];
    for (ssize_t n; (n = ::read(answer.r.get(), chunk, sizeof(chunk))) > 0;)
        answered.append(chunk, size_t(n));
    EXPECT_EQ(answered, "on stdout\n3\n");
    EXPECT_TRUE(run_real([&] { return reaped(logged) && reaped(answering); }));
    answer.r.close();
    EXPECT_TRUE(run_real([&] { return open_fd_count() == fds; })) << open_fd_count() << " open, " << fds << " before";
}

TEST_F(ModemChildTest, ADigitalModemRunsPppOnItsInterface)
{
    command(digital(), 2);
    EXPECT_THAT(stream(2), Contains("slot=2 transmitter active : " + std::to_string(hdlc0().channel)));
    EXPECT_EQ(hdlc0().protocol, If::kProtoPpp);
    StandinRun run = standin.wait_run(modem(2)->child());
    EXPECT_THAT(run.argv, ElementsAre("/usr/local/sbin/pppd", "file", "/usr/local/etc/ppp/ioptions", "hdlc0"));
    EXPECT_TRUE(modems.free_names().empty());
    // pppd brought the link up; the release takes it down and back to raw HDLC.
    interfaces().add("hdlc0", If::kPointToPoint | If::kUp);
    destroy_gone(2);
    EXPECT_EQ(hdlc0().flags & If::kUp, 0);
    EXPECT_EQ(hdlc0().protocol, If::kProtoHdlc);
    EXPECT_THAT(modems.free_names(), ElementsAre("hdlc0"));
}

TEST_F(ModemChildTest, ADigitalModemThatCannotStartHoldsNoChannel)
{
    // The interface runs: its protocol cannot change, so no daemon runs
    // and the connection fails.
    interfaces().add("hdlc0", If::kPointToPoint | If::kUp);
    command(digital(), 2);
    Texts answer = stream(2);
    EXPECT_THAT(answer, Contains("slot=2 error connectFail"));
    EXPECT_THAT(answer, testing::Not(Contains(HasSubstr("active"))));
    EXPECT_THAT(err.str(), HasSubstr("SIOCWANDEV/IF_PROTO_PPP fail!"));
    EXPECT_EQ(modem(2)->child(), -1);
    destroy_gone(2);

    // The interface went away: no channel, so no switch connection on -1.
    interfaces().add("hdlc0", If::kPointToPoint);
    command(digital(), 2);
    interfaces().remove("hdlc0");
    EXPECT_THAT(stream(2), Contains("slot=2 error connectFail"));
    EXPECT_THAT(err.str(), HasSubstr("SIOCWANDEV/IF_GET_IFACE fail!"));
    destroy(2);
    EXPECT_THAT(err.str(), HasSubstr("SIOCGIFFLAGS fail!!!"));
}

TEST_F(ModemChildTest, ALostControllerLeavesNoSlotInTheListsAndFreesTheInterface)
{
    standin.behave("PPPD", "hup=ignore");
    command(create_modem(), 2);
    stream(2);
    command(digital(), 3);
    command(simple(LGCP::Command::e_connect, 1), 3);
    pid_t dsp = modem(2)->child(), hdlc = modem(3)->child();
    standin.wait_run(dsp);
    standin.wait_run(hdlc);
    server.OnDisconnect();
    EXPECT_EQ(slots().at(2), nullptr);
    EXPECT_EQ(modems.live_slots(), 0u);
    EXPECT_EQ(modems.dsp_slots() + modems.hdlc_slots(), 0u);
    EXPECT_THAT(modems.free_names(), ElementsAre("hdlc0"));
    EXPECT_EQ(hdlc0().protocol, If::kProtoHdlc);
    EXPECT_EQ(mctl().in_use(), 0u);
    EXPECT_TRUE(run_real([&] { return reaped(dsp) && reaped(hdlc); }));
    // A record for the freed slots finds none (the list is walked safely).
    std::string r = attr::make(Auth::voauth, 0, {});
    modems.OnAuth(attr(reinterpret_cast<const uint8_t*>(r.data()), r.size()));
    EXPECT_THAT(err.str(), HasSubstr("receive auth request for unknown session 0"));
}

// A fax receiver waits a second before its exec; meanwhile it holds none
// of the server's descriptors.
struct FaxBesideRtpTest : ::testing::Test, ModemWorld {
    Hardware::TonecReceiverService::Scoped tonecScope;
    Hardware::DSProcReceiverService::Scoped dsprocScope;
    RtpFactory rtpFactory;
    // The RTP slots go before the services they use.
    ~FaxBesideRtpTest() override { server.OnDisconnect(); }
};

TEST_F(FaxBesideRtpTest, ADestroyedRtpSlotsPortIsFreeAtOnce)
{
    Remote remote;
    LGCP::Command rtp = create_rtp(remote.port);
    TERM::HostAddress& shost = rtp.get_create().get_rtp().get_codecRTP().include_shost();
    shost.set_iaddr("127.0.0.1");
    shost.set_port(free_rtp_port());
    ASSERT_THAT(command(rtp, 3), Contains("slot=3 success"));
    command(create_modem([](TERM::ModemParams& p) { p.include_fax(); }), 2);
    stream(2);
    pid_t receiver = modem(2)->child();
    ASSERT_GT(receiver, 0);
    destroy(3);
    EXPECT_THAT(command(rtp, 4), Contains("slot=4 success"));
    // Still before its exec.
    EXPECT_EQ(standin.run(receiver).pid, -1);
}

} // namespace
