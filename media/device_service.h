// What the tone and DSP services share: one board device held by a
// Device::Holder (opened at first use, let go when gone, tried again once a
// second while something is untold), watched for event records of one
// size, each handed to the service.
//
// What a receiver asked for and what the device was told on its present
// descriptor are kept apart: a driver forgets everything with its last
// descriptor, so a lost device (or a request it refused while it came
// back) leaves receivers whose wish the device does not know. The service
// is the holder's state: it tells the device again what the receivers
// hold, and the offs it owes for receivers that are gone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>

#include "board/held.h"
#include "board/watched_device.h"
#include "holder/device_holder.h"

namespace Hardware {

// How a receiver's setting answers a device that does not take it now
// (board/held.h).
using Policy = Device::Policy;

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
    // Asks a held setting for want by the one refusal rule
    // (Device::Held::change); tell(want) makes the request. What the device
    // does not carry after it (a held wish, an owed off) is told by the retry.
    template <class T, class Tell>
    Device::Outcome change(Device::Held<T>& held, const T& want, Policy policy, Tell tell)
    {
        Device::Outcome outcome = held.change(
            want, policy, [this] { return present(); }, tell, [this] { return mHolder.refusal(); });
        if (held.untold(present()))
            mHolder.changed();
        return outcome;
    }
    // A receiver's change of a setting of its time slot ts: what the time
    // slot owes of that setting becomes the receiver's own first (adopt),
    // then the change; whether it counts as done.
    template <class O, class T, class Tell>
    bool change_at(std::map<uint32_t, O>& owed, uint32_t ts, Device::Held<T>& held, Device::Held<T> O::*setting,
                   const T& want, Policy policy, Tell tell)
    {
        adopt(owed, ts, held, setting);
        return Device::done(change(held, want, policy, tell));
    }
    // The off of a setting that the present descriptor carries but no
    // receiver holds (the receive gain, the tone filters), by the same
    // rule: one that the device refused is owed to the time slot ts.
    template <class O, class Tell>
    Device::Outcome end(std::map<uint32_t, O>& owed, uint32_t ts, Device::Held<> O::*setting, Tell tell)
    {
        Device::Held<> held;
        held.took(true, present());
        Device::Outcome outcome = change(held, false, Policy::told, tell);
        if (outcome == Device::Outcome::owed) {
            owed[ts].*setting = held;
            // Owed only now: the retry runs for it.
            mHolder.changed();
        }
        return outcome;
    }
    // Tells the present descriptor a setting it does not carry, by the one
    // rule (Device::Held::restore); whether a request was made and taken.
    template <class T, class Tell>
    bool restore_one(Device::Held<T>& held, Tell tell)
    {
        return fd() >= 0 && held.restore([this] { return present(); }, tell, [this] { return mHolder.refusal(); });
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

    virtual void dispatch_record(const void* record) = 0;
    // Tells the present descriptor what receivers asked for and it was not
    // told, and the offs owed for receivers that went; what it refuses is
    // tried again at the next trigger. How many requests it took.
    virtual unsigned long restore() = 0;
    // Holder::State: something asked (or owed off) that the descriptor
    // named present does not carry.
    bool untold(uint64_t present) override = 0;

    // restore() and untold() of a service from its two lists: owed_at(ts,
    // o, visit) calls visit(held, tell) for every off that the time slot ts
    // owes (o), held(visit) for every setting the receivers hold; tell
    // makes the request. The offs are told first, so that a receiver's own
    // wish is the last word on its time slot; a time slot that owes
    // nothing any more is dropped.
    template <class O, class OwedAt, class EachHeld>
    unsigned long restore_all(std::map<uint32_t, O>& owed, OwedAt owed_at, EachHeld held)
    {
        unsigned long again = 0;
        for (auto it = owed.begin(); it != owed.end();) {
            bool left = false;
            owed_at(it->first, it->second, [&](auto& h, auto tell) {
                again += restore_one(h, tell);
                left = left || h.untold(present());
            });
            it = left ? std::next(it) : owed.erase(it);
        }
        held([&](auto& h, auto tell) { again += restore_one(h, tell); });
        return again;
    }
    template <class O, class OwedAt, class EachHeld>
    bool untold_all(uint64_t now, std::map<uint32_t, O>& owed, OwedAt owed_at, EachHeld held)
    {
        bool any = false;
        auto visit = [&](auto& h, auto) { any = any || h.untold(now); };
        for (auto& o : owed)
            owed_at(o.first, o.second, visit);
        held(visit);
        return any;
    }

    // The offs that receivers which went still owe their time slot, one O
    // of held settings a time slot: an off the present descriptor refused
    // outlives its receiver, and is told until the device takes it (or
    // forgets it with the descriptor).
    //
    // A receiver that goes leaves what it owes, unless another receiver of
    // the time slot holds that setting on.
    template <class O, class T>
    void bequeath(std::map<uint32_t, O>& owed, uint32_t ts, Device::Held<T>& mine, Device::Held<T> O::*setting,
                  bool superseded)
    {
        if (!superseded && !mine.on() && mine.untold(present())) {
            owed[ts].*setting = mine;
            mHolder.changed();
        }
        mine.forget();
    }
    // A receiver of the time slot asks the setting anew: what is owed of it
    // becomes that receiver's own (the device still holds it on), so the
    // owed off can neither switch off the new wish nor be lost.
    template <class O, class T>
    void adopt(std::map<uint32_t, O>& owed, uint32_t ts, Device::Held<T>& mine, Device::Held<T> O::*setting)
    {
        auto it = owed.find(ts);
        if (it == owed.end())
            return;
        Device::Held<T>& o = it->second.*setting;
        if (!mine.on() && o.untold(present()))
            mine = o;
        o.forget();
    }

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
