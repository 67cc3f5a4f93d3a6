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

// How a change answers a device that refuses it now:
// - `told` answers the refusal (a controller's command it may repeat), and
//   the setting stays as it was;
// - `held` keeps the wish and answers true: the holder tells the device by
//   itself once it takes it (a setting given at create, a cadence's step).
// An off is never lost either way: one that the present descriptor refused
// is owed, told again until the device takes it, and answers true, since
// what was ended must leave the device even when its asker is gone.
// - `shown` is for what ends nothing when it goes dark and is answered by
//   the device alone (the E1 LEDs, a session's packet detection): a device
//   that is there and refuses answers the refusal, off included, and the
//   setting stays as it was; one that is missing, or lost under the
//   request, keeps the wish as `held` does.
// A refusal as invalid (EINVAL from a device that is there: it has no such
// time slot or channel, or takes no such value) is final for all three, on
// and off alike: asking again would meet the same refusal for ever. The
// change answers the refusal, also a held one (a create that gave it is not
// made), nothing of it is owed or held, and the setting is not known.
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
    // Refused as invalid (EINVAL), an on or an off, whatever the wish, at
    // the first request or when told again: never asked again, neither
    // owed nor held, and what the device has is not known, so the next
    // change of the setting, on or off, goes to the device.
    invalid,
};

template <class T>
class Held;

template <class T, class Present, class Tell, class Refusal>
Asked ask(Held<T>& held, const T& want, Wish wish, Present present, Tell tell, Refusal refusal);
template <class T, class Present, class Tell, class Refusal>
bool retell(Held<T>& held, Present present, Tell tell, Refusal refusal);
template <class T>
Asked unended(Held<T>& held, uint64_t present, int error);

// T is the setting's value; T{} is "off", what a device holds that was
// never told anything (a bool, a mask, a tone record with operator==).
// What a device is told goes through ask, retell and unended alone, so
// that no holder can go around the rule of a refusal.
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

    // Asks for want without telling anyone: the device learns it at the
    // next restore (a setting given while its device is missing).
    void hold(const T& want)
    {
        mKnown = true;
        mAsked = want;
        mTold = 0;
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
    template <class U, class Present, class Tell, class Refusal>
    friend Asked ask(Held<U>& held, const U& want, Wish wish, Present present, Tell tell, Refusal refusal);
    template <class U, class Present, class Tell, class Refusal>
    friend bool retell(Held<U>& held, Present present, Tell tell, Refusal refusal);
    template <class U>
    friend Asked unended(Held<U>& held, uint64_t present, int error);

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

    T mAsked{};
    uint64_t mTold = 0;
    bool mKnown = true;
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

// A change refused as invalid is given up, and the device may hold
// anything there: the next change goes to it whatever it asks. What drop
// says is no longer held at all: an end (asked again at a destroy, it
// would meet the same refusal), or what a retry could not tell. An on
// refused at its first request leaves held what it was to replace, which
// the device still has (a destroy takes that off).
template <class T>
Asked given_up(Held<T>& held, bool drop)
{
    if (drop)
        held.forget();
    held.doubt();
    return Asked::invalid;
}

// The one rule of an end that the device did not take, error being its
// refusal (0 when there was no device to ask): owed to the descriptor
// named present until the device takes it, or given up when the device
// refused it as invalid.
template <class T>
Asked unended(Held<T>& held, uint64_t present, int error)
{
    if (refused_end(error) == Asked::invalid)
        return given_up(held, true);
    held.owe_off(present);
    return Asked::owed;
}

// The one rule of a change: asks want of held through tell (Held::set)
// and keeps what the refusal leaves (see Wish and Asked). refusal() is the
// errno with which the device refused the request that tell made; it is
// asked only while a descriptor is present.
template <class T, class Present, class Tell, class Refusal>
Asked ask(Held<T>& held, const T& want, Wish wish, Present present, Tell tell, Refusal refusal)
{
    if (held.set(want, present, tell))
        return Asked::made;
    bool there = present() != 0;
    int error = there ? refusal() : 0;
    if (wish != Wish::shown && want == T{})
        return unended(held, present(), error);
    if (error == EINVAL)
        return given_up(held, false);
    if (wish == Wish::told || (wish == Wish::shown && there))
        return Asked::refused;
    held.hold(want);
    return Asked::held;
}

// The retry's side of the same rule: tells the present descriptor what
// held asks and it does not carry (Held::restore); whether a request was
// made and taken. Whatever it was (an owed off, a held on, a shown value),
// one refused as invalid is given up as a change gives it up; anything
// else refused stays to be told again.
template <class T, class Present, class Tell, class Refusal>
bool retell(Held<T>& held, Present present, Tell tell, Refusal refusal)
{
    if (held.restore(present, tell))
        return true;
    if (held.untold(present()) && present() != 0 && refusal() == EINVAL)
        given_up(held, true);
    return false;
}

} // namespace Device
