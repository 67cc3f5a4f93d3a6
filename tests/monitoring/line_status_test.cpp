// Framer status readings and trunk states; network interface samples and
// their smoothing.
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <sstream>

#include "monitoring/framer_data.h"
#include "monitoring/netif_data.h"
#include "tests/monitoring/monitoring_support.h"

namespace {

std::vector<unsigned char> reading(const std::string& text)
{
    return std::vector<unsigned char>(text.begin(), text.end());
}

// "connected state los lofa negative positive", e.g. "1 Synchronized 0 0 3 4".
std::string fields(const FramerDataHolder& f)
{
    std::ostringstream o;
    o << f.connected() << " " << f.state() << " " << f.lossOfSignal() << " " << f.lossOfFrameAlignment() << " "
      << f.slipsNegative() << " " << f.slipsPositive();
    return o.str();
}

const char kSynchronized[] = "Framer 0\n"
                             "Current state           : Synchronized\n"
                             "Loss of Signal          : no\n"
                             "Loss of Frame Alignment : no\n"
                             "Receive Slip Negative   :   3\n"
                             "Receive Slip Positive   : 4\n";

TEST(FramerStatus, ReadingsOfTheStatusFile)
{
    struct Case {
        const char* what;
        std::string text;
        bool changed;
        const char* after;
    };
    const char initial[] = "0 absent 1 1 0 0";
    const Case cases[] = {
        {"every key", kSynchronized, true, "1 Synchronized 0 0 3 4"},
        {"No Carrier", "Current state           : No Carrier\n", true, "0 No Carrier 1 1 0 0"},
        {"yes with a carriage return is not yes", "Loss of Signal          : yes\r\n", true, "0 absent 0 1 0 0"},
        {"digits up to the first other character", "Receive Slip Negative   : 12abc\nReceive Slip Positive   : \n",
         true, "0 absent 1 1 12 0"},
        {"a key anywhere in the line", "xx Receive Slip Positive   : 7\n", true, "0 absent 1 1 0 7"},
        {"no key", "Framer 0\nnothing here\n", false, initial},
        {"empty", "", false, initial},
        {"the text ends at a NUL", std::string("Loss of Signal          : no\n") + '\0' + "Receive Slip Positive   : 9\n",
         true, "0 absent 0 1 0 0"},
        {"a long digit run saturates", "Receive Slip Positive   : 99999999999999999999\n", true,
         "0 absent 1 1 0 2147483647"},
        {"a sign is no digit", "Receive Slip Negative   : -5\n", false, initial},
    };
    for (const Case& c : cases) {
        FramerDataHolder f(1, "/proc/driver/hdlc/peb22554/0");
        EXPECT_EQ(f.setFramerStatus(reading(c.text)), c.changed) << c.what;
        EXPECT_EQ(fields(f), c.after) << c.what;
        EXPECT_FALSE(f.setFramerStatus(reading(c.text))) << c.what << ": the same reading again";
    }
}

TEST(FramerStatus, AFullReadingWithoutNulIsParsedToItsEnd)
{
    std::string text(1024 - 28, 'x');
    text += "\nReceive Slip Positive   : 5";
    ASSERT_EQ(text.size(), 1024u);
    FramerDataHolder f(1, "p");
    // Exactly the bytes read, on the heap: ASan catches a parse that looks past them.
    EXPECT_TRUE(f.setFramerStatus(reading(text)));
    EXPECT_EQ(f.slipsPositive(), 5);
}

TEST(FramerStatus, TrunkStatesAndFileWordingTakeTurns)
{
    struct Case {
        ACP::TrunkState::NamedNumber state;
        const char* text;
        bool connected;
    };
    const Case cases[] = {
        {ACP::TrunkState::normal, "Synchronized", true}, {ACP::TrunkState::lossBF, "FAS Loss", true},
        {ACP::TrunkState::lossCarrier, "No Carrier", false}, {ACP::TrunkState::ais, "AIS", true},
        {ACP::TrunkState::rai, "RAI", true},          {ACP::TrunkState::unknown, "Unknown", true},
        {ACP::TrunkState::disabled, "Unknown", true},
    };
    for (const Case& c : cases) {
        FramerDataHolder f(2, "p");
        f.setFramerStatus(reading(kSynchronized));
        f.setFramerStatus(ACP::TrunkState::lossCarrier);
        EXPECT_EQ(f.setFramerStatus(c.state), c.state != ACP::TrunkState::lossCarrier) << c.text;
        EXPECT_EQ(fields(f), (c.connected ? "1 " : "0 ") + std::string(c.text) + " 0 0 3 4") << "flags and counters stay";
    }
    FramerDataHolder f(2, "p");
    EXPECT_TRUE(f.setFramerStatus(ACP::TrunkState::normal));
    EXPECT_TRUE(f.setFramerStatus(reading("Current state           : Sync\n"))) << "the driver's wording";
    EXPECT_TRUE(f.setFramerStatus(ACP::TrunkState::normal)) << "and the table's again";
}

TEST(NetIfStatus, ThreeSampleSmoothing)
{
    struct Case {
        std::vector<int> samples;
        std::vector<bool> changed;
        std::vector<int> running;
    };
    const Case cases[] = {
        {{1, 1}, {true, true}, {0, 1}},
        {{1, 1, 0, 0}, {true, true, false, true}, {0, 1, 1, 0}},
        {{0, 1, 0, 1}, {true, false, false, true}, {0, 0, 0, 1}},
    };
    for (const Case& c : cases) {
        NetIfDataHolder n(3, "eth0");
        EXPECT_EQ(n.running(), -1);
        EXPECT_EQ(n.ifOperStatus(), 2);
        for (size_t i = 0; i < c.samples.size(); ++i) {
            EXPECT_EQ(n.setNetIfStatus(c.samples[i]), c.changed[i]) << "sample " << i;
            EXPECT_EQ(n.running(), c.running[i]) << "sample " << i;
            EXPECT_EQ(n.ifOperStatus(), c.running[i] ? 1 : 2);
            EXPECT_EQ(n.ifAdminStatus(), n.ifOperStatus());
        }
    }
}

struct ProbeTest : ::testing::Test {
    vbtest::FakeProbe probe;
    NetIf::ScopedProbe use{probe};
};

TEST_F(ProbeTest, InterfacesWithANameAtStartAndTheirSamples)
{
    probe.names = {{1, "lo"}, {2, "eth0"}, {15, "hdlc0"}, {16, "beyond"}};
    auto found = NetIf::list();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found.back(), (std::pair<int, std::string>(15, "hdlc0")));
    EXPECT_EQ(probe.open_sockets, 0);

