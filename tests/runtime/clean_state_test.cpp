// Every test of this program must give back what it took: every packet
// buffer, and every handler, timer, DPC and plug-in of the shared loop. A
// leak anywhere (a queue, a layer, a stack) fails the test that caused it.
#include <gtest/gtest.h>

#include "runtime/multiplexer.h"
#include "runtime/packet.h"

namespace {

struct CleanAfterEveryTest : ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        EXPECT_EQ(Packet_pool::available(), Packet_pool::capacity()) << "packet buffers still taken after the test";
        EXPECT_EQ(multiplexer.pending().size() + multiplexer.active().size(), 0u) << "handlers left attached";
        EXPECT_EQ(multiplexer.timers().size(), 0u) << "timers left armed";
        EXPECT_TRUE(multiplexer.dpcs().empty()) << "DPCs left active";
        EXPECT_TRUE(multiplexer.plugins().empty()) << "plug-ins left hooked";
    }
};

const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new CleanAfterEveryTest);
    return true;
}();

} // namespace
