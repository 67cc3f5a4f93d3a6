#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "runtime/fd.h"
#include "runtime/inet4_addr.h"

namespace {

struct ParseCase {
    const char* text;
    bool ok;          // the result of Assign
    int reported;     // what comes back through the port pointer
    const char* after; // GetString afterwards, starting from 9.9.9.9:7
};

// Every case starts from 9.9.9.9:7 so that what a refusal leaves alone shows.
const ParseCase kCases[] = {
    // good
    {"10.1.2.3:5060", true, 5060, "10.1.2.3:5060"},
    {"10.1.2.3", true, -1, "10.1.2.3:7"},
    {"0.0.0.0:0", true, 0, "0.0.0.0:0"},
    {"255.255.255.255:65535", true, 65535, "255.255.255.255:65535"},
    {"192.168.1.1:00080", true, 80, "192.168.1.1:80"},
    {"127.1", true, -1, "127.0.0.1:7"},
    // bad address: a valid port is still taken
    {"x:1", false, 1, "9.9.9.9:1"},
    {":2", false, 2, "9.9.9.9:2"},
    {"", false, -1, "9.9.9.9:7"},
    {"1.2.3.4.5", false, -1, "9.9.9.9:7"},
    {"256.1.1.1", false, -1, "9.9.9.9:7"},
    {"1234567890123456789012345678901234567890123456789012345678901234567890:9", false, 9, "9.9.9.9:9"},
    // ports out of range or not a plain number: refused, nothing stored
    {"1.2.3.4:65536", false, -1, "9.9.9.9:7"},
    {"1.2.3.4:99999", false, -1, "9.9.9.9:7"},
    {"1.2.3.4:4294967376", false, -1, "9.9.9.9:7"}, // 2^32 + 80 would wrap to 80
    {"1.2.3.4:-1", false, -1, "9.9.9.9:7"},
    {"1.2.3.4:+80", false, -1, "9.9.9.9:7"},
    {"1.2.3.4: 80", false, -1, "9.9.9.9:7"},
    {"1.2.3.4:80x", false, -1, "9.9.9.9:7"},
    {"1.2.3.4:", false, -1, "9.9.9.9:7"},
    {"1.2.3.4:5:6", false, -1, "9.9.9.9:7"},
};

INet4::Addr start()
{
    INet4::Addr a;
    EXPECT_TRUE(a.Assign("9.9.9.9:7", nullptr));
    return a;
}

} // namespace

TEST(INet4Addr, ParseTable)
{
    for (const ParseCase& c : kCases) {
        SCOPED_TRACE(c.text);
        INet4::Addr a = start();
        int port = 12345;
        EXPECT_EQ(c.ok, a.Assign(c.text, &port));
        EXPECT_EQ(c.reported, port);
        EXPECT_EQ(c.after, a.GetString());

        // The string form behaves the same, and a null port pointer is fine.
        INet4::Addr b = start();
        EXPECT_EQ(c.ok, b.Assign(std::string(c.text), nullptr));
        EXPECT_TRUE(a.IsEqual(b));
    }
}

TEST(INet4Addr, TextRoundTripsAndNulIsRefused)
{
    INet4::Addr a;
    int port = 0;
    ASSERT_TRUE(a.Assign("10.1.2.3:5060", &port));
    INet4::Addr b;
    EXPECT_TRUE(b.Assign(a.GetString(), &port));
    EXPECT_TRUE(a.IsEqual(b));
    std::ostringstream out;
    a.Put(out);
    EXPECT_EQ("10.1.2.3:5060", out.str());

    // The C form would read only "10.1.2.3" and accept a text never meant.
    INet4::Addr c;
    EXPECT_FALSE(c.Assign(std::string("10.1.2.3\0:80", 12), &port));
    EXPECT_EQ(-1, port);
    EXPECT_EQ("0.0.0.0:0", c.GetString());
}

TEST(INet4Addr, SockaddrLayout)
{
    INet4::Addr a;
    ASSERT_TRUE(a.Assign("10.1.2.3:5060", nullptr));
    unsigned char bytes[16];
    std::memcpy(bytes, &a, sizeof(bytes));
    uint16_t family;
    std::memcpy(&family, bytes, 2);
    EXPECT_EQ(AF_INET, family);
    EXPECT_EQ(0x13, bytes[2]); // 5060 big-endian
    EXPECT_EQ(0xC4, bytes[3]);
    EXPECT_EQ((std::vector<unsigned char>{10, 1, 2, 3}), std::vector<unsigned char>(bytes + 4, bytes + 8));
    for (int i = 8; i < 16; ++i)
        EXPECT_EQ(0, bytes[i]) << i;
    EXPECT_EQ((std::vector<unsigned char>{10, 1, 2, 3}), a.GetVector());

    // A raw address replaces only the address.
    a.Assign(static_cast<unsigned long>(htonl(0xC0A80001u)));
    EXPECT_EQ("192.168.0.1:5060", a.GetString());

    // Reset clears everything but the family.
    a.Reset();
    EXPECT_EQ("0.0.0.0:0", a.GetString());
    EXPECT_EQ(AF_INET, a.sin().sin_family);
}

TEST(INet4Addr, IsEqualLooksAtAddressAndPortOnly)
{
    INet4::Addr a, b;
    ASSERT_TRUE(a.Assign("1.2.3.4:5", nullptr));
    ASSERT_TRUE(b.Assign("1.2.3.4:5", nullptr));
    sockaddr_in other = b.sin();
    other.sin_family = AF_UNSPEC;
    EXPECT_TRUE(a.IsEqual(INet4::Addr(other)));
    ASSERT_TRUE(b.Assign("1.2.3.4:6", nullptr));
    EXPECT_FALSE(a.IsEqual(b));
    ASSERT_TRUE(b.Assign("1.2.3.5:5", nullptr));
    EXPECT_FALSE(a.IsEqual(b));
}

TEST(INet4Addr, UsableDirectlyWithSocketCalls)
{
    Fd rx(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    Fd tx(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(rx && tx);
    INet4::Addr local;
    ASSERT_TRUE(local.Assign("127.0.0.1:0", nullptr));
    ASSERT_EQ(0, ::bind(rx.get(), local.sa(), local.size()));
    socklen_t len = local.size();
    ASSERT_EQ(0, ::getsockname(rx.get(), local.sa(), &len));
    ASSERT_NE("127.0.0.1:0", local.GetString());

    ASSERT_EQ(4, ::sendto(tx.get(), "ping", 4, 0, local.sa(), local.size()));
    char buf[8];
    INet4::Addr from;
    len = from.size();
    ASSERT_EQ(4, ::recvfrom(rx.get(), buf, sizeof(buf), 0, from.sa(), &len));
    EXPECT_EQ(0, from.GetString().rfind("127.0.0.1:", 0));
}
