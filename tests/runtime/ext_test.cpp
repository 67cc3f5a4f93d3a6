// Text helpers, tables and the event loop status dump.
#include <gtest/gtest.h>

#include <poll.h>

#include <sstream>
#include <string>
#include <vector>

#include "runtime/ext.h"
#include "runtime/mux_dump.h"
#include "runtime/mux_time.h"
#include "runtime/profile.h"
#include "tests/runtime/loop_support.h"

namespace {

TEST(ExtText, HexDumpsRestoreTheStream)
{
    const unsigned char bytes[] = {0x03, 0x00, 0xAF, 0x0A};
    std::ostringstream out;
    out << ext::OutBufInHex(bytes, bytes) << '[' << ext::OutBufInHex(bytes, bytes + 3) << ']'
        << ext::OutBufInHex(bytes + 3, 1) << ext::OutUnsignedInHex(0) << ' ' << ext::OutUnsignedInHex(31, 4) << ' ';
    // Decimal and blank padding come back afterwards.
    out << ext::OutUnsignedInHex(255, 8);
    out.width(4);
    out << 42;
    EXPECT_EQ(out.str(), "[03 00 AF ]0A 0x0 0x001F 0x000000FF  42");
}

TEST(ExtText, QuotedTextFromAPeerStaysOnItsLine)
{
    struct Row {
        std::string text;
        const char* logged;
    } rows[] = {
        {"10.0.0.9", "\"10.0.0.9\""},
        {"", "\"\""},
        {std::string("127.0.0.1\0evil", 14), "\"127.0.0.1\\x00evil\""},
        {"a\nfake line\r", "\"a\\x0Afake line\\x0D\""},
        {"say \"hi\" \\", "\"say \\x22hi\\x22 \\x5C\""},
        {"\x7F\xC3\xA9", "\"\\x7F\\xC3\\xA9\""},
    };
    for (const Row& r : rows) {
        std::ostringstream out;
        out << ext::quoted(r.text) << ' ' << 42;
        EXPECT_EQ(out.str(), std::string(r.logged) + " 42") << r.logged;
    }
}

TEST(ExtTable, Layouts)
{
    std::ostringstream out;
    ext::Table t(6, 4);
    ext::Table::Sentry(out, t) << ext::delimeter;
    ext::Table::Sentry(out, t) << ext::beginrow << "ab" << ext::nextrow << "xyz" << ext::nextrow;
    // A short row is completed, a long cell widens the line.
    ext::Table wide(3, 5, 2);
    ext::Table::Sentry(out, wide) << ext::beginrow << "toolong" << ext::nextrow;
    // Cells past the last column are dropped.
    ext::Table one(4);
    ext::Table::Sentry(out, one) << ext::beginrow << "abc" << ext::nextrow << "dropped" << ext::nextrow;
    ext::Table(2, 1).gap(out);
    Measure m;
    m.min = 1, m.max = 9, m.cur = 4, m.counter = 3;
    ext::Table cells(3, 30);
    ext::Table::Sentry(out, cells) << ext::beginrow << 7u << ext::nextrow << m << ext::nextrow;
    EXPECT_EQ(out.str(), "+------+----+\n"
                         "|  ab  |xyz |\n"
                         "|toolong|     |  |\n"
                         "|abc |\n"
                         "|  | |\n"
                         "| 7 | min=1 max=9 avg=4 counter=3  |\n");

    // No columns: nothing at all.
    out.str("");
    ext::Table none;
    none.delimeter(out);
    none.gap(out);
    none.row(out, "x");
    none.finalize(out);
    ext::Table::Sentry(out, none) << ext::beginrow << 5 << ext::nextrow;
    EXPECT_EQ(out.str(), "");
}

TEST(PollEventAsTextTest, NamesInBitOrder)
{
    const struct {
        short bits;
        const char* text;
    } cases[] = {
        {0, ""},
        {POLLHUP | POLLERR, "POLLERR|POLLHUP"},
        {0x7ff, "POLLIN|POLLPRI|POLLOUT|POLLERR|POLLHUP|POLLNVAL|POLLRDNORM|POLLRDBAND|POLLWRNORM|POLLWRBAND|POLLMSG"},
        {static_cast<short>(0x1800 | POLLMSG), "POLLMSG"},
    };
    for (const auto& c : cases)
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

TEST(MuxDumpTest, EmptyLoopThenOneRowPerWatchedDescriptor)
{
    Mux::VirtualClock clock;
    Mux::ScopedClock scoped{clock};
    Profile::Point point("dump point");
    std::ostringstream out;
    multiplexer.dump(out);
    std::vector<std::string> all = lines(out.str());
    ASSERT_GE(all.size(), 4u);
    for (int i = 0; i < 3; ++i)
        EXPECT_NE(all[i].find(" transition measurement (min/max/cur/counter): min="), std::string::npos) << all[i];
    EXPECT_EQ("[dump point]: min=0 max=0 avg=0 counter=0", all[3]);
    // The table: from the first rule on.
    auto table = [&] { return lines(out.str().substr(out.str().find("\n+") + 1)); };
    std::vector<std::string> rows = table();
    ASSERT_EQ(rows.size(), 5u);
    std::vector<size_t> widths;
    EXPECT_EQ((std::vector<std::string>{"name", "events", "count", "handler", "fd", "measure"}), cells(rows[1], &widths));
    EXPECT_EQ((std::vector<size_t>{40, 30, 10, 10, 5, 60}), widths);
    EXPECT_EQ((std::vector<std::string>{kRule, kRule, kRule, ""}),
              (std::vector<std::string>{rows[0], rows[2], rows[3], rows[4]}));

    vbtest::Pipe a, b;
    vbtest::FnEvent bound("control link");
    bound.watch(a.r, POLLPRI);
    Event bare;
    bare.Schedule(b.r, POLLIN);
    {
        vbtest::CaptureStream quiet(std::clog);
        vbtest::FnTimer stop; // one pass collects them into the active list
        stop.arm(5, [] { multiplexer.terminate(); });
        vbtest::run_bounded();
    }
    out.str("");
    multiplexer.dump(out);
    rows = table();
    ASSERT_EQ(rows.size(), 7u);
    const std::string zero = "min=0 max=0 avg=0 counter=0";
    EXPECT_EQ((std::vector<std::string>{"control link", "POLLPRI", "0", "attached", std::to_string(bound.ev.fd.get()), zero}),
              cells(rows[3]));
    EXPECT_EQ((std::vector<std::string>{"Unknown", "POLLIN", "0", "unattached", std::to_string(bare.fd.get()), zero}),
              cells(rows[4]));
    EXPECT_EQ(kRule, rows[5]);
    bound.ev.Release();
    bare.Release();
}

} // namespace
