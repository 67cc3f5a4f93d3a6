// Hourly log files, and daemon mode sending the streams to the system log
// or to those files.
#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <functional>
#include <iostream>
#include <ostream>

#include "runtime/daemon.h"
#include "runtime/log_streams.h"
#include "runtime/mux_time.h"
#include "runtime/paths.h"
#include "tests/runtime/log_receiver.h"
#include "tests/support/test_support.h"

namespace {

class LogFileTest : public ::testing::Test {
protected:
    LogFileTest() { mkdir(dir.file("logs").c_str(), 0700); }

    std::tm now(Mux::timeval& tv) const
    {
        Mux::gettimeval(tv);
        time_t t = tv.sec;
        std::tm local;
        localtime_r(&t, &local);
        return local;
    }
    std::string hour_file() const
    {
        Mux::timeval tv;
        std::tm local = now(tv);
        char name[64];
        strftime(name, sizeof(name), "%Y_%m_%d-%H.log", &local);
        return dir.file("logs/") + name;
    }
    std::string prefix() const
    {
        Mux::timeval tv;
        std::tm local = now(tv);
        char text[48];
        snprintf(text, sizeof(text), "%02d:%02d:%05ld: ", local.tm_min, local.tm_sec, static_cast<long>(tv.usec));
        return text;
    }
    void to_next_hour()
    {
        Mux::timeval tv;
        std::tm local = now(tv);
        clock.advance_us(static_cast<uint64_t>(3600 - local.tm_min * 60 - local.tm_sec) * 1000000 - tv.usec + 42);
    }

    vbtest::TempDir dir;
    Paths::ScopedRoot root{dir.path()};
    Mux::VirtualClock clock{1000, 1747403471};
    Mux::ScopedClock scoped{clock};
};

TEST_F(LogFileTest, LinesGetOnePrefixAndReachTheFileAtOnce)
{
    clock.advance_us(1234);
    LogFileStreamBuf buf("/logs");
    std::ostream out(&buf);
    const std::string file = hour_file();

    std::string p1 = prefix();
    out << "hello" << std::endl;
    std::string expected = p1 + "hello\n";
    EXPECT_EQ(expected, vbtest::read_file(file));

    // A line written in two flushes, and one longer than the put area.
    out << "part1 " << std::flush;
    clock.advance_us(500);
    out << "part2" << std::endl;
    std::string p2 = prefix();
    out << std::string(40, 'L') << '\n' << "a\nb" << std::endl;
    expected += p1 + "part1 part2\n" + p2 + std::string(40, 'L') + "\n" + p2 + "a\n" + p2 + "b\n";
    EXPECT_EQ(expected, vbtest::read_file(file));

    LogFileStreamBuf lost("/missing"); // cannot open: the text is lost quietly
    std::ostream nowhere(&lost);
    EXPECT_TRUE((nowhere << "nowhere" << std::endl).good());
}

TEST_F(LogFileTest, NewHourNewFileAndRestartAppends)
{
    const std::string first = hour_file();
    std::ofstream(first) << "before the restart\n";

    LogFileStreamBuf buf("/logs");
    std::ostream out(&buf);
    std::string p = prefix();
    out << "same hour" << std::endl;
    EXPECT_EQ("before the restart\n" + p + "same hour\n", vbtest::read_file(first));

    // A line still open when the hour turns stays in the old file; the
    // next line opens the new hour's file.
    out << "open " << std::flush;
    to_next_hour();
    const std::string second = hour_file();
    ASSERT_NE(first, second);
    std::string p2 = prefix();
    out << "end\nnew hour" << std::endl;
    EXPECT_EQ("before the restart\n" + p + "same hour\n" + p + "open end\n", vbtest::read_file(first));
    EXPECT_EQ(p2 + "new hour\n", vbtest::read_file(second));
}

// Runs `body` in a forked child that then goes into daemon mode, so the
// daemon's own fork and the redirected streams never touch this process.
// Returns once the detached grandchild has ended (its end of the pipe
// closes), or after a few seconds.
bool run_daemonised(const Daemon::Params& params, const std::function<void()>& body)
{
    int done[2];
    if (pipe(done) != 0)
        return false;
    pid_t child = fork();
    if (child == 0) {
        close(done[0]);
        Daemon::Init(params);
        body();
        _exit(0);
    }
    close(done[1]);
    int status = -1;
    waitpid(child, &status, 0);
    pollfd p = {done[0], POLLIN, 0};
    char c;
    bool ended = poll(&p, 1, 5000) > 0 && read(done[0], &c, 1) == 0;
    close(done[0]);
    return child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ended;
}

TEST(DaemonTest, StreamsGoToTheSystemLog)
{
    vbtest::TempDir dir;
    Paths::ScopedRoot root(dir.path());
    vbtest::LogReceiver daemon(dir.path());
    ASSERT_TRUE(daemon.bound());

    Daemon::Params params;
    params.name = std::string(79, 'n') + "cut";

    ASSERT_TRUE(run_daemonised(params, [] {
        std::cout << "notice" << std::endl;
        std::cerr << "error " << 2 << std::endl;
        std::clog << "debug" << std::endl;
        ssize_t ignored = write(STDOUT_FILENO, "raw", 3);
        (void)ignored;
        char cwd[8] = "";
        std::cout << (getcwd(cwd, sizeof(cwd)) ? cwd : "?") << std::endl;
    }));

    std::vector<std::string> got = daemon.drain();
    ASSERT_EQ(5u, got.size());
    const std::string ident = std::string(79, 'n') + ": ";
    const char* texts[] = {"notice", "error 2", "debug"};
    const char* priorities[] = {"<29>", "<27>", "<31>"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(priorities[i], got[i].substr(0, 4));
        EXPECT_EQ(ident + texts[i], vbtest::record_body(got[i], 20)) << got[i];
    }
    EXPECT_EQ("raw", got[3]);
    EXPECT_EQ(ident + "/", vbtest::record_body(got[4], 20));
}

TEST(DaemonTest, StreamsGoToHourlyFiles)
{
    vbtest::TempDir dir;
    Paths::ScopedRoot root(dir.path());
    mkdir(dir.file("logs").c_str(), 0700);

    Daemon::Params params;
    params.mode = 1;
    params.name = "/logs";
    ASSERT_TRUE(run_daemonised(params, [] {
        std::cout << "to file" << std::endl;
        std::cerr << "also" << std::endl;
    }));

    // One file, named after the hour, holding both lines behind prefixes.
    std::vector<std::string> files;
    DIR* d = opendir(dir.file("logs").c_str());
    while (dirent* e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            files.push_back(e->d_name);
    if (d)
        closedir(d);
    ASSERT_EQ(1u, files.size());
    EXPECT_EQ(17u, files[0].size()) << files[0];
    const std::string& only = files[0];
    std::string text = vbtest::read_file(dir.file("logs/" + only));
    EXPECT_NE(std::string::npos, text.find(": to file\n")) << text;
    EXPECT_NE(std::string::npos, text.find(": also\n")) << text;
}

} // namespace
