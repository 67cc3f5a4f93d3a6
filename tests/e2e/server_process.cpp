#include "tests/e2e/server_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/lgcp_frames.h"

namespace vbtest {

namespace {

const int kPingSeq = 4242;

bool write_text(const char* path, const std::string& text)
{
    int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
}

void fail(const char* what)
{
    std::fprintf(stderr, "e2e child: %s: %s\n", what, std::strerror(errno));
    ::_exit(127);
}

// In the child: /dev as links to the host's entries (bound under the
// tree), beside "log", a link to the test's socket.
void own_log_socket(const std::string& root, const std::string& socket)
{
    const std::string host = root + "/hostdev";
    ::mkdir(host.c_str(), 0755);
    if (::mount("/dev", host.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
        fail("bind /dev");
    if (::mount("tmpfs", "/dev", "tmpfs", 0, "mode=755") != 0)
        fail("tmpfs /dev");
    DIR* d = ::opendir(host.c_str());
    if (!d)
        fail("host /dev");
    while (dirent* e = ::readdir(d))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            (void)!::symlink((host + "/" + e->d_name).c_str(), (std::string("/dev/") + e->d_name).c_str());
    ::closedir(d);
    ::unlink("/dev/log");
    if (::symlink(socket.c_str(), "/dev/log") != 0)
        fail("/dev/log");
}

// In the child: a small file system at /var/monitoring, its space taken
// by a file under "filler/" (closed at the exec).
void full_status_fs(size_t bytes)
{
    ::mkdir("/var/monitoring", 0755);
    if (::mount("tmpfs", "/var/monitoring", "tmpfs", 0, ("size=" + std::to_string(bytes)).c_str()) != 0)
        fail("tmpfs /var/monitoring");
    ::mkdir("/var/monitoring/filler", 0755);
    int fd = ::open("/var/monitoring/filler/space", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    const std::string block(4096, 'f');
    while (fd >= 0 && ::write(fd, block.data(), block.size()) > 0) {
    }
    if (fd < 0 || errno != ENOSPC)
        fail("fill /var/monitoring");
}

// In the child: a mount namespace of its own (inside a user namespace
// when not root) in which /var and /usr/local are the tree's.
void enter_private_tree(const std::string& root, const std::string& logSocket, size_t statusFs)
{
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    if (::geteuid() == 0) {
        if (::unshare(CLONE_NEWNS) != 0)
            fail("unshare");
    } else {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0)
            fail("unshare");
        write_text("/proc/self/setgroups", "deny");
        if (!write_text("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !write_text("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1"))
            fail("id maps");
    }
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        fail("private mounts");
    if (::mount((root + "/var").c_str(), "/var", nullptr, MS_BIND, nullptr) != 0)
        fail("bind /var");
    // The whole of /usr/local: configuration, voice prompts and programs.
    if (::mount((root + "/usr/local").c_str(), "/usr/local", nullptr, MS_BIND, nullptr) != 0)
        fail("bind /usr/local");
    if (!logSocket.empty())
        own_log_socket(root, logSocket);
    if (statusFs > 0)
        full_status_fs(statusFs);
}

int exit_status(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace

bool eventually(const std::function<bool()>& cond, int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

uint16_t free_port()
{
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        ::getsockname(s.get(), reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

// ------------------------------------------------------------ ServerProcess

ServerProcess::ServerProcess(const std::string& program) : mProgram(program)
{
    for (const char* dir : {"/var", "/var/run", "/var/log", "/usr", "/usr/local", "/usr/local/etc", "/usr/local/voice",
                            "/usr/local/sbin", "/usr/local/bin"})
        ::mkdir((mRoot.path() + dir).c_str(), 0755);
}

ServerProcess::~ServerProcess()
{
    if (mPid > 0)
        reap(true);
}

// The server leads a process group of its own, which its children join at
// their fork: a child that the server forked just before it was killed may
// not have reached its exec (or a stand-in's parent-death signal) yet, and
// would outlive it. The group goes with the server, before the zombie that
// keeps its number is reaped.
int ServerProcess::reap(bool kill)
{
    if (kill)
        ::kill(mPid, SIGKILL);
    int status = 0;
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(mPid), &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
    }
    ::kill(-mPid, SIGKILL);
    while (::waitpid(mPid, &status, 0) < 0 && errno == EINTR) {
    }
    mPid = -1;
    return status;
}

bool ServerProcess::ended() const
{
    siginfo_t info{};
    return mPid > 0 && ::waitid(P_PID, static_cast<id_t>(mPid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == mPid;
}

std::string ServerProcess::path(const std::string& serverPath) const
{
    return mRoot.path() + serverPath;
}

std::string ServerProcess::inside(const std::string& serverPath) const
{
    return "/proc/" + std::to_string(mPid) + "/root" + serverPath;
}

pid_t ServerProcess::spawn(const std::vector<std::string>& args)
{
    std::vector<std::string> words{mProgram};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(&w[0]);
    argv.push_back(nullptr);
    std::string out = mRoot.file("out"), err = mRoot.file("err");
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid != 0) {
        // Also here: the group is there before the server can fork.
        if (pid > 0)
            ::setpgid(pid, pid);
        return pid;
    }
    ::setpgid(0, 0);
    // The server must not outlive the test that started it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent)
        ::_exit(127);
    int o = mOutPipe ? mOutPipe.get() : ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (o < 0 || e < 0 || ::dup2(o, STDOUT_FILENO) < 0 || ::dup2(e, STDERR_FILENO) < 0)
        ::_exit(127);
    enter_private_tree(mRoot.path(), mLogSocket, mStatusFs);
    ::execv(argv[0], argv.data());
    fail("exec");
    return -1;
}

Fd ServerProcess::pipe_output()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return Fd();
    mOutPipe.reset(ends[1]);
    return Fd(ends[0]);
}

int ServerProcess::run(const std::vector<std::string>& args, int timeout_ms)
{
    mPid = spawn(args);
    return wait(timeout_ms);
}

bool ServerProcess::start(const std::vector<std::string>& args, const std::string& portOption)
{
    // The port is free when chosen, but a test running beside this one may
    // take it before the server binds it: then another one is tried.
    for (int attempt = 0; attempt < 5; ++attempt) {
        mPort = free_port();
        std::vector<std::string> all{portOption, std::to_string(mPort)};
        if (portOption.back() == '=')
            all = {portOption + std::to_string(mPort)};
        all.insert(all.end(), args.begin(), args.end());
        mPid = spawn(all);
        bool bindFailed = false, exited = false;
        auto up = [&] {
            bindFailed = err().find("can't bind to socket") != std::string::npos;
            exited = ended();
            return bindFailed || exited || listening();
        };
        if (eventually(up, 10000) && !exited && listening())
            return true;
        reap(!exited);
        if (!bindFailed)
            return false;
    }
    return false;
}

bool ServerProcess::start_daemon(const std::vector<std::string>& args)
{
    // The daemon is the starter's child: this process adopts it when the
    // starter ends, and waits for it as for a child of its own.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    for (int attempt = 0; attempt < 5; ++attempt) {
        mPort = free_port();
        std::vector<std::string> all{"--port", std::to_string(mPort), "-D"};
        all.insert(all.end(), args.begin(), args.end());
        ::unlink(path("/var/run/server.pid").c_str());
        // Not reap(): its group ends with it, and the daemon may not have
        // left that group yet.
        pid_t starter = spawn(all);
        int status = 0;
        while (::waitpid(starter, &status, 0) < 0 && errno == EINTR) {
        }
        if (exit_status(status) != 0)
            return false;
        std::string pid;
        if (!eventually([&] { return !(pid = read_file(path("/var/run/server.pid"))).empty(); }, 10000))
            return false;
        mPid = static_cast<pid_t>(std::stol(pid));
        // A port taken meanwhile ends the daemon: another one is tried.
        if (eventually([&] { return ended() || listening(); }, 10000) && listening())
            return true;
        if (!ended())
            return false;
        reap(false);
    }
    return false;
}

bool ServerProcess::listening() const
{
    if (mPid <= 0)
        return false;
    // The inodes of the sockets listening on the port ...
    std::ifstream table("/proc/net/tcp");
    std::string line, inodes;
    char portHex[8];
    std::snprintf(portHex, sizeof(portHex), ":%04X", mPort);
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
        fields >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (state == "0A" && local.size() > 5 && local.compare(local.size() - 5, 5, portHex) == 0)
            inodes += " socket:[" + inode + "]";
    }
    if (inodes.empty())
        return false;
    // ... and whether one of them is the server's.
    std::string fds = "/proc/" + std::to_string(mPid) + "/fd";
    DIR* d = ::opendir(fds.c_str());
    if (!d)
        return false;
    bool found = false;
    while (dirent* e = ::readdir(d)) {
        char target[64] = {};
        if (::readlink((fds + "/" + e->d_name).c_str(), target, sizeof(target) - 1) > 0 &&
            inodes.find(std::string(" ") + target) != std::string::npos)
            found = true;
    }
    ::closedir(d);
    return found;
}

void ServerProcess::signal(int sig) const
{
    if (mPid > 0)
        ::kill(mPid, sig);
}

int ServerProcess::wait(int timeout_ms)
{
    if (mPid <= 0 || !eventually([&] { return ended(); }, timeout_ms))
        return -1;
    return exit_status(reap(false));
}

// --------------------------------------------------------------- Controller

bool Controller::connect(uint16_t port)
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (!dial(port))
            return false;
        char c;
        pollfd p{mSocket.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) > 0 && ::recv(mSocket.get(), &c, 1, MSG_PEEK) == 1)
            return true;
        mSocket.close();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool Controller::dial(uint16_t port)
{
    mBuffer.clear();
    mEof = false;
    Fd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(s.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
        return false;
    int one = 1;
    ::setsockopt(s.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    mSocket = std::move(s);
    return true;
}

void Controller::send(const std::string& payload)
{
    std::string frame = tpkt(payload);
    for (size_t done = 0; done < frame.size();) {
        ssize_t n = ::send(mSocket.get(), frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

std::string Controller::next(int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        std::string m = next_any(static_cast<int>(std::max<long>(0, left.count())));
        bool skip = (!mKeepStatus && m.rfind("trunkStatus ", 0) == 0) || (!mKeepPower && m.rfind("power ", 0) == 0);
        if (!skip)
            return m;
    }
}

std::string Controller::next_any(int timeout_ms)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (mBuffer.size() >= 4) {
            size_t len = uint8_t(mBuffer[2]) << 8 | uint8_t(mBuffer[3]);
            if (len < 4)
                return "bad frame";
            if (mBuffer.size() >= len) {
                std::string text = message_text(&mBuffer[4], len - 4, true);
                mBuffer.erase(0, len);
                return text;
            }
        }
        if (mEof || !mSocket)
            return "closed";
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd p{mSocket.get(), POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return "";
        char buf[4096];
        ssize_t n = ::recv(mSocket.get(), buf, sizeof(buf), 0);
        if (n <= 0)
            mEof = true;
        else
            mBuffer.append(buf, static_cast<size_t>(n));
    }
}

Texts Controller::sync()
{
    send(lgcp(command(true), kPingSeq));
    const std::string pong = "seq=" + std::to_string(kPingSeq) + " success";
    Texts got;
    for (std::string m = next(); m != pong; m = next()) {
        if (m.empty() || m == "closed")
            return got.push_back(m.empty() ? "no answer to the ping" : m), got;
        got.push_back(m);
    }
    return got;
}

bool Controller::closed(int timeout_ms)
{
    for (std::string m = next(timeout_ms); !m.empty(); m = next(timeout_ms))
        if (m == "closed")
            return true;
    return false;
}

} // namespace vbtest
