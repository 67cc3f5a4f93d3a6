// What the tone and DSP services share: one board device held by a
// Device::Holder (opened at first use, let go when gone, tried again once a
// second while something is untold), watched for event records of one
// size, each handed to the service.
//
// The service is the holder's state: it tells the device again what its
// receivers hold and the offs it owes for receivers that are gone
// (media/receiver_service.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>

#include "board/watched_device.h"
#include "holder/device_holder.h"

namespace Hardware {

class DeviceService : private Device::Holder::State {
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
    static constexpr unsigned kRetryMs = Device::Holder::kRetryMs;

    DeviceService(const DeviceService&) = delete;
    DeviceService& operator=(const DeviceService&) = delete;

    // The device descriptor, -1 without one.
    int fd() const { return mHolder.fd(); }
    // Names the present descriptor for the settings it was told (0 without one).
    uint64_t present() const { return mHolder.present(); }
    bool retrying() const { return mHolder.retrying(); }
    void PutHeader(std::ostream& out) const;

protected:
    explicit DeviceService(const Setup& setup);
    ~DeviceService() override;

    // The descriptor for a request, the device opened again when missing
    // and told first what it owes; -1 when there is none. A device that
    // opened but lost its descriptor before any request on it worked is
    // opened again only by the retry, not by every request.
    int device() { return mHolder.device(); }
    // Something is owed now that no held setting tells: the retry runs.
    void changed() { mHolder.changed(); }
    // A request may go to the present descriptor: its line when there is none.
    bool present_for(const std::string& what, uint32_t timeslot);
    // The errno with which the device refused the last request.
    int refusal() const { return mHolder.refusal(); }
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

    virtual void dispatch_record(const void* record) = 0;
    // Tells the present descriptor what receivers asked for and it was not
    // told, and the offs owed for receivers that went; what it refuses is
    // tried again at the next trigger. How many requests it took.
    virtual unsigned long restore() = 0;
    // Holder::State: something asked (or owed off) that the descriptor
    // named present does not carry.
    bool untold(uint64_t present) override = 0;

private:
    void reconcile(Device::Tally& made) override;
    int reach(int result, const std::string& name, uint32_t timeslot, const std::string& detail);
    Device::End input(int fd, short revents);

    const Setup& mSetup;
    Device::ShortRecords mShortRecords;
    Device::Holder mHolder;
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
