#include "monitoring/netif_data.h"

#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "runtime/trace_ctl.h"

namespace NetIf {

namespace {

// The flag requests need a socket and nothing of it: the board has no IP
// on some interfaces, so a packet socket is used rather than an inet one.
class BoardProbe : public Probe {
public:
    int open() override { return ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 255); }
    int request(int sock, unsigned long number, ifreq& record) override { return ::ioctl(sock, number, &record); }
    void close(int sock) override { ::close(sock); }
};

BoardProbe boardProbe;
Probe* current = &boardProbe;

void trace(const char* what)
{
    if (traces.monitoringInternal)
        std::clog << what << " errno=\"" << std::strerror(errno) << "\"" << std::endl;
}

// The record asks for the name of the interface index.
bool nameOf(Probe& p, int sock, int index, ifreq& record)
{
    std::memset(&record, 0, sizeof(record));
    record.ifr_ifindex = index;
    return p.request(sock, SIOCGIFNAME, record) == 0;
}

} // namespace

Probe& probe()
{
    return *current;
}

void set_probe(Probe* p)
{
    current = p ? p : &boardProbe;
}

std::list<std::pair<int, std::string>> list()
{
    std::list<std::pair<int, std::string>> found;
    Probe& p = probe();
    // Descriptor 0 is a socket like any other when stdin was closed.
    int sock = p.open();
    if (sock < 0)
        return found;
    for (int index = 0; index < 16; ++index) {
        ifreq record;
        if (nameOf(p, sock, index, record))
            found.emplace_back(index, std::string(record.ifr_name, strnlen(record.ifr_name, IFNAMSIZ)));
    }
    p.close(sock);
    return found;
}

} // namespace NetIf

NetIfDataHolder::NetIfDataHolder(int index, const std::string& name) : mIndex(index), mName(name) {}

bool NetIfDataHolder::updateNetIf()
{
    NetIf::Probe& p = NetIf::probe();
    int sock = p.open();
    if (sock < 0) {
        NetIf::trace("Error open socket: ");
        return false;
    }
    ifreq record;
    bool ok = NetIf::nameOf(p, sock, mIndex, record) && p.request(sock, SIOCGIFFLAGS, record) == 0;
    if (!ok)
        NetIf::trace("Error ioctl socket: ");
    p.close(sock);
    return ok && setNetIfStatus((record.ifr_flags & IFF_RUNNING) ? 1 : 0);
}

bool NetIfDataHolder::setNetIfStatus(int running)
{
    mSamples.push_back(running);
    while (mSamples.size() >= 4)
        mSamples.pop_front();
    int sum = 0;
    for (int s : mSamples)
        sum += s;
    int state = sum >= 2 ? 1 : 0;
    bool changed = state != mRunning;
    mRunning = state;
    mOperStatus = mAdminStatus = state == 1 ? 1 : 2;
    return changed;
}
