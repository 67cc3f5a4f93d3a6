#include "asn1/generalized_time.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "asn1/visitor.h"

namespace ASN1 {

namespace {

// Reads n decimal digits at text; false when one is not a digit.
bool read_digits(char const* text, int n, int& value)
{
    value = 0;
    for (int i = 0; i < n; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

} // namespace

const DataInfo GeneralizedTime::theInfo = {&GeneralizedTime::create, 24};

GeneralizedTime::GeneralizedTime(char const* text) : AbstractData(&theInfo)
{
    set(text);
}

GeneralizedTime::GeneralizedTime(int year, int month, int day, int hour, int minute, int second,
                                 int millisecond, int offset, bool utc)
    : AbstractData(&theInfo), mYear(year), mMonth(month), mDay(day), mHour(hour), mMinute(minute),
      mSecond(second), mMillisecond(millisecond), mOffset(offset), mUtc(utc)
{
}

GeneralizedTime& GeneralizedTime::operator=(GeneralizedTime const& other)
{
    GeneralizedTime copy(other);
    swap(copy);
    return *this;
}

bool GeneralizedTime::set(char const* text)
{
    if (!text)
        return false;
    std::size_t length = std::strlen(text);
    if (length < 14)
        return false;
    GeneralizedTime t;
    if (!read_digits(text, 4, t.mYear) || !read_digits(text + 4, 2, t.mMonth) ||
        !read_digits(text + 6, 2, t.mDay) || !read_digits(text + 8, 2, t.mHour) ||
        !read_digits(text + 10, 2, t.mMinute) || !read_digits(text + 12, 2, t.mSecond))
        return false;
    std::size_t pos = 14;
    if (pos < length && (text[pos] == '.' || text[pos] == ',')) {
        ++pos;
        // Decimal digits, so ".7" is exactly 700 ms; beyond milliseconds they are dropped.
        int digits = 0;
        for (; pos < length && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digits) {
            if (digits < 3)
                t.mMillisecond = t.mMillisecond * 10 + (text[pos] - '0');
        }
        if (digits == 0)
            return false;
        for (; digits < 3; ++digits)
            t.mMillisecond *= 10;
    }
    if (pos < length && text[pos] == 'Z') {
        t.mUtc = true;
        ++pos;
    } else if (pos < length && (text[pos] == '+' || text[pos] == '-') && length - pos == 5) {
        int hours = 0;
        int minutes = 0;
        if (!read_digits(text + pos + 1, 2, hours) || !read_digits(text + pos + 3, 2, minutes) || minutes > 59)
            return false;
        t.mOffset = (hours * 60 + minutes) * (text[pos] == '-' ? -1 : 1);
        pos = length;
    }
    if (pos != length)
        return false;
    swap(t);
    return true;
}

std::string GeneralizedTime::get() const
{
    char text[96];
    int n = std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", mYear, mMonth, mDay, mHour, mMinute,
                          mSecond);
    std::string result(text, n > 0 ? std::size_t(n) : 0);
    if (mMillisecond != 0) {
        n = std::snprintf(text, sizeof text, ".%03d", mMillisecond);
        result.append(text, n > 0 ? std::size_t(n) : 0);
    }
    if (mUtc) {
        result += 'Z';
    } else if (mOffset != 0) {
        int magnitude = std::abs(mOffset);
        n = std::snprintf(text, sizeof text, "%c%02d%02d", mOffset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
        result.append(text, n > 0 ? std::size_t(n) : 0);
    }
    return result;
}

long GeneralizedTime::get_time_t() const
{
    std::tm fields = std::tm();
    fields.tm_year = mYear - 1900;
    fields.tm_mon = mMonth - 1;
    fields.tm_mday = mDay;
    fields.tm_hour = mHour;
    fields.tm_min = mMinute;
    fields.tm_sec = mSecond;
    if (mUtc)
        return static_cast<long>(timegm(&fields));
    if (mOffset != 0)
        return static_cast<long>(timegm(&fields)) - 60L * mOffset;
    fields.tm_isdst = -1;
    return static_cast<long>(std::mktime(&fields));
}

void GeneralizedTime::set_time_t(long t)
{
    std::time_t value = static_cast<std::time_t>(t);
    std::tm fields = std::tm();
    if (!gmtime_r(&value, &fields))
        return;
    mYear = fields.tm_year + 1900;
    mMonth = fields.tm_mon + 1;
    mDay = fields.tm_mday;
    mHour = fields.tm_hour;
    mMinute = fields.tm_min;
    mSecond = fields.tm_sec;
    mMillisecond = 0;
    mOffset = 0;
    mUtc = true;
}

void GeneralizedTime::swap(GeneralizedTime& other)
{
    std::swap(mYear, other.mYear);
    std::swap(mMonth, other.mMonth);
    std::swap(mDay, other.mDay);
    std::swap(mHour, other.mHour);
    std::swap(mMinute, other.mMinute);
    std::swap(mSecond, other.mSecond);
    std::swap(mMillisecond, other.mMillisecond);
    std::swap(mOffset, other.mOffset);
    std::swap(mUtc, other.mUtc);
}

int GeneralizedTime::do_compare(AbstractData const& other) const
{
    GeneralizedTime const& t = static_cast<GeneralizedTime const&>(other);
    int const mine[] = {mYear, mMonth, mDay, mHour, mMinute, mSecond, mMillisecond, mUtc};
    int const theirs[] = {t.mYear, t.mMonth, t.mDay, t.mHour, t.mMinute, t.mSecond, t.mMillisecond, t.mUtc};
    for (std::size_t i = 0; i < sizeof mine / sizeof mine[0]; ++i) {
        if (mine[i] != theirs[i])
            return detail::sign_of_difference(mine[i], theirs[i]);
    }
    return 0;
}
AbstractData* GeneralizedTime::do_clone() const { return detail::clone_value(*this); }
bool GeneralizedTime::do_accept(Visitor& v) { return v.do_visit(*this); }
bool GeneralizedTime::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

} // namespace ASN1
