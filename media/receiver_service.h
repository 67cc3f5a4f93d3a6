// What the tone and DSP services keep of their receivers' held settings
// (board/held.h): each receiver's own, and the offs that receivers which
// went still owe their time slot (O: one held setting each), told until
// the device takes them or forgets them with its descriptor.
//
// Service lists its settings with the request that tells each:
// each_held(visit) calls visit(held, tell) for every setting a receiver
// holds, owed_at(ts, o, visit) for every off that time slot ts owes. Its
// restore() and untold() are restore_all() and untold_all().
#pragma once

#include <cstdint>
#include <functional>
#include <iterator>
#include <map>

#include "board/held.h"
#include "media/device_service.h"
#include "media/receiver_list.h"

namespace Hardware {

// A receiver's setting is asked Policy::told by a controller's command, and
// Policy::held when given at a create or by a cadence's step.
using Policy = Device::Policy;

template <class Service, class Receiver, uint32_t (Receiver::*Timeslot)() const, class O>
class ReceiverService : public DeviceService {
public:
    using Scoped = ScopedService<Service>;
    static Service& instance() { return Scoped::instance(); }

    // Every live receiver of the service, in construction order.
    static ReceiverList<Receiver, Timeslot>& receivers()
    {
        static ReceiverList<Receiver, Timeslot> list;
        return list;
    }

    // Another receiver of the time slot holds the setting on; get is the
    // setting's member, or a function of a receiver that returns it.
    template <class Get>
    bool held_by_another(const Receiver& receiver, Get get)
    {
        bool held = false;
        receivers().each([&](Receiver& r) {
            held = held || (&r != &receiver && (r.*Timeslot)() == (receiver.*Timeslot)() && std::invoke(get, r).on());
        });
        return held;
    }
    // The receiver holds the setting on and no other one of its time slot
    // does: its clean-up takes it off.
    template <class Get>
    bool holds_alone(Receiver& receiver, Get get)
    {
        return std::invoke(get, receiver).on() && !held_by_another(receiver, get);
    }

protected:
    using Owed = O;

    explicit ReceiverService(const Setup& setup) : DeviceService(setup) {}

    // A receiver's change of a setting of its time slot ts: what the time
    // slot owes of it becomes the receiver's own first (adopt), then the
    // change; tell(want) makes the request. Whether it counts as done.
    template <class T, class Tell>
    bool change_at(uint32_t ts, Device::Held<T>& held, Device::Held<T> O::*owed, const T& want, Policy policy,
                   Tell tell)
    {
        device();
        adopt(ts, held, owed);
        return Device::done(change(held, want, policy, tell));
    }
    // The off of a setting that the present descriptor carries but no
    // receiver holds (the receive gain, the tone filters): one that the
    // device refused is owed to the time slot ts.
    template <class Tell>
    Device::Outcome end(uint32_t ts, Device::Held<> O::*owed, Tell tell)
    {
        Device::Held<> held;
        held.took(true, present());
        Device::Outcome outcome = change(held, false, Policy::told, tell);
        if (outcome == Device::Outcome::owed) {
            mOwed[ts].*owed = held;
            // Owed only now: the retry runs for it.
            changed();
        }
        return outcome;
    }
    // The receiver goes: what it owes of the setting stays owed to its time
    // slot, unless another receiver of the time slot holds it on.
    template <class Get, class T>
    void bequeath(Receiver& receiver, Get get, Device::Held<T> O::*owed)
    {
        bool superseded = held_by_another(receiver, get);
        Device::Held<T>& mine = std::invoke(get, receiver);
        if (!superseded && !mine.on() && mine.untold(present())) {
            mOwed[(receiver.*Timeslot)()].*owed = mine;
            changed();
        }
        mine.forget();
    }
    // A setting that no receiver holds is set anew on the time slot: the
    // off owed of it is dropped.
    template <class T>
    void take_over(uint32_t ts, Device::Held<T> O::*owed)
    {
        auto it = mOwed.find(ts);
        if (it != mOwed.end())
            (it->second.*owed).forget();
    }

    // The ids of enables, which the device's events carry; 0 is never one.
    uint32_t next_id()
    {
        if (++mEnableId == 0)
            mEnableId = 1;
        return mEnableId;
    }
    uint32_t last_id() const { return mEnableId; }
    void set_last_id(uint32_t id) { mEnableId = id; }

    // Tells the present descriptor what it does not carry: the offs first,
    // so that a receiver's own wish is the last word on its time slot. How
    // many requests it took.
    unsigned long restore_all()
    {
        Service& service = static_cast<Service&>(*this);
        unsigned long again = 0;
        for (auto it = mOwed.begin(); it != mOwed.end();) {
            bool left = false;
            service.owed_at(it->first, it->second, [&](auto& h, auto tell) {
                again += restore_one(h, tell);
                left = left || h.untold(present());
            });
            // A time slot that owes nothing any more is dropped.
            it = left ? std::next(it) : mOwed.erase(it);
        }
        service.each_held([&](auto& h, auto tell) { again += restore_one(h, tell); });
        return again;
    }
    // Something held or owed that the descriptor named now does not carry.
    bool untold_all(uint64_t now)
    {
        Service& service = static_cast<Service&>(*this);
        bool any = false;
        auto visit = [&](auto& h, auto) { any = any || h.untold(now); };
        for (auto& o : mOwed)
            service.owed_at(o.first, o.second, visit);
        service.each_held(visit);
        return any;
    }

private:
    template <class T, class Tell>
    Device::Outcome change(Device::Held<T>& held, const T& want, Policy policy, Tell tell)
    {
        Device::Outcome outcome = held.change(
            want, policy, [this] { return present(); }, tell, [this] { return refusal(); });
        // A held wish or an owed off is told by the retry.
        if (held.untold(present()))
            changed();
        return outcome;
    }
    // A receiver of the time slot asks the setting anew: what is owed of it
    // becomes that receiver's own (the device still holds it on), so the
    // owed off can neither switch off the new wish nor be lost.
    template <class T>
    void adopt(uint32_t ts, Device::Held<T>& mine, Device::Held<T> O::*owed)
    {
        auto it = mOwed.find(ts);
        if (it == mOwed.end())
            return;
        Device::Held<T>& o = it->second.*owed;
        if (!mine.on() && o.untold(present()))
            mine = o;
        o.forget();
    }
    // Tells the present descriptor a setting it does not carry; whether a
    // request was made and taken.
    template <class T, class Tell>
    bool restore_one(Device::Held<T>& held, Tell tell)
    {
        return fd() >= 0 && held.restore([this] { return present(); }, tell, [this] { return refusal(); });
    }

    std::map<uint32_t, O> mOwed;
    uint32_t mEnableId = 0;
};

} // namespace Hardware
