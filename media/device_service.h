// What the tone and DSP services share: one device descriptor opened at
// first use and again by any request that finds it missing, watched for
// event records of one size, each handed to the service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>

#include "board/watched_device.h"
#include "runtime/multiplexer.h"

namespace Hardware {

class DeviceService {
public:
    struct Setup {
        const char* name;        // log prefix and texts: "tonec"
        const char* path;        // the device
        int flags;               // of the open, besides non-blocking and close-on-exec
        const char* openFailure; // "open tonec fail, DTMF proceeding disabled: "
        const char* handler;     // the Event's name
        size_t recordSize;       // of one event record, at most kMaxRecord
    };
    static constexpr size_t kMaxRecord = 64;

    DeviceService(const DeviceService&) = delete;
    DeviceService& operator=(const DeviceService&) = delete;

    // Opens the device and watches it; false when it cannot be opened.
    bool init();
    // Input: every waiting record, each to dispatch_record. A descriptor
    // that is over (hung up, at its end, failing its reads) is closed with
    // one line; the next request of a slot opens the device again, so the
    // service comes back without an operator.
    void OnEvent(int fd, short revents);

    // The device descriptor, -1 without one.
    int fd() const { return mEvent.fd.get(); }
    void PutHeader(std::ostream& out) const;

protected:
    explicit DeviceService(const Setup& setup);
    virtual ~DeviceService() = default;

    // The descriptor for a request, the device opened again when missing
    // (and then restore()d); -1 when it still cannot be opened. Every
    // request of a slot asks for it, also one that then needs no ioctl: it
    // is what brings a lost device's events back.
    int device();
    // Before a configuration: the device, with the line
    // "<what> fail: (interface not opened)" when it cannot be opened.
    bool ready(const char* what, uint32_t timeslot);
    virtual void dispatch_record(const void* record) = 0;
    // A fresh descriptor replaced a missing one. The driver forgot what
    // the lost one switched on, but the receivers were answered that it is
    // on, and their controllers need not know the device went: switch it
    // on again.
    virtual void restore() = 0;

private:
    void lost(const char* why);

    Event mEvent;
    Device::ShortRecords mShortRecords;
    const Setup& mSetup;
};

// Makes S::instance() return a service of its own while it lives, so a test
// gets a fresh service on the board it installed.
template <class S>
class ScopedService {
public:
    ScopedService() : mOld(current()) { current() = &mService; }
    ~ScopedService() { current() = mOld; }
    ScopedService(const ScopedService&) = delete;
    ScopedService& operator=(const ScopedService&) = delete;
    S& service() { return mService; }

    // The scoped service, else the process's one.
    static S& instance()
    {
        if (S* s = current())
            return *s;
        static S one;
        return one;
    }

private:
    static S*& current()
    {
        static S* scoped = nullptr;
        return scoped;
    }

    S mService;
    S* mOld;
};

} // namespace Hardware
