// The system log client read back from a real socket, and daemon mode
// sending the standard streams to it or to hourly files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <set>
#include <thread>

#include "runtime/daemon.h"
#include "runtime/fd.h"
#include "runtime/log_streams.h"
#include "runtime/mux_time.h"
#include "runtime/paths.h"
#include "runtime/syslog.h"
#include "tests/support/test_support.h"

namespace {

// A stand-in for the system log daemon: a UNIX socket bound at <root>/dev/log.
class LogReceiver {
public:
    // A datagram socket, or a listening stream socket.
    LogReceiver(const std::string& root, int type = SOCK_DGRAM) : mPath(root + "/dev/log")
    {
        ::mkdir((root + "/dev").c_str(), 0700);
        mSock.reset(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
        sockaddr_un a;
        std::memset(&a, 0, sizeof(a));
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, mPath.c_str(), sizeof(a.sun_path) - 1);
        bound = ::bind(mSock.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
                (type != SOCK_STREAM || ::listen(mSock.get(), 4) == 0);
    }
    ~LogReceiver() { vanish(); }
    // Closes the socket and removes its name, as a stopped daemon does.
    void vanish()
    {
        if (mSock && mSock.close() == 0)
            ::unlink(mPath.c_str());
    }
    int fd() const { return mSock.get(); }
    bool pending(int timeout_ms = 0) const
    {
        pollfd p = {mSock.get(), POLLIN, 0};
        return ::poll(&p, 1, timeout_ms) > 0;
    }
    // One datagram, waiting up to the time-out; empty when none came.
    std::string record(int timeout_ms = 2000) const
    {
        std::vector<char> buf(65536);
        ssize_t n = pending(timeout_ms) ? ::recv(mSock.get(), buf.data(), buf.size(), MSG_DONTWAIT) : 0;
        return std::string(buf.data(), n > 0 ? static_cast<size_t>(n) : 0);
    }
    std::vector<std::string> drain() const
    {
        std::vector<std::string> out;
        while (pending())
            out.push_back(record(0));
        return out;
    }
    bool bound = false;

private:
    std::string mPath;
    Fd mSock;
};

// The daemon's end of a stream connection. The client's socket gets the
// smallest send buffer, so that it fills within a few records.
class StreamPeer {
public:
    StreamPeer(const LogReceiver& daemon, int client) : mFd(accept(daemon.fd(), nullptr, nullptr))
    {
        int least = 1;
        setsockopt(client, SOL_SOCKET, SO_SNDBUF, &least, sizeof(least));
    }
    // Reads at most `most` of the bytes that wait.
    void take(size_t most = SIZE_MAX)
    {
        char chunk[4096];
        for (ssize_t n = 1; most > 0 && n > 0; most -= static_cast<size_t>(n)) {
            n = recv(mFd.get(), chunk, std::min(most, sizeof(chunk)), MSG_DONTWAIT);
            if (n > 0)
                bytes.append(chunk, static_cast<size_t>(n));
        }
    }
    // The socket ends inside a record: what waits does not end with a NUL,
    // or nothing waits and what was read does not.
    bool cut() const
    {
        char waiting[65536];
        ssize_t n = recv(mFd.get(), waiting, sizeof(waiting), MSG_DONTWAIT | MSG_PEEK);
        return n > 0 ? waiting[n - 1] != '\0' : !bytes.empty() && bytes.back() != '\0';
    }
    void close() { mFd.close(); }

