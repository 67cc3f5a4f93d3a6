#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <functional>
#include <memory>
#include <ostream>
#include <thread>

#include "runtime/log_streams.h"
#include "runtime/mux_time.h"
#include "runtime/paths.h"
#include "runtime/syslog.h"
#include "tests/runtime/log_receiver.h"
#include "tests/support/test_support.h"

namespace {

using vbtest::LogReceiver;

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

    vbtest::TempDir dir;
    Paths::ScopedRoot root{dir.path()};
    Mux::VirtualClock clock{1000, 1747403471};
    Mux::ScopedClock scoped{clock};
    std::unique_ptr<SysLogManager> log{new SysLogManager};
};

TEST_F(SysLogTest, StreamLinesBecomeRecordsWithTheirPriorities)
{
    LogReceiver daemon(dir.path());
    ASSERT_TRUE(daemon.bound());
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
    EXPECT_FALSE(daemon.pending());
    err.flush();
    EXPECT_EQ(record(27, "vxb-T250516-1551: first"), daemon.record());
    EXPECT_EQ(record(27, "vxb-T250516-1551: second"), daemon.record());

    notice << "up" << std::endl;
    debug << "" << std::endl;
    EXPECT_EQ(record(29, "vxb-T250516-1551: up"), daemon.record());
    EXPECT_EQ(record(31, "vxb-T250516-1551: "), daemon.record());
    EXPECT_TRUE(daemon.drain().empty());
}

TEST_F(SysLogTest, PartialLineKeptAcrossFlushes)
{
    LogReceiver daemon(dir.path());
    log->openlog("id", LOG_NDELAY, 0);
    ManagedSysLogStreamBuf buf(LOG_DAEMON, LOG_ERR, *log);
    std::ostream err(&buf);
    err << std::unitbuf; // as std::cerr: a flush after every insertion

    err << "slot " << 5 << ": ";
    EXPECT_FALSE(daemon.pending());
    err << "down\nnext ";
    EXPECT_EQ(record(27, "id: slot 5: down"), daemon.record());
    EXPECT_FALSE(daemon.pending());
    err << "line" << std::endl;
    EXPECT_EQ(record(27, "id: next line"), daemon.record());
    EXPECT_TRUE(daemon.drain().empty());
}

TEST_F(SysLogTest, LongTextIsCutAndKeepsItsNul)
{
    LogReceiver daemon(dir.path());
    log->openlog("id", LOG_NDELAY, 0);
    ManagedSysLogStreamBuf buf(LOG_DAEMON, LOG_NOTICE, *log);
    std::ostream out(&buf);

    out << std::string(3000, 'x') << std::endl;
    std::string r = daemon.record();
    ASSERT_EQ(1024u, r.size());
    EXPECT_EQ('\0', r.back());
    EXPECT_EQ(record(29, "id: " + std::string(1023 - head(29).size() - 4, 'x')), r);

    // A full put area without a line end goes out as one line on its own.
    out << std::string(16383, 'y');
    EXPECT_FALSE(daemon.pending());
    out << 'z';
    r = daemon.record();
    EXPECT_EQ(1024u, r.size());
    EXPECT_EQ('y', r[1022]);
    out << std::endl;
    EXPECT_EQ(record(29, "id: z"), daemon.record());
}

TEST_F(SysLogTest, IdentPidAndFacilityForms)
{
    LogReceiver daemon(dir.path());
    log->openlog("svc", LOG_NDELAY | LOG_PID, LOG_LOCAL0);
    log->syslog(LOG_ERR, "x");
    log->syslog(LOG_DAEMON | LOG_ERR, "y");
    log->sendmsg();
    std::string pid = "[" + std::to_string(getpid()) + "]";
    EXPECT_EQ(record(LOG_LOCAL0 | LOG_ERR, "svc" + pid + ": x"), daemon.record());
    EXPECT_EQ(record(27, "svc" + pid + ": y"), daemon.record());

    // closelog returns to the default ident (the options stay); the next
    // record reopens.
    log->closelog();
    EXPECT_FALSE(log->connected());
    log->syslog(LOG_NOTICE, "z");
    log->sendmsg();
    EXPECT_EQ(record(LOG_LOCAL0 | LOG_NOTICE, "syslog-vd" + pid + ": z"), daemon.record());
}

