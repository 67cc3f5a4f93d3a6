#include "runtime/fd.h"

#include "board/device.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

Fd::~Fd()
{
    if (mFd >= 0)
        Device::close(mFd);
}

Fd& Fd::operator=(const Fd& other)
{
    if (this != &other)
        reset(other.dup());
    return *this;
}

Fd& Fd::operator=(Fd&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

void Fd::reset(int fd)
{
    if (mFd >= 0 && mFd != fd)
        Device::close(mFd);
    mFd = fd;
}

int Fd::dup() const
{
    if (mFd < 0)
        return -1;
    // F_DUPFD_CLOEXEC sets the flag atomically: a fork on another path
    // can never inherit a window without it. Through the device interface,
    // so a board that maps descriptors to devices knows the copy.
    return Device::dup(mFd);
}

int Fd::close()
{
    if (mFd < 0) {
        errno = EBADF;
        return -1;
    }
    int fd = mFd;
    mFd = -1;
    return Device::close(fd);
}

bool Fd::NonBlock() const
{
    return mFd >= 0 && NonBlockMode(mFd);
}

static bool setStatusFlag(int fd, int flag, bool on)
{
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return false;
    flags = on ? (flags | flag) : (flags & ~flag);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

bool NonBlockMode(int fd) { return setStatusFlag(fd, O_NONBLOCK, true); }
bool BlockMode(int fd) { return setStatusFlag(fd, O_NONBLOCK, false); }

bool SetCloexec(int fd, bool on)
{
    int flags = ::fcntl(fd, F_GETFD);
    if (flags < 0)
        flags = 0;
    flags = on ? (flags | FD_CLOEXEC) : (flags & ~FD_CLOEXEC);
    return ::fcntl(fd, F_SETFD, flags) != 0;
}