    std::string bytes;

private:
    Fd mFd;
};

class SysLogTest : public ::testing::Test {
protected:
    // "<pri>Mmm dd hh:mm:ss " at the virtual time of day.
    std::string head(int priority) const
    {
        time_t now = Mux::seconds();
        std::tm local;
        localtime_r(&now, &local);
        char stamp[64];
        strftime(stamp, sizeof(stamp), "%h %e %T ", &local);
        return "<" + std::to_string(priority) + ">" + stamp;
    }
    std::string record(int priority, const std::string& text) const
    {
        return head(priority) + text + std::string(1, '\0');
    }
    // A stream daemon in place of the last one, and the client's
    // connection to it: opened the first time (records of ident "c"), else
    // made by the first line after the restart.
    StreamPeer stream_daemon(bool first = true)
    {
        daemon.reset();
        daemon.reset(new LogReceiver(dir.path(), SOCK_STREAM));
        if (first)
            log->openlog("c", LOG_NDELAY, 0);
        else
            burst(1);
        return StreamPeer(*daemon, log->fd());
    }
    // n lines of varied lengths in one flush.
    void burst(int n)
    {
        ManagedSysLogStreamBuf buf(LOG_DAEMON, LOG_ERR, *log);
        std::ostream out(&buf);
        for (int i = 0; i < n; ++i) {
            std::string text = std::to_string(sent.size()) + std::string(sent.size() % 23, '-');
            out << text << '\n';
            sent.insert(text);
        }
        out.flush();
    }
    // The records of a stream, cut at their NULs and checked against the
    // texts sent: how many arrived whole, and how many the reports of losses
    // among them counted. Anything else (a record cut, or glued to another)
    // fails.
    std::pair<size_t, unsigned long> tally(const std::string& bytes)
    {
        std::pair<size_t, unsigned long> out{0, 0};
        const std::string report = head(28) + "c: ", lost = " log records dropped: the system log did not take them";
        for (size_t at = 0, nul; (nul = bytes.find('\0', at)) != std::string::npos; at = nul + 1) {
            std::string r = bytes.substr(at, nul + 1 - at), text = r.substr(head(27).size() + 3);
            text.pop_back();
            if (r.compare(0, report.size(), report) == 0 && r.find(lost) != std::string::npos) {
                out.second += std::stoul(r.substr(report.size()));
            } else if (r == record(27, "c: " + text) && sent.erase(text) == 1) {
                ++out.first;
            } else {
                ADD_FAILURE() << "not one whole record: " << r;
            }
        }
        return out;
    }

    // The old daemon read to its end and gone, a new one connected by the
    // next line: the tallies of both, and how many texts went out in all.
    struct Tallies {
        std::pair<size_t, unsigned long> before, after;
        size_t sent;
    };
    Tallies restart(StreamPeer& old)
    {
        old.take();
        old.close();
        StreamPeer fresh = stream_daemon(false);
        fresh.take();
        Tallies t;
        t.sent = sent.size();
        t.before = tally(old.bytes);
        t.after = tally(fresh.bytes);
        return t;
    }

