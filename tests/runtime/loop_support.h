// Small fixtures for tests that run the event loop.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <functional>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"

namespace vbtest {

// A pipe whose read end can be made readable on demand.
struct Pipe {
    Fd r, w;
    Pipe()
    {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) == 0) {
            r.reset(p[0]);
            w.reset(p[1]);
        }
    }
    void fill() { (void)!::write(w.get(), "x", 1); }
    void drain()
    {
        char buf[256];
        NonBlockMode(r.get());
        while (::read(r.get(), buf, sizeof(buf)) > 0) {
        }
    }
};

// An Event whose callback is a std::function.
class FnEvent {
public:
    std::function<void(int, short)> fn;
    Event ev;

    explicit FnEvent(const std::string& name = "test") { ev.Bind(name, &FnEvent::on, this); }
    void watch(const Fd& fd, short events = POLLIN) { ev.Schedule(fd, events); }

private:
    void on(int fd, short revents)
    {
        if (fn)
            fn(fd, revents);
    }
};

// A DPC whose body is a std::function.
class FnDpc {
public:
    std::function<void()> fn;
    Dpc dpc;

    FnDpc() { dpc.Bind(this, &FnDpc::on); }
    explicit FnDpc(std::function<void()> f) : FnDpc() { fn = std::move(f); }

private:
    void on()
    {
        if (fn)
            fn();
    }
};

// A timer whose callback is a std::function.
class FnTimer {
public:
    std::function<void()> fn;
    Timer timer;

    void arm(unsigned ms) { timer.set(ms, &FnTimer::on, this); }
    void arm(unsigned ms, std::function<void()> f)
    {
        fn = std::move(f);
        arm(ms);
    }

private:
    void on()
    {
        if (fn)
            fn();
    }
};

} // namespace vbtest
