// The board's device files ("/dev/hal", "/dev/mcc/ctl", the watchdog ...)
// are reached only through this interface, shaped like the system calls
// (open, ioctl, read, write). On the board it forwards to the kernel; a
// simulated board can stand in its place. Descriptors are always real ones,
// so poll and Events work on them directly; copies and closes go through
// dup and close here (Fd does), so a driver that keeps a table of its
// descriptors hears of every copy and every close.
//
// Request numbers are the board's (PowerPC) ioctl numbers: direction in the
// top three bits (0x20000000 none, 0x40000000 out, 0x80000000 in), then a
// 13-bit record size, the type letter and the number.
#pragma once

#include <sys/types.h>

#include <string>

struct pollfd;

namespace Device {

class Driver {
public:
    virtual ~Driver() = default;
    // -1 with errno on failure, as the system calls.
    virtual int open(const std::string& path, int flags) = 0;
    virtual int ioctl(int fd, unsigned long request, void* arg) = 0;
    virtual ssize_t read(int fd, void* buf, size_t count) = 0;
    virtual ssize_t write(int fd, const void* buf, size_t count) = 0;
    // A close-on-exec copy of any descriptor, as fcntl(F_DUPFD_CLOEXEC).
    virtual int dup(int fd);
    // Closes any descriptor, as close(2).
    virtual int close(int fd);
    // What the driver says of its descriptors that the system's poll
    // cannot (a flush event raised only once what was written has left):
    // before each poll of the loop it takes out of the asked events those
    // it would not report now, and wakes the loop by a timer of its own
    // once it would. The kernel's drivers tell everything themselves.
    virtual void withhold(struct pollfd* /*fds*/, unsigned long /*nfds*/) {}
};

// The kernel's drivers; paths are opened through Paths::resolve.
class Kernel : public Driver {
public:
    int open(const std::string& path, int flags) override;
    int ioctl(int fd, unsigned long request, void* arg) override;
    ssize_t read(int fd, void* buf, size_t count) override;
    ssize_t write(int fd, const void* buf, size_t count) override;
};

// The driver every call below goes to: the kernel unless one was installed.
Driver& driver();
// Install a driver (not owned); null restores the kernel.
void set_driver(Driver* d);

class ScopedDriver {
public:
    explicit ScopedDriver(Driver& d) : mOld(&driver()) { set_driver(&d); }
    ~ScopedDriver() { set_driver(mOld); }
    ScopedDriver(const ScopedDriver&) = delete;
    ScopedDriver& operator=(const ScopedDriver&) = delete;

private:
    Driver* mOld;
};

int open(const std::string& path, int flags);
// A request whose argument is a record (or none).
int ioctl(int fd, unsigned long request, void* arg = nullptr);
// A request that takes its argument as a plain value.
int ioctl_value(int fd, unsigned long request, unsigned long value);
ssize_t read(int fd, void* buf, size_t count);
ssize_t write(int fd, const void* buf, size_t count);
int dup(int fd);
int close(int fd);

// The rule for every board descriptor the server watches: a descriptor is
// over on POLLHUP, POLLERR or POLLNVAL, on a read of 0 bytes (but where a
// read gives one payload, which may be empty: there only when the
// descriptor also reports its end), and on a read error other than
// EAGAIN, EWOULDBLOCK and EINTR. Its watcher stops
// watching it in that same call and says so in one line: watched again,
// it would wake the loop on every pass (and a failing read would log on
// every pass). Each says why the descriptor is over, or nothing while it
// lives; a transient error (EAGAIN, EINTR) changes nothing, and what waits
// is read on the next pass (Device::read_input, board/watched_device.h).
struct End {
    const char* why = nullptr; // null while the descriptor lives
    // The errno that reports the end to a controller: the failed read's
    // own, else ENODEV, as the device itself ended the descriptor.
    int error = 0;

    explicit operator bool() const { return why != nullptr; }
};
End poll_end(short revents);
// What a poll of fd says now, as the loop would read it: its end, or none
// while it runs (and for no descriptor).
End end_now(int fd);
End read_end(ssize_t n, int err);

// The rule for a request (an ioctl or a write) on any board descriptor that
// failed with err: ENODEV says the device is gone, and every later request
// on that descriptor would fail the same. Its holder lets it go at once
// and, unless it can do without the device, opens it again at its next
// need: a device that came back serves a fresh descriptor. Any other error
// is the request's own and leaves the descriptor as it is.
End request_end(int err);

// Whether the driver reports its flush event (POLLWRNORM) on fd now: what
// was written on it has left.
bool flushed_now(int fd);

} // namespace Device
