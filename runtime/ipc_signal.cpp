#include "runtime/ipc_signal.h"

#include <cstring>

namespace IPC {
namespace Signal {

namespace {

int install(int sig, struct sigaction& act, const sigset_t& mask, int flags)
{
    act.sa_mask = mask;
    act.sa_flags = flags;
    return ::sigaction(sig, &act, nullptr);
}

int disposition(int sig, void (*handler)(int))
{
    struct sigaction act;
    std::memset(&act, 0, sizeof(act));
    act.sa_handler = handler;
    return install(sig, act, Set().get(), 0);
}

// What siginterrupt does, without the deprecated call: flip SA_RESTART on
// the action in place.
int setRestart(int sig, bool restart)
{
    struct sigaction act;
    if (::sigaction(sig, nullptr, &act) != 0)
        return -1;
    if (restart)
        act.sa_flags |= SA_RESTART;
    else
        act.sa_flags &= ~SA_RESTART;
    return ::sigaction(sig, &act, nullptr);
}

} // namespace

Set::Set()
{
    sigemptyset(&mSet);
}

Set::Set(int a, int b) : Set()
{
    sigaddset(&mSet, a);
    sigaddset(&mSet, b);
}

Set::Set(int a, int b, int c) : Set(a, b)
{
    sigaddset(&mSet, c);
}

bool Set::is_signal(int sig)
{
    sigset_t empty;
    sigemptyset(&empty);
    return sigismember(&empty, sig) >= 0;
}

int ignore(int sig) { return disposition(sig, SIG_IGN); }
int system(int sig) { return disposition(sig, SIG_DFL); }

int handle(int sig, void (*handler)(int), const Set& mask, int flags)
{
    struct sigaction act;
    std::memset(&act, 0, sizeof(act));
    act.sa_handler = handler;
    return install(sig, act, mask.get(), flags & ~SA_SIGINFO);
}

int handle(int sig, void (*handler)(int), int flags)
{
    return handle(sig, handler, Set(), flags);
}

int handle(int sig, void (*handler)(int, siginfo_t*, void*), const Set& mask, int flags)
{
    struct sigaction act;
    std::memset(&act, 0, sizeof(act));
    act.sa_sigaction = handler;
    return install(sig, act, mask.get(), flags | SA_SIGINFO);
}

int handle(int sig, void (*handler)(int, siginfo_t*, void*), int flags)
{
    return handle(sig, handler, Set(), flags);
}

int disable_int(int sig) { return setRestart(sig, true); }
int enable_int(int sig) { return setRestart(sig, false); }

} // namespace Signal
} // namespace IPC
