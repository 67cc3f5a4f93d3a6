#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
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

// Puts another descriptor in place of standard input for one test.
class StdinSwap {
public:
    explicit StdinSwap(int fd) : mSaved(::dup(STDIN_FILENO))
    {
        if (fd >= 0)
            ::dup2(fd, STDIN_FILENO);
        else
            ::close(STDIN_FILENO);
    }
    ~StdinSwap()
    {
        ::dup2(mSaved, STDIN_FILENO);
        ::close(mSaved);
    }

private:
    int mSaved;
};

} // namespace

TEST(Fd, CopiesNeverLeakOrShare)
{
    int before = vbtest::open_fd_count();
    {
        Fd a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        ASSERT_TRUE(a);
        Fd b(a);
        Fd c;
        c = a;
        c = b;
        const Fd& same = c;
        c = same; // self-assignment keeps the descriptor
        EXPECT_TRUE(isOpen(c.get()));
        Fd d(std::move(b));
        EXPECT_FALSE(b);
        std::vector<Fd> many(8, a);
        many.push_back(d);
        many.erase(many.begin() + 2);

        for (const Fd* f : {&c, &d, &many[0], &many.back()}) {
            EXPECT_NE(a.get(), f->get());
            EXPECT_TRUE(isCloexec(f->get()));
        }
        EXPECT_EQ(before + 3 + 8, vbtest::open_fd_count());
    }
    EXPECT_EQ(before, vbtest::open_fd_count());
}

