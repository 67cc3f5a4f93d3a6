// The voxbridge program from the outside: its command line, banner and pid
// file, and what its signals do.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/stat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/e2e/board_port.h"
#include "tests/e2e/flow_commands.h"
#include "tests/e2e/server_process.h"
#include "tests/support/lgcp_frames.h"

using vbtest::Controller;
using vbtest::ServerProcess;

namespace {

const std::string usage = "Usage:\n"
                          " voxbridge -Dh\n"
                          "  -D --daemon                      run as daemon\n"
                          "  -p --port N                      use this port\n"
                          "     --disable-clock               disable clock control\n"
                          "     --version                     print version\n"
                          "  -h --help                        display this information\n"
                          "\n";

bool exists(const std::string& path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

// The tag in "Starting server [T250516-1551], port=..." or "server version: T250516-1551".
std::string tag_after(const std::string& text, const std::string& lead)
{
    size_t at = text.find(lead);
    return at == std::string::npos ? "" : text.substr(at + lead.size(), 12);
}

// Sends SIGUSR2 and SIGHUP by turns to the process while it lives.
class SignalStorm {
public:
    explicit SignalStorm(pid_t pid)
        : mThread([this, pid] {
              for (unsigned n = 0; !mStop; ++n) {
                  ::kill(pid, n % 2 ? SIGHUP : SIGUSR2);
                  std::this_thread::sleep_for(std::chrono::microseconds(200));
              }
          })
    {
    }
    ~SignalStorm()
    {
        mStop = true;
        mThread.join();
    }

private:
    std::atomic<bool> mStop{false};
    std::thread mThread;
};

sockaddr_un unix_address(const std::string& path)
{
    sockaddr_un a = {};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof(a.sun_path) - 1);
    return a;
}

// A stand-in for the system log daemon: a datagram socket that the test
// reads only when it likes.
class LogDaemon {
public:
    explicit LogDaemon(const std::string& path) : mSock(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un a = unix_address(path);
        bound = ::bind(mSock.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        mFiller.reset(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
        mFillerOk = ::connect(mFiller.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
    }
    // Fills its queue, as a daemon stopped for a while leaves it.
    bool stall()
    {
        while (mFillerOk && ::send(mFiller.get(), "x", 1, MSG_DONTWAIT) == 1) {
        }
        return mFillerOk && errno == EAGAIN;
    }
    // Every record waiting, the records that arrive within ms after them
    // included.
    std::vector<std::string> read(int ms = 500)
    {
        std::vector<std::string> got;
        char buf[2048];
        pollfd p = {mSock.get(), POLLIN, 0};
        while (::poll(&p, 1, ms) > 0) {
            ssize_t n = ::recv(mSock.get(), buf, sizeof(buf), MSG_DONTWAIT);
            if (n > 0)
                got.emplace_back(buf, static_cast<size_t>(n));
        }
        return got;
    }
    bool bound = false;

private:
    Fd mSock;
    Fd mFiller;
    bool mFillerOk = false;
};

// A stand-in for a system log daemon of the stream kind: it takes the
// server's connection and reads it only when asked.
class StreamLogDaemon {
public:
    explicit StreamLogDaemon(const std::string& path) : mSock(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un a = unix_address(path);
        bound = ::bind(mSock.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 && ::listen(mSock.get(), 4) == 0;
    }
    bool accept_peer()
    {
        pollfd p = {mSock.get(), POLLIN, 0};
        if (::poll(&p, 1, 5000) == 1)
            mPeer.reset(::accept4(mSock.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return static_cast<bool>(mPeer);
    }
    // Bytes that wait unread.
    int queued() const
    {
        int n = 0;
        return ::ioctl(mPeer.get(), FIONREAD, &n) == 0 ? n : -1;
    }
    // The records that arrived, the ones that come within ms after them
    // included, each without its NUL.
    std::vector<std::string> records(int ms = 500)
    {
        char chunk[4096];
        pollfd p = {mPeer.get(), POLLIN, 0};
        for (ssize_t n = 1; n > 0 && ::poll(&p, 1, ms) > 0;)
            if ((n = ::recv(mPeer.get(), chunk, sizeof(chunk), MSG_DONTWAIT)) > 0)
                mBytes.append(chunk, static_cast<size_t>(n));
        std::vector<std::string> out;
        size_t at = 0;
        for (size_t nul; (nul = mBytes.find('\0', at)) != std::string::npos; at = nul + 1)
            out.push_back(mBytes.substr(at, nul - at));
        mBytes.erase(0, at);
        return out;
    }
    bool bound = false;

private:
    Fd mSock;
    Fd mPeer;
    std::string mBytes;
};

// A server with the stand-in as its T.38 engine behaving as how says, in
// daemon mode when asked; whether it runs.
bool start_with_engine(ServerProcess& server, const char* how, bool daemon = false)
{
    ::mkdir(server.path("/usr/local/sbin").c_str(), 0755);
    if (::symlink(VB_STANDIN, server.path("/usr/local/sbin/t38").c_str()) != 0)
        return false;
    ::setenv("VB_STANDIN_T38", how, 1);
    bool started = daemon ? server.start_daemon() : server.start();
    ::unsetenv("VB_STANDIN_T38");
    return started;
}

// The same as a daemon logging to log at socket; whether the log took it.
bool start_with_engine(ServerProcess& server, StreamLogDaemon& log, const std::string& socket, const char* how)
{
    server.set_log_socket(socket);
    return log.bound && start_with_engine(server, how, true) && log.accept_peer();
}

long ms_since(std::chrono::steady_clock::time_point begin)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin).count());
}

// Creates T.38 slots 1 to n.
void create_engines(Controller& controller, int n)
{
    for (int slot = 1; slot <= n; ++slot)
        EXPECT_THAT(controller.exchange(vbtest::to_slot(vbtest::create_t38(), slot)),
                    testing::Contains("slot=" + std::to_string(slot) + " success"));
}

// The milliseconds each of 15 pings took to be answered, in order of size.
std::vector<long> ping_times(Controller& controller)
{
    std::vector<long> took;
    for (int i = 0; i < 15; ++i) {
        auto begin = std::chrono::steady_clock::now();
        EXPECT_EQ(controller.sync(), vbtest::Texts{});
        took.push_back(ms_since(begin));
    }
    std::sort(took.begin(), took.end());
    return took;
}

} // namespace

TEST(Options, EachEndsAsTheUsageSays)
{
    const struct {
        std::vector<std::string> args;
        int status;
        std::string out; // "usage" for the usage text
        std::string err;
    } cases[] = {
        {{"--help"}, 0, "usage", ""},
        {{"-h"}, 0, "usage", ""},
        {{"--version"}, 2, "server version: T", ""},
        // -p takes its port as --port does.
        {{"-p", "0"}, 2, "usage", "invalid port '0'"},
        {{"--bogus"}, 2, "usage", "unrecognized option '--bogus'"},
        {{"--port"}, 2, "usage", "requires an argument"},
        // strtol would read these as 0, wrap them or stop early.
        {{"--port", "abc"}, 2, "usage", "invalid port 'abc'"},
        {{"--port", "0"}, 2, "usage", "invalid port '0'"},
        {{"--port", "70000"}, 2, "usage", "invalid port '70000'"},
        {{"--port=-5"}, 2, "usage", "invalid port '-5'"},
        {{"--port=2000x"}, 2, "usage", "invalid port '2000x'"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + (c.args.size() > 1 ? " " + c.args[1] : ""));
        ServerProcess server;
        EXPECT_EQ(server.run(c.args), c.status);
        if (c.out == "usage")
            EXPECT_EQ(server.out(), usage);
        else
            EXPECT_EQ(server.out().rfind(c.out, 0), 0u) << server.out();
        EXPECT_NE(server.err().find(c.err), std::string::npos) << server.err();
        EXPECT_FALSE(exists(server.path("/var/run/server.pid")));
    }
}

TEST(Process, BannerAndPidFileWhileItRunsNothingLeftAfterSigterm)
{
    const struct {
        int sig;
        const char* portOption;
    } cases[] = {{SIGTERM, "--port"}, {SIGINT, "--port="}, {SIGTERM, "-p"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.portOption);
        ServerProcess server;
        ASSERT_TRUE(server.start({}, c.portOption)) << server.err();
        std::string banner = "Starting server [" + tag_after(server.out(), "Starting server [") +
                             "], port=" + std::to_string(server.port()) + "\n";
        EXPECT_EQ(server.out().rfind(banner, 0), 0u) << server.out();
        EXPECT_EQ(vbtest::read_file(server.path("/var/run/server.pid")), std::to_string(server.pid()));

        // It goes down with a controller and a slot still there.
        Controller controller(server.port());
        LGCP::Command create;
        create.get_create().get_ext().set_transmitter(1);
        create.get_create().get_ext().set_receiver(2);
        EXPECT_EQ(controller.exchange(vbtest::lgcp(create, 1, 4)).at(0), "seq=1 slot=4 success");
        server.signal(c.sig);
        EXPECT_EQ(server.wait(), 0) << server.err();
        EXPECT_TRUE(controller.closed());
        EXPECT_FALSE(exists(server.path("/var/run/server.pid")));
    }
}

TEST(Process, AConfigurationFileIsReadWholeOrReportedAndTheServerGoesOn)
{
    const std::string conf = "/usr/local/etc/server.conf";
    const std::string defaults = conf + ": can't read: ";
    // The switch is the last line, its section's header the first, so a
    // reader that keeps only some of the file misses it.
    const std::string longFile =
        "[traces]\n" + std::string(5000, '#') + "\n" + "monitoring.internal = yes\n";
    const struct {
        const char* what;
        std::function<int(const std::string&)> make;
        std::string line;
    } cases[] = {
        {"directory", [](const std::string& p) { return ::mkdir(p.c_str(), 0700); },
         defaults + "Is a directory, defaults used\n"},
        // Would wait for a writer, before the signal handlers are there.
        {"fifo", [](const std::string& p) { return ::mkfifo(p.c_str(), 0600); },
         defaults + "not a regular file, defaults used\n"},
        // Would never end.
        {"endless", [](const std::string& p) { return ::symlink("/dev/zero", p.c_str()); },
         defaults + "not a regular file, defaults used\n"},
        // Read to its end: the switch shows by its trace line.
        {"long", [&](const std::string& p) { return std::ofstream(p) << longFile ? 0 : -1; },
         "New power status - main\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ServerProcess server;
        ASSERT_EQ(::rmdir(server.path("/var/log").c_str()), 0);
        ASSERT_EQ(c.make(server.path(conf)), 0);
        ASSERT_TRUE(server.start()) << server.err();
        EXPECT_TRUE(vbtest::eventually([&] { return server.err().find(c.line) != std::string::npos; }, 10000))
            << server.err();
        server.signal(SIGUSR2);
        EXPECT_TRUE(
            vbtest::eventually([&] { return server.err().find("dump status error\n") != std::string::npos; }));
        Controller controller(server.port());
        EXPECT_EQ(controller.sync(), vbtest::Texts{});
    }
}

TEST(Process, SighupReportsTheResourcesToTheController)
{
    ServerProcess server;
    ASSERT_TRUE(server.start());
    Controller controller(server.port());
    EXPECT_EQ(controller.sync(), vbtest::Texts{});
    server.signal(SIGHUP);
    std::string signal = controller.next();
    EXPECT_EQ(signal.rfind("query ", 0), 0u) << signal;
    EXPECT_NE(signal.find("mux TRUE"), std::string::npos) << signal;
    EXPECT_NE(server.err().find("update hardware resources\n"), std::string::npos);
}

TEST(Process, DisableClockLeavesTheClockToTheBoard)
{
    LGCP::Command clock;
    clock.get_clockCfg().set_clkSel0(LGCP::ClkSel0::internal);
    clock.get_clockCfg().set_bextEn(LGCP::BExtEn::disabled);
    clock.get_clockCfg().set_source(0);
    for (bool disabled : {false, true}) {
        ServerProcess server;
        ASSERT_TRUE(server.start(disabled ? std::vector<std::string>{"--disable-clock"} : std::vector<std::string>{}));
        Controller controller(server.port());
        EXPECT_EQ(controller.exchange(vbtest::lgcp(clock, 1)),
                  vbtest::Texts{disabled ? "seq=1 error unsupported" : "seq=1 success"});
    }
}

// Every resource query reaches the board's devices; signals meanwhile
// interrupt the board's bookkeeping.
TEST(Process, SignalsDuringABurstOfQueriesHarmNothing)
{
    ServerProcess server;
    ASSERT_TRUE(server.start());
    Controller controller(server.port());
    const std::string query = vbtest::lgcp(vbtest::command(false));
    unsigned answered = 0;
    {
        SignalStorm storm(server.pid());
        // At least 700 ms and three bursts, however slowly a loaded machine answers.
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(700);
        while (answered < 96 || std::chrono::steady_clock::now() < end) {
            for (int i = 0; i < 32; ++i)
                controller.send(query);
            unsigned got = 0;
            for (std::string m; got < 32; ++got)
                while ((m = controller.next()) != "success")
                    if (m.empty() || m == "closed")
                        FAIL() << m << " after " << answered + got << " answers\n" << server.err();
            answered += got;
        }
    }
    // What the last signals reported may still be on its way.
    for (const std::string& m : controller.sync())
        EXPECT_EQ(m.rfind("query ", 0), 0u) << m;
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0) << server.err();
}

// A reader of the status file never finds it empty or cut short, however
// often it is rewritten.
TEST(Process, TheStatusFileIsAlwaysWhole)
{
    ServerProcess server;
    ASSERT_TRUE(server.start());
    std::string status = server.path("/var/log/server-status");
    server.signal(SIGUSR2);
    // The dump ends with the closing rule of its table.
    auto whole = [](const std::string& d) {
        return d.rfind("voxbridge status\n", 0) == 0 && d.size() > 3 && d.compare(d.size() - 3, 3, "+\n\n") == 0;
    };
    ASSERT_TRUE(vbtest::eventually([&] { return whole(vbtest::read_file(status)); }));
    std::string dump = vbtest::read_file(status);
    EXPECT_EQ(tag_after(dump, "version : "), tag_after(server.out(), "Starting server ["));
    EXPECT_NE(dump.find("dpc transition measurement (min/max/cur/counter): "), std::string::npos) << dump;
    EXPECT_NE(dump.find("AcceptorNet::OnSocketEvent"), std::string::npos) << dump;
    unsigned reads = 0, torn = 0;
    std::string example;
    {
        SignalStorm storm(server.pid());
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
        for (; std::chrono::steady_clock::now() < end; ++reads) {
            std::string d = vbtest::read_file(status);
            if (!whole(d))
                ++torn, example = d;
        }
    }
    EXPECT_EQ(torn, 0u) << "of " << reads << " reads, e.g.:\n" << example;
    EXPECT_TRUE(vbtest::eventually([&] { return !exists(status + ".tmp"); })) << "nothing is left beside it";
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0);
}

namespace {

// An operator lowers the soft descriptor limit of the running server below
// what its loop watches: the server raises it back to that with one line,
// and goes on serving its controller.
TEST(Process, ADescriptorLimitLoweredBelowWhatTheLoopWatchesIsRaisedBack)
{
    ServerProcess server;
    ASSERT_TRUE(server.start());
    Controller controller(server.port());
    const LGCP::Command mcc = vbtest::create_mcc(LGCP::MccType::data);
    auto create = [&](int slot) { return controller.exchange(vbtest::to_slot(mcc, slot)); };
    for (int slot = 1; slot <= 20; ++slot)
        ASSERT_EQ(create(slot), vbtest::Texts{"slot=" + std::to_string(slot) + " success"});
    rlimit old{}, now{};
    ASSERT_EQ(::prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &old), 0);
    for (rlim_t soft : {57, 19}) {
        rlimit low = old;
        low.rlim_cur = soft;
        ASSERT_EQ(::prlimit(server.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
        const std::string line = "above the limit of " + std::to_string(soft) + ": limit raised to ";
        ASSERT_TRUE(vbtest::eventually([&] { return server.err().find(line) != std::string::npos; }, 3000))
            << server.err();
        EXPECT_EQ(controller.sync(), vbtest::Texts{});
        ASSERT_EQ(::prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &now), 0);
        EXPECT_GT(now.rlim_cur, soft);
    }
    EXPECT_EQ(vbtest::count_of(server.err(), "limit raised to"), 2u);
    // Descriptors back, the server makes slots again.
    ASSERT_EQ(::prlimit(server.pid(), RLIMIT_NOFILE, &old, nullptr), 0);
    EXPECT_EQ(create(21), vbtest::Texts{"slot=21 success"});
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(), 0) << server.err();
}

} // namespace

// A system log whose daemon does not read, from the start: the daemon
// server binds its port all the same, answers every ping beside a flood of
// malformed frames (two log lines each), and ends at once on SIGTERM. Once
// the log reads again, one record tells how many went missing.
TEST(Process, ASystemLogThatStopsReadingCostsLinesNeverAnswers)
{
    vbtest::TempDir dir;
    LogDaemon log(dir.file("log"));
    ASSERT_TRUE(log.bound);
    ASSERT_TRUE(log.stall());
    ServerProcess server;
    server.set_log_socket(dir.file("log"));
    ASSERT_TRUE(server.start_daemon());
    Controller controller(server.port());
    const std::string malformed("\xff\xff\xff\xff", 4);
    auto flood = [&](int frames) {
        for (int i = 1; i <= frames; ++i) {
            controller.send(malformed);
            std::this_thread::sleep_for(std::chrono::microseconds(2500));
            if (i % 20 == 0) {
                vbtest::Texts before = controller.sync();
                if (!before.empty() && before.back() == "no answer to the ping")
                    return i;
            }
        }
        return 0;
    };
    ASSERT_EQ(flood(400), 0) << "a ping went unanswered";

    // The log reads again: the losses are told ahead of the next lines.
    std::vector<std::string> got = log.read(100);
    controller.exchange(malformed);
    std::vector<std::string> more = log.read();
    got.insert(got.end(), more.begin(), more.end());
    std::string records;
    for (const std::string& r : got)
        records += r.substr(0, r.find('\0')) + "\n";
    size_t report = records.find(" log records dropped: the system log did not take them\n");
    EXPECT_NE(report, std::string::npos) << records;
    EXPECT_NE(records.find("receive fail: decode error!", report), std::string::npos) << records;

    // Stalled again under the flood, SIGTERM ends it all the same.
    ASSERT_TRUE(log.stall());
    ASSERT_EQ(flood(100), 0);
    for (int i = 0; i < 100; ++i)
        controller.send(malformed);
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(5000), 0);
    EXPECT_FALSE(exists(server.path("/var/run/server.pid")));
}