    vbtest::TempDir dir;
    Paths::ScopedRoot root{dir.path()};
    Mux::VirtualClock clock{1000, 1747403471};
    Mux::ScopedClock scoped{clock};
    std::unique_ptr<LogReceiver> daemon{new LogReceiver(dir.path())};
    std::unique_ptr<SysLogManager> log{new SysLogManager};
    std::set<std::string> sent;
};

TEST_F(SysLogTest, StreamLinesBecomeRecordsAndPartialLinesWait)
{
    ASSERT_TRUE(daemon->bound);
    log->openlog("vxb-T250516-1551", LOG_NDELAY, 0);
    ASSERT_TRUE(log->connected());
    EXPECT_TRUE(fcntl(log->fd(), F_GETFD) & FD_CLOEXEC);
    ManagedSysLogStreamBuf noticeBuf(LOG_DAEMON, LOG_NOTICE, *log);
    ManagedSysLogStreamBuf errBuf(LOG_DAEMON, LOG_ERR, *log);
    ManagedSysLogStreamBuf debugBuf(LOG_DAEMON, LOG_DEBUG, *log);
    std::ostream notice(&noticeBuf), err(&errBuf), debug(&debugBuf);

    // Two lines, one flush: nothing leaves before the flush, then one
    // record per line, each in its own datagram.
    err << "first\nsecond\n";
    EXPECT_FALSE(daemon->pending());
    err.flush();
    EXPECT_EQ(record(27, "vxb-T250516-1551: first"), daemon->record());
    EXPECT_EQ(record(27, "vxb-T250516-1551: second"), daemon->record());
    notice << "up" << std::endl;
    debug << "" << std::endl;
    EXPECT_EQ(record(29, "vxb-T250516-1551: up"), daemon->record());
    EXPECT_EQ(record(31, "vxb-T250516-1551: "), daemon->record());

    err << std::unitbuf; // as std::cerr: a flush after every insertion
    err << "slot " << 5 << ": ";
    EXPECT_FALSE(daemon->pending());
    err << "down\nnext ";
    EXPECT_EQ(record(27, "vxb-T250516-1551: slot 5: down"), daemon->record());
    EXPECT_FALSE(daemon->pending());
    err << "line" << std::endl;
    EXPECT_EQ(record(27, "vxb-T250516-1551: next line"), daemon->record());
    EXPECT_TRUE(daemon->drain().empty());
}

TEST_F(SysLogTest, LongTextIsCutAndKeepsItsNul)
{
    log->openlog("id", LOG_NDELAY, 0);
    ManagedSysLogStreamBuf buf(LOG_DAEMON, LOG_NOTICE, *log);
    std::ostream out(&buf);
    out << std::string(3000, 'x') << std::endl;
    std::string r = daemon->record();
    EXPECT_EQ(record(29, "id: " + std::string(1023 - head(29).size() - 4, 'x')), r);
    EXPECT_EQ(1024u, r.size());

    // A full put area without a line end goes out as one line on its own.
    out << std::string(16383, 'y');
    EXPECT_FALSE(daemon->pending());
    out << 'z';
    r = daemon->record();
    EXPECT_EQ(1024u, r.size());
    EXPECT_EQ('y', r[1022]);
    out << std::endl;
    EXPECT_EQ(record(29, "id: z"), daemon->record());
}

TEST_F(SysLogTest, IdentPidAndFacilityForms)
{
    log->openlog("svc", LOG_NDELAY | LOG_PID, LOG_LOCAL0);
    log->syslog(LOG_ERR, "x");
    log->syslog(LOG_DAEMON | LOG_ERR, "y");
    log->sendmsg();
    std::string pid = "[" + std::to_string(getpid()) + "]";
    EXPECT_EQ(record(LOG_LOCAL0 | LOG_ERR, "svc" + pid + ": x"), daemon->record());
    EXPECT_EQ(record(27, "svc" + pid + ": y"), daemon->record());
    // closelog returns to the default ident (the options stay); the next
    // record reopens.
    log->closelog();
    EXPECT_FALSE(log->connected());
    log->syslog(LOG_NOTICE, "z");
    log->sendmsg();
    EXPECT_EQ(record(LOG_LOCAL0 | LOG_NOTICE, "syslog-vd" + pid + ": z"), daemon->record());
}

TEST_F(SysLogTest, BatchGoesOutAtRecordAndByteLimits)
{
    // A stream daemon: its socket takes a whole batch at once, where a
    // datagram queue would drop what is beyond its few places.
    daemon.reset();
    daemon.reset(new LogReceiver(dir.path(), SOCK_STREAM));
    log->openlog("b", LOG_NDELAY, 0);
    Fd peer(accept(daemon->fd(), nullptr, nullptr));
    // n - 1 records wait; the n-th takes them all along.
    auto burst = [&](size_t n, const std::function<std::string(size_t)>& text) {
        for (size_t i = 0; i + 1 < n; ++i)
            log->syslog(LOG_NOTICE, "%s", text(i).c_str());
        pollfd p = {peer.get(), POLLIN, 0};
        EXPECT_EQ(0, poll(&p, 1, 0));
        log->syslog(LOG_NOTICE, "%s", text(n - 1).c_str());
        std::string bytes;
        char chunk[4096];
        for (ssize_t r; std::count(bytes.begin(), bytes.end(), '\0') < static_cast<long>(n) && poll(&p, 1, 2000) > 0 &&
                        (r = read(peer.get(), chunk, sizeof(chunk))) > 0;)
            bytes.append(chunk, static_cast<size_t>(r));
        std::vector<std::string> got;
        for (size_t at = 0, nul; (nul = bytes.find('\0', at)) != std::string::npos; at = nul + 1)
            got.push_back(bytes.substr(at, nul + 1 - at));
        EXPECT_EQ(0, log->sendmsg());
        return got;
    };
    auto number = [](size_t i) { return std::to_string(i); };
    std::vector<std::string> got = burst(SysLogManager::kBatchRecords, number);
    ASSERT_EQ(static_cast<size_t>(SysLogManager::kBatchRecords), got.size());
    for (size_t i = 0; i < got.size(); ++i)
        EXPECT_EQ(record(13, "b: " + number(i)), got[i]);

    // Records of 1024 bytes: twelve may still wait, the thirteenth sends.
    std::string text(1023 - head(13).size() - 3, 'q');
    got = burst(13, [&](size_t) { return text; });
    ASSERT_EQ(13u, got.size());
    EXPECT_EQ(1024u, got[12].size());
    EXPECT_EQ(0u, log->dropped());
}

// A daemon that stops reading costs records, never a wait: they are
// counted, and once it reads again one record says how many went before
// the next one. A stream daemon that never accepts is not waited for.
TEST_F(SysLogTest, ADaemonThatStopsReadingCostsRecordsNotAWait)
{
    log->openlog("d", LOG_NDELAY, 0);
    ManagedSysLogStreamBuf buf(LOG_DAEMON, LOG_ERR, *log);
    std::ostream out(&buf);
    const int lines = 3000;
    for (int i = 0; i < lines; ++i)
        out << "line " << i << "\nmore" << std::endl;
    std::vector<std::string> got = daemon->drain();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(record(27, "d: line 0"), got[0]);
    EXPECT_EQ(2u * lines, got.size() + log->dropped());
    EXPECT_TRUE(log->connected());

    const std::string lost = std::to_string(log->dropped());
    out << "after" << std::endl;
    EXPECT_EQ(record(28, "d: " + lost + " log records dropped: the system log did not take them"), daemon->record());
    EXPECT_EQ(record(27, "d: after"), daemon->record());
    EXPECT_EQ(0u, log->dropped());

    daemon.reset();
    daemon.reset(new LogReceiver(dir.path(), SOCK_STREAM));
    ASSERT_EQ(0, ::listen(daemon->fd(), 0));
    std::vector<std::unique_ptr<SysLogManager>> waiting;
    for (int i = 0; i < 4; ++i) {
        waiting.emplace_back(new SysLogManager);
        waiting.back()->openlog("w", LOG_NDELAY, 0);
    }
    EXPECT_FALSE(waiting.back()->connected());
    waiting.back()->syslog(LOG_ERR, "no one accepts");
    EXPECT_EQ(1u, waiting.back()->dropped());
}

TEST_F(SysLogTest, ReceiverThatComesBackGetsTheRecordOnce)
{
    log->openlog("r", LOG_NDELAY, 0);
    ManagedSysLogStreamBuf buf(LOG_DAEMON, LOG_NOTICE, *log);
    std::ostream out(&buf);
    auto restart = [&] {
        daemon.reset();
        daemon.reset(new LogReceiver(dir.path()));
    };
    out << "one" << std::endl;
    EXPECT_EQ(record(29, "r: one"), daemon->record());

    // A restarted daemon: the old socket is gone, a new one has the name.
    restart();
    out << "two\nthree" << std::endl;
    EXPECT_EQ(record(29, "r: two"), daemon->record());
    EXPECT_EQ(record(29, "r: three"), daemon->record());
    EXPECT_TRUE(daemon->drain().empty());
    EXPECT_TRUE(log->connected());

    // No daemon at all: the lines are dropped and the socket closed; once
    // the daemon is back, the count of the lost lines comes first.
    daemon->vanish();
    out << "lost" << std::endl;
    EXPECT_FALSE(log->connected());
    out << "lost too" << std::endl;
    restart();
    out << "four" << std::endl;
    EXPECT_EQ(record(28, "r: 2 log records dropped: the system log did not take them"), daemon->record());
    EXPECT_EQ(record(29, "r: four"), daemon->record());
    EXPECT_TRUE(daemon->drain().empty());
}

// A stream daemon gets the waiting records as one run of bytes: the record
// its full socket took only part of goes on first at the next send, and
// each record arrives whole or is counted. A new daemon never sees the
// start of a record the old one took only part of: its first report
// counts that record.
TEST_F(SysLogTest, AStreamDaemonGetsEachRecordWholeOrCountedAcrossAReconnect)
{
    StreamPeer old = stream_daemon();
    int cuts = 0;
    for (int round = 0; round < 40; ++round) {
        burst(60);
        cuts += old.cut();
        old.take(700);
    }
    EXPECT_GT(cuts, 0) << "the socket filled inside a record";
    for (int round = 0; round < 20 && !old.cut(); ++round) {
        old.take();
        burst(300);
    }
    ASSERT_TRUE(old.cut());
    Tallies t = restart(old);
    EXPECT_EQ(1u, t.after.first);
    EXPECT_GT(t.before.second + t.after.second, 1u) << "records dropped while the socket was full";
    EXPECT_EQ(t.sent, t.before.first + t.before.second + t.after.first + t.after.second);
}

// A send that takes only half of what it is given, when asked to.
bool gHalveNextSend = false;
ssize_t halving_send(int fd, const void* data, size_t length, int flags)
{
    if (gHalveNextSend) {
        gHalveNextSend = false;
        length /= 2;
    }
    return ::send(fd, data, length, flags);
}

// A daemon that took half of a report of losses and then restarted never
// saw the count: the new daemon's first report counts those losses with
// the ones after them.
TEST_F(SysLogTest, AReportCutByARestartIsCountedByTheNextOne)
{
    StreamPeer old = stream_daemon();
    log->set_send_call(halving_send);
    // One record a send: the full socket refuses each whole, none is cut.
    for (int i = 0; i < 10000 && log->dropped() < 3; ++i)
        burst(1);
    const unsigned long lost = log->dropped();
    ASSERT_GE(lost, 3u);
    old.take();
    gHalveNextSend = true;
    burst(1); // the report goes first, and only half of it
    EXPECT_FALSE(gHalveNextSend);
    EXPECT_TRUE(old.cut());
    EXPECT_EQ(1u, log->dropped()) << "the record behind the cut report";
    Tallies t = restart(old);
    EXPECT_EQ(0u, t.before.second);
    EXPECT_EQ(lost + 1, t.after.second);
    EXPECT_EQ(1u, t.after.first);
    EXPECT_EQ(t.sent, t.before.first + t.after.first + t.after.second);
}

TEST_F(SysLogTest, StreamSocketWhenDatagramsAreRefused)
{
    daemon.reset();
    daemon.reset(new LogReceiver(dir.path(), SOCK_STREAM));
    log->openlog("s", LOG_NDELAY, 0);
    ASSERT_TRUE(log->connected());
    EXPECT_EQ(SOCK_STREAM, log->type());
    EXPECT_TRUE(fcntl(log->fd(), F_GETFD) & FD_CLOEXEC);
    Fd peer(accept(daemon->fd(), nullptr, nullptr));
    ManagedSysLogStreamBuf buf(LOG_DAEMON, LOG_ERR, *log);
    std::ostream(&buf) << "a\nb" << std::endl;
    std::string expected = record(27, "s: a") + record(27, "s: b"), got;
    char chunk[256];
    pollfd p = {peer.get(), POLLIN, 0};
    for (ssize_t n; got.size() < expected.size() && poll(&p, 1, 2000) > 0 && (n = read(peer.get(), chunk, 256)) > 0;)
        got.append(chunk, static_cast<size_t>(n));
    EXPECT_EQ(expected, got);
    log->closelog();
    EXPECT_EQ(SOCK_DGRAM, log->type());
}

// Runs `body` in a forked child that then goes into daemon mode, so the
// daemon's own fork and the redirected streams never touch this process.
// Returns a pipe that ends once the detached grandchild and every child of
// it have ended; none when the child failed.
Fd daemonise(const Daemon::Params& params, const std::function<void()>& body)
{
    int done[2];
    if (pipe(done) != 0)
        return Fd();
    pid_t child = fork();
    if (child == 0) {
        // Nothing of this process's own (a stand-in daemon's socket among
        // them) stays open in the daemon, as in a server of its own.
        for (int fd = 3; fd < 1024; ++fd)
            if (fd != done[1])
                close(fd);
        Daemon::Init(params);
        body();
        _exit(0);
    }
    close(done[1]);
    Fd ends(done[0]);
    int status = -1;
    waitpid(child, &status, 0);
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? std::move(ends) : Fd();
}

bool ended(const Fd& done, int timeout_ms)
{
    pollfd p = {done.get(), POLLIN, 0};
    char c;
    return poll(&p, 1, timeout_ms) > 0 && read(done.get(), &c, 1) == 0;
}

// Returns once the detached grandchild has ended, or after a few seconds.
bool run_daemonised(const Daemon::Params& params, const std::function<void()>& body)
{
    Fd done = daemonise(params, body);
    return done && ended(done, 5000);
}

// Priority and text of a record, without the time stamp and the NUL.
std::string text_of(const std::string& r)
{
    return r.size() > 21 && r.back() == '\0' ? r.substr(0, 4) + r.substr(20, r.size() - 21) : r;
}

// A child writes to the log socket as to any descriptor: while the daemon
// does not read, it waits and loses nothing. After the daemon restarts,
// the first line that finds it gone connects again, and the children
// started from then on write to the new socket.
TEST(DaemonTest, ChildrenWaitForAStalledLogAndFollowItsRestart)
{
    vbtest::TempDir dir;
    Paths::ScopedRoot root(dir.path());
    std::unique_ptr<LogReceiver> daemon(new LogReceiver(dir.path()));
    const std::string go = dir.file("go");
    const int lines = 100;
    Daemon::Params params;
    params.name = "r";
    // Where the burst's writer is, shared with it across the forks.
    struct Progress {
        std::atomic<pid_t> pid{0};
        std::atomic<int> line{-1};
    };
    void* shared = mmap(nullptr, sizeof(Progress), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, shared);
    Progress* progress = new (shared) Progress;
    Fd done = daemonise(params, [&go, progress] {
        std::cout << "before" << std::endl;
        if (fork() == 0) {
            progress->pid = getpid();
            for (int i = 0; i < lines; ++i) {
                std::string line = "burst " + std::to_string(i) + "\n";
                progress->line = i;
                (void)!write(STDOUT_FILENO, line.data(), line.size());
            }
            _exit(0);
        }
        for (int i = 0; i < 5000 && access(go.c_str(), F_OK) != 0; ++i)
            usleep(1000);
        std::cout << "after" << std::endl;
        if (fork() == 0) {
            (void)!write(STDOUT_FILENO, "child out\n", 10);
            (void)!write(STDERR_FILENO, "child err\n", 10);
            _exit(0);
        }
    });
    ASSERT_TRUE(done);
    // The writer sleeps inside a line: the daemon's socket is full.
    auto waits = [progress] {
        int line = progress->line;
        std::string stat = progress->pid ? vbtest::read_file("/proc/" + std::to_string(progress->pid) + "/stat") : "";
        size_t state = stat.rfind(')');
        return line >= 0 && line < lines && state != std::string::npos && stat.compare(state, 3, ") S") == 0 &&
               line == progress->line;
    };
    bool full = false;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
         !(full = waits()) && std::chrono::steady_clock::now() < end;)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    munmap(shared, sizeof(Progress));
    ASSERT_TRUE(full);
    std::vector<std::string> got;
    while (got.size() <= size_t(lines) && daemon->pending(1000))
        got.push_back(text_of(daemon->record()));
    ASSERT_EQ(size_t(lines) + 1, got.size());
    EXPECT_EQ("<29>r: before", got[0]);
    for (int i = 0; i < lines; ++i)
        EXPECT_EQ("burst " + std::to_string(i) + "\n", got[size_t(i) + 1]);
    daemon.reset();
    daemon.reset(new LogReceiver(dir.path()));
    std::ofstream(go).flush();
    EXPECT_TRUE(ended(done, 5000));
    got.clear();
    for (const std::string& r : daemon->drain())
        got.push_back(text_of(r));
    EXPECT_EQ((std::vector<std::string>{"<29>r: after", "child out\n", "child err\n"}), got);
}

TEST(DaemonTest, StreamsGoToTheSystemLogOrToHourlyFiles)
{
    vbtest::TempDir dir;
    Paths::ScopedRoot root(dir.path());
    LogReceiver daemon(dir.path());
    Daemon::Params params;
    params.name = std::string(79, 'n') + "cut";
    ASSERT_TRUE(run_daemonised(params, [] {
        std::cout << "notice" << std::endl;
        std::cerr << "error " << 2 << std::endl;
        std::clog << "debug" << std::endl;
        (void)!write(STDOUT_FILENO, "raw", 3);
        char cwd[8] = "";
        std::cout << (getcwd(cwd, sizeof(cwd)) ? cwd : "?") << std::endl;
    }));
    std::vector<std::string> got = daemon.drain();
    ASSERT_EQ(5u, got.size());
    const std::string ident = std::string(79, 'n') + ": ";
    EXPECT_EQ((std::vector<std::string>{"<29>" + ident + "notice", "<27>" + ident + "error 2", "<31>" + ident + "debug",
                                        "raw", "<29>" + ident + "/"}),
              (std::vector<std::string>{text_of(got[0]), text_of(got[1]), text_of(got[2]), got[3], text_of(got[4])}));

    // One file, named after the hour, holding both lines behind prefixes.
    ::mkdir(dir.file("logs").c_str(), 0700);
    params.mode = 1;
    params.name = "/logs";
    ASSERT_TRUE(run_daemonised(params, [] {
        std::cout << "to file" << std::endl;
        std::cerr << "also" << std::endl;
    }));
    glob_t files;
    ASSERT_EQ(0, ::glob(dir.file("logs/*.log").c_str(), 0, nullptr, &files));
    ASSERT_EQ(1u, files.gl_pathc);
    EXPECT_EQ(dir.file("logs/").size() + 17, std::strlen(files.gl_pathv[0])) << "yyyy_mm_dd-hh.log";
    std::string text = vbtest::read_file(files.gl_pathv[0]);
    globfree(&files);
    EXPECT_NE(std::string::npos, text.find(": to file\n")) << text;
    EXPECT_NE(std::string::npos, text.find(": also\n")) << text;
}

} // namespace