TEST(Fd, EmptyAndClosedValues)
{
    Fd empty;
    Fd copy(empty);
    EXPECT_FALSE(copy);
    EXPECT_EQ(-1, empty.dup());
    errno = 0;
    EXPECT_EQ(-1, empty.close());
    EXPECT_EQ(EBADF, errno);
    EXPECT_FALSE(empty.NonBlock());

    // The copy of a valid Fd outlives the original's close.
    Pipe p;
    ASSERT_TRUE(p.wr);
    Fd w(p.wr);
    EXPECT_EQ(0, p.wr.close());
    EXPECT_FALSE(p.wr);
    ASSERT_EQ(1, ::write(w.get(), "x", 1));
    char c = 0;
    EXPECT_EQ(1, ::read(p.rd.get(), &c, 1));

    // Assignment closes what the target held before.
    Fd target(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    int old = target.get();
    target = w;
    EXPECT_FALSE(isOpen(old));
    EXPECT_TRUE(isOpen(target.get()));
}

TEST(Fd, StatusAndDescriptorFlags)
{
    Pipe p;
    ASSERT_TRUE(p.rd);
    EXPECT_TRUE(p.rd.NonBlock());
    EXPECT_TRUE(::fcntl(p.rd.get(), F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(BlockMode(p.rd.get()));
    EXPECT_FALSE(::fcntl(p.rd.get(), F_GETFL) & O_NONBLOCK);
    EXPECT_FALSE(NonBlockMode(-1));

    // SetCloexec reports failure as true.
    EXPECT_FALSE(SetCloexec(p.rd.get(), false));
    EXPECT_FALSE(isCloexec(p.rd.get()));
    EXPECT_FALSE(SetCloexec(p.rd.get(), true));
    EXPECT_TRUE(isCloexec(p.rd.get()));
    EXPECT_TRUE(SetCloexec(-1, true));
}

TEST(PidFile, ExistsHoldingOnlyThePidWhileTheGuardLives)
{
    vbtest::TempDir tmp;
    ASSERT_EQ(0, ::mkdir(tmp.file("var").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(tmp.file("var/run").c_str(), 0755));
    const std::string file = tmp.file("var/run/server.pid");
    Paths::ScopedRoot root(tmp.path());
    {
        // A stale, longer file from an earlier run must not leave a tail.
        FILE* stale = std::fopen(file.c_str(), "w");
        ASSERT_TRUE(stale);
        std::fputs("123456789012345\n", stale);
        std::fclose(stale);

        Linux::Run guard("server");
        ASSERT_GE(guard.fd(), 0);
        EXPECT_EQ(file, guard.path());
        EXPECT_EQ(std::to_string(::getpid()), vbtest::read_file(file));
        EXPECT_TRUE(isCloexec(guard.fd()));
    }
    EXPECT_NE(0, ::access(file.c_str(), F_OK));
}

TEST(PidFile, UncreatableFileLeavesNothingBehind)
{
    vbtest::TempDir tmp;
    Paths::ScopedRoot root(tmp.path()); // no var/run below it
    int before = vbtest::open_fd_count();
    {
        Linux::Run guard("server");
        EXPECT_EQ(-1, guard.fd());
    }
    EXPECT_EQ(before, vbtest::open_fd_count());
}

TEST(MuxSelect, SetsTrackTheirHighestDescriptor)
{
    Mux::Set a, b, c;
    EXPECT_EQ(-1, a.max);
    EXPECT_FALSE(a.add(-1));
    EXPECT_FALSE(a.add(FD_SETSIZE));
    EXPECT_TRUE(a.add(3));
    EXPECT_TRUE(a.add(9));
    EXPECT_TRUE(b.add(5));
    EXPECT_EQ(9, Mux::max_fd(a, b));
    EXPECT_TRUE(c.add(12));
    EXPECT_EQ(12, Mux::max_fd(a, b, c));
    EXPECT_EQ(12, Mux::max_fd(c, b, a));
    a.remove(9);
    EXPECT_EQ(3, a.max);
    EXPECT_TRUE(a.has(3));
    EXPECT_FALSE(a.has(9));
    a.remove(3);
    EXPECT_EQ(-1, a.max);
}

TEST(MuxSelect, CountCoversTheHighestAndEmptySetsAreNotPassed)
{
    Pipe p;
    ASSERT_TRUE(p.rd);
    // Only the highest descriptor becomes ready: a count one short would
    // never look at it.
    Fd high(::fcntl(p.rd.get(), F_DUPFD_CLOEXEC, 900));
    ASSERT_GE(high.get(), 900);
    Pipe other;
    Mux::timeval zero;

    Mux::Set r;
    r.add(other.rd.get());
    r.add(high.get());
    EXPECT_EQ(0, Mux::select_rd(r, zero));

    ASSERT_EQ(1, ::write(p.wr.get(), "x", 1));
    r.zero();
    r.add(other.rd.get());
    r.add(high.get());
    EXPECT_EQ(1, Mux::select_rd(r, zero));
    EXPECT_TRUE(r.has(high.get()));
    EXPECT_FALSE(r.has(other.rd.get()));

    // A set whose highest is -1 goes to select as null, whatever its bits.
    Mux::Set w, e;
    FD_SET(1000, &w.set);
    FD_SET(1000, &e.set);
    r.zero();
    r.add(high.get());
    EXPECT_EQ(1, Mux::select(r, w, e, zero));
    EXPECT_EQ(1, Mux::select(r, w, e)); // ready, so the blocking form returns
    EXPECT_EQ(1, Mux::select(r, w));
    EXPECT_EQ(1, Mux::select(r));

    Mux::Set wr;
    wr.add(p.wr.get());
    EXPECT_EQ(1, Mux::select_wr(wr, zero));
    EXPECT_TRUE(wr.has(p.wr.get()));
}

TEST(Console, BinaryModeClearsLineEditingAndEchoOnly)
{
    int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || ::grantpt(master) != 0 || ::unlockpt(master) != 0)
        GTEST_SKIP() << "no pseudo-terminal";
    Fd m(master);
    Fd slave(::open(::ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(slave);
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
    EXPECT_EQ("", err.str());
    ASSERT_EQ(0, ::tcgetattr(slave.get(), &t));
    EXPECT_EQ(0u, t.c_lflag & cleared);
    EXPECT_EQ(ISIG | ECHOKE, t.c_lflag & (ISIG | ECHOKE));
    EXPECT_TRUE(::fcntl(slave.get(), F_GETFL) & O_NONBLOCK);
}

TEST(Console, FailuresAreReportedAndGoOn)
{
    Pipe p;
    ASSERT_TRUE(p.rd);
    vbtest::CaptureStream err(std::cerr);
    {
        StdinSwap in(p.rd.get());
        EXPECT_NE(0, Console::SwitchToBinaryMode());
        EXPECT_EQ("can't obtain terminal attributes\ncan't set terminal attributes\n", err.str());
    }
    err.clear();
    {
        StdinSwap in(-1);
        EXPECT_NE(0, Console::SwitchToNonBlockMode());
    }
    EXPECT_EQ("can't switch terminal to blocked mode\n", err.str());
}

namespace {

std::string ownName()
{
    std::string stat = vbtest::read_file("/proc/self/stat");
    size_t open = stat.find('(');
    size_t close = stat.rfind(')');
    return stat.substr(open + 1, close - open - 1);
}

// Renames this process for one test; the name may hold ")".
class ScopedName {
public:
    explicit ScopedName(const std::string& name) : mOld(ownName()) { ::prctl(PR_SET_NAME, name.c_str()); }
    ~ScopedName() { ::prctl(PR_SET_NAME, mOld.c_str()); }

private:
    std::string mOld;
};

} // namespace

TEST(FindProc, MatchesTheWholeCommandName)
{
    const int self = ::getpid();
    EXPECT_EQ(self, find_proc_by_name(ownName().c_str(), self));

    // Unique to this process, with brackets inside like a hostile name.
    std::string name = ") x(" + std::to_string(self % 100000) + ")";
    ScopedName rename(name);
    ASSERT_EQ(name, ownName());
    EXPECT_EQ(self, find_proc_by_name(name.c_str(), 0));
    // A hint naming another process does not stop the search.
    EXPECT_EQ(self, find_proc_by_name(name.c_str(), ::getppid()));
    EXPECT_EQ(self, find_proc_by_name(name.c_str(), 999999999));
    // Cut at the first ")" or compared as a prefix, it would match these.
    EXPECT_EQ(-1, find_proc_by_name("", 0));
    EXPECT_EQ(-1, find_proc_by_name(name.substr(0, name.size() - 1).c_str(), self));
    EXPECT_EQ(-1, find_proc_by_name((name + ")").c_str(), self));
    EXPECT_EQ(-1, find_proc_by_name(nullptr, self));
}
