#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstring>
#include <sstream>

#include "runtime/inet4_addr.h"

// Every case starts from 9.9.9.9:7, so what a refusal leaves alone shows.
TEST(INet4Addr, ParseTable)
{
    const struct {
        const char* text;
        bool ok;
        int reported; // through the port pointer
        const char* after;
    } cases[] = {
        {"10.1.2.3:5060", true, 5060, "10.1.2.3:5060"},
        {"10.1.2.3", true, -1, "10.1.2.3:7"},
        {"255.255.255.255:65535", true, 65535, "255.255.255.255:65535"},
        {"192.168.1.1:00080", true, 80, "192.168.1.1:80"},
        {"127.1", true, -1, "127.0.0.1:7"},
        // bad address: a valid port is still taken
        {"x:1", false, 1, "9.9.9.9:1"},
        {"", false, -1, "9.9.9.9:7"},
        {"256.1.1.1", false, -1, "9.9.9.9:7"},
        {"1234567890123456789012345678901234567890123456789012345678901234567890:9", false, 9, "9.9.9.9:9"},
        // ports out of range or not a plain number: refused, nothing stored
        {"1.2.3.4:65536", false, -1, "9.9.9.9:7"},
        {"1.2.3.4:4294967376", false, -1, "9.9.9.9:7"}, // 2^32 + 80 would wrap to 80
        {"1.2.3.4:-1", false, -1, "9.9.9.9:7"},
        {"1.2.3.4:+80", false, -1, "9.9.9.9:7"},
        {"1.2.3.4:80x", false, -1, "9.9.9.9:7"},
        {"1.2.3.4:", false, -1, "9.9.9.9:7"},
        {"1.2.3.4:5:6", false, -1, "9.9.9.9:7"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        INet4::Addr a, b;
        ASSERT_TRUE(a.Assign("9.9.9.9:7", nullptr));
        b = a;
        int port = 12345;
        EXPECT_EQ(c.ok, a.Assign(c.text, &port));
        EXPECT_EQ(c.reported, port);
        EXPECT_EQ(c.after, a.GetString());
        std::ostringstream put;
        a.Put(put);
        EXPECT_EQ(c.after, put.str());
        EXPECT_EQ(c.ok, b.Assign(std::string(c.text), nullptr));
        EXPECT_TRUE(a.IsEqual(b));
    }
    // The C form would read only "10.1.2.3" and accept a text never meant.
    INet4::Addr c;
    int port = 0;
    EXPECT_FALSE(c.Assign(std::string("10.1.2.3\0:80", 12), &port));
    EXPECT_EQ(-1, port);
    EXPECT_EQ("0.0.0.0:0", c.GetString());
}

TEST(INet4Addr, SockaddrLayout)
{
    INet4::Addr a;
    ASSERT_TRUE(a.Assign("10.1.2.3:5060", nullptr));
    const unsigned char expect[16] = {0, 0, 0x13, 0xC4, 10, 1, 2, 3};
    sa_family_t family = AF_INET;
    unsigned char bytes[16];
    std::memcpy(bytes, &a, 16);
    EXPECT_EQ(0, std::memcmp(bytes, &family, 2));
    EXPECT_EQ(0, std::memcmp(bytes + 2, expect + 2, 14));
    EXPECT_EQ((std::vector<unsigned char>{10, 1, 2, 3}), a.GetVector());

    a.Assign(static_cast<unsigned long>(htonl(0xC0A80001u))); // the port stays
    EXPECT_EQ("192.168.0.1:5060", a.GetString());
    INet4::Addr other(a.sin());
    other.sa()->sa_family = AF_UNSPEC; // not compared
    EXPECT_TRUE(a.IsEqual(other));
}
