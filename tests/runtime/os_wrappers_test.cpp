// Descriptors, the pid file, select, process names and signals.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>

#include <fstream>
#include <vector>

#include "runtime/ipc_signal.h"
#include "runtime/linux_run.h"
#include "runtime/mux_select.h"
#include "runtime/paths.h"
#include "runtime/proc.h"
#include "tests/runtime/loop_support.h"

using vbtest::Pipe;

namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) >= 0; }
bool isCloexec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

std::string ownName()
{
    std::string stat = vbtest::read_file("/proc/self/stat");
    size_t open = stat.find('(');
    return stat.substr(open + 1, stat.rfind(')') - open - 1);
}

volatile sig_atomic_t g_signo = 0, g_pid = 0;
void plain(int) {}
void withInfo(int, siginfo_t* info, void*)
{
    g_signo = info->si_signo;
    g_pid = info->si_pid;
}

} // namespace

TEST(Fd, CopiesNeverLeakOrShare)
{
    int before = vbtest::open_fd_count();
    {
        Fd a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        Fd b(a), c;
        c = a;
        c = b; // closes what it held
        const Fd& same = c;
        c = same;
        Fd d(std::move(b));
        std::vector<Fd> many(8, a);
        many.erase(many.begin() + 2); // moves inside the vector
        for (const Fd* f : {&c, &d, &many[0]}) {
            EXPECT_NE(a.get(), f->get());
            EXPECT_TRUE(isCloexec(f->get()));
        }
        EXPECT_EQ(before + 3 + 7, vbtest::open_fd_count());
    }
    EXPECT_EQ(before, vbtest::open_fd_count());
}

TEST(PidFile, HoldsOnlyThePidExactlyWhileTheGuardLives)
{
    vbtest::TempDir tmp;
    Paths::ScopedRoot root(tmp.path());
    {
        Linux::Run none("server"); // var/run does not exist yet
        EXPECT_EQ(-1, none.fd());
    }
    ASSERT_EQ(0, ::mkdir(tmp.file("var").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(tmp.file("var/run").c_str(), 0755));
    const std::string file = tmp.file("var/run/server.pid");
    std::ofstream(file) << "123456789012345\n"; // a longer stale file
    {
        Linux::Run guard("server");
        ASSERT_GE(guard.fd(), 0);
        EXPECT_EQ(std::to_string(::getpid()), vbtest::read_file(file));
        EXPECT_TRUE(isCloexec(guard.fd()));
    }
    EXPECT_NE(0, ::access(file.c_str(), F_OK));
}

TEST(MuxSelect, CountCoversTheHighestAndEmptySetsAreNotPassed)
{
    Pipe p, other;
    Fd high(::fcntl(p.r.get(), F_DUPFD_CLOEXEC, 900));
    ASSERT_GE(high.get(), 900);
    Mux::Set r;
    EXPECT_FALSE(r.add(FD_SETSIZE));
    Mux::timeval zero;
    // Only the highest descriptor becomes ready: a count one short misses it.
    p.fill();
    r.add(other.r.get());
    r.add(high.get());
    ASSERT_EQ(1, Mux::select_rd(r, zero));
    EXPECT_TRUE(r.has(high.get()));
    EXPECT_FALSE(r.has(other.r.get()));

    // Sets whose highest is -1 go as null, whatever their bits: here a
    // closed descriptor that select would refuse with EBADF.
    int closed = high.get() - 1;
    while (isOpen(closed))
        --closed;
    Mux::Set w, e, wr;
    FD_SET(closed, &w.set);
    FD_SET(closed, &e.set);
    ASSERT_EQ(1, Mux::select(r, w, e, zero));
    EXPECT_EQ(1, Mux::select(r, w)); // ready, so the blocking form returns
    wr.add(p.w.get());
    EXPECT_EQ(1, Mux::select_wr(wr, zero));
    EXPECT_EQ(high.get(), Mux::max_fd(w, wr, r));
}

TEST(FindProc, MatchesTheWholeCommandName)
{
    const int self = ::getpid();
    const std::string old = ownName();
    EXPECT_EQ(self, find_proc_by_name(old.c_str(), self));
    // Unique to this process, with brackets inside like a hostile name.
    std::string name = ") x(" + std::to_string(self % 100000) + ")";
    ::prctl(PR_SET_NAME, name.c_str());
    ASSERT_EQ(name, ownName());
    EXPECT_EQ(self, find_proc_by_name(name.c_str(), 0));
    EXPECT_EQ(self, find_proc_by_name(name.c_str(), ::getppid())); // a wrong hint
    EXPECT_EQ(-1, find_proc_by_name(name.substr(0, name.size() - 1).c_str(), self));
    EXPECT_EQ(-1, find_proc_by_name((name + ")").c_str(), self));
    ::prctl(PR_SET_NAME, old.c_str());
}

TEST(Signal, InformationFlagFollowsTheHandlerAndTheRestartSwitchKeepsIt)
{
    using namespace IPC::Signal;
    struct sigaction old, act;
    ::sigaction(SIGUSR1, nullptr, &old);
    auto flags = [&] {
        ::sigaction(SIGUSR1, nullptr, &act);
        return act.sa_flags & (SA_SIGINFO | SA_RESTART);
    };
    ASSERT_EQ(0, handle(SIGUSR1, plain, Set(SIGUSR2, SIGTERM), SA_RESTART | SA_SIGINFO));
    EXPECT_EQ(SA_RESTART, flags());
    EXPECT_TRUE(sigismember(&act.sa_mask, SIGTERM) == 1 && sigismember(&act.sa_mask, SIGINT) == 0);
    ASSERT_EQ(0, handle(SIGUSR1, withInfo, Set(SIGHUP, SIGINT), 0));
    EXPECT_EQ(SA_SIGINFO, flags());
    ASSERT_EQ(0, ::raise(SIGUSR1));
    EXPECT_EQ(SIGUSR1, g_signo);
    EXPECT_EQ(::getpid(), g_pid);

    ASSERT_EQ(0, disable_int(SIGUSR1));
    EXPECT_EQ(SA_RESTART | SA_SIGINFO, flags());
    ASSERT_EQ(0, enable_int(SIGUSR1));
    EXPECT_EQ(SA_SIGINFO, flags());
    EXPECT_TRUE(act.sa_sigaction == &withInfo && sigismember(&act.sa_mask, SIGHUP) == 1);

    EXPECT_FALSE(Set::is_signal(0) || Set::is_signal(NSIG));
    EXPECT_EQ(-1, handle(NSIG, withInfo, 0));
    EXPECT_EQ(-1, ignore(SIGKILL));
    ASSERT_EQ(0, ignore(SIGUSR1));
    ASSERT_EQ(0, ::raise(SIGUSR1)); // ignored: the test goes on
    ::sigaction(SIGUSR1, &old, nullptr);
}
