// The single-threaded poll() loop that runs the whole server.
//
// Everything after start-up is a callback from Multiplexer::run: a
// descriptor event (Event), an expired one-shot timer (TimerEvent, owned by
// a Timer) or a deferred procedure call that runs on every pass (Dpc).
#pragma once

#include <poll.h>
#include <signal.h>

#include <cstdint>
#include <iosfwd>
#include <list>
#include <string>
#include <vector>

#include "runtime/dual_list.h"
#include "runtime/fd.h"

class TimerEvent;
class Dpc;
class TimerPoolPlugin;

// Duration statistics in microseconds. "avg" prints the last duration.
class Measure {
public:
    void begin();
    uint32_t end();
    void put(std::ostream& out) const;

    uint32_t min = 0;
    uint32_t max = 0;
    uint32_t cur = 0;
    bool first = true;
    uint32_t start = 0;
    uint32_t counter = 0;
};

class EventHandler : public F_dual_list_item<EventHandler> {
public:
    virtual ~EventHandler();

    virtual void shedule_event(pollfd& entry) = 0;
    virtual void svc_event(short revents) = 0;
    virtual std::string event_name() const { return "unknown"; }
    virtual bool is_named() const { return false; }

    void mux_attach();
    void mux_detach();
    void svc_event() { svc_event(revents); }

    bool attached = false;
    short revents = 0;

private:
    friend class Multiplexer;
    // Index of this handler's entry in the current poll vector, -1 outside
    // the collect..service window of a pass.
    int mPollIndex = -1;
};

// Watches a private duplicate of a descriptor and calls its bound handler
// on every serviced pass (the result bits may be 0).
class Event : public EventHandler {
public:
    class Handler {
    public:
        virtual ~Handler() = default;
        virtual void Invoke(int fd, short revents) = 0;
    };

    template <class T>
    class THandler : public Handler {
    public:
        typedef void (T::*Action)(int fd, short revents);
        THandler(Action action, T* object) : mAction(action), mObject(object) {}
        void Invoke(int fd, short revents) override
        {
            if (mAction)
                (mObject->*mAction)(fd, revents);
        }

    private:
        Action mAction;
        T* mObject;
    };

    Event() = default;
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    ~Event() override;

    void Bind(Handler* handler);
    template <class T>
    void Bind(const std::string& n, typename THandler<T>::Action action, T* object)
    {
        name = n;
        Bind(new THandler<T>(action, object));
    }
    void UnBind();

    // Watch a duplicate of fd for events; an invalid fd leaves the Event
    // detached. False when the Event watches nothing afterwards: fd was
    // empty or could not be copied (errno tells why).
    bool Schedule(const Fd& fd, short events);
    // Changes the watched events in place: an attached Event stays attached,
    // keeps its place in the service order and is polled for the new set
    // from the next collection of descriptors on.
    void SetEvents(short ev) { events = ev; }
    void Release();
    // Serves the input that waits on the descriptor now, as a wake-up of
    // the loop would: true when the handler ran (it may have deleted this
    // Event), false when nothing waits to be read.
    bool ServeInput();

    void shedule_event(pollfd& entry) override;
    void svc_event(short revents) override;
    std::string event_name() const override { return name; }
    bool is_named() const override { return true; }

    Handler* handler = nullptr;
    Fd fd;
    short events = 0;
    std::string name = "Unknown";
    uint32_t count = 0;
    Measure measure;
};

class Multiplexer {
public:
    class TimerPollNotify {
    public:
        virtual ~TimerPollNotify() = default;
        virtual void removeTimerPoolPlugin(TimerPoolPlugin* plugin) = 0;
    };

    Multiplexer();
    ~Multiplexer();
    Multiplexer(const Multiplexer&) = delete;
    Multiplexer& operator=(const Multiplexer&) = delete;

    void run(bool watchdog, bool nocache);
    // Async-signal-safe: stores the flag and wakes a sleeping poll().
    void terminate();
    // Async-signal-safe: makes the current or next poll() return at once, so
    // a flag set by a signal handler is seen by the next pass's DPCs.
    void wakeup();
    bool terminating() const { return mTerminate != 0; }
    // True while the handlers of a pass are serviced. The DPCs run after
    // them, before the loop waits again.
    bool servicing() const { return mServicing; }
    // Passes whose handlers were serviced so far: what a handler shares
    // with the others of its pass goes by it.
    uint64_t passes() const { return mPasses; }

    void attach(EventHandler* handler);
    void detach(EventHandler* handler);
    bool event_exists(const EventHandler* handler) const;
    void resetWD();

    // Timers, deferred calls and wait plug-ins.
    void set(TimerEvent* event);
    void reset(TimerEvent* event);
    void attach(Dpc* dpc);
    void dettach(Dpc* dpc);
    void hook(TimerPoolPlugin* plugin);
    void unhook(TimerPoolPlugin* plugin);
    // Fires the due timers, runs the DPCs; returns the wait until the next
    // timer in ms: 0 when one is already due, -1 when there is none.
    int timers_schedule();
    void execute_dpc();
    int timerPoll_schedule();

    // Status dump of the loop (handlers, timers, DPCs, measures).
    void dump(std::ostream& out) const;

    // Read access for the dump and for tests.
    const F_sorted_list<TimerEvent>& timers() const { return mTimers; }
    const F_dual_list<EventHandler>& pending() const { return mPending; }
    const F_dual_list<EventHandler>& active() const { return *mActive; }
    const std::vector<Dpc*>& dpcs() const { return mDpcs; }
    const std::list<TimerPoolPlugin*>& plugins() const { return mPlugins; }
    const Measure& dpc_measure() const { return mDpcMeasure; }
    const Measure& event_measure() const { return mEventMeasure; }
    const Measure& timer_measure() const { return mTimerMeasure; }
    int watchdog_fd() const { return mWatchdog; }

private:
    // Wait in ms until the head of the timer list, 0 when due, -1 when none.
    int next_timer_wait(uint32_t now) const;
    void open_wakeup();
    void drain_wakeup();
    void service(int ready);
    // Raises the soft descriptor limit to watched when it is below; false
    // when it is not below or cannot be raised.
    bool fit_descriptor_limit(size_t watched);
    void stop_watchdog();

    F_sorted_list<TimerEvent> mTimers;
    F_dual_list<EventHandler> mPending;
    // The serviced and active lists swap roles after every serviced pass.
    F_dual_list<EventHandler> mListA;
    F_dual_list<EventHandler> mListB;
    F_dual_list<EventHandler>* mActive = &mListA;
    F_dual_list<EventHandler>* mServiced = &mListB;
    std::vector<pollfd> mPoll;
    std::vector<EventHandler*> mPollOwners;
    // Sorted by address, unique. The run list is the copy being worked
    // through by execute_dpc, from mDpcRunPos on.
    std::vector<Dpc*> mDpcs;
    std::vector<Dpc*> mDpcRun;
    size_t mDpcRunPos = 0;
    volatile sig_atomic_t mTerminate = 0;
    bool mServicing = false;
    uint64_t mPasses = 0;
    Measure mDpcMeasure;
    Measure mEventMeasure;
    Measure mTimerMeasure;
    std::list<TimerPoolPlugin*> mPlugins;
    TimerPollNotify* mTimerPollNotify = nullptr;
    int mWatchdog = -1;
    // Self-pipe that terminate() and wakeup() write to.
    int mWakeRead = -1;
    volatile int mWakeWrite = -1;
};

extern Multiplexer multiplexer;