TEST_F(SysLogTest, BatchGoesOutAtRecordAndByteLimits)
{
    LogReceiver daemon(dir.path());
    log->openlog("b", LOG_NDELAY, 0);
    // n - 1 records wait; the n-th takes them all along. A thread reads: the
    // sender blocks while the queue of a non-reading receiver is full.
    auto burst = [&](size_t n, const std::function<std::string(size_t)>& text) {
        for (size_t i = 0; i + 1 < n; ++i)
            log->syslog(LOG_NOTICE, "%s", text(i).c_str());
        EXPECT_FALSE(daemon.pending());
        std::vector<std::string> got;
        std::thread reader([&] {
            for (std::string r; got.size() < n && !(r = daemon.record(5000)).empty();)
                got.push_back(r);
        });
        log->syslog(LOG_NOTICE, "%s", text(n - 1).c_str());
        reader.join();
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
}

TEST_F(SysLogTest, ReceiverThatComesBackGetsTheRecordOnce)
{
    auto daemon = std::make_unique<LogReceiver>(dir.path());
    log->openlog("r", LOG_NDELAY, 0);
    ManagedSysLogStreamBuf buf(LOG_DAEMON, LOG_NOTICE, *log);
    std::ostream out(&buf);
    out << "one" << std::endl;
    EXPECT_EQ(record(29, "r: one"), daemon->record());

    // A restarted daemon: the old socket is gone, a new one has the name.
    daemon.reset();
    daemon = std::make_unique<LogReceiver>(dir.path());
    out << "two\nthree" << std::endl;
    EXPECT_EQ(record(29, "r: two"), daemon->record());
    EXPECT_EQ(record(29, "r: three"), daemon->record());
    EXPECT_TRUE(daemon->drain().empty());
    EXPECT_TRUE(log->connected());

    // No daemon at all: the lines are dropped and the socket closed; the
    // first line after the daemon is back gets through.
    daemon->vanish();
    out << "lost" << std::endl;
    EXPECT_FALSE(log->connected());
    out << "lost too" << std::endl;
    daemon.reset();
    daemon = std::make_unique<LogReceiver>(dir.path());
    out << "four" << std::endl;
    EXPECT_EQ(record(29, "r: four"), daemon->record());
    EXPECT_TRUE(daemon->drain().empty());
}

TEST_F(SysLogTest, StreamSocketWhenDatagramsAreRefused)
{
    LogReceiver daemon(dir.path(), SOCK_STREAM);
    ASSERT_TRUE(daemon.bound());
    log->openlog("s", LOG_NDELAY, 0);
    ASSERT_TRUE(log->connected());
    EXPECT_EQ(SOCK_STREAM, log->type());
    EXPECT_TRUE(fcntl(log->fd(), F_GETFD) & FD_CLOEXEC);
    Fd peer(accept(daemon.fd(), nullptr, nullptr));
    ASSERT_TRUE(peer);

    ManagedSysLogStreamBuf buf(LOG_DAEMON, LOG_ERR, *log);
    std::ostream err(&buf);
    err << "a\nb" << std::endl;
    std::string expected = record(27, "s: a") + record(27, "s: b"), got;
    char chunk[256];
    pollfd p = {peer.get(), POLLIN, 0};
    for (ssize_t n; got.size() < expected.size() && poll(&p, 1, 2000) > 0 && (n = read(peer.get(), chunk, 256)) > 0;)
        got.append(chunk, static_cast<size_t>(n));
    EXPECT_EQ(expected, got);

    log->closelog();
    EXPECT_EQ(SOCK_DGRAM, log->type());
}

} // namespace
