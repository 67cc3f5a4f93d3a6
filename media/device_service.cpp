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

int DeviceService::device()
{
    if (fd() < 0 && init())
        restore();
    return fd();
}

bool DeviceService::ready(const char* what, uint32_t timeslot)
{
    if (device() < 0) {
        std::cerr << ext::header(this) << what << " fail: (interface not opened)"
                  << " timeslot=" << timeslot << std::endl;
        return false;
    }
    return true;
}

void DeviceService::OnEvent(int fd, short revents)
{
    alignas(8) unsigned char record[kMaxRecord];
    Device::End end = Device::read_records(this, mSetup.name, fd, revents, record, mSetup.recordSize, mShortRecords,
                                [&] { dispatch_record(record); });
    if (end)
        lost(end.why);
}

// Closed, not only unwatched: the next request opens a fresh descriptor.
void DeviceService::lost(const char* why)
{
    std::cerr << ext::header(this) << "fail to read from " << mSetup.name << ": " << why << std::endl;
    mEvent.Release();
}

} // namespace Hardware
