// One-shot millisecond timers, deferred procedure calls and wait plug-ins
// of the event loop.
#pragma once

#include <cstdint>

#include "runtime/dual_list.h"
#include "runtime/multiplexer.h"

class TimerEvent : public F_dual_list_item<TimerEvent> {
public:
    TimerEvent() = default;
    TimerEvent(const TimerEvent&) = delete;
    TimerEvent& operator=(const TimerEvent&) = delete;
    virtual ~TimerEvent();
    virtual void fire() = 0;

    // Expiry minus the other's, as a signed 32-bit difference (wrap-safe).
    int32_t compare(const TimerEvent* other) const
    {
        return static_cast<int32_t>(expiry - other->expiry);
    }

    void schedule(unsigned ms);
    void reset();

    uint32_t expiry = 0;
};

// Owns at most one pending TimerEvent; arming again, reset() and
// destruction cancel it. A callback may re-arm, reset or destroy the Timer
// that fired it.
class Timer {
public:
    Timer() = default;
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;
    ~Timer() { delete mEvent; }

    TimerEvent* get() const { return mEvent; }
    bool pending() const { return mEvent != nullptr; }
    void reset(TimerEvent* event = nullptr)
    {
        if (event != mEvent) {
            TimerEvent* old = mEvent;
            mEvent = event;
            delete old;
        }
    }
    TimerEvent* release()
    {
        TimerEvent* e = mEvent;
        mEvent = nullptr;
        return e;
    }

    template <class T>
    void set(unsigned ms, void (T::*action)(Timer*), T* object);
    template <class T>
    void set(unsigned ms, void (T::*action)(), T* object);
    void set(unsigned ms, void (*function)());

private:
    TimerEvent* mEvent = nullptr;
};

template <class T>
class ObjTimerEvent1 : public TimerEvent {
public:
    typedef void (T::*Action)();
    ObjTimerEvent1(Timer* owner, Action action, T* object, unsigned ms)
        : mOwner(owner), mAction(action), mObject(object)
    {
        schedule(ms);
    }
    void fire() override
    {
        mOwner->release();
        (mObject->*mAction)();
        delete this;
    }

private:
    Timer* mOwner;
    Action mAction;
    T* mObject;
};

template <class T>
class ObjTimerEvent2 : public TimerEvent {
public:
    typedef void (T::*Action)(Timer*);
    ObjTimerEvent2(Timer* owner, Action action, T* object, unsigned ms)
        : mOwner(owner), mAction(action), mObject(object)
    {
        schedule(ms);
    }
    void fire() override
    {
        Timer* owner = mOwner;
        owner->release();
        (mObject->*mAction)(owner);
        delete this;
    }

private:
    Timer* mOwner;
    Action mAction;
    T* mObject;
};

class SimpleTimerEvent1 : public TimerEvent {
public:
    SimpleTimerEvent1(Timer* owner, void (*function)(), unsigned ms)
        : mOwner(owner), mFunction(function)
    {
        schedule(ms);
    }
    void fire() override
    {
        mOwner->release();
        mFunction();
        delete this;
    }

private:
    Timer* mOwner;
    void (*mFunction)();
};

template <class T>
void Timer::set(unsigned ms, void (T::*action)(Timer*), T* object)
{
    reset(new ObjTimerEvent2<T>(this, action, object, ms));
}

template <class T>
void Timer::set(unsigned ms, void (T::*action)(), T* object)
{
    reset(new ObjTimerEvent1<T>(this, action, object, ms));
}

inline void Timer::set(unsigned ms, void (*function)())
{
    reset(new SimpleTimerEvent1(this, function, ms));
}

// A Timer armed from a static record of its owner class:
//   static const TimerSpec<Foo>::Record TUpdatespec;  // {&Foo::update, 1000}
//   TimerSpec<Foo>::SpecTimer<Foo::TUpdatespec> mUpdate;  mUpdate.set(this);
template <class T>
struct TimerSpec {
    struct Record {
        void (T::*action)();
        unsigned delay;
    };
    template <const Record& R>
    class SpecTimer : public Timer {
    public:
        void set(T* object) { Timer::set(R.delay, R.action, object); }
    };
};

class DpcHandler {
public:
    virtual void Invoke() = 0;
    virtual ~DpcHandler() = default;
};

template <class T>
class TDpcHandler : public DpcHandler {
public:
    TDpcHandler(T* object, void (T::*action)()) : mObject(object), mAction(action) {}
    void Invoke() override { (mObject->*mAction)(); }

private:
    T* mObject;
    void (T::*mAction)();
};

class DpcHandler1 : public DpcHandler {
public:
    explicit DpcHandler1(void (*function)()) : mFunction(function) {}
    void Invoke() override { mFunction(); }

private:
    void (*mFunction)();
};

// A deferred procedure call: while active it runs twice per loop pass.
class Dpc {
public:
    Dpc() = default;
    Dpc(const Dpc&) = delete;
    Dpc& operator=(const Dpc&) = delete;
    ~Dpc();

    void Bind(DpcHandler* h);
    template <class T>
    void Bind(T* object, void (T::*action)())
    {
        Bind(new TDpcHandler<T>(object, action));
    }
    void Activate();
    void Deactivate();

    DpcHandler* handler = nullptr;
    bool active = false;
};

// A source of a wait time asked on every pass while hooked.
class TimerPoolPlugin {
public:
    virtual ~TimerPoolPlugin();
    // The plug-in's next wait in ms, negative for none.
    virtual int timerPoll() = 0;

    void timerHook();
    void timerUnhook();

    bool hooked = false;
};
