#include "runtime/multiplexer.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <utility>

#include "board/device.h"
#include "runtime/mux_time.h"
#include "runtime/timer.h"

Multiplexer multiplexer;

namespace {
const char kWatchdogPath[] = "/dev/misc/gw-wd";
const int kWatchdogPeriodMs = 1000;
} // namespace

// ---------------------------------------------------------------- Measure

void Measure::begin()
{
    start = Mux::microseconds();
}

uint32_t Measure::end()
{
    uint32_t d = Mux::microseconds() - start;
    if (first) {
        min = max = cur = d;
        counter = 1;
        first = false;
    } else {
        ++counter;
        if (d < min)
            min = d;
        if (d > max)
            max = d;
        cur = d;
    }
    return d;
}

void Measure::put(std::ostream& out) const
{
    out << "min=" << min << " max=" << max << " avg=" << cur << " counter=" << counter;
}

// ----------------------------------------------------------- EventHandler

EventHandler::~EventHandler()
{
    // A handler destroyed while registered must never be left in a list.
    if (owner_list())
        multiplexer.detach(this);
}

void EventHandler::mux_attach()
{
    if (!attached) {
        multiplexer.attach(this);
        attached = true;
    }
}

void EventHandler::mux_detach()
{
    if (attached) {
        multiplexer.detach(this);
        attached = false;
    }
}

// ------------------------------------------------------------------ Event

Event::~Event()
{
    delete handler;
    handler = nullptr;
    if (fd)
        mux_detach();
}

void Event::Bind(Handler* h)
{
    if (h != handler) {
        delete handler;
        handler = h;
    }
}

void Event::UnBind()
{
    delete handler;
    handler = nullptr;
}

bool Event::Schedule(const Fd& f, short ev)
{
    if (fd)
        mux_detach();
    if (&f != &fd)
        fd.reset(f.dup());
    events = ev;
    if (!fd)
        return false;
    mux_attach();
    return true;
}

void Event::Release()
{
    if (fd)
        mux_detach();
    fd.close();
}

bool Event::ServeInput()
{
    if (!fd || !handler)
        return false;
    pollfd p{fd.get(), static_cast<short>(events | POLLIN), 0};
    if (::poll(&p, 1, 0) != 1 || !(p.revents & POLLIN))
        return false;
    svc_event(p.revents);
    return true;
}

void Event::shedule_event(pollfd& entry)
{
    entry.fd = fd.get();
    entry.events = events;
}

void Event::svc_event(short r)
{
    if (r & events)
        ++count;
    // The handler may delete this Event: nothing is touched after it.
    if (handler)
        handler->Invoke(fd.get(), r);
}

// ------------------------------------------------------------ Multiplexer

Multiplexer::Multiplexer() = default;

Multiplexer::~Multiplexer()
{
    if (mWakeRead >= 0)
        ::close(mWakeRead);
    if (mWakeWrite >= 0)
        ::close(mWakeWrite);
}

void Multiplexer::terminate()
{
    mTerminate = 1;
    wakeup();
}

void Multiplexer::wakeup()
{
    int fd = mWakeWrite;
    if (fd >= 0) {
        int saved = errno;
        ssize_t r = ::write(fd, "w", 1);
        (void)r; // a full pipe already holds a wake-up
        errno = saved;
    }
}

void Multiplexer::open_wakeup()
{
    if (mWakeRead >= 0)
        return;
    int p[2];
    if (::pipe2(p, O_NONBLOCK | O_CLOEXEC) == 0) {
        mWakeRead = p[0];
        mWakeWrite = p[1];
    }
}

void Multiplexer::drain_wakeup()
{
    char buf[64];
    while (mWakeRead >= 0 && ::read(mWakeRead, buf, sizeof(buf)) > 0) {
    }
}

bool Multiplexer::event_exists(const EventHandler* h) const
{
    return mPending.contains(h) || mServiced->contains(h) || mActive->contains(h);
}

void Multiplexer::attach(EventHandler* h)
{
    if (event_exists(h)) {
        std::cerr << "duplicate multiplexer attach " << std::flush << '"' << h->event_name() << '"'
                  << " ignored." << std::endl;
        return;
    }
    mPending.push_back(h);
}

void Multiplexer::detach(EventHandler* h)
{
    if (mPending.contains(h))
        mPending.remove(h);
    else if (mServiced->contains(h))
        mServiced->remove(h);
    else if (mActive->contains(h))
        mActive->remove(h);
    else {
        std::cerr << "indvalid Multiplexer::detach " << std::flush << h->event_name() << std::endl;
        return;
    }
    // Its poll entry of this pass, if any, goes to nobody.
    if (h->mPollIndex >= 0) {
        size_t i = static_cast<size_t>(h->mPollIndex);
        if (i < mPollOwners.size() && mPollOwners[i] == h)
            mPollOwners[i] = nullptr;
        h->mPollIndex = -1;
    }
}

void Multiplexer::resetWD()
{
    if (mWatchdog < 0)
        return;
    if (Device::write(mWatchdog, "PING", 4) == 4)
        return;
    int err = errno;
    std::cerr << "Mux: ping watchdog failed: " << std::strerror(err) << std::endl;
    // A removed watchdog is not opened again: one line, and the loop goes
    // on as one without a watchdog.
    if (Device::request_end(err)) {
        Device::close(mWatchdog);
        mWatchdog = -1;
    }
}

void Multiplexer::stop_watchdog()
{
    if (mWatchdog < 0)
        return;
    if (Device::write(mWatchdog, "STOP", 4) != 4)
        std::cerr << "Mux: stop watchdog failed: " << std::strerror(errno) << std::endl;
    Device::close(mWatchdog);
    mWatchdog = -1;
}

