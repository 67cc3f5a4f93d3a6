#include "board/device.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "runtime/paths.h"

namespace Device {

int Kernel::open(const std::string& path, int flags)
{
    return ::open(Paths::resolve(path).c_str(), flags);
}

int Kernel::ioctl(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg);
}

ssize_t Kernel::read(int fd, void* buf, size_t count)
{
    return ::read(fd, buf, count);
}

ssize_t Kernel::write(int fd, const void* buf, size_t count)
{
    return ::write(fd, buf, count);
}

int Driver::dup(int fd)
{
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}

int Driver::close(int fd)
{
    return ::close(fd);
}

namespace {
Driver& kernel()
{
    // Never destroyed: descriptors held by objects that outlive the other
    // statics are still closed through it at exit.
    static Kernel* k = new Kernel;
    return *k;
}

Driver*& current()
{
    static Driver* d = &kernel();
    return d;
}
} // namespace

Driver& driver()
{
    return *current();
}

void set_driver(Driver* d)
{
    current() = d ? d : &kernel();
}

int open(const std::string& path, int flags)
{
    return driver().open(path, flags);
}

int ioctl(int fd, unsigned long request, void* arg)
{
    return driver().ioctl(fd, request, arg);
}

int ioctl_value(int fd, unsigned long request, unsigned long value)
{
    return driver().ioctl(fd, request, reinterpret_cast<void*>(static_cast<uintptr_t>(value)));
}

ssize_t read(int fd, void* buf, size_t count)
{
    return driver().read(fd, buf, count);
}

ssize_t write(int fd, const void* buf, size_t count)
{
    return driver().write(fd, buf, count);
}

int dup(int fd)
{
    return driver().dup(fd);
}

int close(int fd)
{
    return driver().close(fd);
}

End poll_end(short revents)
{
    if (revents & POLLNVAL)
        return End{"invalid descriptor", ENODEV};
    if (revents & POLLERR)
        return End{"error", ENODEV};
    if (revents & POLLHUP)
        return End{"hang-up", ENODEV};
    return End();
}

End end_now(int fd)
{
    pollfd p{fd, 0, 0};
    if (fd >= 0 && ::poll(&p, 1, 0) == 1)
        return poll_end(p.revents);
    return End();
}

End read_end(ssize_t n, int err)
{
    if (n > 0)
        return End();
    if (n == 0)
        return End{"end of file", ENODEV};
    if (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)
        return End();
    return End{std::strerror(err), err};
}

End request_end(int err)
{
    if (err != ENODEV)
        return End();
    return End{std::strerror(err), err};
}

bool flushed_now(int fd)
{
    pollfd p{fd, POLLWRNORM, 0};
    driver().withhold(&p, 1);
    return p.events != 0 && ::poll(&p, 1, 0) == 1 && (p.revents & POLLWRNORM);
}

} // namespace Device
