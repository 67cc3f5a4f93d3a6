#include <gtest/gtest.h>

#include <sstream>

#include "runtime/ini_file.h"
#include "runtime/trace_ctl.h"
#include "tests/support/test_support.h"

namespace {

struct Switches {
    bool hdlc, lemzgw, events, isdn, monitoring;
};

Switches configure(const std::string& text, std::string* errors = nullptr)
{
    IniFile::File file;
    std::istringstream in(text);
    in >> file;
    TraceCtl t;
    t.signallingHdlc = t.signallingLemzgw = t.signallingEvents = t.signallingIsdn = t.monitoringInternal = true;
    vbtest::CaptureStream err(std::cerr);
    t.Configure(file["traces"]);
    if (errors)
        *errors = err.str();
    return {t.signallingHdlc, t.signallingLemzgw, t.signallingEvents, t.signallingIsdn, t.monitoringInternal};
}

TEST(TraceCtlTest, EachKeyDrivesItsSwitch)
{
    Switches s = configure("[traces]\nsignalling.hdlc=yes\nsignalling.lemzgw=true\nsignalling.events=1\n"
                           "signalling.isdn=enabled\nmonitoring.internal=enable\n");
    EXPECT_TRUE(s.hdlc && s.lemzgw && s.events && s.isdn && s.monitoring);
    s = configure("[traces]\nsignalling.events=1\n");
    EXPECT_FALSE(s.hdlc || s.lemzgw || s.isdn || s.monitoring);
    EXPECT_TRUE(s.events);
}

TEST(TraceCtlTest, LastBlockAloneDecides)
{
    Switches s = configure("[traces]\nsignalling.hdlc = yes\n[other]\n[traces]\nsignalling.isdn = 1\n");
    EXPECT_FALSE(s.hdlc);
    EXPECT_TRUE(s.isdn);
}

TEST(TraceCtlTest, InvalidAndRepeatedKeysLeaveSwitchOff)
{
    std::string errors;
    Switches s = configure("[traces]\nsignalling.hdlc = on\nsignalling.isdn=1\nsignalling.isdn=1\n", &errors);
    EXPECT_FALSE(s.hdlc);
    EXPECT_FALSE(s.isdn);
    EXPECT_EQ("traces: optional key \"signalling.hdlc\" has invalid value=\"on\", line 2. Key will be ignored.\n"
              "traces: optional key \"signalling.isdn\" is duplicated!\n"
              "traces:  first occurence at 3 line.\n"
              "traces:  second occurence at 4 line. Both keys will be ignored.\n",
              errors);
}

TEST(TraceCtlTest, NoSectionChangesNothing)
{
    // Without a "traces" block the switches keep what they had, which for
    // the global is all off.
    Switches s = configure("");
    EXPECT_TRUE(s.hdlc && s.isdn);
    EXPECT_FALSE(traces.signallingHdlc || traces.signallingLemzgw || traces.signallingEvents ||
                 traces.signallingIsdn || traces.monitoringInternal);
}

} // namespace
