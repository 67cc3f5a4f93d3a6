// Modem and T.38 calls through the running server, as call flows: the
// stand-in program runs as the PPP daemon and the T.38 engine, and the
// helper script plays the authentication helper on 127.0.0.1:52000. The
// test process first enters a network namespace of its own, so that its
// server alone owns that address.
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

#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "tests/e2e/board_port.h"
#include "tests/e2e/server_process.h"
#include "tests/e2e/flow_commands.h"

using namespace vbtest;
using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

bool write_text(const char* path, const std::string& text)
{
    std::ofstream f(path);
    return static_cast<bool>(f << text << std::flush);
}

// A network namespace with its loopback up, entered once per process; ""
// when done, else why not.
std::string enter_network_namespace()
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

LGCP::Command create_modem(const std::string& cid)
{
    LGCP::Command c;
    c.get_create().get_modem().set_cid(cid);
    c.get_create().get_modem().set_cdid("");
    return c;
}

LGCP::Command create_t38()
{
    LGCP::Command c;
    LGCP::T38Soft& t = c.get_create().get_t38soft();
    t.get_dhost().set_iaddr("127.0.0.1");
    t.get_dhost().set_port(4000);
    t.get_shost().set_iaddr("127.0.0.1");
    t.get_shost().set_port(5000);
    t.set_rx_packet_size(160);
    t.set_rx_threshold(1);
    t.set_tx_threshold(1);
    return c;
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
        for (const char* program : {"/usr/local/sbin/pppd", "/usr/local/sbin/t38", "/usr/local/bin/fax"})
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
            EXPECT_THAT(ctl.exchange(to_slot(a, 5)), ElementsAre("slot=5 success"));
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

TEST_F(ModemFlow, ADialInCallAuthenticatesAccountsAndHangsUp)
{
    start("hup=200");
    EXPECT_THAT(query(), Contains(testing::AllOf(HasSubstr("modem 4,"), HasSubstr("digital-modems 2"),
                                                 HasSubstr("t38-instances 8"))));
    ctl.exchange(to_slot(create_trunk(0, 1), 9));
    ctl.exchange(to_slot(create_modem("555"), 5));
    EXPECT_THAT(ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 9), 5)),
                ElementsAre("slot=5 transmitter active : 3072", "slot=5 receiver active : 3072", "slot=5 success"));
    EXPECT_THAT(run_of("/usr/local/sbin/pppd"), ElementsAre("/usr/local/sbin/pppd", "file", "/usr/local/etc/ppp/aoptions",
                                                            "/dev/mdm0", "remotenumber", "555"));

    authenticate();

    helper({"voacct:0:1:2:3:4:60"});
    EXPECT_EQ(next(), "slot=5 modemProceeding acct : { octetsOut { low 1, high 0 }, octetsIn { low 2, high 0 }, "
                      "packetsOut { low 3, high 0 }, packetsIn { low 4, high 0 }, time { low 60, high 0 }}");

    auto begin = std::chrono::steady_clock::now();
    ctl.send(to_slot(simple(LGCP::Command::e_destroy), 5));
    EXPECT_EQ(next(), "slot=5 success");
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(190));
}

// Connections that each sent one record no slot took, then went idle,
// fill every place; the helper gets in all the same.
TEST_F(ModemFlow, IdleConnectionsWithAJunkRecordKeepNoHelperOut)
{
    start("hup=200");
    ctl.exchange(to_slot(create_trunk(0, 1), 9));
    ctl.exchange(to_slot(create_modem("555"), 5));
    ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 9), 5));
    sockaddr_in auth{};
    auth.sin_family = AF_INET;
    auth.sin_port = htons(52000);
    auth.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::vector<Fd> junk;
    for (uint32_t i = 0; i < 64; ++i) {
        junk.emplace_back(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        ASSERT_EQ(::connect(junk.back().get(), reinterpret_cast<sockaddr*>(&auth), sizeof(auth)), 0);
        const uint32_t record[] = {htonl(12), htonl(0x55), htonl(i % 2 ? 100 + i : 0)};
        ASSERT_EQ(::send(junk.back().get(), record, sizeof(record), MSG_NOSIGNAL), ssize_t(sizeof(record)));
    }
    auto lines = [&](const char* part) {
        std::string err = server.err();
        size_t n = 0;
        for (size_t at = err.find(part); at != std::string::npos; at = err.find(part, at + 1))
            ++n;
        return n;
    };
    ASSERT_TRUE(eventually([&] { return lines("unknown session ") + lines("portslave: 0x55") == junk.size(); }));
    authenticate();
    EXPECT_EQ(lines(" refused: "), 0u);
}

