// The fixture of the call flows that run the server's child programs: the
// stand-in program runs as the PPP daemon, the fax programs and the T.38
// engine, and the helper script plays the authentication helper on
// 127.0.0.1:52000. The test process first enters a network namespace of
// its own, so that its server alone owns that address.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "tests/e2e/board_port.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"

namespace vbtest {

inline bool write_text(const char* path, const std::string& text)
{
    std::ofstream f(path);
    return static_cast<bool>(f << text << std::flush);
}

// A network namespace with its loopback up, entered once per process; ""
// when done, else why not.
inline std::string enter_network_namespace()
{
    static std::string result = [] {
        uid_t uid = ::getuid();
        gid_t gid = ::getgid();
        if (::unshare(CLONE_NEWNET) != 0) {
            if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0)
                return std::string("no network namespace: ") + std::strerror(errno);
            write_text("/proc/self/setgroups", "deny");
            if (!write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
                !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
                return std::string("no id maps");
        }
        Fd s(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        ifreq r{};
        std::strcpy(r.ifr_name, "lo");
        r.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
        if (::ioctl(s.get(), SIOCSIFFLAGS, &r) != 0)
            return std::string("loopback stays down: ") + std::strerror(errno);
        return std::string();
    }();
    return result;
}

class ModemFlow : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why = enter_network_namespace();
        if (!why.empty())
            GTEST_SKIP() << why;
        ::setenv("VB_STANDIN_DIR", runs.path().c_str(), 1);
        for (const char* dir : {"/usr/local/sbin", "/usr/local/bin"})
            ::mkdir(server.path(dir).c_str(), 0755);
        for (const char* program :
             {"/usr/local/sbin/pppd", "/usr/local/sbin/t38", "/usr/local/sbin/fax", "/usr/local/bin/fax"})
            ASSERT_EQ(::symlink(VB_STANDIN, server.path(program).c_str()), 0);
    }
    void TearDown() override
    {
        for (const char* name : {"VB_STANDIN_PPPD", "VB_STANDIN_T38"})
            ::unsetenv(name);
    }
    // The pids of the programs that reached their start and still run.
    std::vector<pid_t> running()
    {
        std::vector<pid_t> pids;
        if (DIR* d = ::opendir(runs.path().c_str())) {
            while (dirent* e = ::readdir(d)) {
                std::string name = e->d_name;
                pid_t pid = std::atoi(name.c_str());
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".run") == 0 && ::kill(pid, 0) == 0)
                    pids.push_back(pid);
            }
            ::closedir(d);
        }
        return pids;
    }
    // The server with the programs behaving so.
    void start(const std::string& pppd, const std::string& t38 = "instances=8")
    {
        ::setenv("VB_STANDIN_PPPD", pppd.c_str(), 1);
        ::setenv("VB_STANDIN_T38", t38.c_str(), 1);
        ASSERT_TRUE(server.start()) << server.err();
        ASSERT_TRUE(ctl.connect(server.port()));
        ASSERT_TRUE(board.connect(server.pid()));
    }
    // The argv of the run of program, waiting for it.
    std::vector<std::string> run_of(const std::string& program)
    {
        std::vector<std::string> argv;
        eventually([&] {
            if (DIR* d = ::opendir(runs.path().c_str())) {
                while (dirent* e = ::readdir(d)) {
                    std::string name = e->d_name;
                    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".run") != 0)
                        continue;
                    std::ifstream in(runs.file(name));
                    std::vector<std::string> lines;
                    for (std::string line; std::getline(in, line);)
                        lines.push_back(line);
                    if (!lines.empty() && lines[0] == program && !seen.count(name)) {
                        seen.insert(name);
                        lines.pop_back();
                        argv = lines;
                    }
                }
                ::closedir(d);
            }
            return !argv.empty();
        });
        return argv;
    }
    // The helper script with these arguments; its output once it ended.
    std::string helper(const std::vector<std::string>& args, const std::function<void()>& meanwhile = nullptr)
    {
        std::string out = runs.file("helper.out");
        pid_t pid = ::fork();
        if (pid == 0) {
            int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            std::vector<std::string> words{"python3", AUTH_PEER, "127.0.0.1:52000"};
            words.insert(words.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& w : words)
                argv.push_back(&w[0]);
            argv.push_back(nullptr);
            ::execvp("python3", argv.data());
            ::_exit(127);
        }
        meanwhile ? meanwhile() : void();
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_EQ(status, 0);
        return read_file(out);
    }
    // The helper asks for alice on the modem at slot 5, the controller
    // activates it, and the helper gets both records.
    void authenticate()
    {
        std::string records = helper({"--expect", "2", "voauth:0:alice:secret"}, [&] {
            EXPECT_EQ(next(), "slot=5 modemProceeding auth : { username \"alice\", password \"secret\"}");
            LGCP::Command a;
            TERM::ModemUserParameters& u = a.get_activate().get_modem();
            u.set_remoteAddr("10.0.0.2");
            u.set_netmask("255.255.255.0");
            u.set_gateway("10.0.0.1");
            u.set_dns("10.0.0.53");
            u.set_mtu(1500);
            EXPECT_THAT(ctl.exchange(to_slot(a, 5)), testing::ElementsAre("slot=5 success"));
        });
        EXPECT_EQ(records, "sent 1\naccept 0 1\nip 0 10.0.0.2 255.255.255.0 10.0.0.1 10.0.0.53 1500\n");
    }
    // The next message that is not a trunk signal, waiting for it.
    std::string next() { return ctl.next(5000); }
    Texts query() { return ctl.exchange(lgcp(simple(LGCP::Command::e_query), -1, -1)); }

    TempDir runs;
    std::set<std::string> seen;
    ServerProcess server;
    Controller ctl;
    BoardPort board;
};

} // namespace vbtest
