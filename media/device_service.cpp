#include "media/device_service.h"

#include <fcntl.h>

#include <algorithm>
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

// A device that stays away costs one line, not one an attempt; the open
// that brings it back says so with the count (device()).
bool DeviceService::init()
{
    Fd dev(Device::open(mSetup.path, mSetup.flags | O_NONBLOCK | O_CLOEXEC));
    if (!dev) {
        int error = errno;
        if (mFailedOpens++ == 0)
            std::cerr << ext::header(this) << mSetup.openFailure << std::strerror(error) << std::endl;
        return false;
    }
    mDescriptors.renew();
    mEvent.Bind(mSetup.handler, &DeviceService::OnEvent, this);
    mEvent.Schedule(dev, POLLIN);
    return true;
}

// Only a missing device asks whether the retry is needed: wishes become
// untold by a loss or a refused restore, never on a request's way. The
// device is back once a request on its new descriptor works: one that
// opens and then fails every request with ENODEV is not back, and is
// opened again only once a second.
int DeviceService::device()
{
    if (fd() < 0 && mOnlyRetryOpens)
        retry_later(true);
    else if (fd() < 0)
        reopen();
    return fd();
}

void DeviceService::reopen()
{
    if (init()) {
        mUnproven = true;
        mRestoring = true;
        unsigned long again = restore();
        mRestoring = false;
        if (fd() >= 0 && !mUnproven)
            back(again);
    }
    retry_later();
}

void DeviceService::back(unsigned long again)
{
    mUnproven = false;
    mOnlyRetryOpens = false;
    std::cerr << ext::header(this) << "device back";
    if (mFailedOpens)
        std::cerr << " after " << mFailedOpens << " failed open(s)";
    if (again)
        std::cerr << ", " << again << " request(s) of the receivers made again";
    std::cerr << std::endl;
    mFailedOpens = 0;
    mRuns.end_all();
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
    return reach(Device::ioctl(fd(), number, arg), name, timeslot, detail);
}

int DeviceService::request_value(unsigned long number, unsigned long value, const std::string& name,
                                  uint32_t timeslot)
{
    return reach(Device::ioctl_value(fd(), number, value), name, timeslot, std::string());
}

int DeviceService::reach(int result, const std::string& name, uint32_t timeslot, const std::string& detail)
{
    if (result >= 0) {
        // The restore that opened it says how much it told.
        if (mUnproven && !mRestoring)
            back(0);
        mUnproven = false;
        succeeded(name);
        return result;
    }
    int error = fd() < 0 ? 0 : errno;
    failed(name, timeslot, error, detail);
    // The failure's line says why the descriptor is over.
    if (error && Device::request_end(error))
        lost(nullptr);
    return -1;
}

void DeviceService::failed(const std::string& name, uint32_t timeslot, int error, const std::string& detail)
{
    // A device that is gone fails as one that is not open.
    if (!mRuns.failed(name, error == ENODEV ? 0 : error))
        return;
    std::cerr << ext::header(this) << name << " fail:";
    if (error == 0)
        std::cerr << " (interface not opened) timeslot=" << timeslot << std::endl;
    else
        std::cerr << " timeslot=" << timeslot << detail << " errno=\"" << std::strerror(error) << '"' << std::endl;
}

void DeviceService::succeeded(const std::string& name)
{
    mRuns.succeeded(name);
}

void DeviceService::retry_later(bool wanted)
{
    if (!mRetry.pending() && (wanted || untold()))
        mRetry.set(kRetryMs, &DeviceService::OnRetry, this);
}

void DeviceService::OnRetry()
{
    if (fd() < 0) {
        reopen();
        return;
    }
    if (unsigned long again = restore())
        std::cerr << ext::header(this) << again << " request(s) of the receivers made again" << std::endl;
    retry_later();
}

void DeviceService::OnEvent(int fd, short revents)
{
    alignas(8) unsigned char record[kMaxRecord];
    Device::End end = Device::read_records(this, mSetup.name, fd, revents, record, mSetup.recordSize, mShortRecords,
                                           [&] { dispatch_record(record); });
    if (end)
        lost(end.why);
}

// Closed, not only unwatched: the retry or the next request opens a fresh
// descriptor, which the driver knows nothing about.
void DeviceService::lost(const char* why)
{
    if (why)
        std::cerr << ext::header(this) << "fail to read from " << mSetup.name << ": " << why << std::endl;
    mEvent.Release();
    mDescriptors.renew();
    // An open that did not hold until a request worked on it.
    if (mUnproven) {
        ++mFailedOpens;
        mUnproven = false;
        mOnlyRetryOpens = true;
    }
    retry_later(mOnlyRetryOpens);
}

} // namespace Hardware
