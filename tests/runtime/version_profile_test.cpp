// The build's version record and the profiling points.
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
    EXPECT_TRUE(std::regex_match(v.mDate, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d)"))) << v.mDate;
    EXPECT_TRUE(std::regex_match(v.mTag, std::regex(R"(T\d{6}-\d{4})"))) << v.mTag;
    EXPECT_STRNE("", v.mUser);
    EXPECT_STRNE("", v.mArch);
    // The tag is the same instant as the date: yymmdd-hhmm.
    std::string date(v.mDate), tag(v.mTag);
    EXPECT_EQ("T" + date.substr(2, 2) + date.substr(5, 2) + date.substr(8, 2) + "-" + date.substr(11, 2) +
                  date.substr(14, 2),
              tag);
    std::ostringstream out;
    v.put(out);
    EXPECT_EQ(tag, out.str());
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
    for (unsigned us : {250u, 40u, 90u}) {
        p.begin();
        clock.advance_us(us);
        p.end();
    }
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
        EXPECT_EQ(0u, out.str().find("[c]: min=0 max=0 avg=0 counter=0\n[a]: min=0 max=0 avg=0 counter=0\n"));
        c.reset();
        EXPECT_EQ(a.get(), Profile::mRoot);
    }
    EXPECT_EQ(saved, Profile::mRoot);
}

} // namespace
