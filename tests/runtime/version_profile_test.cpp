#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>

#include "runtime/mux_time.h"
#include "runtime/profile.h"
#include "runtime/version.h"

namespace {

TEST(VersionTest, BuildFieldsHaveTheirForm)
{
    const Version& v = Version::current;
    EXPECT_EQ(Version::Snapshot, v.mType);
    EXPECT_EQ(0, v.mNumber);
    EXPECT_STREQ("", v.mLabel);
    EXPECT_TRUE(std::regex_match(v.mDate, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d)"))) << v.mDate;
    EXPECT_TRUE(std::regex_match(v.mTag, std::regex(R"(T\d{6}-\d{4})"))) << v.mTag;
    EXPECT_STRNE("", v.mUser);
    EXPECT_STRNE("", v.mArch);

    // The tag is the same instant as the date: yymmdd-hhmm.
    std::string date(v.mDate), tag(v.mTag);
    EXPECT_EQ(date.substr(2, 2) + date.substr(5, 2) + date.substr(8, 2), tag.substr(1, 6));
    EXPECT_EQ(date.substr(11, 2) + date.substr(14, 2), tag.substr(8, 4));

    std::ostringstream out;
    v.put(out);
    EXPECT_EQ(tag, out.str());
}

TEST(VersionTest, TypeNamesAndSuffixes)
{
    const char* names[] = {"snapshot", "test", "release", "unit-test", "unknown"};
    const char* suffixes[] = {"S", "T", "R", "T", "U"};
    for (int t = 0; t < 5; ++t) {
        Version::Type type = static_cast<Version::Type>(t);
        EXPECT_STREQ(names[t], version_string(type));
        EXPECT_STREQ(suffixes[t], version_suffix(type));
        std::ostringstream out;
        out << type;
        EXPECT_EQ(names[t], out.str());
    }
    EXPECT_STREQ("U", version_suffix(static_cast<Version::Type>(-1)));
}

class ProfileTest : public ::testing::Test {
protected:
    Mux::VirtualClock clock{1000};
    Mux::ScopedClock scoped{clock};
};

TEST_F(ProfileTest, SamplesAcrossCounterWrap)
{
    Profile::Point p("wrap");
    // Microsecond counter 100 below its 32-bit wrap.
    clock.advance_us(0x100000000ull - 100 - Mux::microseconds());
    p.begin();
    clock.advance_us(250);
    p.end();
    EXPECT_EQ(250u, p.measure().cur);

    p.begin();
    clock.advance_us(40);
    p.end();
    p.begin();
    clock.advance_us(90);
    p.end();
    std::ostringstream out;
    p.put(out);
    EXPECT_EQ("[wrap]: min=40 max=250 avg=90 counter=3", out.str());
}

TEST_F(ProfileTest, DumpNewestFirstAndUnlinkAnywhere)
{
    Profile::Point* saved = Profile::mRoot;
    {
        auto a = std::make_unique<Profile::Point>("a");
        auto b = std::make_unique<Profile::Point>("b");
        auto c = std::make_unique<Profile::Point>("c");
        b.reset();
        std::ostringstream out;
        Profile::dump(out);
        const std::string expected = "[c]: min=0 max=0 avg=0 counter=0\n"
                                     "[a]: min=0 max=0 avg=0 counter=0\n";
        EXPECT_EQ(expected, out.str().substr(0, expected.size()));
        c.reset();
        EXPECT_EQ(a.get(), Profile::mRoot);
    }
    EXPECT_EQ(saved, Profile::mRoot);
}

TEST(TraceBlockTest, EnterAndLeaveOnlyWhenEnabled)
{
    std::ostringstream out;
    {
        Trace::Block on(true, "f", out);
        Trace::Block off(false, "g", out);
        out << "body\n";
    }
    EXPECT_EQ("Enter f\nbody\nLeave f\n", out.str());
}

} // namespace
