// A setting that its holder asked of a board device, beside the descriptor
// that was told it. A driver forgets everything with its descriptor: what
// is asked stays with the holder, and whenever the present descriptor does
// not carry it (a device opened again, a request refused), the holder tells
// the device again by itself. One shape for every holder (detectors and
// features of the tone and DSP services, a steady tone, switch paths,
// LEDs), so the rule lives here:
//
// - what is asked is what the controller asked for;
// - the device carries it when the present descriptor was told it;
// - a change answers success only when the device took it, or when there is
//   nothing to tell: switching off what the present descriptor never held
//   (the driver forgot it), or an off that the device's loss interrupted.
//
// Descriptors are named by their holder (Device::Descriptors): a new name
// for every open and every loss, 0 for "none", so an old name never
// matches the present one.
#pragma once

#include <cerrno>
#include <cstdint>

namespace Device {

// Names the descriptors one holder opens.
class Descriptors {
public:
    // The present descriptor's name, 0 while there is none.
    uint64_t present(bool open) const { return open ? mName : 0; }
    // A descriptor was opened or let go: whatever an older one was told
    // is not carried any more.
    void renew() { ++mName; }

private:
    uint64_t mName = 1;
};

// T is the setting's value; T{} is "off", what a device holds that was
// never told anything (a bool, a mask, a tone record with operator==).
template <class T = bool>
class Held {
public:
    Held() = default;
    // A setting whose state is not known yet (as after a create): the
    // first change is sent whatever it asks.
    static Held unknown()
    {
        Held h;
        h.mKnown = false;
        return h;
    }

    const T& asked() const { return mAsked; }
    bool on() const { return !(mAsked == T{}); }
    bool known() const { return mKnown; }
    // The descriptor named present holds what is asked (off needs no telling).
    bool carried(uint64_t present) const { return present != 0 && mTold == present; }
    // The device is not as asked: something on that the present descriptor
    // was not told, or something it was told that is no longer asked.
    bool untold(uint64_t present) const { return on() ? !carried(present) : carried(present); }

    // Asks for want. tell(want) makes the request on the present descriptor
    // (failing without one) and says whether the device took it; present()
    // names the descriptor at each moment, as a request may lose it.
    template <class Present, class Tell>
    bool set(const T& want, Present present, Tell tell)
    {
        bool off = want == T{};
        if (mKnown && want == mAsked && !untold(present()))
            return true;
        if (off && mKnown && !carried(present())) {
            forget();
            return true;
        }
        // An off that found no descriptor, or lost it under the request,
        // is done: the driver forgot everything with it.
        bool took = tell(want);
        uint64_t now = present();
        if (!took && !(off && now == 0))
            return false;
        mKnown = true;
        mAsked = want;
        mTold = off ? 0 : now;
        return true;
    }

    // Asks for want without telling anyone: the device learns it at the
    // next restore (a setting given while its device is missing).
    void hold(const T& want)
    {
        mKnown = true;
        mAsked = want;
        mTold = 0;
    }

    // Tells the present descriptor what is asked when it does not carry
    // it; true when a request was made and taken. A refused one stays
    // untold, to be tried again.
    template <class Present, class Tell>
    bool restore(Present present, Tell tell)
    {
        if (!untold(present()))
            return false;
        bool off = !on();
        if (!tell(mAsked))
            return false;
        mTold = off ? 0 : present();
        return true;
    }

    // Asks for off and owes it to the descriptor named present, whatever
    // that one was told: for a device that keeps a setting beyond the
    // descriptor that told it (a switch keeps its paths whoever holds it
    // open), so that the next restore takes the setting off.
    void owe_off(uint64_t present)
    {
        mKnown = true;
        mAsked = T{};
        mTold = present;
    }

    // Nothing asked, nothing told.
    void forget()
    {
        mKnown = true;
        mAsked = T{};
        mTold = 0;
    }

    // A change the device refused may have left it holding anything: the
    // next change is sent whatever it asks.
    void doubt() { mKnown = false; }

