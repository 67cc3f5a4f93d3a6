#include <gtest/gtest.h>

#include <poll.h>

#include <sstream>
#include <string>
#include <vector>

#include "runtime/multiplexer.h"
#include "runtime/mux_dump.h"
#include "runtime/mux_time.h"
#include "runtime/profile.h"
#include "tests/runtime/loop_support.h"
#include "tests/support/test_support.h"

namespace {

TEST(PollEventAsTextTest, NamesInBitOrder)
{
    struct Case {
        short bits;
        const char* text;
    } cases[] = {
        {0, ""},
        {POLLIN, "POLLIN"},
        {POLLIN | POLLOUT, "POLLIN|POLLOUT"},
        {POLLHUP | POLLERR, "POLLERR|POLLHUP"},
        {0x7ff, "POLLIN|POLLPRI|POLLOUT|POLLERR|POLLHUP|POLLNVAL|POLLRDNORM|POLLRDBAND|POLLWRNORM|POLLWRBAND|POLLMSG"},
        {0x800, ""},
        {static_cast<short>(0x1000 | POLLMSG), "POLLMSG"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.text, PollEventAsText(c.bits)) << c.bits;
}

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        out.push_back(l);
    return out;
}

// The trimmed cell texts of one table line, and the width of each column.
std::vector<std::string> cells(const std::string& line, std::vector<size_t>* widths = nullptr)
{
    std::vector<std::string> out;
    size_t start = 1;
    for (size_t bar = line.find('|', 1); bar != std::string::npos; bar = line.find('|', start)) {
        std::string cell = line.substr(start, bar - start);
        if (widths)
            widths->push_back(cell.size());
        size_t a = cell.find_first_not_of(' ');
        out.push_back(a == std::string::npos ? "" : cell.substr(a, cell.find_last_not_of(' ') - a + 1));
        start = bar + 1;
    }
    return out;
}

const char kRule[] = "+----------------------------------------+------------------------------+----------+----------"
                     "+-----+------------------------------------------------------------+";

class MuxDumpTest : public ::testing::Test {
protected:
    // The table part of the dump: from its first rule on.
    std::vector<std::string> table(const std::string& dump) const { return lines(dump.substr(dump.find("\n+") + 1)); }

    Mux::VirtualClock clock;
    Mux::ScopedClock scoped{clock};
};

TEST_F(MuxDumpTest, EmptyLoop)
{
    Profile::Point point("dump point");
    std::ostringstream out;
    multiplexer.dump(out);
    std::vector<std::string> all = lines(out.str());
    ASSERT_GE(all.size(), 4u);
    EXPECT_EQ(0u, all[0].find("dpc transition measurement (min/max/cur/counter): min="));
    EXPECT_EQ(0u, all[1].find("event transition measurement (min/max/cur/counter): min="));
    EXPECT_EQ(0u, all[2].find("timer transition measurement (min/max/cur/counter): min="));
    EXPECT_EQ("[dump point]: min=0 max=0 avg=0 counter=0", all[3]);

    std::vector<std::string> rows = table(out.str());
    ASSERT_EQ(5u, rows.size());
    EXPECT_EQ(kRule, rows[0]);
    std::vector<size_t> widths;
    EXPECT_EQ((std::vector<std::string>{"name", "events", "count", "handler", "fd", "measure"}),
              cells(rows[1], &widths));
    EXPECT_EQ((std::vector<size_t>{40, 30, 10, 10, 5, 60}), widths);
    EXPECT_EQ(kRule, rows[2]);
    EXPECT_EQ(kRule, rows[3]);
    EXPECT_EQ("", rows[4]);
}

TEST_F(MuxDumpTest, OneRowPerWatchedDescriptor)
{
    vbtest::Pipe a, b;
    vbtest::FnEvent bound("control link");
    bound.watch(a.r, POLLPRI);
    Event bare;
    bare.Schedule(b.r, POLLIN);

    // One pass collects them into the active list.
    vbtest::FnTimer stop;
    stop.arm(5, [] { multiplexer.terminate(); });
    {
        vbtest::CaptureStream quiet(std::clog);
        multiplexer.run(false, true);
    }

    std::ostringstream out;
    multiplexer.dump(out);
    std::vector<std::string> rows = table(out.str());
    ASSERT_EQ(7u, rows.size());
    EXPECT_EQ((std::vector<std::string>{"control link", "POLLPRI", "0", "attached", std::to_string(bound.ev.fd.get()),
                                        "min=0 max=0 avg=0 counter=0"}),
              cells(rows[3]));
    EXPECT_EQ((std::vector<std::string>{"Unknown", "POLLIN", "0", "unattached", std::to_string(bare.fd.get()),
                                        "min=0 max=0 avg=0 counter=0"}),
              cells(rows[4]));
    EXPECT_EQ(kRule, rows[5]);

    bound.ev.Release();
    bare.Release();
}

} // namespace
