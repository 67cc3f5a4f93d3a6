#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include "runtime/ipc_signal.h"

namespace {

// Puts back the actions of SIGUSR1 and SIGUSR2 after each test.
class SignalTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sigaction(SIGUSR1, nullptr, &mOld1);
        sigaction(SIGUSR2, nullptr, &mOld2);
    }
    void TearDown() override
    {
        sigaction(SIGUSR1, &mOld1, nullptr);
        sigaction(SIGUSR2, &mOld2, nullptr);
    }

    static struct sigaction current(int sig)
    {
        struct sigaction act;
        sigaction(sig, nullptr, &act);
        return act;
    }

    // The flags this wrapper decides; the C library may add its own.
    static int flags(const struct sigaction& act)
    {
        return act.sa_flags & (SA_SIGINFO | SA_RESTART | SA_NODEFER | SA_RESETHAND | SA_ONSTACK);
    }

private:
    struct sigaction mOld1, mOld2;
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

TEST_F(SignalTest, OneArgumentHandlerNeverGetsSiginfo)
{
    using namespace IPC::Signal;
    ASSERT_EQ(0, handle(SIGUSR1, plain, Set(SIGUSR2, SIGTERM), SA_RESTART | SA_SIGINFO));
    struct sigaction act = current(SIGUSR1);
    EXPECT_EQ(&plain, act.sa_handler);
    EXPECT_EQ(SA_RESTART, flags(act));
    EXPECT_EQ(1, sigismember(&act.sa_mask, SIGUSR2));
    EXPECT_EQ(1, sigismember(&act.sa_mask, SIGTERM));
    EXPECT_EQ(0, sigismember(&act.sa_mask, SIGINT));

    ASSERT_EQ(0, handle(SIGUSR1, plain, SA_SIGINFO));
    act = current(SIGUSR1);
    EXPECT_EQ(0, flags(act));
    EXPECT_EQ(0, sigismember(&act.sa_mask, SIGUSR2));
}

TEST_F(SignalTest, ThreeArgumentHandlerAlwaysGetsSiginfo)
{
    using namespace IPC::Signal;
    ASSERT_EQ(0, handle(SIGUSR1, withInfo, SA_RESTART));
    struct sigaction act = current(SIGUSR1);
    EXPECT_EQ(&withInfo, act.sa_sigaction);
    EXPECT_EQ(SA_RESTART | SA_SIGINFO, flags(act));
    EXPECT_EQ(0, sigismember(&act.sa_mask, SIGUSR2));

    ASSERT_EQ(0, handle(SIGUSR1, withInfo, Set(SIGUSR2, SIGHUP, SIGINT), 0));
    act = current(SIGUSR1);
    EXPECT_EQ(SA_SIGINFO, flags(act));
    EXPECT_EQ(1, sigismember(&act.sa_mask, SIGHUP));
    EXPECT_EQ(1, sigismember(&act.sa_mask, SIGINT));

    // The information really arrives.
    g_signo = 0;
    g_pid = 0;
    ASSERT_EQ(0, raise(SIGUSR1));
    EXPECT_EQ(SIGUSR1, g_signo);
    EXPECT_EQ(getpid(), g_pid);
}

TEST_F(SignalTest, IgnoreDefaultAndRestartSwitch)
{
    using namespace IPC::Signal;
    ASSERT_EQ(0, handle(SIGUSR2, withInfo, Set(SIGINT, SIGHUP), SA_RESTART));
    ASSERT_EQ(0, ignore(SIGUSR2));
    struct sigaction act = current(SIGUSR2);
    EXPECT_EQ(SIG_IGN, act.sa_handler);
    EXPECT_EQ(0, flags(act));
    EXPECT_EQ(0, sigismember(&act.sa_mask, SIGINT));
    ASSERT_EQ(0, raise(SIGUSR2)); // ignored: the test goes on

    ASSERT_EQ(0, system(SIGUSR2));
    EXPECT_EQ(SIG_DFL, current(SIGUSR2).sa_handler);

    // Restarting interrupted calls is switched without losing the handler.
    ASSERT_EQ(0, handle(SIGUSR1, plain, Set(SIGINT, SIGHUP), 0));
    ASSERT_EQ(0, disable_int(SIGUSR1));
    act = current(SIGUSR1);
    EXPECT_EQ(SA_RESTART, flags(act));
    EXPECT_EQ(&plain, act.sa_handler);
    EXPECT_EQ(1, sigismember(&act.sa_mask, SIGHUP));
    ASSERT_EQ(0, enable_int(SIGUSR1));
    EXPECT_EQ(0, flags(current(SIGUSR1)));
    EXPECT_EQ(&plain, current(SIGUSR1).sa_handler);
}

TEST_F(SignalTest, InvalidSignalsFailLikeSigaction)
{
    using namespace IPC::Signal;
    EXPECT_TRUE(Set::is_signal(1));
    EXPECT_TRUE(Set::is_signal(SIGRTMAX));
    EXPECT_FALSE(Set::is_signal(0));
    EXPECT_FALSE(Set::is_signal(-1));
    EXPECT_FALSE(Set::is_signal(NSIG));

    EXPECT_EQ(-1, handle(0, plain, 0));
    EXPECT_EQ(-1, handle(NSIG, withInfo, 0));
    EXPECT_EQ(-1, handle(SIGKILL, plain, 0));
    EXPECT_EQ(-1, ignore(SIGSTOP));
    EXPECT_EQ(-1, disable_int(NSIG));
}
