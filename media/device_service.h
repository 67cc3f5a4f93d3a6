// What the tone and DSP services share: one device descriptor opened at
// first use and again by any request that finds it missing, watched for
// event records of one size, each handed to the service.
//
// What a receiver asked for and what the device was told on its present
// descriptor are kept apart: a driver forgets everything with its last
// descriptor, so a lost device (or a request it refused while it came
// back) leaves receivers whose wish the device does not know. While there
// is one, the service tries to open the device and tell it again once a
// second, so detection comes back on a quiet gateway too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "board/failure_runs.h"
#include "board/held.h"
#include "board/watched_device.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"

namespace Hardware {

// How a receiver's setting answers a device that does not take it now
// (board/held.h).
using Wish = Device::Wish;

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
    // Between two tries to open a lost device and tell it what receivers hold.
    static constexpr unsigned kRetryMs = 1000;

    DeviceService(const DeviceService&) = delete;
    DeviceService& operator=(const DeviceService&) = delete;

    // Opens the device and watches it; false when it cannot be opened.
    bool init();
    // Input: every waiting record, each to dispatch_record. A descriptor
    // that is over (hung up, at its end, failing its reads) is closed with
    // one line, and the device is opened again by the retry or the next
    // request that needs it.
    void OnEvent(int fd, short revents);

    // The device descriptor, -1 without one.
    int fd() const { return mEvent.fd.get(); }
    // Names the present descriptor for the settings it was told (0 without one).
    uint64_t present() const { return mDescriptors.present(fd() >= 0); }
    bool retrying() const { return mRetry.pending(); }
    void PutHeader(std::ostream& out) const;

protected:
    explicit DeviceService(const Setup& setup);
    virtual ~DeviceService() = default;

    // The descriptor for a request, the device opened again when missing
    // (and then restore()d); -1 when it still cannot be opened. A device
    // that opened but lost its descriptor before any request on it worked
    // is opened again only by the retry, not by every request.
    int device();
    // A request may go to the present descriptor: its line when there is none.
    bool present_for(const std::string& what, uint32_t timeslot);
    // Asks a held setting for want (Device::Held::set); tell(want) makes the
    // request. A held wish that the device does not take now is kept, and
    // the retry tells it.
    template <class T, class Tell>
    bool change(Device::Held<T>& held, const T& want, Wish wish, Tell tell)
    {
        if (held.set(want, [this] { return present(); }, tell))
            return true;
        if (wish == Wish::told)
            return false;
        // An off the device refused is owed to the descriptor that still
        // holds the setting on.
        if (want == T{})
            held.owe_off(present());
        else
            held.hold(want);
        retry_later();
        return true;
    }
    // Tells the present descriptor a setting it does not carry; whether a
    // request was made and taken.
    template <class T, class Tell>
    bool restore_one(Device::Held<T>& held, Tell tell)
    {
        return fd() >= 0 && held.restore([this] { return present(); }, tell);
    }
    // Before a configuration: the device, with the line
    // "<what> fail: (interface not opened) timeslot=<ts>" when it cannot be opened.
    bool ready(const char* what, uint32_t timeslot);
    // A request on the present descriptor: its result, -1 when it failed,
    // with its line. One that finds the device gone lets the descriptor go.
    int request(unsigned long number, void* arg, const std::string& name, uint32_t timeslot,
                const std::string& detail = std::string());
    int request_value(unsigned long number, unsigned long value, const std::string& name, uint32_t timeslot);
    // The line of a failed request: "<name> fail: timeslot=<ts><detail>
    // errno="<text>"", or with error 0 (no descriptor) "<name> fail:
    // (interface not opened) timeslot=<ts>". Only the first of a run (the
    // same request failing the same way, on any time slot) is written; the
    // others are counted, and the count is a line when the run ends: at the
    // request's next success, or when the device is back. A device that is
    // gone (ENODEV) fails the same way as one that is not open. A tone
    // cadence on a missing device costs two lines, not two a step a slot.
    void failed(const std::string& name, uint32_t timeslot, int error, const std::string& detail = std::string());
    void succeeded(const std::string& name);

    virtual void dispatch_record(const void* record) = 0;
    // Tells the present descriptor what receivers asked for and it was not
    // told; what it refuses is tried again at the next retry. How many
    // requests it took.
    virtual unsigned long restore() = 0;
    // Some receiver asked for what the present descriptor was not told.
    virtual bool untold() = 0;
    // restore() and untold() of a service from its one list of what the
    // receivers hold: each(visit) calls visit(held, tell) for every held
    // setting, tell making its request.
    template <class Each>
    unsigned long restore_each(Each each)
    {
        unsigned long again = 0;
        each([&](auto& held, auto tell) { again += restore_one(held, tell); });
        return again;
    }
    template <class Each>
    bool untold_each(Each each)
    {
        uint64_t now = present();
        bool any = false;
        each([&](auto& held, auto) { any = any || held.untold(now); });
        return any;
    }
    // Arms the retry when a receiver waits for the device, or when wanted
    // (a request that found the device unproven).
    void retry_later(bool wanted = false);

private:
    int reach(int result, const std::string& name, uint32_t timeslot, const std::string& detail);
    // Lets the descriptor go; why, when given, is the line's reason.
    void lost(const char* why);
    void OnRetry();
    // Opens the device and tells it what the receivers hold.
    void reopen();
    // The device is back: its line, and the runs of failures end.
    void back(unsigned long again);

    Event mEvent;
    Device::ShortRecords mShortRecords;
    const Setup& mSetup;
    Timer mRetry;
    Device::Descriptors mDescriptors;
    // The opens that failed since the device went (or first failed to
    // open), a descriptor lost before any request on it worked among them.
    unsigned long mFailedOpens = 0;
    // Opened again, no request on it has worked yet.
    bool mUnproven = false;
    // The last descriptor was lost unproven: only the retry opens again.
    bool mOnlyRetryOpens = false;
    bool mRestoring = false;
    Device::FailureRuns mRuns{this};
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
