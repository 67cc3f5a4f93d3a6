// Child reaping with real children: statuses, many endings at once, records
// that go away early, handlers that delete their owner, and no zombie left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "runtime/child_wait.h"
#include "runtime/ipc_signal.h"
#include "tests/runtime/loop_support.h"
#include "tests/support/test_support.h"

using vbtest::run_until;

namespace {

ChildWaitService& service()
{
    return *ChildWaitService::childWaitService;
}

// Runs /bin/sh -c script; the child's standard input is stdinFd when given.
pid_t spawn(const std::string& script, int stdinFd = -1)
{
    pid_t pid = ::fork();
    if (pid == 0) {
        if (stdinFd >= 0)
            ::dup2(stdinFd, 0);
        ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    return pid;
}

// How many children the log reports as ended.
int reaped(const std::string& log)
{
    int n = 0;
    for (size_t at = 0; (at = log.find("terminate child process", at)) != std::string::npos; ++at)
        ++n;
    return n;
}

// The usual owner: a record as a member, bound to a member function.
struct Owner {
    ChildWait wait;
    std::map<int, int>* statuses;
    std::function<void()> then;

    explicit Owner(std::map<int, int>* s) : statuses(s) { wait.Bind(this, &Owner::OnEnd); }
    void OnEnd(int status)
    {
        (*statuses)[wait.pid] = status;
        if (then)
            then();
    }
};

class ChildWaitTest : public ::testing::Test {
protected:
    int fdsBefore = vbtest::settled_fd_count();
    std::map<int, int> statuses;

    void SetUp() override { ChildWait::Activate(); }

    void TearDown() override
    {
        IPC::Signal::system(SIGCHLD);
        int st;
        errno = 0;
        EXPECT_EQ(::waitpid(-1, &st, WNOHANG), -1) << "a child is left behind";
        EXPECT_EQ(errno, ECHILD);
        // A fresh service for the next test.
        ChildWait::Cleanup();
        ChildWait::Initialize();
        EXPECT_EQ(multiplexer.pending().size() + multiplexer.active().size(), 0u);
        EXPECT_EQ(vbtest::open_fd_count(), fdsBefore) << "descriptors leaked";
    }

    void waitFor(size_t n) { EXPECT_TRUE(run_until([&] { return statuses.size() >= n; }, 10000)); }
};

TEST_F(ChildWaitTest, ExitCodeAndSignalArriveAsRawStatusAndAreLogged)
{
    Owner exits(&statuses), killed(&statuses);
    vbtest::CaptureStream log(std::clog);
    pid_t a = spawn("exit 3");
    exits.wait.Attach(a);
    pid_t b = spawn("kill -9 $$");
    killed.wait.Attach(b);
    waitFor(2);
    EXPECT_EQ(statuses[a], 768);
    EXPECT_EQ(statuses[b], 9);
    EXPECT_FALSE(exits.wait.queued());
    EXPECT_EQ(service().records.size(), 0u);
    EXPECT_NE(log.str().find("ChildWaitService: terminate child process, pid=" + std::to_string(a) + " status=768\n"),
              std::string::npos)
        << log.str();
}

TEST_F(ChildWaitTest, ManyChildrenEndingTogetherOverflowingThePairAreAllReported)
{
    // A tiny pair: the signal handler cannot write every record at once
    // and must leave the rest for the loop, never dropping or blocking.
    int small = 1;
    ASSERT_EQ(setsockopt(service().writeEnd.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    const int n = 40;
    std::vector<std::unique_ptr<Owner>> owners;
    int alive[2];
    ASSERT_EQ(::pipe(alive), 0); // each child holds the write end until it exits
    for (int i = 0; i < n; ++i) {
        owners.push_back(std::make_unique<Owner>(&statuses));
        owners.back()->wait.Attach(spawn("exit " + std::to_string(i)));
    }
    ::close(alive[1]);
    char c;
    while (::read(alive[0], &c, 1) != 0) {
    }
    ::close(alive[0]);

    waitFor(n);
    ASSERT_EQ(statuses.size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i)
        EXPECT_EQ(statuses[owners[static_cast<size_t>(i)]->wait.pid], i << 8);
}

TEST_F(ChildWaitTest, UnknownPidAndEarlyDestroyedRecordAreOnlyLogged)
{
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    auto early = std::make_unique<Owner>(&statuses);
    Owner late(&statuses);
    early->wait.Attach(spawn("read x", gate[0]));
    pid_t stranger = spawn("exit 1"); // nobody waits for it
    late.wait.Attach(spawn("read x; exit 2", gate[0]));
    ::close(gate[0]);

    vbtest::CaptureStream log(std::clog);
    EXPECT_TRUE(run_until([&] { return log.str().find("pid=" + std::to_string(stranger) + " ") != std::string::npos; }));
    EXPECT_TRUE(statuses.empty());
    EXPECT_TRUE(late.wait.queued());

    early.reset(); // before its child ends
    EXPECT_EQ(service().records.size(), 1u);
    ::close(gate[1]); // both shells read end of file and end
    EXPECT_TRUE(run_until([&] { return statuses.size() == 1 && reaped(log.str()) == 3; }));
    EXPECT_EQ(statuses.size(), 1u) << log.str();
    EXPECT_EQ(statuses[late.wait.pid], 512);
}

TEST_F(ChildWaitTest, HandlerMayDeleteItsOwnerWhileOthersWait)
{
    auto self = std::make_unique<Owner>(&statuses);
    Owner other(&statuses);
    self->then = [&] { self.reset(); };
    pid_t a = spawn("exit 5");
    self->wait.Attach(a);
    other.wait.Attach(spawn("exit 6"));
    waitFor(2);
    EXPECT_FALSE(self);
    EXPECT_EQ(statuses[a], 5 << 8);
    EXPECT_EQ(statuses[other.wait.pid], 6 << 8);

    // The record is free again and may wait for a new child.
    other.wait.Attach(spawn("exit 7"));
    statuses.clear();
    waitFor(1);
    EXPECT_EQ(statuses[other.wait.pid], 7 << 8);
}

TEST_F(ChildWaitTest, AttachRequeuesAtTheTailAndDetachIsHarmlessTwice)
{
    std::map<int, int> none;
    Owner a(&none), b(&none);
    a.wait.Attach(1000001);
    b.wait.Attach(1000002);
    a.wait.Attach(1000003);
    ASSERT_EQ(service().records.size(), 2u);
    EXPECT_EQ(service().records.head(), &b.wait);
    EXPECT_EQ(service().records.tail(), &a.wait);
    b.wait.Detach();
    b.wait.Detach();
    EXPECT_EQ(service().records.size(), 1u);
    a.wait.Detach();
    EXPECT_TRUE(service().records.empty());
}

TEST_F(ChildWaitTest, DatagramsAreReadOnlyOnPollIn)
{
    Owner o(&statuses);
    o.wait.Attach(4242);
    int record[2] = {4242, 256};
    iovec parts[2] = {{&record[0], 4}, {&record[1], 4}};
    ASSERT_EQ(::writev(service().writeEnd.get(), parts, 2), 8);
    vbtest::CaptureStream log(std::clog);
    int readEnd = service().event.fd.get();
    service().OnChildEvent(readEnd, 0);
    service().OnChildEvent(readEnd, POLLOUT);
    EXPECT_TRUE(statuses.empty());
    service().OnChildEvent(readEnd, POLLIN);
    EXPECT_EQ(statuses[4242], 256);
}

TEST_F(ChildWaitTest, SignalHandlerLeavesErrnoAsItFoundIt)
{
    errno = EINTR;
    ChildWaitService::SigChldHandlerWrapper(SIGCHLD, nullptr, nullptr); // no child: waitid fails
    EXPECT_EQ(errno, EINTR);
}

TEST_F(ChildWaitTest, ActivationWithoutDescriptorsReportsAndInstallsNothing)
{
    IPC::Signal::system(SIGCHLD);
    ChildWait::Cleanup();
    ChildWait::Initialize();
    vbtest::CaptureStream err(std::cerr);
    rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit tight = old;
    int lowestFree = ::dup(0);
    ::close(lowestFree);
    tight.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    ChildWait::Activate();
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(err.str(), "ChildWaitService: initialize fails\n");
    struct sigaction now;
    sigaction(SIGCHLD, nullptr, &now);
    EXPECT_EQ(now.sa_handler, SIG_DFL);
    EXPECT_FALSE(service().writeEnd);
}

} // namespace
