#include "runtime/timer.h"

#include <algorithm>
#include <climits>
#include <iostream>
#include <list>

#include "runtime/mux_time.h"

namespace {
// Beyond this the next timer can only be the result of a clock jump.
const uint32_t kMaxWaitMs = 7200000;
const uint32_t kRebaseMs = 1000;
} // namespace

// --------------------------------------------------------------- TimerEvent

TimerEvent::~TimerEvent()
{
    reset();
}

void TimerEvent::schedule(unsigned ms)
{
    expiry = Mux::milliseconds() + ms;
    multiplexer.set(this);
}

void TimerEvent::reset()
{
    multiplexer.reset(this);
}

// ---------------------------------------------------------------------- Dpc

Dpc::~Dpc()
{
    Deactivate();
    delete handler;
}

void Dpc::Bind(DpcHandler* h)
{
    if (h != handler) {
        delete handler;
        handler = h;
    }
}

void Dpc::Activate()
{
    if (!active)
        multiplexer.attach(this);
    active = true;
}

void Dpc::Deactivate()
{
    if (active)
        multiplexer.dettach(this);
    active = false;
}

// ---------------------------------------------------------- TimerPoolPlugin

TimerPoolPlugin::~TimerPoolPlugin()
{
    timerUnhook();
}

void TimerPoolPlugin::timerHook()
{
    if (!hooked) {
        multiplexer.hook(this);
        hooked = true;
    }
}

void TimerPoolPlugin::timerUnhook()
{
    if (hooked) {
        multiplexer.unhook(this);
        hooked = false;
    }
}

// -------------------------------------------------- Multiplexer: timer side

void Multiplexer::set(TimerEvent* event)
{
    reset(event);
    mTimers.insert_to_tail_by_grown(event);
}

void Multiplexer::reset(TimerEvent* event)
{
    if (mTimers.contains(event))
        mTimers.remove(event);
}

void Multiplexer::attach(Dpc* dpc)
{
    auto pos = std::lower_bound(mDpcs.begin(), mDpcs.end(), dpc);
    if (pos == mDpcs.end() || *pos != dpc)
        mDpcs.insert(pos, dpc);
}

void Multiplexer::dettach(Dpc* dpc)
{
    auto pos = std::lower_bound(mDpcs.begin(), mDpcs.end(), dpc);
    if (pos != mDpcs.end() && *pos == dpc)
        mDpcs.erase(pos);
    auto run = std::find(mDpcRun.begin() + static_cast<long>(mDpcRunPos), mDpcRun.end(), dpc);
    if (run != mDpcRun.end())
        mDpcRun.erase(run);
}

void Multiplexer::hook(TimerPoolPlugin* plugin)
{
    mPlugins.push_back(plugin);
}

void Multiplexer::unhook(TimerPoolPlugin* plugin)
{
    if (mTimerPollNotify)
        mTimerPollNotify->removeTimerPoolPlugin(plugin);
    else
        mPlugins.remove(plugin);
}

void Multiplexer::execute_dpc()
{
    mDpcRun.assign(mDpcs.begin(), mDpcs.end());
    mDpcRunPos = 0;
    while (mDpcRunPos < mDpcRun.size()) {
        Dpc* dpc = mDpcRun[mDpcRunPos++];
        mDpcMeasure.begin();
        if (dpc->handler)
            dpc->handler->Invoke();
        mDpcMeasure.end();
    }
    mDpcRun.clear();
    mDpcRunPos = 0;
}

int Multiplexer::timers_schedule()
{
    uint32_t now = Mux::milliseconds();
    while (TimerEvent* head = mTimers.head()) {
        if (static_cast<int32_t>(now - head->expiry) < 0)
            break;
        mTimerMeasure.begin();
        mTimers.remove(head);
        head->fire();
        mTimerMeasure.end();
    }

    execute_dpc();

    int wait = next_timer_wait(now);
    if (wait < 0 || static_cast<uint32_t>(wait) <= kMaxWaitMs)
        return wait;

    std::cerr << "******** RUNTIME ERROR CONDITION *************"
              << "Multiplexer::timers_schedule() invalid wait time detected!" << std::endl
              << "now = " << now << std::endl
              << "first = " << mTimers.head()->expiry << std::endl
              << "count = " << mTimers.count() << std::endl;
    for (TimerEvent* t = mTimers.head(); t; t = t->next)
        t->expiry = now + kRebaseMs;
    return static_cast<int>(kRebaseMs);
}

namespace {
// Walks the plug-ins of one pass; an unhook during the walk also takes the
// plug-in out of the not-yet-asked list.
class TimerPollGuard : public Multiplexer::TimerPollNotify {
public:
    TimerPollGuard(std::list<TimerPoolPlugin*>& hooked) : mHooked(hooked) { mToAsk.swap(hooked); }
    void removeTimerPoolPlugin(TimerPoolPlugin* plugin) override
    {
        mHooked.remove(plugin);
        mToAsk.remove(plugin);
    }
    TimerPoolPlugin* next()
    {
        if (mToAsk.empty())
            return nullptr;
        TimerPoolPlugin* p = mToAsk.front();
        mToAsk.pop_front();
        mHooked.push_back(p);
        return p;
    }

private:
    std::list<TimerPoolPlugin*>& mHooked;
    std::list<TimerPoolPlugin*> mToAsk;
};
} // namespace

int Multiplexer::timerPoll_schedule()
{
    if (mPlugins.empty())
        return INT_MAX;
    TimerPollGuard guard(mPlugins);
    mTimerPollNotify = &guard;
    int best = INT_MAX;
    while (TimerPoolPlugin* p = guard.next()) {
        int w = p->timerPoll();
        if (w >= 0 && w < best)
            best = w;
    }
    mTimerPollNotify = nullptr;
    return best;
}
