// Interfaces and IPv4 addresses.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstring>
#include <set>

#include "runtime/fd.h"
#include "runtime/inet4_addr.h"
#include "runtime/net.h"

namespace {

std::set<std::string> addresses(Net::ifconfig_mode_t mode, int* count = nullptr)
{
    std::list<INet4::Addr> out;
    int n = Net::ifconfig(out, mode);
    if (count)
        *count = n;
    std::set<std::string> texts;
    for (const INet4::Addr& a : out)
        texts.insert(a.GetString().substr(0, a.GetString().find(':')));
    return texts;
}

// Moves the calling thread into a fresh network namespace and back.
struct ScopedNetNamespace {
    Fd old{::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC)};
    bool entered = old && ::unshare(CLONE_NEWNET) == 0;
    ~ScopedNetNamespace()
    {
        if (entered && ::setns(old.get(), CLONE_NEWNET) != 0)
            std::abort(); // the rest of the suite would run in the wrong world
    }
};

// Brings "lo" up (address empty) or gives an alias label an address.
bool configure(int sock, const std::string& name, const char* address)
{
    ifreq req;
    std::memset(&req, 0, sizeof(req));
    std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
    if (!*address) {
        req.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
        return ::ioctl(sock, SIOCSIFFLAGS, &req) == 0;
    }
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    ::inet_aton(address, &sin.sin_addr);
    std::memcpy(&req.ifr_addr, &sin, sizeof(sin));
    return ::ioctl(sock, SIOCSIFADDR, &req) == 0;
}

} // namespace

TEST(Net, IfconfigModesOnThisMachine)
{
    EXPECT_EQ(1u, addresses(0).count("127.0.0.1"));
    EXPECT_EQ(0u, addresses(Net::if_not_loopback).count("127.0.0.1"));
    std::list<std::string> names;
    EXPECT_EQ(1, Net::ifconfig(names, 0, IFF_LOOPBACK | IFF_UP));
    EXPECT_EQ(std::list<std::string>{"lo"}, names);
}

TEST(Net, ManyInterfacesEveryModeFlag)
{
    ScopedNetNamespace net;
    if (!net.entered)
        GTEST_SKIP() << "cannot enter a private network namespace";
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(configure(sock.get(), "lo", ""));

    const std::set<std::string> linkLocal = {"169.254.3.4"};
    const std::set<std::string> priv = {"192.168.7.1", "172.16.0.1", "172.31.255.254", "10.255.0.1"};
    std::vector<std::string> aliases = {"169.254.3.4", "192.168.7.1", "172.16.0.1", "172.31.255.254", "10.255.0.1",
                                        "169.255.0.1", "192.169.0.1", "172.32.0.1", "172.15.255.255", "11.0.0.1"};
    // Far more entries than a fixed buffer of a few hundred bytes holds.
    for (int i = 0; i < 60; ++i)
        aliases.push_back("11.1." + std::to_string(i) + ".1");
    for (size_t i = 0; i < aliases.size(); ++i)
        ASSERT_TRUE(configure(sock.get(), "lo:" + std::to_string(i), aliases[i].c_str())) << aliases[i];

    int count = 0;
    EXPECT_EQ(71u, addresses(0, &count).size()); // 127.0.0.1 on "lo" and every alias
    EXPECT_EQ(71, count);
    EXPECT_EQ(70u, addresses(Net::if_not_loopback).size()); // alias labels are not "lo"
    EXPECT_EQ(linkLocal, addresses(Net::if_link_local));
    EXPECT_EQ(priv, addresses(Net::if_private));
    std::set<std::string> both = priv;
    both.insert(linkLocal.begin(), linkLocal.end());
    EXPECT_EQ(both, addresses(Net::if_link_local | Net::if_private));

    std::list<std::string> names;
    EXPECT_EQ(4, Net::ifconfig(names, Net::if_private, IFF_UP));
    for (const std::string& n : names)
        EXPECT_EQ(0u, n.rfind("lo:", 0)) << n;
}

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
        // inet_aton's shorthand is no address here
        {"127.1", false, -1, "9.9.9.9:7"},
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
        int port = 12345;
        EXPECT_EQ(c.ok, a.Assign(c.text, &port));
        EXPECT_EQ(c.reported, port);
        EXPECT_EQ(c.after, a.GetString());
        EXPECT_EQ(c.ok, b.Assign(std::string(c.text), nullptr));
    }
    // The C form would read only "10.1.2.3" and accept a text never meant.
    INet4::Addr c;
    int port = 0;
    EXPECT_FALSE(c.Assign(std::string("10.1.2.3\0:80", 12), &port));
    EXPECT_EQ(-1, port);
    EXPECT_EQ("0.0.0.0:0", c.GetString());
}

// Only four decimal parts of 0..255 with nothing around them; every
// address that inet_pton reads, read alike.
TEST(INet4Addr, DottedQuadTable)
{
    const struct {
        const char* text;
        uint32_t address; // host order; 0 with ok false
        bool ok;
    } cases[] = {
        {"10.1.2.3", 0x0A010203, true},
        {"0.0.0.0", 0, true},
        {"255.255.255.255", 0xFFFFFFFF, true},
        {"192.168.100.9", 0xC0A86409, true},
        {"", 0, false},
        {"bogus", 0, false},
        {"1.2.3", 0, false},
        {"127.1", 0, false},
        {"1.2.3.4.5", 0, false},
        {"1.2.3.", 0, false},
        {".1.2.3", 0, false},
        {"1..2.3", 0, false},
        {"256.1.1.1", 0, false},
        {"1.2.3.256", 0, false},
        {"1.2.3.1000", 0, false},
        {"01.2.3.4", 0, false}, // octal to inet_aton
        {"1.2.3.04", 0, false},
        {"0x1.2.3.4", 0, false},
        {"0xA010203", 0, false},
        {"167838211", 0, false},
        {" 1.2.3.4", 0, false},
        {"1.2.3.4 ", 0, false},
        {"1.2.3.4\n", 0, false},
        {"+1.2.3.4", 0, false},
        {"1.-2.3.4", 0, false},
        {"1.2.3.4:80", 0, false},
        {"1.2.3.4x", 0, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        uint32_t address = 0x5A5A5A5A;
        EXPECT_EQ(c.ok, INet4::ParseDottedQuad(std::string(c.text), address));
        EXPECT_EQ(c.ok ? htonl(c.address) : 0x5A5A5A5Au, address) << "a refusal leaves it alone";
        in_addr a;
        EXPECT_EQ(c.ok, ::inet_pton(AF_INET, c.text, &a) == 1);
        if (c.ok) {
            EXPECT_EQ(a.s_addr, address);
        }
    }
    // Only the characters given count: no NUL ends the text early.
    uint32_t address = 0;
    EXPECT_TRUE(INet4::ParseDottedQuad("10.1.2.3:80", 8, address));
    EXPECT_EQ(htonl(0x0A010203u), address);
    EXPECT_FALSE(INet4::ParseDottedQuad(std::string("10.1.2.3\0", 9), address));
}

TEST(INet4Addr, SockaddrLayout)
{
    INet4::Addr a;
    ASSERT_TRUE(a.Assign("10.1.2.3:5060", nullptr));
    const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(&a);
    EXPECT_EQ(AF_INET, sin->sin_family);
    EXPECT_EQ(5060, ntohs(sin->sin_port));
    EXPECT_EQ(0x0A010203u, ntohl(sin->sin_addr.s_addr));
    a.Assign(static_cast<unsigned long>(htonl(0xC0A80001u))); // the port stays
    EXPECT_EQ("192.168.0.1:5060", a.GetString());
}
