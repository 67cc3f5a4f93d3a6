// Pieces of the monitoring tests: a file tree standing for the board's
// /var, /usr/local/etc and /proc, an SNMP agent on loopback TCP, and a
// network interface probe fed by the test.
#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "monitoring/netif_data.h"
#include "runtime/fd.h"
#include "runtime/ini_file.h"
#include "runtime/paths.h"
#include "tests/monitoring/mon_support.h"
#include "tests/support/test_support.h"

namespace vbtest {

// The directories of a board under a temporary root that Paths::resolve
// points at while the tree lives. The working directory is put back too,
// since the configuration scan moves it.
class BoardTree {
public:
    BoardTree()
    {
        char dir[PATH_MAX];
        mCwd = ::getcwd(dir, sizeof(dir)) ? dir : "/";
        for (const char* d : {"/var", "/usr", "/usr/local", "/usr/local/etc", "/proc", "/proc/voice", "/proc/driver",
                              "/proc/driver/hdlc", "/proc/driver/hdlc/peb22554"})
            ::mkdir(path(d).c_str(), 0755);
    }
    ~BoardTree() { (void)!::chdir(mCwd.c_str()); }
    BoardTree(const BoardTree&) = delete;
    BoardTree& operator=(const BoardTree&) = delete;

    std::string path(const std::string& boardPath) const { return mRoot.path() + boardPath; }
    void write(const std::string& boardPath, const std::string& text) const
    {
        std::ofstream(path(boardPath), std::ios::binary | std::ios::trunc) << text;
    }
    std::string read(const std::string& boardPath) const { return read_file(path(boardPath)); }
    bool exists(const std::string& boardPath) const
    {
        struct stat st;
        return ::lstat(path(boardPath).c_str(), &st) == 0;
    }
    const std::string& cwd() const { return mCwd; }

private:
    TempDir mRoot;
    Paths::ScopedRoot mUse{mRoot.path()};
    std::string mCwd;
};

// A configuration file from its text.
inline void ini_from(IniFile::File& file, const std::string& text)
{
    std::istringstream in(text);
    in >> file;
}

// An SNMP agent on loopback TCP: it accepts the server's link, keeps every
// message it receives and answers when asked.
class FakeAgent {
public:
    // Listening on port (0: one of the kernel's choice).
    explicit FakeAgent(uint16_t port = 0)
    {
        mListener.reset(listen_loopback(port, mPort));
        NonBlockMode(mListener.get());
    }
    uint16_t port() const { return mPort; }
    std::string host() const { return "127.0.0.1:" + std::to_string(mPort); }
    // Takes the link waiting to be accepted; true when there is one.
    bool accept()
    {
        Fd link(::accept4(mListener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!link)
            return false;
        mLink = std::move(link);
        mBuffer.clear();
        mEof = false;
        return true;
    }
    bool linked() const { return static_cast<bool>(mLink); }
    // Reads what has arrived; true when the server closed the link.
    bool closed()
    {
        poll();
        return mEof;
    }
    void close() { mLink.reset(); }
    // Every message received since the last take.
    std::vector<MonReceived> take()
    {
        poll();
        std::vector<MonReceived> out;
        out.swap(mGot);
        return out;
    }
    void send(const std::string& payload)
    {
        size_t n = payload.size() + 4;
        send_raw(std::string{3, 0, char(n >> 8), char(n & 0xFF)} + payload);
    }
    void send_raw(const std::string& bytes) { (void)!::send(mLink.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL); }

private:
    void poll()
    {
        char buf[65536];
        ssize_t n;
        while (mLink && (n = ::recv(mLink.get(), buf, sizeof(buf), 0)) > 0)
            mBuffer.append(buf, static_cast<size_t>(n));
        if (mLink && n == 0)
            mEof = true;
        for (const std::string& f : take_frames(mBuffer))
            mGot.emplace_back(f);
    }

    Fd mListener;
    uint16_t mPort = 0;
    Fd mLink;
    std::string mBuffer;
    bool mEof = false;
    std::vector<MonReceived> mGot;
};

// Every item text of the messages, in order.
inline std::vector<std::string> item_texts(const std::vector<MonReceived>& got)
{
    std::vector<std::string> out;
    for (const MonReceived& m : got)
        for (const std::string& t : m.texts())
            out.push_back(t);
    return out;
}

inline std::vector<std::string> kinds(const std::vector<MonReceived>& got)
{
    std::vector<std::string> out;
    for (const MonReceived& m : got)
        out.push_back(m.kind);
    return out;
}

// Interfaces as the test says: names by index and, per index, the raw
// running samples still to come (each request takes one); failures by
// request. The socket it hands out is a number of its own choosing, and
// it counts the ones not closed.
class FakeProbe : public NetIf::Probe {
public:
    std::map<int, std::string> names;
    std::map<int, std::deque<int>> running;
    int socket = 100;
    int openErrno = 0;
    int open_sockets = 0;
    unsigned long failing = 0;

    int open() override
    {
        if (openErrno) {
            errno = openErrno;
            return -1;
        }
        ++open_sockets;
        return socket;
    }
    int request(int sock, unsigned long number, ifreq& r) override
    {
        auto it = names.find(r.ifr_ifindex);
        if (sock != socket || number == failing || (number == SIOCGIFNAME && it == names.end())) {
            errno = ENODEV;
            return -1;
        }
        if (number == SIOCGIFNAME) {
            std::strncpy(r.ifr_name, it->second.c_str(), IFNAMSIZ - 1);
            mLast = it->first;
            return 0;
        }
        std::deque<int>& samples = running[mLast];
        int sample = samples.empty() ? 0 : samples.front();
        if (!samples.empty())
            samples.pop_front();
        r.ifr_flags = static_cast<short>(sample ? IFF_UP | IFF_RUNNING : IFF_UP);
        return 0;
    }
    void close(int sock) override
    {
        if (sock == socket)
            --open_sockets;
    }

private:
    int mLast = -1;
};

} // namespace vbtest
