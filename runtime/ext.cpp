#include "runtime/ext.h"

#include <time.h>

#include "runtime/multiplexer.h"

namespace ext {

namespace {
// Hex output with zero fill; the caller's flags come back afterwards and
// the fill is left a blank.
class HexFormat {
public:
    explicit HexFormat(std::ostream& out) : mOut(out), mFlags(out.flags())
    {
        out.flags(std::ios::hex | std::ios::right | std::ios::uppercase);
        out.fill('0');
    }
    ~HexFormat()
    {
        mOut.flags(mFlags);
        mOut.fill(' ');
    }

private:
    std::ostream& mOut;
    std::ios::fmtflags mFlags;
};
} // namespace

void put_quoted(std::ostream& out, const std::string& text)
{
    out << '"';
    for (char c : text) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b >= 0x20 && b < 0x7F && c != '"' && c != '\\') {
            out << c;
            continue;
        }
        HexFormat hex(out);
        out << "\\x";
        out.width(2);
        out << static_cast<unsigned>(b);
    }
    out << '"';
}

void OutBufInHex::Put(std::ostream& out) const
{
    HexFormat hex(out);
    for (const unsigned char* p = mBegin; p < mEnd; ++p) {
        out.width(2);
        out << static_cast<unsigned>(*p) << ' ';
    }
}

void OutUnsignedInHex::Put(std::ostream& out) const
{
    HexFormat hex(out);
    out << "0x";
    if (mWidth > 0)
        out.width(mWidth);
    out << mValue;
}

void Table::row(std::ostream& out, const std::string& text)
{
    if (mColumn >= mWidths.size())
        return;
    mInRow = true;
    size_t w = static_cast<size_t>(mWidths[mColumn]);
    size_t len = text.size() < w ? text.size() : w;
    out << '|' << std::string((w - len) / 2, ' ') << text << std::string((w - len + 1) / 2, ' ');
    if (++mColumn == mWidths.size()) {
        out << '|' << std::endl;
        mInRow = false;
    }
}

void Table::finalize(std::ostream& out)
{
    while (mInRow && mColumn < mWidths.size())
        row(out, " ");
}

void Table::rule(std::ostream& out, char corner, char fill)
{
    finalize(out);
    if (mWidths.empty())
        return;
    for (int w : mWidths)
        out << corner << std::string(static_cast<size_t>(w), fill);
    out << corner << std::endl;
}

void Table::delimeter(std::ostream& out) { rule(out, '+', '-'); }
void Table::gap(std::ostream& out) { rule(out, '|', ' '); }

const Table::Sentry& Table::Sentry::row() const
{
    mTable.row(mOut, mText.str());
    mText.str(std::string());
    return *this;
}

const Table::Sentry& operator<<(const Table::Sentry& s, const Measure& m)
{
    m.put(s.mText);
    return s;
}

const Table::Sentry& beginrow(const Table::Sentry& s)
{
    s.mTable.resetrow();
    return s;
}

const Table::Sentry& nextrow(const Table::Sentry& s)
{
    return s.row();
}

const Table::Sentry& delimeter(const Table::Sentry& s)
{
    s.mTable.delimeter(s.mOut);
    return s;
}

} // namespace ext

std::ostream& timestamp(std::ostream& out)
{
    time_t now = ::time(nullptr);
    if (now == static_cast<time_t>(-1))
        return out;
    struct tm local;
    if (!::localtime_r(&now, &local))
        return out;
    char buf[256];
    if (::strftime(buf, sizeof(buf), "%d/%m %H:%M:%S", &local))
        out << buf;
    return out;
}
