#include "runtime/net.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "runtime/fd.h"

namespace Net {

namespace {

// Past this many entries a listing is taken as it is rather than grown
// without end.
const size_t kMaxEntries = 65536;

bool inNet(uint32_t host, uint32_t net, int bits)
{
    uint32_t mask = bits ? ~uint32_t(0) << (32 - bits) : 0;
    return (host & mask) == net;
}

bool included(const ifreq& entry, ifconfig_mode_t mode)
{
    if (mode == 0)
        return true;
    const sockaddr_in* sin = reinterpret_cast<const sockaddr_in*>(&entry.ifr_addr);
    uint32_t host = ntohl(sin->sin_addr.s_addr);
    if ((mode & if_not_loopback) && ::strncasecmp(entry.ifr_name, "lo", IFNAMSIZ) != 0)
        return true;
    if ((mode & if_link_local) && inNet(host, 0xA9FE0000u, 16))
        return true;
    if ((mode & if_private)
        && (inNet(host, 0xC0A80000u, 16) || inNet(host, 0xAC100000u, 12) || inNet(host, 0x0A000000u, 8)))
        return true;
    return false;
}

// The SIOCGIFCONF listing, however many interfaces there are: the buffer
// grows until the listing fits. False when the request fails.
bool if_list(int sock, std::vector<ifreq>& out)
{
    size_t room = 16;
    for (;;) {
        std::vector<ifreq> buf(room); // zeroed
        ifconf conf;
        conf.ifc_len = static_cast<int>(room * sizeof(ifreq));
        conf.ifc_req = buf.data();
        if (::ioctl(sock, SIOCGIFCONF, &conf) < 0)
            return false;
        size_t used = static_cast<size_t>(conf.ifc_len) / sizeof(ifreq);
        // The kernel fills what fits and says nothing of the rest: a full
        // buffer may have been cut short, so only one with room to spare
        // is known to hold the whole listing.
        if (used < room || room >= kMaxEntries) {
            buf.resize(used);
            out.swap(buf);
            return true;
        }
        room *= 2;
    }
}

// Runs visit(sock, entry) on every included AF_INET entry of the listing;
// -1 when the socket or the listing fails, else the number of visits that
// returned true.
template <class Visit>
int forEachIncluded(ifconfig_mode_t mode, Visit visit)
{
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock)
        return -1;
    std::vector<ifreq> entries;
    if (!if_list(sock.get(), entries))
        return -1;
    int count = 0;
    for (const ifreq& entry : entries)
        if (entry.ifr_addr.sa_family == AF_INET && included(entry, mode) && visit(sock.get(), entry))
            ++count;
    return count;
}

} // namespace

std::string hostname()
{
    char name[512];
    if (::gethostname(name, sizeof(name)) != 0)
        return std::string();
    name[sizeof(name) - 1] = '\0'; // a truncated name need not be terminated
    return name;
}

int hostname(const std::string& name)
{
    return ::sethostname(name.data(), name.size());
}

int ifconfig(std::list<INet4::Addr>& out, ifconfig_mode_t mode)
{
    return forEachIncluded(mode, [&out](int sock, const ifreq& entry) {
        ifreq query = entry;
        if (::ioctl(sock, SIOCGIFADDR, &query) < 0)
            return false;
        sockaddr_in sin;
        std::memcpy(&sin, &query.ifr_addr, sizeof(sin));
        out.push_back(INet4::Addr(sin));
        return true;
    });
}

int ifconfig(std::list<std::string>& out, ifconfig_mode_t mode, unsigned flags)
{
    return forEachIncluded(mode, [&out, flags](int sock, const ifreq& entry) {
        ifreq query = entry;
        if (::ioctl(sock, SIOCGIFADDR, &query) < 0)
            return false;
        query = entry;
        if (::ioctl(sock, SIOCGIFFLAGS, &query) < 0)
            return false;
        unsigned have = static_cast<unsigned short>(query.ifr_flags);
        if ((have & flags) != flags)
            return false;
        out.push_back(std::string(entry.ifr_name, strnlen(entry.ifr_name, IFNAMSIZ)));
        return true;
    });
}

} // namespace Net
