// The build's version record; its tag names the build everywhere (start-up
// notice, --version, status dump, system log ident).
#pragma once

#include <iosfwd>

class Version {
public:
    enum Type : int { Snapshot = 0, Test = 1, Release = 2, UnitTest = 3 };

    constexpr Version(Type type, int number, const char* label, const char* user, const char* date,
                      const char* tag, const char* arch)
        : mType(type), mNumber(number), mLabel(label), mUser(user), mDate(date), mTag(tag), mArch(arch)
    {
        update();
    }

    // Writes the tag only, e.g. T250516-1551.
    void put(std::ostream& out) const;

    static const Version current;

    Type mType;
    int mNumber;
    const char* mLabel;
    const char* mUser;
    // "yyyy-mm-dd hh:mm"
    const char* mDate;
    // "T" yymmdd "-" hhmm
    const char* mTag;
    const char* mArch;

private:
    constexpr void update() {}
};

std::ostream& operator<<(std::ostream& out, Version::Type type);
const char* version_string(Version::Type type);
const char* version_suffix(Version::Type type);
