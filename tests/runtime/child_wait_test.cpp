// Child reaping with real children: statuses, many endings at once, records
// that go away early, handlers that delete their owner, and no zombie left.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
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

namespace {

// /bin/sh -c script, its standard input from stdinFd when given.
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

struct Owner {
    ChildWait wait;
    std::map<int, int>& statuses;
    std::function<void()> then;

    explicit Owner(std::map<int, int>& s) : statuses(s) { wait.Bind(this, &Owner::OnEnd); }
    void OnEnd(int status)
    {
        statuses[wait.pid] = status;
        if (then)
            then(); // may delete this
    }
};

class ChildWaitTest : public ::testing::Test {
protected:
    int fdsBefore = vbtest::settled_fd_count();
    std::map<int, int> statuses;
    ChildWaitService& service = *ChildWaitService::childWaitService;

    void SetUp() override { ChildWait::Activate(); }

    void TearDown() override
    {
        IPC::Signal::system(SIGCHLD);
        errno = 0;
        EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "a child is left behind";
        EXPECT_EQ(errno, ECHILD);
        ChildWait::Cleanup(); // a fresh service for the next test
        ChildWait::Initialize();
        EXPECT_EQ(vbtest::open_fd_count(), fdsBefore) << "descriptors leaked";
    }

    void waitFor(size_t n) { EXPECT_TRUE(vbtest::run_until([&] { return statuses.size() >= n; }, 10000)); }
};

TEST_F(ChildWaitTest, RawStatusesReachTheirRecordsAndAHandlerMayDeleteItsOwner)
{
    auto self = std::make_unique<Owner>(statuses);
    Owner killed(statuses);
    self->then = [&] { self.reset(); };
    vbtest::CaptureStream log(std::clog);
    pid_t a = spawn("exit 3");
    self->wait.Attach(a);
    killed.wait.Attach(spawn("kill -9 $$"));
    waitFor(2);
    EXPECT_FALSE(self);
    EXPECT_EQ(statuses[a], 768);
    EXPECT_EQ(statuses[killed.wait.pid], 9);
    EXPECT_TRUE(service.records.empty());
    EXPECT_NE(log.str().find("ChildWaitService: terminate child process, pid=" + std::to_string(a) + " status=768\n"),
              std::string::npos);
}

TEST_F(ChildWaitTest, ManyChildrenEndingWhileThePairIsFullAreAllReported)
{
    // A tiny pair: the signal handler cannot write every record at once and
    // must leave the rest to the loop, neither dropping nor blocking.
    int small = 1;
    ASSERT_EQ(setsockopt(service.writeEnd.get(), SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)), 0);
    std::vector<std::unique_ptr<Owner>> owners;
    int alive[2];
    ASSERT_EQ(::pipe(alive), 0); // each child holds the write end until it exits
    for (int i = 0; i < 40; ++i) {
        owners.push_back(std::make_unique<Owner>(statuses));
        owners.back()->wait.Attach(spawn("exit " + std::to_string(i)));
    }
    ::close(alive[1]);
    char c;
    while (::read(alive[0], &c, 1) != 0) {
    }
    ::close(alive[0]);
    waitFor(owners.size());
    for (size_t i = 0; i < owners.size(); ++i)
        EXPECT_EQ(statuses[owners[i]->wait.pid], static_cast<int>(i) << 8);
}

TEST_F(ChildWaitTest, UnknownPidAndRecordDestroyedBeforeItsChildAreOnlyLogged)
{
    int gate[2];
    ASSERT_EQ(::pipe2(gate, O_CLOEXEC), 0);
    auto early = std::make_unique<Owner>(statuses);
    Owner late(statuses);
    early->wait.Attach(spawn("read x", gate[0]));
    late.wait.Attach(spawn("read x; exit 2", gate[0]));
    ::close(gate[0]);
    vbtest::CaptureStream log(std::clog);
    pid_t stranger = spawn("exit 1");
    EXPECT_TRUE(vbtest::run_until([&] { return log.str().find("pid=" + std::to_string(stranger)) != std::string::npos; }));
    EXPECT_TRUE(late.wait.queued());

    early.reset();
    ::close(gate[1]); // both shells read the end of input and end
    auto ended = [&] {
        std::string text = log.str();
        size_t n = 0;
        for (size_t at = 0; (at = text.find("terminate child", at)) != std::string::npos; ++at)
            ++n;
        return n;
    };
    EXPECT_TRUE(vbtest::run_until([&] { return ended() == 3; }));
    EXPECT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[late.wait.pid], 512);
}

TEST_F(ChildWaitTest, SignalHandlerLeavesErrnoAsItFoundIt)
{
    errno = EINTR;
    ChildWaitService::SigChldHandlerWrapper(SIGCHLD, nullptr, nullptr); // no child: waitid fails
    EXPECT_EQ(errno, EINTR);
}

} // namespace
