#include "media/device_service.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "board/device.h"
#include "runtime/ext.h"

namespace Hardware {

DeviceService::DeviceService(const Setup& setup) : mSetup(setup)
{
    init();
}

void DeviceService::PutHeader(std::ostream& out) const
{
    out << mSetup.name << ": ";
}

bool DeviceService::init()
{
    Fd dev(Device::open(mSetup.path, mSetup.flags | O_NONBLOCK | O_CLOEXEC));
    if (!dev) {
        int error = errno;
        std::cerr << ext::header(this) << mSetup.openFailure << std::strerror(error) << std::endl;
        return false;
    }
    mEvent.Bind(mSetup.handler, &DeviceService::OnEvent, this);
    mEvent.Schedule(dev, POLLIN);
    return true;
}

bool DeviceService::ready(const char* what, uint32_t timeslot)
{
    if (fd() < 0 && !init()) {
        std::cerr << ext::header(this) << what << " fail: (interface not opened)"
                  << " timeslot=" << timeslot << std::endl;
        return false;
    }
    return true;
}

void DeviceService::OnEvent(int fd, short revents)
{
    if (revents & POLLIN) {
        alignas(8) unsigned char record[kMaxRecord];
        const ssize_t size = static_cast<ssize_t>(mSetup.recordSize);
        for (;;) {
            ssize_t n = Device::read(fd, record, mSetup.recordSize);
            if (n == size) {
                dispatch_record(record);
                continue;
            }
            if (n == 0)
                return stop_watching("end of file");
            if (n > 0)
                std::cerr << ext::header(this) << "short " << mSetup.name << " record of " << n << " bytes dropped"
                          << std::endl;
            else if (errno != EAGAIN && errno != EWOULDBLOCK)
                std::cerr << ext::header(this) << "fail to read from " << mSetup.name << ": " << std::strerror(errno)
                          << std::endl;
            break;
        }
    }
    if (revents & (POLLHUP | POLLERR | POLLNVAL))
        stop_watching(revents & POLLHUP ? "hang-up" : "error");
}

void DeviceService::stop_watching(const char* why)
{
    std::cerr << ext::header(this) << mSetup.name << " device lost (" << why
              << "), events off until the next configuration" << std::endl;
    mEvent.Release();
}

} // namespace Hardware