int Multiplexer::next_timer_wait(uint32_t now) const
{
    const TimerEvent* head = mTimers.head();
    if (!head)
        return -1;
    int32_t wait = static_cast<int32_t>(head->expiry - now);
    return wait > 0 ? wait : 0;
}

void Multiplexer::run(bool watchdog, bool nocache)
{
    mTerminate = 0;
    open_wakeup();
    drain_wakeup();

    if (watchdog) {
        mWatchdog = Device::open(kWatchdogPath, O_WRONLY | O_CLOEXEC);
        if (mWatchdog < 0) {
            std::cerr << "Mux: fail to open watchdog: " << std::strerror(errno) << std::endl;
        } else if (Device::write(mWatchdog, "START", 5) != 5) {
            std::cerr << "Mux: fail to activate watchdog: " << std::strerror(errno) << std::endl;
            Device::close(mWatchdog);
            mWatchdog = -1;
        }
    }

    if (!nocache)
        Mux::mux_settimeofday();
    bool pinged = false;
    uint32_t lastPing = 0;

    while (!mTerminate) {
        int timeout = timers_schedule();
        if (mTerminate)
            break; // stopped by a timer or a DPC: no reason to poll
        int pluginWait = timerPoll_schedule();
        if (pluginWait >= 0 && pluginWait != INT32_MAX && (timeout < 0 || pluginWait < timeout))
            timeout = pluginWait;

        while (EventHandler* h = mPending.remove_from_head())
            mActive->insert_to_tail(h);

        // One entry per active handler, in list order, then the wake-up pipe.
        size_t n = mActive->size();
        size_t total = n + (mWakeRead >= 0 ? 1 : 0);
        if (mPoll.size() != total)
            mPoll.resize(total);
        if (mPollOwners.size() != n)
            mPollOwners.resize(n);
        size_t i = 0;
        for (EventHandler* h = mActive->head(); h; h = h->next, ++i) {
            mPollOwners[i] = h;
            h->mPollIndex = static_cast<int>(i);
            h->shedule_event(mPoll[i]);
            mPoll[i].revents = 0;
        }
        if (mWakeRead >= 0) {
            mPoll[n].fd = mWakeRead;
            mPoll[n].events = POLLIN;
            mPoll[n].revents = 0;
        }

        if (timeout == -1 && n == 0) {
            std::cerr << "multiplexer: system hang detected!!!" << std::endl;
            std::abort();
        }
        if (mWatchdog >= 0 && (timeout == -1 || timeout > kWatchdogPeriodMs))
            timeout = kWatchdogPeriodMs;

        execute_dpc();

        // A DPC may have armed a timer that is due sooner than the wait
        // computed above; and a stop requested meanwhile must not sleep.
        int wait = next_timer_wait(Mux::milliseconds());
        if (wait >= 0 && (timeout < 0 || wait < timeout))
            timeout = wait;
        if (mTerminate)
            timeout = 0;

        Device::driver().withhold(mPoll.data(), n);
        int ready = Mux::clock().poll(mPoll.data(), total, timeout);
        int err = errno;

        if (!nocache)
            Mux::mux_settimeofday();

        uint32_t now = Mux::milliseconds();
        int32_t since = static_cast<int32_t>(now - lastPing);
        if (!pinged || since < 0 || since > kWatchdogPeriodMs - 1) {
            pinged = true;
            lastPing = now;
            resetWD();
        }

        if (ready > 0 && mWakeRead >= 0 && mPoll[n].revents) {
            drain_wakeup();
            --ready;
        }
        service(ready);

        if (ready < 0 && err != EINTR && !(err == EINVAL && fit_descriptor_limit(total))) {
            std::cerr << "multiplexer poll failed: " << std::strerror(err) << std::endl;
            std::abort();
        }
    }

    std::clog << "Mux: terminating..." << std::endl;
    stop_watchdog();
}

// poll() refuses to watch more descriptors than the soft limit allows. An
// operator who lowers the limit of a running server expects new sockets and
// devices to be refused, not every call dropped: the limit goes back up to
// what is watched. Only a hard limit below that leaves the loop stuck.
bool Multiplexer::fit_descriptor_limit(size_t watched)
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= watched)
        return false;
    rlim_t old = limit.rlim_cur;
    limit.rlim_cur = static_cast<rlim_t>(watched);
    if ((limit.rlim_max != RLIM_INFINITY && limit.rlim_max < limit.rlim_cur) ||
        ::setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    std::cerr << "multiplexer: " << watched << " descriptors watched, above the limit of " << old
              << ": limit raised to " << watched << std::endl;
    return true;
}

void Multiplexer::service(int ready)
{
    // Results go to the handlers that filled the entries; one detached
    // since (by a DPC) left a null owner and its result is dropped.
    for (size_t i = 0; i < mPollOwners.size(); ++i) {
        EventHandler* h = mPollOwners[i];
        if (h) {
            h->revents = mPoll[i].revents;
            h->mPollIndex = -1;
            mPollOwners[i] = nullptr;
        }
    }
    if (ready <= 0)
        return;

    mServicing = true;
    ++mPasses;
    while (!mTerminate) {
        EventHandler* h = mActive->remove_from_head();
        if (!h)
            break;
        mServiced->insert_to_tail(h);
        mEventMeasure.begin();
        h->svc_event();
        mEventMeasure.end();
    }
    mServicing = false;
    // A walk cut short by terminate() keeps the rest after the serviced
    // ones, so a later run() still polls every attached handler.
    while (EventHandler* h = mActive->remove_from_head())
        mServiced->insert_to_tail(h);
    std::swap(mActive, mServiced);
}
