// Hourly log files: prefixes, the hour change, appending after a restart.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <ostream>

#include "runtime/log_streams.h"
#include "runtime/mux_time.h"
#include "runtime/paths.h"
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

} // namespace
