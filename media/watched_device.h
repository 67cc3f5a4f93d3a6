// The event records of a board descriptor that the loop watches, read by
// the one rule for every such descriptor (Device::poll_end and
// Device::read_end): the handler reads what waits and learns whether the
// descriptor is over, and then stops watching it in that same call.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <iostream>

#include "board/device.h"
#include "runtime/ext.h"

namespace Hardware {

// Why a watched descriptor is over (null while it lives), and the errno
// that reports its end to a controller: the failed read's own, else
// ENODEV, as the device itself ended it.
struct DeviceEnd {
    const char* why = nullptr;
    int error = 0;

    explicit operator bool() const { return why != nullptr; }
};

// What a read's result means; nothing for data or a transient error.
DeviceEnd ReadEnd(ssize_t n, int err);
// What the bits of a poll result mean.
DeviceEnd PollEnd(short revents);

// On input, reads records of `size` bytes into `record` until the driver
// has no more, calling take() for each whole one; a short record is
// dropped with a line and ends this pass's reading (the rest waits for
// the next). Returns the descriptor's end, if it is over.
template <class Owner, class Take>
DeviceEnd ReadRecords(const Owner* owner, const char* name, int fd, short revents, void* record, size_t size,
                      Take take)
{
    if (revents & POLLIN) {
        for (;;) {
            ssize_t n = Device::read(fd, record, size);
            int err = errno;
            if (n == static_cast<ssize_t>(size)) {
                take();
                continue;
            }
            if (n > 0) {
                std::cerr << ext::header(owner) << "short " << name << " record of " << n << " bytes dropped"
                          << std::endl;
                break;
            }
            if (DeviceEnd end = ReadEnd(n, err))
                return end;
            break;
        }
    }
    return PollEnd(revents);
}

} // namespace Hardware
