// A setting asked of a board device, beside the descriptor that was told
// it: a driver forgets everything with its descriptor, so what is asked is
// told again (restore) whenever the present descriptor does not carry it.
// Each request's answer, the setting's policy and what was asked pick one
// cell of one table (decide): the outcome that the asker answers by, and
// what the setting keeps. Nothing else decides.
#pragma once

#include <cerrno>
#include <cstdint>

namespace Device {

// Names the descriptors one holder opens: a new name at every open and
// every loss, 0 for none, so a name told once never matches a later one.
class Descriptors {
public:
    uint64_t present(bool open) const { return open ? mName : 0; }
    void renew() { ++mName; }

private:
    uint64_t mName = 1;
};

// How a change answers a device that does not take it now.
enum class Policy {
    told,  // a controller's command, which it may repeat: answers the refusal
    held,  // given at a create or by a cadence's step: kept until the device takes it
    shown, // ends nothing when dark (LEDs, packet detection): only a device that is there answers
};

// What one change did; every asker answers and keeps by it.
enum class Outcome {
    made,    // taken, or nothing to tell
    owed,    // an off refused: told again until the device takes it
    held,    // the wish is kept, told once the device takes it
    refused, // the setting stays as it was
    invalid, // refused as invalid: given up, what the device has is not known
};

// What the device did with the request.
enum class Answer {
    took,
    invalid, // EINVAL from a device that is there: it would refuse it for ever
    refused, // refused otherwise by a device that is there
    absent,  // no device to ask, or lost under the request
};

// A change to on or to off, or the retry of what the descriptor lacks.
enum class Ask { on, off, again };

// What the setting keeps.
enum class Keep {
    told,    // the change, carried by the present descriptor (an off needs none)
    retold,  // what is asked, carried now
    owe_off, // off, owed to the present descriptor
    hold,    // the wish, told once the device takes it
    as_was,  // nothing changes
    doubt,   // given up: what was asked stays, not known
    forget,  // given up: nothing asked, not known
};

struct Decision {
    Outcome outcome;
    Keep keep;
};

// The one rule of a refusal. An off is never lost: owed when refused, done
// when the device forgot it with its descriptor; a refusal as invalid is
// final for all, as asking again would meet it for ever.
inline Decision decide(Policy policy, Ask ask, Answer answer)
{
    using O = Outcome;
    using K = Keep;
    static constexpr Decision kTable[3][3][4] = {
        //            took                  invalid                  refused                  absent
        {// told
         /* on    */ {{O::made, K::told},   {O::invalid, K::doubt},  {O::refused, K::as_was}, {O::refused, K::as_was}},
         /* off   */ {{O::made, K::told},   {O::invalid, K::forget}, {O::owed, K::owe_off},   {O::made, K::told}},
         /* again */ {{O::made, K::retold}, {O::invalid, K::forget}, {O::refused, K::as_was}, {O::refused, K::as_was}}},
        {// held
         /* on    */ {{O::made, K::told},   {O::invalid, K::doubt},  {O::held, K::hold},      {O::held, K::hold}},
         /* off   */ {{O::made, K::told},   {O::invalid, K::forget}, {O::owed, K::owe_off},   {O::made, K::told}},
         /* again */ {{O::made, K::retold}, {O::invalid, K::forget}, {O::refused, K::as_was}, {O::refused, K::as_was}}},
        {// shown
         /* on    */ {{O::made, K::told},   {O::invalid, K::doubt},  {O::refused, K::as_was}, {O::held, K::hold}},
         /* off   */ {{O::made, K::told},   {O::invalid, K::doubt},  {O::refused, K::as_was}, {O::made, K::told}},
         /* again */ {{O::made, K::retold}, {O::invalid, K::forget}, {O::refused, K::as_was}, {O::refused, K::as_was}}},
    };
    return kTable[static_cast<int>(policy)][static_cast<int>(ask)][static_cast<int>(answer)];
}

// Whether the asker answers success: what is owed or held is the holder's to tell.
constexpr bool done(Outcome outcome)
{
    return outcome == Outcome::made || outcome == Outcome::owed || outcome == Outcome::held;
}

// An end that the device refused with error, 0 when it could not be asked
// (it keeps what it was told): owed, or given up as invalid. For askers
// that keep their own owed ends.
inline Outcome refused_end(int error)
{
    return decide(Policy::told, Ask::off, error == EINVAL ? Answer::invalid : Answer::refused).outcome;
}

// T is the setting's value; T{} is off, what a device never told anything
// holds (a bool, a mask, a record with operator==).
template <class T = bool>
class Held {
public:
    Held() = default;
    explicit Held(Policy policy) : mPolicy(policy) {}
    // A setting whose state is not known yet (as after a create): the
    // first change is sent whatever it asks.
    static Held unknown(Policy policy = Policy::told)
    {
        Held h(policy);
        h.mKnown = false;
        return h;
    }