// A helper that writes to its standard error before it answers (the T.38
// engine counting its instances at each query: a line with a NUL, then
// more than its pipe holds), under a stream log daemon. One that reads gets
// the helper's line as a record of its own, named after it, its NUL shown,
// and every record starts with its priority. One that stalls holds neither
// the helper nor the loop: pings stay prompt, and SIGTERM ends the server
// at once behind a pipeline of queries.
TEST(Process, AHelpersLinesAreRecordsOfTheLogThatNeverHoldItUp)
{
    vbtest::TempDir dir;
    StreamLogDaemon log(dir.file("log"));
    ServerProcess server;
    ASSERT_TRUE(start_with_engine(server, log, dir.file("log"), "say=T38CHILD std\\0err line,noise=70000,instances=3"));
    Controller controller(server.port());
    const std::string query = vbtest::lgcp(vbtest::command(false));
    auto counted = [](const vbtest::Texts& got) {
        return std::any_of(got.begin(), got.end(),
                           [](const std::string& m) { return m.find("t38-instances 3") != std::string::npos; });
    };
    std::vector<std::string> records;
    for (int i = 0; i < 3; ++i) {
        auto begin = std::chrono::steady_clock::now();
        EXPECT_TRUE(counted(controller.exchange(query)));
        EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(700));
        // Taken as they come: the log's socket holds less than three counts' noise.
        for (std::string& r : log.records())
            records.push_back(std::move(r));
    }
    const std::regex helper(
        "<29>[A-Z][a-z]{2} [ 0-9][0-9] [0-9:]{8} vxb-[^:]*: t38\\[[0-9]+\\]: T38CHILD std\\\\0err line");
    const std::regex priority("^<[0-9]+>");
    unsigned lines = 0, noise = 0;
    for (const std::string& r : records) {
        EXPECT_TRUE(std::regex_search(r, priority)) << r;
        noise += r.find(std::string(63, 'n')) != std::string::npos;
        if (r.find("T38CHILD") != std::string::npos) {
            ++lines;
            EXPECT_TRUE(std::regex_match(r, helper)) << r;
        }
    }
    EXPECT_EQ(lines, 3u);
    EXPECT_EQ(noise, 3 * 1093u);

    // The daemon stalls: malformed frames (two lines each) fill its socket
    // until the bytes waiting there stop growing.
    const std::string malformed("\xff\xff\xff\xff", 4);
    int last = -1, still = 0;
    for (int round = 0; round < 200 && still < 3; ++round) {
        for (int i = 0; i < 50; ++i)
            controller.send(malformed);
        controller.sync();
        int now = log.queued();
        still = now == last ? still + 1 : 0;
        last = now;
    }
    ASSERT_EQ(still, 3) << "the log's socket did not fill";
    for (int i = 0; i < 5; ++i) {
        auto begin = std::chrono::steady_clock::now();
        EXPECT_TRUE(counted(controller.exchange(query)));
        auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - begin);
        EXPECT_LT(took.count(), 300);
    }
    for (int i = 0; i < 20; ++i)
        controller.send(query);
    controller.sync();
    for (int i = 0; i < 20; ++i)
        controller.send(query);
    auto begin = std::chrono::steady_clock::now();
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(5000), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(2000));
}

