#include "media/modem_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "runtime/child_output.h"
#include "runtime/mux_time.h"
#include "runtime/paths.h"

namespace ModemChild {

std::vector<std::string> pppd_command(TERM::ModemParams const& params, const std::string& device, const char* options)
{
    std::vector<std::string> argv{params.has_execfile() ? std::string(params.get_execfile()) : kPppd};
    if (params.has_execargs()) {
        const auto& args = params.get_execargs();
        for (size_t i = 0; i < args.size() && i < kMaxPppdArgs; ++i)
            argv.push_back(args[i]);
        return argv;
    }
    argv.insert(argv.end(), {"file", options, device});
    std::string cid = params.get_cid();
    if (!cid.empty())
        argv.insert(argv.end(), {"remotenumber", cid});
    return argv;
}

std::vector<std::string> fax_transfer_command(TERM::ModemParams const& params, int modem)
{
    std::vector<std::string> argv{params.has_execfile() ? std::string(params.get_execfile()) : kFaxTransfer, "-m",
                                  std::to_string(modem)};
    const auto& args = params.get_execargs();
    for (size_t i = 0; i < args.size() && i < kMaxFaxArgs; ++i)
        argv.push_back(args[i]);
    return argv;
}

std::vector<std::string> fax_receiver_command(int modem, const std::string& file)
{
    return {kFaxReceiver, "-m", std::to_string(modem), "receive", file};
}

std::string fax_file_name(time_t t, const std::function<bool(const std::string&)>& taken)
{
    tm local{};
    localtime_r(&t, &local);
    char name[65];
    if (strftime(name, sizeof(name), "/var/fax-%H-%M-%S.g3", &local) == 0)
        return std::string();
    std::string base(name);
    std::string file = base;
    // Receivers started within one second would otherwise share the file.
    for (unsigned n = 1; taken && taken(file); ++n)
        file = base.substr(0, base.size() - 3) + "-" + std::to_string(n) + ".g3";
    return file;
}

namespace {

void say(int fd, const char* text)
{
    if (text && ::write(fd, text, std::strlen(text)) < 0) {
    }
    if (text && ::write(fd, "\n", 1) < 0) {
    }
}

// fd becomes target for the program; dup2 leaves a descriptor that is
// already target close-on-exec, so that one is cleared by hand.
bool inherit(int fd, int target)
{
    if (fd < 0)
        return true;
    if (fd != target)
        return ::dup2(fd, target) == target;
    int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && ::fcntl(fd, F_SETFD, flags & ~FD_CLOEXEC) == 0;
}

// Every descriptor above the standard three but keep: close_range, or a
// plain loop up to the limit the parent read where the kernel has none.
void close_others(int keep, int limit)
{
#ifdef SYS_close_range
    bool ranged = keep < 3 ? ::syscall(SYS_close_range, 3u, ~0u, 0u) == 0
                           : (keep == 3 || ::syscall(SYS_close_range, 3u, unsigned(keep - 1), 0u) == 0) &&
                                 ::syscall(SYS_close_range, unsigned(keep + 1), ~0u, 0u) == 0;
    if (ranged)
        return;
#endif
    for (int fd = 3; fd < limit; ++fd)
        if (fd != keep)
            ::close(fd);
}

// Everything here runs between fork and exec: system calls only, and
// _exit, so that nothing of the server (its static objects, its buffered
// log text, its signal handlers) runs or is written twice. Signals stay
// blocked until every disposition is the default again: a signal sent to
// the new pid at once then acts on the child as on the program.
[[noreturn]] void run_child(const Setup& setup, const std::string& path, char* const* argv, int fdLimit, int done,
                           int output)
{
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int sig = 1; sig < NSIG; ++sig)
        if (sig != SIGKILL && sig != SIGSTOP)
            ::sigaction(sig, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (setup.beforeRelease)
        setup.beforeRelease();
    // The server's sockets and devices must not stay open (a bound port,
    // a held channel) while the child waits to exec; the parent goes on
    // once done is closed too.
    // Without a pipe to the server's log, the child's text goes nowhere
    // rather than into the server's own descriptors 1 and 2 (in daemon mode
    // the log socket, which would make it wait on the log).
    if (output < 0)
        output = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (!inherit(setup.input, 0) || !inherit(setup.output >= 0 ? setup.output : output, 1) || !inherit(output, 2))
        ::_exit(setup.failStatus);
    close_others(done, fdLimit);
    if (done >= 0)
        ::close(done);
    if (setup.delayMs) {
        timespec pause{static_cast<time_t>(setup.delayMs / 1000), static_cast<long>(setup.delayMs % 1000) * 1000000L};
        while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
        }
    }
    say(1, setup.banner);
    ::execv(path.c_str(), argv);
    say(2, setup.failText);
    ::_exit(setup.failStatus);
}

// Whether the end of file on fd came within kReleaseWaitMs (or there is
// nothing to wait for).
bool await_release(int fd)
{
    int64_t deadline = Mux::real_milliseconds() + kReleaseWaitMs;
    for (;;) {
        int64_t left = deadline - Mux::real_milliseconds();
        pollfd p{fd, POLLIN, 0};
        int n = left > 0 ? ::poll(&p, 1, static_cast<int>(left)) : 0;
        if (n == 0)
            return false;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return true;
        }
        char byte;
        ssize_t r = ::read(fd, &byte, 1);
        if (r == 0 || (r < 0 && errno != EINTR))
            return true;
    }
}

} // namespace

