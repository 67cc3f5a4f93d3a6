#include "media/device_service.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "runtime/ext.h"

namespace Hardware {

namespace {
Device::Holder::Setup holder_setup(const DeviceService::Setup& s)
{
    return Device::Holder::Setup(s.path, s.flags | O_NONBLOCK, s.openFailure);
}
} // namespace

DeviceService::DeviceService(const Setup& setup)
    : mSetup(setup), mHolder([this](std::ostream& out) { PutHeader(out); }, holder_setup(setup))
{
    mHolder.watch(mSetup.handler, mSetup.name, [this](int fd, short revents) { return input(fd, revents); });
    mHolder.attach(*this);
}

DeviceService::~DeviceService()
{
    mHolder.detach(*this);
    mHolder.close();
}

void DeviceService::PutHeader(std::ostream& out) const
{
    out << mSetup.name << ": ";
}

void DeviceService::reconcile(Device::Tally& made)
{
    made.count("request(s) of the receivers made again", restore());
}

bool DeviceService::present_for(const std::string& what, uint32_t timeslot)
{
    if (fd() >= 0)
        return true;
    failed(what, timeslot, 0);
    return false;
}

bool DeviceService::ready(const char* what, uint32_t timeslot)
{
    device();
    return present_for(what, timeslot);
}

int DeviceService::request(unsigned long number, void* arg, const std::string& name, uint32_t timeslot,
                           const std::string& detail)
{
    return reach(mHolder.ioctl(number, arg), name, timeslot, detail);
}

int DeviceService::request_value(unsigned long number, unsigned long value, const std::string& name,
                                 uint32_t timeslot)
{
    return reach(mHolder.ioctl_value(number, value), name, timeslot, std::string());
}

// The holder has seen the result (a success proves the device back, ENODEV
// lets the descriptor go); the service writes the request's own lines.
int DeviceService::reach(int result, const std::string& name, uint32_t timeslot, const std::string& detail)
{
    if (result >= 0) {
        mHolder.runs().succeeded(name);
        return result;
    }
    failed(name, timeslot, mHolder.refusal(), detail);
    return -1;
}

void DeviceService::failed(const std::string& name, uint32_t timeslot, int error, const std::string& detail)
{
    // A device that is gone fails as one that is not open.
    if (!mHolder.runs().failed(name, error == ENODEV ? 0 : error))
        return;
    std::cerr << ext::header(this) << name << " fail:";
    if (error == 0)
        std::cerr << " (interface not opened) timeslot=" << timeslot << std::endl;
    else
        std::cerr << " timeslot=" << timeslot << detail << " errno=\"" << std::strerror(error) << '"' << std::endl;
}

Device::End DeviceService::input(int fd, short revents)
{
    alignas(8) unsigned char record[kMaxRecord];
    return Device::read_records(this, mSetup.name, fd, revents, record, mSetup.recordSize, mShortRecords,
                                [&] { dispatch_record(record); });
}

} // namespace Hardware