// A destroy answered once the PPP daemon has ended carries its own seq,
// whatever the value and whatever came meanwhile.
TEST_F(ModemFlow, ALateDestroyAnswerCarriesItsOwnSeq)
{
    start("hup=200");
    ctl.exchange(to_slot(create_trunk(0, 1), 9));
    for (int seq : {-1, INT_MIN, INT_MAX}) {
        ctl.exchange(to_slot(create_modem("555"), 5));
        ctl.exchange(to_slot(simple(LGCP::Command::e_connect, 9), 5));
        ASSERT_FALSE(run_of("/usr/local/sbin/pppd").empty());
        // In one write: the ping is answered while the daemon still runs.
        std::string both = tpkt(lgcp_seq(simple(LGCP::Command::e_destroy), seq, 5)) +
                           tpkt(lgcp_seq(simple(LGCP::Command::e_ping), 7));
        ASSERT_EQ(::send(ctl.fd(), both.data(), both.size(), MSG_NOSIGNAL), ssize_t(both.size()));
        EXPECT_EQ(next(), "seq=7 success");
        EXPECT_EQ(next(), "seq=" + std::to_string(seq) + " slot=5 success");
    }
}

TEST_F(ModemFlow, AT38CallReportsItsEngineEnd)
{
    start("", "instances=8,exit=5");
    Texts got = ctl.exchange(to_slot(create_t38(), 7));
    EXPECT_THAT(got, testing::IsSupersetOf({"slot=7 success", "slot=7 transmitter active : 1536", "slot=7 receiver active : 1536"}));
    if (got.size() < 4)
        EXPECT_EQ(next(), "slot=7 abort 1280");
    else
        EXPECT_THAT(got, Contains("slot=7 abort 1280"));
}

TEST_F(ModemFlow, AT38PeerThatIsNoAddressStartsNoEngine)
{
    start("");
    for (const std::string& dhost : {std::string("127.0.0.1\0/9/9", 14), std::string("1.2.3"), std::string("")}) {
        LGCP::Command c = create_t38();
        c.get_create().get_t38soft().get_dhost().set_iaddr(dhost);
        EXPECT_EQ(ctl.exchange(to_slot(c, 7)), Texts{"slot=7 error invalidParams"});
    }
    EXPECT_THAT(ctl.exchange(to_slot(create_t38(), 7)), Contains("slot=7 success"));
    EXPECT_THAT(run_of("/usr/local/sbin/t38"),
                ElementsAre("/usr/local/sbin/t38", "--child", "--remote", "127.0.0.1/4000/5000"));
}

TEST_F(ModemFlow, ChildrenDestroyedRightAfterTheirStartLeaveNothing)
{
    start("");
    // Each create and its destroy in one write: the destroy's signal meets
    // the child between its fork and its exec.
    std::set<std::string> channels;
    int made = 0;
    for (int i = 0; i < 100; ++i) {
        std::string pair = tpkt(to_slot(create_t38(), 7)) + tpkt(to_slot(simple(LGCP::Command::e_destroy), 7));
        ASSERT_EQ(::send(ctl.fd(), pair.data(), pair.size(), MSG_NOSIGNAL), ssize_t(pair.size()));
        for (const std::string& m : ctl.sync()) {
            if (m.compare(0, 28, "slot=7 transmitter active : ") == 0)
                channels.insert(m.substr(28)), ++made;
        }
    }
    EXPECT_GT(made, 0);
    // Each engine ended on its SIGTERM: none had to be killed.
    EXPECT_TRUE(eventually([&] { return running().empty(); }, 3000)) << running().size() << " engines still run";
    EXPECT_THAT(server.err(), testing::Not(HasSubstr("ignored SIGTERM")));
    // Engines that ended before they noted their start may still be
    // closing their channel.
    auto freed = [&] {
        for (const std::string& ts : channels)
            if (board.ask("mcc-channel " + ts).find("no channel") == std::string::npos)
                return false;
        return true;
    };
    EXPECT_TRUE(eventually(freed, 3000));
    EXPECT_THAT(ctl.exchange(to_slot(create_t38(), 7)), Contains("slot=7 success"));
    ctl.exchange(to_slot(simple(LGCP::Command::e_destroy), 7));

    // The PPP daemon and the fax receiver, hung up as soon as they start:
    // each destroy is answered once the child ended on its hang-up.
    ctl.exchange(to_slot(create_trunk(0, 1), 9));
    for (int i = 0; i < 20; ++i) {
        LGCP::Command modem = create_modem("");
        if (i % 2)
            modem.get_create().get_modem().include_fax();
        std::string all = tpkt(to_slot(modem, 5)) + tpkt(to_slot(simple(LGCP::Command::e_connect, 9), 5)) +
                          tpkt(to_slot(simple(LGCP::Command::e_destroy), 5));
        ASSERT_EQ(::send(ctl.fd(), all.data(), all.size(), MSG_NOSIGNAL), ssize_t(all.size()));
        // Created, connected, destroyed.
        int answers = 0;
        for (std::string m = "-"; answers < 3 && !m.empty();) {
            m = next();
            answers += m == "slot=5 success";
        }
        ASSERT_EQ(answers, 3) << i;
    }
    EXPECT_THAT(server.err(), testing::Not(HasSubstr("pppd terminate timeout!")));
    EXPECT_TRUE(eventually([&] { return running().empty(); }, 3000)) << running().size() << " still run";
}

} // namespace
