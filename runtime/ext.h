// Stream helpers that every log line is built with: the speaker's header,
// quoting, hexadecimal dumps, fixed-width text tables and a time stamp.
#pragma once

#include <ostream>
#include <sstream>
#include <string>
#include <vector>

class Measure;

namespace ext {

// ext::header(this) writes the object's own tag through its PutHeader.
template <class T>
struct OutObjHeader {
    const T* mObject;
};

template <class T>
OutObjHeader<T> header(const T* object)
{
    return OutObjHeader<T>{object};
}

template <class T>
std::ostream& operator<<(std::ostream& out, const OutObjHeader<T>& h)
{
    h.mObject->PutHeader(out);
    return out;
}

template <class T>
struct OutQuoted {
    const T& mValue;
};

template <class T>
OutQuoted<T> quoted(const T& value)
{
    return OutQuoted<T>{value};
}

// The text between double quotes; a quote, a backslash and any byte that
// is not printable ASCII are written as \xNN, so text from a peer can
// neither end the line nor pass for more of it.
void put_quoted(std::ostream& out, const std::string& text);

template <class T>
std::ostream& operator<<(std::ostream& out, const OutQuoted<T>& q)
{
    std::ostringstream text;
    text << q.mValue;
    put_quoted(out, text.str());
    return out;
}

// Two upper-case digits and a blank per byte of [begin, end).
class OutBufInHex {
public:
    OutBufInHex(const void* begin, const void* end)
        : mBegin(static_cast<const unsigned char*>(begin)), mEnd(static_cast<const unsigned char*>(end))
    {
    }
    OutBufInHex(const void* begin, size_t size)
        : mBegin(static_cast<const unsigned char*>(begin)), mEnd(mBegin + size)
    {
    }
    void Put(std::ostream& out) const;

    const unsigned char* mBegin;
    const unsigned char* mEnd;
};

// "0x" and the value in upper-case hex, zero-filled to width digits.
class OutUnsignedInHex {
public:
    explicit OutUnsignedInHex(unsigned int value, int width = 0) : mValue(value), mWidth(width) {}
    void Put(std::ostream& out) const;

    unsigned int mValue;
    int mWidth;
};

inline std::ostream& operator<<(std::ostream& out, const OutBufInHex& h)
{
    h.Put(out);
    return out;
}

inline std::ostream& operator<<(std::ostream& out, const OutUnsignedInHex& h)
{
    h.Put(out);
    return out;
}

// A text table of fixed column widths with centred cells:
//   ext::Table t(6, 4);
//   ext::Table::Sentry(out, t) << ext::beginrow << "ab" << ext::nextrow << "xyz" << ext::nextrow;
class Table {
public:
    class Sentry {
    public:
        Sentry(std::ostream& out, Table& table) : mOut(out), mTable(table) {}
        ~Sentry() { mTable.finalize(mOut); }
        Sentry(const Sentry&) = delete;
        Sentry& operator=(const Sentry&) = delete;

        // Writes the collected text as the next cell.
        const Sentry& row() const;

        std::ostream& mOut;
        Table& mTable;
        mutable std::ostringstream mText;
    };

    Table() { init(); }
    explicit Table(int w1) : Table() { add(w1); }
    Table(int w1, int w2) : Table(w1) { add(w2); }
    Table(int w1, int w2, int w3) : Table(w1, w2) { add(w3); }
    Table(int w1, int w2, int w3, int w4) : Table(w1, w2, w3) { add(w4); }
    Table(int w1, int w2, int w3, int w4, int w5) : Table(w1, w2, w3, w4) { add(w5); }
    Table(int w1, int w2, int w3, int w4, int w5, int w6) : Table(w1, w2, w3, w4, w5) { add(w6); }
    Table(int w1, int w2, int w3, int w4, int w5, int w6, int w7) : Table(w1, w2, w3, w4, w5, w6) { add(w7); }

    void add(int width) { mWidths.push_back(width < 0 ? 0 : width); }
    void init() { resetrow(); }
    void resetrow()
    {
        mColumn = 0;
        mInRow = false;
    }

    void row(std::ostream& out, const std::string& text);
    void finalize(std::ostream& out);
    void delimeter(std::ostream& out);
    void gap(std::ostream& out);

    std::vector<int> mWidths;
    unsigned int mColumn = 0;
    bool mInRow = false;

private:
    void rule(std::ostream& out, char corner, char fill);
};

template <class T>
const Table::Sentry& operator<<(const Table::Sentry& s, const T& value)
{
    s.mText << value;
    return s;
}
const Table::Sentry& operator<<(const Table::Sentry& s, const Measure& m);

typedef const Table::Sentry& (*TableManip)(const Table::Sentry&);
inline const Table::Sentry& operator<<(const Table::Sentry& s, TableManip manip)
{
    return manip(s);
}

const Table::Sentry& beginrow(const Table::Sentry& s);
const Table::Sentry& nextrow(const Table::Sentry& s);
const Table::Sentry& delimeter(const Table::Sentry& s);

} // namespace ext

// The local time as "%d/%m %H:%M:%S"; nothing when the clock cannot be read.
std::ostream& timestamp(std::ostream& out);
