#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "runtime/fd.h"
#include "runtime/net.h"

namespace {

std::set<std::string> addresses(Net::ifconfig_mode_t mode, int* count = nullptr)
{
    std::list<INet4::Addr> out;
    int n = Net::ifconfig(out, mode);
    if (count)
        *count = n;
    std::set<std::string> texts;
    for (const INet4::Addr& a : out) {
        std::string s = a.GetString();
        texts.insert(s.substr(0, s.find(':')));
    }
    return texts;
}

// Moves the calling thread into a fresh namespace of one kind and back.
class ScopedNamespace {
public:
    ScopedNamespace(const char* kind, int flag)
        : mFlag(flag), mOld(::open((std::string("/proc/self/ns/") + kind).c_str(), O_RDONLY | O_CLOEXEC))
    {
        mEntered = mOld && ::unshare(flag) == 0;
    }
    ~ScopedNamespace()
    {
        if (mEntered && ::setns(mOld.get(), mFlag) != 0)
            std::abort(); // the rest of the suite would run in the wrong world
    }
    bool entered() const { return mEntered; }

private:
    int mFlag;
    Fd mOld;
    bool mEntered = false;
};

bool ifUp(int sock, const char* name)
{
    ifreq req;
    std::memset(&req, 0, sizeof(req));
    std::strncpy(req.ifr_name, name, IFNAMSIZ - 1);
    if (::ioctl(sock, SIOCGIFFLAGS, &req) != 0)
        return false;
    req.ifr_flags |= IFF_UP;
    return ::ioctl(sock, SIOCSIFFLAGS, &req) == 0;
}

bool addAlias(int sock, const std::string& label, const char* address)
{
    ifreq req;
    std::memset(&req, 0, sizeof(req));
    std::strncpy(req.ifr_name, label.c_str(), IFNAMSIZ - 1);
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    ::inet_aton(address, &sin.sin_addr);
    std::memcpy(&req.ifr_addr, &sin, sizeof(sin));
    return ::ioctl(sock, SIOCSIFADDR, &req) == 0;
}

} // namespace

TEST(Net, HostnameOfThisMachine)
{
    utsname u;
    ASSERT_EQ(0, ::uname(&u));
    EXPECT_EQ(u.nodename, Net::hostname());
}

TEST(Net, HostnameIsSetWithItsExactLength)
{
    ScopedNamespace uts("uts", CLONE_NEWUTS);
    if (!uts.entered())
        GTEST_SKIP() << "cannot enter a private UTS namespace";
    ASSERT_EQ(0, Net::hostname(std::string("vb-test-host")));
    EXPECT_EQ("vb-test-host", Net::hostname());
    // Only the string's characters count, not what follows in memory.
    ASSERT_EQ(0, Net::hostname(std::string("ab\0cd", 2)));
    EXPECT_EQ("ab", Net::hostname());
    EXPECT_NE(0, Net::hostname(std::string(200, 'x')));
    EXPECT_EQ("ab", Net::hostname());
}

TEST(Net, IfconfigModesOnThisMachine)
{
    int count = 0;
    std::set<std::string> all = addresses(0, &count);
    ASSERT_GE(count, 1);
    EXPECT_EQ(1u, all.count("127.0.0.1"));

    std::set<std::string> external = addresses(Net::if_not_loopback);
    EXPECT_EQ(0u, external.count("127.0.0.1"));
    EXPECT_EQ(all.size() - 1, external.size());

    for (const std::string& a : addresses(Net::if_private)) {
        SCOPED_TRACE(a);
        EXPECT_TRUE(a.rfind("10.", 0) == 0 || a.rfind("192.168.", 0) == 0 || a.rfind("172.", 0) == 0);
    }

    std::list<std::string> names;
    EXPECT_EQ(count, Net::ifconfig(names, 0, 0));
    EXPECT_NE(names.end(), std::find(names.begin(), names.end(), "lo"));
    names.clear();
    Net::ifconfig(names, Net::if_not_loopback, IFF_LOOPBACK);
    EXPECT_TRUE(names.empty());
    names.clear();
    EXPECT_EQ(1, Net::ifconfig(names, 0, IFF_LOOPBACK | IFF_UP));
    EXPECT_EQ(std::list<std::string>{"lo"}, names);
}

TEST(Net, ManyInterfacesEveryModeFlag)
{
    ScopedNamespace net("net", CLONE_NEWNET);
    if (!net.entered())
        GTEST_SKIP() << "cannot enter a private network namespace";
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ASSERT_TRUE(sock);
    ASSERT_TRUE(ifUp(sock.get(), "lo"));

    // Which of link-local (2) and private (4) each address is.
    const struct {
        const char* address;
        unsigned kind;
    } special[] = {
        {"169.254.3.4", 2}, {"169.255.0.1", 0}, {"192.168.7.1", 4}, {"192.169.0.1", 0},
        {"172.16.0.1", 4},  {"172.31.255.254", 4}, {"172.32.0.1", 0}, {"172.15.255.255", 0},
        {"10.255.0.1", 4},  {"11.0.0.1", 0},
    };
    int label = 1;
    for (const auto& s : special)
        ASSERT_TRUE(addAlias(sock.get(), "lo:" + std::to_string(label++), s.address)) << s.address;
    // Far more entries than a fixed buffer of a few hundred bytes holds.
    for (int i = 0; i < 60; ++i)
        ASSERT_TRUE(addAlias(sock.get(), "lo:" + std::to_string(label++), ("11.1." + std::to_string(i) + ".1").c_str()));

    std::vector<ifreq> small, large;
    ASSERT_TRUE(Net::if_list(sock.get(), small, 1));
    ASSERT_TRUE(Net::if_list(sock.get(), large, 4096));
    EXPECT_EQ(71u, small.size()); // 127.0.0.1 on "lo" and every alias
    EXPECT_EQ(large.size(), small.size());

    std::set<std::string> linkLocal, priv;
    for (const auto& s : special) {
        if (s.kind & 2)
            linkLocal.insert(s.address);
        if (s.kind & 4)
            priv.insert(s.address);
    }
    std::set<std::string> both = linkLocal;
    both.insert(priv.begin(), priv.end());

    int count = 0;
    EXPECT_EQ(71u, addresses(0, &count).size());
    EXPECT_EQ(71, count);
    std::set<std::string> aliases = addresses(Net::if_not_loopback, &count);
    EXPECT_EQ(70, count); // the alias labels are not "lo"
    EXPECT_EQ(0u, aliases.count("127.0.0.1"));
    EXPECT_EQ(linkLocal, addresses(Net::if_link_local));
    EXPECT_EQ(priv, addresses(Net::if_private));
    EXPECT_EQ(both, addresses(Net::if_link_local | Net::if_private));
    EXPECT_EQ(70u, addresses(Net::if_not_loopback | Net::if_private).size());

    std::list<std::string> names;
    EXPECT_EQ(4, Net::ifconfig(names, Net::if_private, IFF_UP));
    EXPECT_EQ(4u, names.size());
    for (const std::string& n : names)
        EXPECT_EQ(0u, n.rfind("lo:", 0)) << n;
}
