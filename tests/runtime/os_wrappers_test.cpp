#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <vector>

#include "runtime/console.h"
#include "runtime/fd.h"
#include "runtime/linux_run.h"
#include "runtime/mux_select.h"
#include "runtime/paths.h"
#include "runtime/proc.h"
#include "tests/support/test_support.h"

namespace {

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) >= 0; }
bool isCloexec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

struct Pipe {
    Fd rd, wr;
    Pipe()
    {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) == 0) {
            rd.reset(p[0]);
            wr.reset(p[1]);
        }
    }
};

// Another descriptor in place of standard input.
class StdinSwap {
public:
    explicit StdinSwap(int fd) : mSaved(::dup(STDIN_FILENO))
    {
        ::dup2(fd, STDIN_FILENO);
    }
    ~StdinSwap() { ::dup2(mSaved.get(), STDIN_FILENO); }

private:
    Fd mSaved;
};

} // namespace

TEST(Fd, CopiesNeverLeakOrShare)
{
    int before = vbtest::open_fd_count();
    {
        Fd a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        Fd b(a), c;
        c = a;
        c = b;
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

TEST(Fd, EmptyValuesAndCloseOrder)
{
    Fd empty;
    EXPECT_FALSE(Fd(empty));
    errno = 0;
    EXPECT_EQ(-1, empty.close());
    EXPECT_EQ(EBADF, errno);

    // A copy outlives the original's close; assignment closes the old one.
    Pipe p;
    Fd w(p.wr), target(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(0, p.wr.close());
    ASSERT_EQ(1, ::write(w.get(), "x", 1));
    int old = target.get();
    target = w;
    EXPECT_FALSE(isOpen(old));
    EXPECT_TRUE(isOpen(target.get()));
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
    Fd high(::fcntl(p.rd.get(), F_DUPFD_CLOEXEC, 900));
    ASSERT_GE(high.get(), 900);
    Mux::Set r;
    EXPECT_FALSE(r.add(FD_SETSIZE));
    r.add(other.rd.get());
    r.add(high.get());
    Mux::timeval zero;
    EXPECT_EQ(0, Mux::select_rd(r, zero));

    // Only the highest descriptor becomes ready: a count one short misses it.
    ASSERT_EQ(1, ::write(p.wr.get(), "x", 1));
    r.add(other.rd.get());
    r.add(high.get());
    ASSERT_EQ(1, Mux::select_rd(r, zero));
    EXPECT_TRUE(r.has(high.get()));
    EXPECT_FALSE(r.has(other.rd.get()));

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
    wr.add(p.wr.get());
    EXPECT_EQ(1, Mux::select_wr(wr, zero));
    EXPECT_EQ(high.get(), Mux::max_fd(w, wr, r));
}

TEST(Console, BinaryModeClearsLineEditingAndEchoOnly)
{
    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        GTEST_SKIP() << "no pseudo-terminal";
    Fd slave(::open(::ptsname(master.get()), O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios t;
    ASSERT_EQ(0, ::tcgetattr(slave.get(), &t));
    const tcflag_t cleared = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOPRT | ECHOCTL;
    t.c_lflag |= cleared | ISIG | ECHOKE;
    ASSERT_EQ(0, ::tcsetattr(slave.get(), TCSANOW, &t));

    vbtest::CaptureStream err(std::cerr);
    {
        StdinSwap in(slave.get());
        EXPECT_EQ(0, Console::SwitchToBinaryMode());
        EXPECT_EQ(0, Console::SwitchToNonBlockMode());
    }
    ASSERT_EQ(0, ::tcgetattr(slave.get(), &t));
    EXPECT_EQ(0u, t.c_lflag & cleared);
    EXPECT_EQ(ISIG | ECHOKE, t.c_lflag & (ISIG | ECHOKE));
    EXPECT_TRUE(::fcntl(slave.get(), F_GETFL) & O_NONBLOCK);

    Pipe p;
    {
        StdinSwap in(p.rd.get());
        EXPECT_NE(0, Console::SwitchToBinaryMode());
    }
    EXPECT_EQ("can't obtain terminal attributes\ncan't set terminal attributes\n", err.str());
}

namespace {

std::string ownName()
{
    std::string stat = vbtest::read_file("/proc/self/stat");
    size_t open = stat.find('(');
    return stat.substr(open + 1, stat.rfind(')') - open - 1);
}

} // namespace

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