// Sixteen T.38 engines that write empty lines as fast as they can, in
// daemon mode under a stream log daemon that does not read: the helpers
// wait on their pipes, the controller's pings do not.
TEST(Process, FloodingHelpersHoldTheirPipesNotTheLoop)
{
    vbtest::TempDir dir;
    StreamLogDaemon log(dir.file("log"));
    ServerProcess server;
    ASSERT_TRUE(start_with_engine(server, log, dir.file("log"), "flood=1,instances=16"));
    Controller controller(server.port());
    create_engines(controller, 16);
    std::vector<long> took = ping_times(controller);
    // A loaded machine may delay a few; the loop itself holds none.
    EXPECT_LT(took[took.size() / 2], 150) << "median";
    EXPECT_LT(took[took.size() - 3], 300);
    server.signal(SIGTERM);
    EXPECT_EQ(server.wait(5000), 0);
}

// A T.38 engine with the server in the foreground and its standard output
// a pipe read at 20 KB/s (a serial console's rate). One that writes empty
// lines as fast as it can costs the console lines, never a ping's answer;
// the console is told how many it lost, and a reader that catches up gets
// whole lines. A quiet one's line reaches the console with nothing lost.
TEST(Process, ASlowConsoleCostsLinesNeverAnswers)
{
    for (bool floods : {true, false}) {
        SCOPED_TRACE(floods ? "flooding" : "quiet");
        ServerProcess server;
        Fd console = server.pipe_output();
        ASSERT_TRUE(console);
        ASSERT_TRUE(start_with_engine(server, floods ? "flood=1" : "say=quiet")) << server.err();
        std::string got;
        std::atomic<bool> fast(false), stop(false);
        std::thread reader([&] {
            char buf[4096];
            while (!stop) {
                pollfd p = {console.get(), POLLIN, 0};
                if (::poll(&p, 1, 100) <= 0)
                    continue;
                ssize_t n = ::read(console.get(), buf, fast ? sizeof(buf) : 1000);
                if (n > 0)
                    got.append(buf, size_t(n));
                if (!fast)
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        });
        Controller controller(server.port());
        create_engines(controller, 1);
        // Long enough for the pipe to fill and the console to fall behind.
        std::this_thread::sleep_for(std::chrono::milliseconds(2000));
        std::vector<long> took = ping_times(controller);
        EXPECT_LT(took[took.size() / 2], 150) << "median";
        EXPECT_LT(took[took.size() - 3], 300);
        EXPECT_LT(took.back(), 1000);
        fast = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        server.signal(SIGTERM);
        EXPECT_EQ(server.wait(5000), 0);
        stop = true;
        reader.join();

        // Up to the last line the reader saw end.
        got.erase(got.rfind('\n') + 1);
        std::istringstream lines(got);
        size_t engine = 0, counts = 0;
        const std::string lost = " log lines dropped: the console did not take them";
        for (std::string line; std::getline(lines, line);) {
            if (line.find("t38[") != std::string::npos) {
                ++engine;
                // "t38[<pid>]: " and its text: no line cut into another.
                const std::string text = floods ? "]: " : "]: quiet";
                ASSERT_EQ(line.compare(0, 4, "t38["), 0) << "cut: " << line;
                ASSERT_EQ(line.find_first_not_of("0123456789", 4), line.size() - text.size()) << "cut: " << line;
                ASSERT_EQ(line.compare(line.size() - text.size(), text.size(), text), 0) << "cut: " << line;
            } else if (line.size() > lost.size() && line.compare(line.size() - lost.size(), lost.size(), lost) == 0) {
                ++counts;
                EXPECT_EQ(line.find_first_not_of("0123456789"), line.size() - lost.size()) << line;
            }
        }
        if (floods) {
            EXPECT_GE(counts, 1u);
            EXPECT_GT(engine, 1000u) << "the fast reader's share";
        } else {
            EXPECT_EQ(counts, 0u);
            EXPECT_EQ(engine, 1u);
            EXPECT_EQ(got.rfind("Starting server [", 0), 0u) << "first, whole";
        }
    }
}


namespace {

// The pid of an engine that noted its start in dir, -1 while none did.
pid_t engine_run(const std::string& dir)
{
    pid_t engine = -1;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d))
            if (std::strstr(e->d_name, ".run"))
                engine = std::atoi(e->d_name);
        ::closedir(d);
    }
    return engine;
}