pid_t spawn(const Setup& setup)
{
    if (setup.argv.empty()) {
        errno = EINVAL;
        return -1;
    }
    // Built before the fork: the child must not allocate.
    std::string path = Paths::resolve(setup.argv[0]);
    std::vector<char*> argv;
    for (const std::string& a : setup.argv)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Text still buffered would otherwise be written by both processes.
    std::cout.flush();
    std::cerr.flush();
    std::clog.flush();
    std::fflush(nullptr);
    rlimit files{};
    int fdLimit = ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536 ? int(files.rlim_cur) : 65536;
    // No handler of the server may run in the child, and a signal sent to
    // the child before its exec must not be lost.
    sigset_t all, old;
    sigfillset(&all);
    // Its end of file tells that the child holds none of our descriptors.
    int done[2] = {-1, -1};
    if (::pipe2(done, O_CLOEXEC) != 0)
        done[0] = done[1] = -1;
    // The child's standard output and error: a pipe that the loop reads,
    // each line a line of our log named after the program.
    int output[2] = {-1, -1};
    if (::pipe2(output, O_CLOEXEC) != 0)
        output[0] = output[1] = -1;
    sigprocmask(SIG_SETMASK, &all, &old);
    pid_t pid = ::fork();
    if (pid == 0)
        run_child(setup, path, argv.data(), fdLimit, done[1], output[1]);
    int error = errno;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (done[1] >= 0)
        ::close(done[1]);
    if (output[1] >= 0)
        ::close(output[1]);
    Fd outputEnd(output[0]);
    if (pid > 0 && outputEnd)
        ChildOutput::Follow(std::move(outputEnd), setup.argv[0].substr(setup.argv[0].rfind('/') + 1), pid);
    // A moment: the child only resets its signals and closes descriptors
    // (or dies) first. Until then a closed socket's port would stay bound;
    // a child stopped on the way holds it, but not the loop, any longer.
    if (done[0] >= 0) {
        if (pid > 0 && !await_release(done[0]))
            std::cerr << "child " << pid << " did not close its descriptors within " << kReleaseWaitMs
                      << " ms, going on" << std::endl;
        ::close(done[0]);
    }
    errno = error;
    return pid;
}

bool signal_child(pid_t pid, int sig)
{
    if (pid <= 0)
        return false;
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    siginfo_t info{};
    // Succeeds for a running child and for one that ended and waits to be
    // reaped; ECHILD once it was reaped.
    bool ours = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
    bool sent = ours && ::kill(pid, sig) == 0;
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return sent;
}

} // namespace ModemChild
