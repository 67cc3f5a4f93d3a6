// Small fixtures for tests that run the event loop.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"
#include "tests/support/test_support.h"

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
    void close()
    {
        r.reset();
        w.reset();
    }
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

// One pass of the loop: poll (waiting at most 50 ms when nothing is ready)
// and service; the deferred call that opens the next pass stops the loop.
inline void one_pass()
{
    int runs = 0;
    FnDpc stop([&] {
        if (++runs == 3)
            multiplexer.terminate();
    });
    stop.dpc.Activate();
    FnTimer limit;
    limit.arm(50, [] { multiplexer.terminate(); });
    multiplexer.run(false, true);
}

// Passes a loop run may take before a test gives up on it: a loop whose
// virtual time stops advancing (a descriptor that stays ready, a deferred
// call that never idles) would otherwise run until the test program's
// time-out.
constexpr unsigned kMaxPasses = 100000;

// Runs the loop until terminate(); fails the test and stops the loop when
// it takes more than max_passes passes. False then.
inline bool run_bounded(bool watchdog = false, unsigned max_passes = kMaxPasses)
{
    unsigned runs = 0;
    bool exceeded = false;
    // Deferred calls run twice a pass.
    FnDpc count([&] {
        if (++runs > 2 * max_passes && !exceeded) {
            exceeded = true;
            multiplexer.terminate();
        }
    });
    count.dpc.Activate();
    multiplexer.run(watchdog, true);
    if (exceeded)
        ADD_FAILURE() << "the loop ran " << max_passes << " passes without being stopped";
    return !exceeded;
}

// Runs the loop until done() holds or ms of loop time have passed (or the
// pass bound of run_bounded is reached).
inline bool run_until(const std::function<bool()>& done, unsigned ms = 5000)
{
    bool met = false;
    FnDpc check([&] {
        if (!met && done()) {
            met = true;
            multiplexer.terminate();
        }
    });
    check.dpc.Activate();
    FnTimer limit;
    limit.arm(ms, [] { multiplexer.terminate(); });
    run_bounded();
    return met;
}

// Descriptors open now, counted after one loop run: the loop keeps its
// wake-up pipe open from its first run on.
inline int settled_fd_count()
{
    run_until([] { return true; });
    return open_fd_count();
}

// An empty stand-in for the watchdog device under a test's root directory.
inline std::string watchdog_device(const TempDir& root)
{
    ::mkdir(root.file("dev").c_str(), 0755);
    ::mkdir(root.file("dev/misc").c_str(), 0755);
    ::close(::open(root.file("dev/misc/gw-wd").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    return root.file("dev/misc/gw-wd");
}

// A listening TCP socket on 127.0.0.1 and an ephemeral port.
struct TcpListener {
    Fd fd;
    int port = 0;

    explicit TcpListener(int backlog = 4)
    {
        fd.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = loopback(0);
        socklen_t n = sizeof(a);
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), n) == 0 &&
            ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&a), &n) == 0)
            port = ntohs(a.sin_port);
        if (backlog >= 0)
            (void)::listen(fd.get(), backlog);
    }
    std::string address() const { return "127.0.0.1:" + std::to_string(port); }

    static sockaddr_in loopback(int port)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return a;
    }
    // A blocking client connection to this listener (invalid on failure).
    Fd connect() const
    {
        Fd c(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = loopback(port);
        if (::connect(c.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0)
            c.reset();
        return c;
    }
    Fd accept() const { return Fd(::accept4(fd.get(), nullptr, nullptr, SOCK_CLOEXEC)); }
};

} // namespace vbtest
