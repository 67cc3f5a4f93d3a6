// GeneralizedTime: a calendar time with milliseconds and a time zone.
#pragma once

#include <string>

#include "asn1/abstract_data.h"

namespace ASN1 {

class GeneralizedTime : public AbstractData, public detail::Allocator<GeneralizedTime> {
public:
    static const DataInfo theInfo;
    explicit GeneralizedTime(void const* info = &theInfo) : AbstractData(info) {}
    // Millisecond, offset and UTC flag cleared, then set(text).
    explicit GeneralizedTime(char const* text);
    GeneralizedTime(int year, int month, int day, int hour, int minute, int second,
                    int millisecond, int offset, bool utc);
    GeneralizedTime(GeneralizedTime const&) = default;
    GeneralizedTime& operator=(GeneralizedTime const& other);
    static AbstractData* create(void const* info) { return new GeneralizedTime(info); }

    // Reads "YYYYMMDDhhmmss", an optional fraction ".f..." and an optional
    // zone, "Z" or "+hhmm"/"-hhmm". False, with the value unchanged, when the
    // text does not have that form.
    bool set(char const* text);
    std::string get() const;

    // Seconds since the epoch: the fields read as UTC when the UTC flag is
    // set, as UTC plus the offset when an offset is given, else as local time.
    long get_time_t() const;
    // Stores the UTC breakdown of t, millisecond 0, UTC flag set.
    void set_time_t(long t);
    void swap(GeneralizedTime& other);

    int getYear() const { return mYear; }
    int getMonth() const { return mMonth; }
    int getDay() const { return mDay; }
    int getHour() const { return mHour; }
    int getMinute() const { return mMinute; }
    int getSecond() const { return mSecond; }
    int getMillisecond() const { return mMillisecond; }
    // Difference from UTC in minutes.
    int getOffset() const { return mOffset; }
    bool isUTC() const { return mUtc; }
    // Every field within its calendar range, the offset within 12 hours.
    bool isStrictlyValid() const;

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    int mYear = 1;
    int mMonth = 1;
    int mDay = 1;
    int mHour = 0;
    int mMinute = 0;
    int mSecond = 0;
    int mMillisecond = 0;
    int mOffset = 0;
    bool mUtc = false;
};

} // namespace ASN1
