// The modem link and the T.38 engine's end checked by independent parties:
// the helper script packs and reads the authentication records with
// Python's struct from the published layout, and the kernel's own wait
// status of a program that exits with 1005 is what the slot reports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/media/modem_support.h"

using namespace vbtest;
using testing::ElementsAre;

namespace {

struct ModemOracle : ::testing::Test, ModemWorld {
    // Runs the helper script against the factory while the loop serves it;
    // what it printed.
    std::string helper(const std::vector<std::string>& args, const std::function<void()>& meanwhile = nullptr)
    {
        std::string out = standin.dir.file("helper.out");
        std::vector<std::string> words{"python3", AUTH_PEER, modems.auth_address().GetString()};
        words.insert(words.end(), args.begin(), args.end());
        pid_t pid = ::fork();
        if (pid == 0) {
            int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            std::vector<char*> argv;
            for (std::string& w : words)
                argv.push_back(&w[0]);
            argv.push_back(nullptr);
            ::execvp("python3", argv.data());
            ::_exit(127);
        }
        // The reaper takes the script; its end shows as the connection's.
        ChildWait done;
        bool ended = false;
        struct End {
            bool* flag;
            void on(int) { *flag = true; }
        } end{&ended};
        done.Bind(&end, &End::on);
        done.Attach(pid);
        meanwhile ? meanwhile() : void();
        EXPECT_TRUE(run_real([&] { return ended; }, 10000));
        return read_file(out);
    }
};

TEST_F(ModemOracle, TheHelpersRecordsTravelBothWays)
{
    interfaces().remove("hdlc0");
    interfaces().remove("hdlc1");
    modems.IQuery();
    command(create_modem(), 2);
    stream(2);
    controller();
    std::string printed = helper({"--expect", "2", "voauth:0:alice:secret", "voacct:0:4294967298:3:4:5:6"}, [&] {
        EXPECT_THAT(await_controller(2),
                    ElementsAre("slot=2 modemProceeding auth : { username \"alice\", password \"secret\"}",
                                "slot=2 modemProceeding acct : { octetsOut { low 2, high 1 }, octetsIn { low 3, high 0 "
                                "}, packetsOut { low 4, high 0 }, packetsIn { low 5, high 0 }, time { low 6, high 0 }}"));
        LGCP::Command a;
        TERM::ModemUserParameters& u = a.get_activate().get_modem();
        u.set_remoteAddr("192.168.7.9");
        u.set_netmask("255.255.0.0");
        u.set_gateway("192.168.0.1");
        u.set_dns("nonsense");
        u.set_mtu(576);
        EXPECT_THAT(command(a, 2), ElementsAre("slot=2 error invalidParams")) << "no record goes for it";
        u.set_dns("192.168.0.53");
        EXPECT_THAT(command(a, 2), ElementsAre("slot=2 success"));
    });
    EXPECT_EQ(printed, "sent 2\naccept 0 1\nip 0 192.168.7.9 255.255.0.0 192.168.0.1 192.168.0.53 576\n");
}

TEST_F(ModemOracle, TheKernelsStatusOfAnEngineThatCannotRun)
{
    // The fixture's reaper would take the child first on its SIGCHLD.
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(1005);
    int status = 0;
    pid_t reaped = ::waitpid(pid, &status, 0);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    ASSERT_EQ(reaped, pid);
    ::unlink((root.path() + T38SoftFactory::kEngine).c_str());
    LGCP::Command c;
    LGCP::T38Soft& t = c.get_create().get_t38soft();
    t.get_dhost().set_iaddr("127.0.0.1");
    t.set_rx_packet_size(160);
    command(c, 2);
    EXPECT_THAT(await_controller(), ElementsAre("slot=2 abort " + std::to_string(status)));
    EXPECT_EQ(status, 60672);
}

} // namespace
