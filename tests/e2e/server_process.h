// The voxbridge program as a controller meets it: a child process on a
// free loopback port, and a controller that talks LGCP to it over TCP.
//
// The child runs in a private mount namespace in which /var and /usr/local
// (etc, voice, sbin, bin) are directories of a temporary tree, so its pid
// file, status dump, configuration file and voice prompts live in that tree
// and nothing is written on the host. A test may give it a system log of its
// own: /dev then holds the host's entries and "log" naming the test's socket.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "runtime/fd.h"
#include "tests/support/test_support.h"

namespace vbtest {

typedef std::vector<std::string> Texts;

// Polls cond every millisecond or so until it holds or timeout_ms passed.
bool eventually(const std::function<bool()>& cond, int timeout_ms = 5000);

class ServerProcess {
public:
    explicit ServerProcess(const std::string& program = VOXBRIDGE_PROGRAM);
    // Kills a server that still runs, and what is left of its process group.
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Runs the program with these arguments to its end: its exit status,
    // 128 + the signal that ended it, or -1 when it did not end in time.
    int run(const std::vector<std::string>& args, int timeout_ms = 10000);
    // Starts the server with the port option and a free port (one word
    // with it when the option ends with "="), then the arguments; true once
    // it listens on that port.
    bool start(const std::vector<std::string>& args = {}, const std::string& portOption = "--port");
    // The same in daemon mode (-D): true once the starter has ended well and
    // the daemon that the pid file names listens; pid() is the daemon's.
    bool start_daemon(const std::vector<std::string>& args = {});
    // The socket that the server's /dev/log is, for the servers started
    // from now on.
    void set_log_socket(const std::string& path) { mLogSocket = path; }
    // For the servers started from now on: "/var/monitoring" is a file
    // system of its own of that many bytes, full at start (a file under
    // its "filler/" takes the space).
    void set_full_status_fs(size_t bytes) { mStatusFs = bytes; }
    // For the servers started from now on: the standard output is a pipe,
    // whose read end this gives; out() stays empty.
    Fd pipe_output();

    uint16_t port() const { return mPort; }
    pid_t pid() const { return mPid; }
    void signal(int sig) const;
    // The exit status as run() gives it, -1 when it has not ended in time.
    int wait(int timeout_ms = 10000);

    // What the program wrote to its standard output and error streams.
    std::string out() const { return read_file(mRoot.file("out")); }
    std::string err() const { return read_file(mRoot.file("err")); }
    // Where a path the server opens lies in the temporary tree.
    std::string path(const std::string& serverPath) const;
    // A path as the running server sees it, through its mount namespace.
    std::string inside(const std::string& serverPath) const;

private:
    pid_t spawn(const std::vector<std::string>& args);
    // Whether the server ended; it stays unreaped.
    bool ended() const;
    // Kills the server first when asked, then whatever is left of its
    // process group, and reaps it: its wait status.
    int reap(bool kill);
    // Whether the server holds a socket listening on the port.
    bool listening() const;

    TempDir mRoot;
    std::string mProgram;
    std::string mLogSocket;
    size_t mStatusFs = 0;
    Fd mOutPipe;
    pid_t mPid = -1;
    uint16_t mPort = 0;
};

// A controller connected to the server's port. The line states that the
// server reports every second ("trunkStatus" signals) and the power state
// it reports on every connection ("power" signals) are passed over unless
// asked for, so that a flow reads the same whatever the timing.
class Controller {
public:
    Controller() = default;
    explicit Controller(uint16_t port) { connect(port); }

    // Connects and waits until the server serves the connection (it speaks
    // first). A connection made while the server is still letting the last
    // controller go is refused, so that one is tried again.
    bool connect(uint16_t port);
    // Connects and returns at once.
    bool dial(uint16_t port);
    bool connected() const { return static_cast<bool>(mSocket); }
    int fd() const { return mSocket.get(); }
    void keep_trunk_status(bool keep) { mKeepStatus = keep; }
    void keep_power(bool keep) { mKeepPower = keep; }
    // One payload in one TPKT frame.
    void send(const std::string& payload);
    // The next message as text (vbtest::message_text with detail), "" when
    // none came within timeout_ms, "closed" when the server closed.
    std::string next(int timeout_ms = 5000);
    // Sends a ping; every message that arrived before its answer. The
    // server answers in order, so these are what came before the ping.
    Texts sync();
    // Sends the payload, then sync(): exactly what the payload caused (and
    // any signal that came meanwhile).
    Texts exchange(const std::string& payload)
    {
        send(payload);
        return sync();
    }
    // True once the server has closed the connection.
    bool closed(int timeout_ms = 5000);
    void close() { mSocket.close(); }

private:
    // The next message as text, trunk states included.
    std::string next_any(int timeout_ms);

    Fd mSocket;
    std::string mBuffer;
    bool mEof = false;
    bool mKeepStatus = false;
    bool mKeepPower = false;
};

// The free port a listening socket of the kernel's choice got.
uint16_t free_port();

} // namespace vbtest
