// A stand-in for the system log daemon: a UNIX socket bound at <root>/dev/log.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/fd.h"

namespace vbtest {

class LogReceiver {
public:
    // Binds a datagram socket (or a listening stream socket) at root/dev/log.
    LogReceiver(const std::string& root, int type = SOCK_DGRAM) : mPath(root + "/dev/log")
    {
        ::mkdir((root + "/dev").c_str(), 0700);
        ::unlink(mPath.c_str());
        mSock.reset(::socket(AF_UNIX, type | SOCK_CLOEXEC, 0));
        sockaddr_un a;
        std::memset(&a, 0, sizeof(a));
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, mPath.c_str(), sizeof(a.sun_path) - 1);
        mBound = ::bind(mSock.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0;
        if (type == SOCK_STREAM)
            mBound = mBound && ::listen(mSock.get(), 4) == 0;
    }
    ~LogReceiver() { vanish(); }

    bool bound() const { return mBound; }
    int fd() const { return mSock.get(); }

    // Closes the socket and removes its name, as a stopped daemon does.
    void vanish()
    {
        if (mSock) {
            mSock.close();
            ::unlink(mPath.c_str());
        }
    }

    // True when a datagram (or connection) waits.
    bool pending(int timeout_ms = 0) const
    {
        pollfd p = {mSock.get(), POLLIN, 0};
        return ::poll(&p, 1, timeout_ms) > 0;
    }

    // One datagram, waiting up to the time-out; empty when none came.
    std::string record(int timeout_ms = 2000) const
    {
        if (!pending(timeout_ms))
            return std::string();
        std::vector<char> buf(65536);
        ssize_t n = ::recv(mSock.get(), buf.data(), buf.size(), MSG_DONTWAIT);
        return n > 0 ? std::string(buf.data(), static_cast<size_t>(n)) : std::string();
    }

    // Every datagram that waits now.
    std::vector<std::string> drain() const
    {
        std::vector<std::string> out;
        while (pending())
            out.push_back(record(0));
        return out;
    }

private:
    std::string mPath;
    Fd mSock;
    bool mBound = false;
};

// The text of a record after its "<pri>time " head, without the NUL.
inline std::string record_body(const std::string& record, size_t head)
{
    if (record.size() <= head || record.back() != '\0')
        return "!malformed:" + record;
    return record.substr(head, record.size() - head - 1);
}

} // namespace vbtest