    NetIfDataHolder eth(2, "eth0");
    probe.running[2] = {1, 1, 0};
    EXPECT_TRUE(eth.updateNetIf());
    EXPECT_TRUE(eth.updateNetIf());
    EXPECT_EQ(eth.running(), 1);
    probe.failing = SIOCGIFFLAGS;
    EXPECT_FALSE(eth.updateNetIf()) << "a failed request adds no sample";
    probe.failing = 0;
    probe.names.erase(2);
    EXPECT_FALSE(eth.updateNetIf()) << "an interface gone keeps its last state";
    EXPECT_EQ(eth.running(), 1);
    probe.openErrno = EPERM;
    EXPECT_FALSE(eth.updateNetIf());
    EXPECT_TRUE(NetIf::list().empty());
    EXPECT_EQ(probe.open_sockets, 0) << "every socket opened is closed";
}

TEST_F(ProbeTest, DescriptorZeroIsASocketLikeAnyOther)
{
    probe.socket = 0;
    probe.names = {{4, "eth1"}};
    probe.running[4] = {1};
    EXPECT_EQ(NetIf::list().size(), 1u);
    NetIfDataHolder n(4, "eth1");
    EXPECT_TRUE(n.updateNetIf());
    EXPECT_EQ(probe.open_sockets, 0) << "and it is closed";
}

} // namespace
