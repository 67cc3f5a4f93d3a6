// Starting and stopping the helper programs of the modem and T.38 slots:
// their command lines, and a fork and exec that leaves the server's state
// alone in the child (no static destructors, no second flush of buffered
// log text, no handler, signal mask or descriptor of the server).
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

#include "server/schema/TERM.h"

namespace ModemChild {

constexpr char kPppd[] = "/usr/local/sbin/pppd";
constexpr char kFaxTransfer[] = "/usr/local/sbin/fax";
constexpr char kFaxReceiver[] = "/usr/local/bin/fax";
constexpr char kAnswerOptions[] = "/usr/local/etc/ppp/aoptions";
constexpr char kOriginateOptions[] = "/usr/local/etc/ppp/coptions";
constexpr char kHdlcOptions[] = "/usr/local/etc/ppp/ioptions";
constexpr size_t kMaxPppdArgs = 62;
constexpr size_t kMaxFaxArgs = 60;
// How long spawn waits, in real time, for a new child to let go of the
// server's descriptors: a child stopped before that (a debugger, a stray
// SIGSTOP) must not hold the loop.
constexpr int kReleaseWaitMs = 1000;

// The PPP daemon on device (a "/dev/mdm" + N path or an interface name).
std::vector<std::string> pppd_command(TERM::ModemParams const& params, const std::string& device,
                                      const char* options);
// "-m N" and the execargs.
std::vector<std::string> fax_transfer_command(TERM::ModemParams const& params, int modem);
std::vector<std::string> fax_receiver_command(int modem, const std::string& file);
// The received fax's file name for a start at t (local time); when taken()
// says that name is taken, "-1", "-2", ... goes before the ".g3".
std::string fax_file_name(time_t t, const std::function<bool(const std::string&)>& taken = nullptr);

struct Setup {
    // argv[0] names the program; it runs from Paths::resolve(argv[0]).
    std::vector<std::string> argv;
    // Become descriptors 0 and 1 when not -1. The child's 2, and its 1
    // when output is -1, are a pipe to the server's log: each line the
    // program writes there is a line of the log, named after the program
    // (the base name of argv[0]) and its pid. No other descriptor of the
    // server stays open in the child.
    int input = -1;
    int output = -1;
    // Waited in the child before the exec.
    unsigned delayMs = 0;
    // Written on the standard output before the exec, when not null.
    const char* banner = nullptr;
    // Exit status of a child whose exec failed.
    int failStatus = 2;
    // Written on the standard error when the exec failed, when not null.
    const char* failText = nullptr;
    // Run in the child before it lets go of the server's descriptors, when
    // not null; for tests, which stop the child there. System calls only.
    void (*beforeRelease)() = nullptr;
};

// The child's pid, or -1 with errno when fork failed. It returns once the
// child holds none of the server's descriptors, or after kReleaseWaitMs.
pid_t spawn(const Setup& setup);

// Sends sig to pid only while pid is still a child of this process that
// nobody has reaped: a reaped pid may already name another process.
// SIGCHLD stays blocked while it looks, so the reaper cannot take the
// child between the look and the kill. True when the signal was sent.
bool signal_child(pid_t pid, int sig);

} // namespace ModemChild