// T.38 engines that give no count: silent, flooding their standard error,
// ignoring SIGTERM, or cut short with no newline; in daemon mode, under a
// log read only at the end. While a SIGHUP's count waits for one, the
// controller's pings and the test port are answered at once; a query then
// waits for that count (1 s at most), its answer and report come before
// the ping sent after it, and the count is 0, logged as such. SIGTERM during a count ends
// the server at once, the engine with it.
TEST(Process, AnEngineThatDoesNotCountHoldsOnlyTheQuery)
{
    for (const char* how : {"instances=hang", "noise=forever", "term=ignore,instances=hang",
                            "partial=12,instances=hang"}) {
        SCOPED_TRACE(how);
        vbtest::TempDir dir;
        StreamLogDaemon log(dir.file("log"));
        ::setenv("VB_STANDIN_DIR", dir.path().c_str(), 1);
        ServerProcess server;
        bool started = start_with_engine(server, log, dir.file("log"), how);
        ::unsetenv("VB_STANDIN_DIR");
        ASSERT_TRUE(started);
        Controller controller(server.port());
        vbtest::BoardPort board(server.pid());
        server.signal(SIGHUP);
        ASSERT_TRUE(vbtest::eventually([&] { return engine_run(dir.path()) > 0; }));
        for (int i = 0; i < 3; ++i) {
            auto begin = std::chrono::steady_clock::now();
            EXPECT_EQ(controller.sync(), vbtest::Texts{});
            EXPECT_EQ(board.ask("passes").rfind("ok ", 0), 0u);
            EXPECT_LT(ms_since(begin), 300);
        }
        auto begin = std::chrono::steady_clock::now();
        vbtest::Texts got = controller.exchange(vbtest::lgcp(vbtest::command(false), 7));
        EXPECT_LT(ms_since(begin), 1300);
        ASSERT_EQ(got.size(), 3u) << testing::PrintToString(got);
        EXPECT_EQ(got[0].rfind("query ", 0), 0u) << got[0];
        EXPECT_EQ(got[1], "seq=7 success");
        EXPECT_NE(got[2].find("t38-instances 0,"), std::string::npos) << got[2];
        // A flooding engine's lines leave no room in the log for the server's.
        if (std::strcmp(how, "noise=forever") != 0) {
            std::vector<std::string> records = log.records();
            EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const std::string& r) {
                return r.find("t38soft: t38: can't detect T38 resources") != std::string::npos;
            }));
        }

        // The query's count waits; SIGTERM does not.
        ::unlink((dir.path() + "/" + std::to_string(engine_run(dir.path())) + ".run").c_str());
        controller.send(vbtest::lgcp(vbtest::command(false)));
        ASSERT_TRUE(vbtest::eventually([&] { return engine_run(dir.path()) > 0; }));
        pid_t engine = engine_run(dir.path());
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        begin = std::chrono::steady_clock::now();
        server.signal(SIGTERM);
        EXPECT_EQ(server.wait(3000), 0);
        EXPECT_LT(ms_since(begin), 500) << "the count runs 700 ms more";
        EXPECT_TRUE(vbtest::eventually([&] { return ::kill(engine, 0) != 0 && errno == ESRCH; }, 2000));
    }
}

} // namespace
