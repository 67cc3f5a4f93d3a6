// Signal installation through sigaction only.
#pragma once

#include <signal.h>

namespace IPC {
namespace Signal {

class Set {
public:
    Set();
    Set(int a, int b);
    Set(int a, int b, int c);

    // A valid signal number (one sigismember accepts).
    static bool is_signal(int sig);

    const sigset_t& get() const { return mSet; }

private:
    sigset_t mSet;
};

// Default or ignore: empty mask, no flags. Both return sigaction's result.
int ignore(int sig);
int system(int sig);

// One-argument handlers: SA_SIGINFO is always cleared from flags.
int handle(int sig, void (*handler)(int), const Set& mask, int flags);
int handle(int sig, void (*handler)(int), int flags);
// Three-argument handlers: SA_SIGINFO is always set in flags.
int handle(int sig, void (*handler)(int, siginfo_t*, void*), const Set& mask, int flags);
int handle(int sig, void (*handler)(int, siginfo_t*, void*), int flags);

// Whether calls interrupted by sig restart (disable_int) or fail with
// EINTR (enable_int); the installed handler and mask are kept.
int disable_int(int sig);
int enable_int(int sig);

} // namespace Signal
} // namespace IPC
