#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <iostream>

#include "runtime/daemon.h"
#include "runtime/paths.h"
#include "tests/runtime/log_receiver.h"
#include "tests/support/test_support.h"

namespace {

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
    EXPECT_EQ(0, params.mode);
    EXPECT_FALSE(params.nochdir);
    EXPECT_EQ("unknown", params.name);
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
    DIR* d = opendir(dir.file("logs").c_str());
    ASSERT_NE(nullptr, d);
    int files = 0;
    std::string only;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        ++files;
        only = e->d_name;
    }
    closedir(d);
    ASSERT_EQ(1, files);
    EXPECT_EQ(17u, only.size()) << only;
    std::string text = vbtest::read_file(dir.file("logs/" + only));
    EXPECT_NE(std::string::npos, text.find(": to file\n")) << text;
    EXPECT_NE(std::string::npos, text.find(": also\n")) << text;
}

} // namespace
