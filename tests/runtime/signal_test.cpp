#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "runtime/ipc_signal.h"

namespace {

// Puts back the action of SIGUSR1 after each test.
class SignalTest : public ::testing::Test {
protected:
    void SetUp() override { sigaction(SIGUSR1, nullptr, &mOld); }
    void TearDown() override { sigaction(SIGUSR1, &mOld, nullptr); }

    static struct sigaction current()
    {
        struct sigaction act;
        sigaction(SIGUSR1, nullptr, &act);
        return act;
    }
    // The flags the wrappers decide; the C library may add its own.
    static int flags() { return current().sa_flags & (SA_SIGINFO | SA_RESTART | SA_NODEFER | SA_RESETHAND); }
    static bool masks(int sig)
    {
        struct sigaction act = current();
        return sigismember(&act.sa_mask, sig) == 1;
    }

private:
    struct sigaction mOld;
};

void plain(int) {}

volatile sig_atomic_t g_signo = 0;
volatile sig_atomic_t g_pid = 0;
void withInfo(int, siginfo_t* info, void*)
{
    g_signo = info->si_signo;
    g_pid = info->si_pid;
}

} // namespace

TEST_F(SignalTest, HandlersGetExactlyTheirFlagsAndMask)
{
    using namespace IPC::Signal;
    ASSERT_EQ(0, handle(SIGUSR1, plain, Set(SIGUSR2, SIGTERM), SA_RESTART | SA_SIGINFO));
    EXPECT_EQ(&plain, current().sa_handler);
    EXPECT_EQ(SA_RESTART, flags());
    EXPECT_TRUE(masks(SIGUSR2) && masks(SIGTERM) && !masks(SIGINT));
    ASSERT_EQ(0, handle(SIGUSR1, plain, SA_SIGINFO));
    EXPECT_EQ(0, flags());
    EXPECT_FALSE(masks(SIGUSR2));

    ASSERT_EQ(0, handle(SIGUSR1, withInfo, Set(SIGUSR2, SIGHUP, SIGINT), 0));
    EXPECT_EQ(SA_SIGINFO, flags());
    EXPECT_TRUE(masks(SIGUSR2) && masks(SIGHUP) && masks(SIGINT));
    ASSERT_EQ(0, handle(SIGUSR1, withInfo, SA_RESTART));
    EXPECT_EQ(&withInfo, current().sa_sigaction);
    EXPECT_EQ(SA_RESTART | SA_SIGINFO, flags());
    EXPECT_FALSE(masks(SIGUSR2));
    // The information really arrives.
    ASSERT_EQ(0, raise(SIGUSR1));
    EXPECT_EQ(SIGUSR1, g_signo);
    EXPECT_EQ(getpid(), g_pid);

    // The restart switch keeps handler and mask.
    ASSERT_EQ(0, handle(SIGUSR1, plain, Set(SIGINT, SIGHUP), 0));
    ASSERT_EQ(0, disable_int(SIGUSR1));
    EXPECT_EQ(SA_RESTART, flags());
    EXPECT_TRUE(masks(SIGHUP) && current().sa_handler == &plain);
    ASSERT_EQ(0, enable_int(SIGUSR1));
    EXPECT_EQ(0, flags());
    EXPECT_TRUE(masks(SIGHUP) && current().sa_handler == &plain);

    ASSERT_EQ(0, ignore(SIGUSR1));
    EXPECT_EQ(SIG_IGN, current().sa_handler);
    EXPECT_FALSE(masks(SIGHUP));
    ASSERT_EQ(0, raise(SIGUSR1)); // ignored: the test goes on
    ASSERT_EQ(0, IPC::Signal::system(SIGUSR1));
    EXPECT_EQ(SIG_DFL, current().sa_handler);
}

TEST(Signal, InvalidNumbers)
{
    using namespace IPC::Signal;
    EXPECT_TRUE(Set::is_signal(1) && Set::is_signal(SIGRTMAX));
    EXPECT_FALSE(Set::is_signal(0) || Set::is_signal(-1) || Set::is_signal(NSIG));
    EXPECT_EQ(-1, handle(NSIG, withInfo, 0));
    EXPECT_EQ(-1, ignore(SIGKILL));
}