    // The descriptor named present took want through a request of the
    // holder's own.
    void took(const T& want, uint64_t present)
    {
        hold(want);
        mTold = on() ? present : 0;
    }

private:
    T mAsked{};
    uint64_t mTold = 0;
    bool mKnown = true;
};

// How a change answers a device that refuses it now:
// - `told` answers the refusal (a controller's command it may repeat), and
//   the setting stays as it was;
// - `held` keeps the wish and answers true: the holder tells the device by
//   itself once it takes it (a setting given at create, a cadence's step).
// An off is never lost either way: one that the present descriptor refused
// is owed, told again until the device takes it, and answers true, since
// what was ended must leave the device even when its asker is gone. An off
// that the driver refuses as invalid (it has no such time slot or channel)
// is the exception: owing it would repeat the same refusal for ever.
// - `shown` is for a display (the E1 LEDs), where dark is a value like any
//   other and ends nothing: a device that is there and refuses answers the
//   refusal, off included, and the setting stays as it was; one that is
//   missing, or lost under the request, keeps the wish as `held` does.
enum class Wish { told, held, shown };

// What one change did, the one answer that every asker keeps and answers by.
enum class Asked {
    // The device took it, or there was nothing to tell (an off of what the
    // present descriptor never held, an off that the device's loss
    // interrupted).
    made,
    // An off refused: owed, told again until the device takes it.
    owed,
    // Refused, or no device to ask: the wish is kept and told once the
    // device takes it (Wish::held, and Wish::shown without a device).
    held,
    // Refused: the setting stays as it was.
    refused,
    // An off refused as invalid (EINVAL): not owed, and what the device
    // has is not known, so the next change of the setting, on or off, goes
    // to the device.
    invalid,
};

// Whether the asker answers success: what is owed or held is the holder's
// to tell, and no business of the asker's any more.
inline bool done(Asked asked)
{
    return asked == Asked::made || asked == Asked::owed || asked == Asked::held;
}

// What becomes of an end (an off, a release) that the device refused with
// error, 0 when there was no device to ask: it is owed until the device
// takes it, unless the device refused it as invalid (a time slot or channel
// the driver does not have), which it would refuse for ever.
inline Asked refused_end(int error)
{
    return error == EINVAL ? Asked::invalid : Asked::owed;
}

// A held setting whose off was refused as invalid: the device may hold
// anything, so the next change goes to it whatever it asks.
template <class T>
Asked given_up(Held<T>& held)
{
    held.forget();
    held.doubt();
    return Asked::invalid;
}

// The one rule of a change: asks want of held through tell (Held::set)
// and keeps what the refusal leaves (see Wish and Asked). refusal() is the
// errno with which the device refused the request that tell made, 0 when
// it made none.
template <class T, class Present, class Tell, class Refusal>
Asked ask(Held<T>& held, const T& want, Wish wish, Present present, Tell tell, Refusal refusal)
{
    if (held.set(want, present, tell))
        return Asked::made;
    bool off = want == T{};
    if (wish == Wish::shown) {
        if (present() != 0)
            return Asked::refused;
    } else if (off && refused_end(present() != 0 ? refusal() : 0) == Asked::invalid) {
        return given_up(held);
    } else if (off) {
        held.owe_off(present());
        return Asked::owed;
    } else if (wish == Wish::told)
        return Asked::refused;
    held.hold(want);
    return Asked::held;
}

// The retry's side of the same rule: tells the present descriptor what
// held asks and it does not carry (Held::restore); whether a request was
// made and taken. An off refused as invalid is given up as a change gives
// it up; anything else refused stays to be told again.
template <class T, class Present, class Tell, class Refusal>
bool retell(Held<T>& held, Present present, Tell tell, Refusal refusal)
{
    if (held.restore(present, tell))
        return true;
    if (held.untold(present()) && !held.on() && refused_end(present() != 0 ? refusal() : 0) == Asked::invalid)
        given_up(held);
    return false;
}

} // namespace Device
