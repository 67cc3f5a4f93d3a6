// One network interface of the board: its name, its index and whether its
// link runs, smoothed over the last three samples.
#pragma once

#include <list>
#include <string>

struct ifreq;

namespace NetIf {

// The interface name and flag requests, and the socket that carries them.
// The board's is a raw packet socket; tests put their own in its place.
class Probe {
public:
    virtual ~Probe() = default;
    // A socket for the requests, or below 0 with errno.
    virtual int open() = 0;
    // SIOCGIFNAME or SIOCGIFFLAGS on the record; 0, or -1 with errno.
    virtual int request(int sock, unsigned long number, ifreq& record) = 0;
    virtual void close(int sock) = 0;
};

// The probe every holder asks: the board's unless one was installed.
Probe& probe();
// Install a probe (not owned); null restores the board's.
void set_probe(Probe* p);

class ScopedProbe {
public:
    explicit ScopedProbe(Probe& p) { set_probe(&p); }
    ~ScopedProbe() { set_probe(nullptr); }
    ScopedProbe(const ScopedProbe&) = delete;
    ScopedProbe& operator=(const ScopedProbe&) = delete;
};

// The name of every interface index 0..15 that has one, in index order.
std::list<std::pair<int, std::string>> list();

} // namespace NetIf

class NetIfDataHolder {
public:
    NetIfDataHolder(int index, const std::string& name);

    // One sample through the probe; true when the smoothed state changed.
    bool updateNetIf();
    // One raw sample (1 running, 0 not); true when the smoothed state changed.
    bool setNetIfStatus(int running);

    int running() const { return mRunning; }
    int ifOperStatus() const { return mOperStatus; }
    int ifAdminStatus() const { return mAdminStatus; }
    int index() const { return mIndex; }
    const std::string& name() const { return mName; }

private:
    int mRunning = -1;
    int mOperStatus = 2;
    int mAdminStatus = 2;
    std::list<int> mSamples;
    int mIndex;
    std::string mName;
};