    Policy policy() const { return mPolicy; }
    const T& asked() const { return mAsked; }
    bool on() const { return !(mAsked == T{}); }
    bool known() const { return mKnown; }
    // The descriptor named present holds what is asked.
    bool carried(uint64_t present) const { return present != 0 && mTold == present; }
    // The device is not as asked: an on it was not told, or an off owed.
    bool untold(uint64_t present) const { return on() ? !carried(present) : carried(present); }

    // Asks for want without telling anyone: the next restore tells it.
    void hold(const T& want)
    {
        mKnown = true;
        mAsked = want;
        mTold = 0;
    }
    void forget() { hold(T{}); }
    // The device may hold anything: the next change is sent whatever it asks.
    void doubt() { mKnown = false; }
    // The descriptor named present took want by a request of the holder's own.
    void took(const T& want, uint64_t present)
    {
        hold(want);
        mTold = on() ? present : 0;
    }

    // One change to want, by the setting's policy or by one the asker
    // names (a receiver's setting is told at a command, held when given at
    // a create or by a cadence's step). present() names the descriptor at
    // each moment, as a request may lose it; tell(want) makes the request
    // on it; refusal() is the errno it refused with, asked only while a
    // descriptor is present.
    template <class Present, class Tell, class Refusal>
    Outcome change(const T& want, Present present, Tell tell, Refusal refusal)
    {
        return change(want, mPolicy, present, tell, refusal);
    }
    template <class Present, class Tell, class Refusal>
    Outcome change(const T& want, Policy policy, Present present, Tell tell, Refusal refusal)
    {
        bool off = want == T{};
        uint64_t now = present();
        if (mKnown && want == mAsked && !untold(now))
            return Outcome::made;
        // The driver forgot it with the descriptor that held it.
        if (off && mKnown && !carried(now)) {
            forget();
            return Outcome::made;
        }
        Ask ask = off ? Ask::off : Ask::on;
        if (tell(want))
            return keep(decide(policy, ask, Answer::took), want, present());
        now = present();
        return keep(decide(policy, ask, answer(now, refusal)), want, now);
    }

    // The retry: tells the present descriptor what is asked when it does
    // not carry it; whether a request was made and taken.
    template <class Present, class Tell, class Refusal>
    bool restore(Present present, Tell tell, Refusal refusal)
    {
        if (!untold(present()))
            return false;
        if (tell(mAsked))
            return keep(decide(mPolicy, Ask::again, Answer::took), mAsked, present()) == Outcome::made;
        uint64_t now = present();
        // A descriptor that changed under the request is owed nothing of it.
        Answer a = untold(now) ? answer(now, refusal) : Answer::absent;
        return keep(decide(mPolicy, Ask::again, a), mAsked, now) == Outcome::made;
    }

    // An end (an off) that the device did not take, error being its refusal
    // (0 when it could not be asked, for a device that keeps what it was
    // told): owed to the descriptor named present, or given up as invalid.
    Outcome owe_end(uint64_t present, int error)
    {
        return keep(decide(mPolicy, Ask::off, error == EINVAL ? Answer::invalid : Answer::refused), T{}, present);
    }

private:
    template <class Refusal>
    static Answer answer(uint64_t now, Refusal refusal)
    {
        if (now == 0)
            return Answer::absent;
        return refusal() == EINVAL ? Answer::invalid : Answer::refused;
    }

    Outcome keep(Decision decision, const T& want, uint64_t present)
    {
        switch (decision.keep) {
        case Keep::told:
            took(want, present);
            break;
        case Keep::retold:
            mTold = on() ? present : 0;
            break;
        case Keep::owe_off:
            hold(T{});
            mTold = present;
            break;
        case Keep::hold:
            hold(want);
            break;
        case Keep::as_was:
            break;
        case Keep::doubt:
            doubt();
            break;
        case Keep::forget:
            forget();
            doubt();
            break;
        }
        return decision.outcome;
    }

    Policy mPolicy = Policy::told;
    T mAsked{};
    uint64_t mTold = 0;
    bool mKnown = true;
};

} // namespace Device
