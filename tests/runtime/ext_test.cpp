#include <gtest/gtest.h>

#include <sstream>

#include "runtime/ext.h"
#include "runtime/multiplexer.h"

namespace {

struct Speaker {
    void PutHeader(std::ostream& out) const { out << "E1: "; }
};

TEST(ExtText, HeaderAndQuoted)
{
    Speaker s;
    std::ostringstream out;
    out << ext::header(&s) << "up" << ' ' << ext::quoted("abc");
    EXPECT_EQ(out.str(), "E1: up \"abc\"");
}

TEST(ExtText, HexDumpsRestoreTheStream)
{
    const unsigned char bytes[] = {0x03, 0x00, 0xAF, 0x0A};
    std::ostringstream out;
    out << ext::OutBufInHex(bytes, bytes) << '[' << ext::OutBufInHex(bytes, bytes + 3) << ']';
    EXPECT_EQ(out.str(), "[03 00 AF ]");

    out.str("");
    out << ext::OutBufInHex(bytes + 3, 1) << ext::OutUnsignedInHex(0) << ' ' << ext::OutUnsignedInHex(31)
        << ' ' << ext::OutUnsignedInHex(31, 4);
    EXPECT_EQ(out.str(), "0A 0x0 0x1F 0x001F");

    // Decimal and blank padding come back afterwards.
    out.str("");
    out << ext::OutUnsignedInHex(255, 8);
    out.width(4);
    out << 42;
    EXPECT_EQ(out.str(), "0x000000FF  42");
}

std::string render(ext::Table& t, void (*body)(const ext::Table::Sentry&), std::ostringstream& out)
{
    {
        ext::Table::Sentry s(out, t);
        body(s);
    }
    return out.str();
}

TEST(ExtTable, RulesAndCentredCells)
{
    ext::Table t(6, 4);
    std::ostringstream out;
    ext::Table::Sentry(out, t) << ext::delimeter;
    ext::Table::Sentry(out, t) << ext::beginrow << "ab" << ext::nextrow << "xyz" << ext::nextrow;
    ext::Table::Sentry(out, t) << ext::delimeter;
    EXPECT_EQ(out.str(), "+------+----+\n"
                         "|  ab  |xyz |\n"
                         "+------+----+\n");
}

TEST(ExtTable, ShortRowIsCompletedAndLongCellsWidenTheLine)
{
    ext::Table t(3, 5, 2);
    std::ostringstream out;
    render(t, [](const ext::Table::Sentry& s) { s << ext::beginrow << "toolong" << ext::nextrow; }, out);
    EXPECT_EQ(out.str(), "|toolong|     |  |\n");

    out.str("");
    ext::Table one(4);
    ext::Table::Sentry(out, one) << ext::beginrow << "abc" << ext::nextrow << "dropped" << ext::nextrow;
    EXPECT_EQ(out.str(), "|abc |\n");

    out.str("");
    ext::Table g(2, 1);
    g.gap(out);
    EXPECT_EQ(out.str(), "|  | |\n");
}

TEST(ExtTable, NoColumnsWritesNothing)
{
    ext::Table t;
    std::ostringstream out;
    t.delimeter(out);
    t.gap(out);
    t.row(out, "x");
    t.finalize(out);
    ext::Table::Sentry(out, t) << ext::beginrow << 5 << ext::nextrow;
    EXPECT_EQ(out.str(), "");
}

TEST(ExtTable, NumbersAndMeasuresAsCells)
{
    Measure m;
    m.min = 1;
    m.max = 9;
    m.cur = 4;
    m.counter = 3;
    ext::Table t(3, 30);
    std::ostringstream out;
    ext::Table::Sentry(out, t) << ext::beginrow << 7u << ext::nextrow << m << ext::nextrow;
    EXPECT_EQ(out.str(), "| 7 | min=1 max=9 avg=4 counter=3  |\n");
}

TEST(ExtText, TimestampForm)
{
    std::ostringstream out;
    timestamp(out);
    ASSERT_EQ(out.str().size(), 14u);
    EXPECT_EQ(out.str()[2], '/');
    EXPECT_EQ(out.str()[5], ' ');
    EXPECT_EQ(out.str()[8], ':');
}

} // namespace
