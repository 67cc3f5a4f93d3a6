// An ED-137 radio channel through the running server, as a call flow: the
// controller creates the gateway slot, the test's UDP socket plays the
// voice side, and the R2S headers ride the RTP header extension (RFC 3550
// 5.3.1) of real RTP on the loopback.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "tests/e2e/ed137_flow.h"

using namespace vbtest;
using testing::ElementsAre;
using testing::HasSubstr;

namespace {

using Clock = std::chrono::steady_clock;

long ms_since(Clock::time_point t)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count());
}

TEST(ED137Flow, KeepAliveSupervisionCommandsAndSilenceAfterDestroy)
{
    ED137Flow flow;
    ASSERT_TRUE(flow.start()) << flow.server.err();
    Clock::time_point created = Clock::now();
    Texts answers = flow.create();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_EQ(answers[0], "slot=1 success");
    EXPECT_THAT(answers[1], HasSubstr("transmitter active"));
    EXPECT_THAT(answers[2], HasSubstr("receiver active"));

    // The voice side is silent: lost after 2 s, and again every second.
    std::string lost = flow.ctl.next(3500);
    long first = ms_since(created);
    EXPECT_EQ(lost, "slot=1 abort 151");
    EXPECT_GE(first, 1800);
    EXPECT_LE(first, 3000);
    EXPECT_EQ(flow.ctl.next(1600), "slot=1 abort 151");
    EXPECT_GE(ms_since(created) - first, 700);

    // The initial RX header at once, then one keep-alive a second.
    std::vector<std::string> seen = flow.headers_within(0);
    EXPECT_GE(seen.size(), 3u);
    EXPECT_LE(seen.size(), 5u);
    EXPECT_THAT(seen, testing::Each(std::string("00 00 00 00")));

    // PTT from the voice side: reported, and the supervision rests.
    flow.send_header(std::string("\x21\x40\x00\x00", 4)); // normal-ptt-on, ptt-id 5
    std::string report = flow.ctl.next(1000);
    EXPECT_THAT(report, HasSubstr("slot=1 rtpExt"));
    EXPECT_THAT(report, HasSubstr("ed-137"));
    EXPECT_THAT(report, HasSubstr("tx"));
    EXPECT_THAT(report, HasSubstr("normal-ptt-on"));
    EXPECT_THAT(report, HasSubstr("\"127.0.0.1\""));
    EXPECT_EQ(flow.ctl.next(1500), "");

    // An rx command with SQI goes out with one SQI feature: quality 20, C/N.
    EXPECT_THAT(flow.rx_command(20), ElementsAre("slot=1 success"));
    std::vector<std::string> after = flow.headers_within(300);
    EXPECT_THAT(after, testing::Contains("10 01 11 A2"));
    EXPECT_THAT(flow.lemz_command(), ElementsAre("slot=1 error unsupported"));

    flow.destroy();
    flow.headers_within(100);
    EXPECT_TRUE(flow.headers_within(1500).empty());
}

} // namespace
