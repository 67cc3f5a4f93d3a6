// Modem and T.38 slots made by their real factories on the simulated board,
// with the stand-in program linked in place of the PPP daemon, the fax
// programs and the T.38 engine under a private root, child reaping on, and
// the authentication link listening on a free loopback port.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "media/modem_factory.h"
#include "media/modem_slot.h"
#include "media/t38_slot.h"
#include "runtime/child_wait.h"
#include "runtime/paths.h"
#include "simboard/modem.h"
#include "tests/media/rtp_support.h"

namespace vbtest {

// Links the stand-in at each program path under root.
inline void link_standins(const std::string& root, const std::string& standin)
{
    for (const char* dir : {"/usr", "/usr/local", "/usr/local/sbin", "/usr/local/bin", "/usr/local/etc", "/var"})
        ::mkdir((root + dir).c_str(), 0755);
    for (const char* program : {"/usr/local/sbin/pppd", "/usr/local/sbin/fax", "/usr/local/bin/fax", "/usr/local/sbin/t38"})
        if (::symlink(standin.c_str(), (root + program).c_str()) != 0)
            std::abort();
}

// What a stand-in noted of its start: argv, then "dev:inode" of descriptor 0.
struct StandinRun {
    pid_t pid = -1;
    std::vector<std::string> argv;
    std::string input;
};

struct StandinDir {
    TempDir dir;

    StandinDir() { ::setenv("VB_STANDIN_DIR", dir.path().c_str(), 1); }
    ~StandinDir()
    {
        for (const char* name : {"PPPD", "FAX", "FAXRECV", "T38"})
            ::unsetenv((std::string("VB_STANDIN_") + name).c_str());
    }
    // $VB_STANDIN_<name> for the programs started from now on.
    void behave(const std::string& name, const std::string& how)
    {
        ::setenv(("VB_STANDIN_" + name).c_str(), how.c_str(), 1);
    }
    StandinRun run(pid_t pid) const
    {
        StandinRun r;
        std::ifstream in(dir.file(std::to_string(pid) + ".run"));
        for (std::string line; std::getline(in, line);)
            r.argv.push_back(line);
        if (!r.argv.empty()) {
            r.pid = pid;
            r.input = r.argv.back();
            r.argv.pop_back();
        }
        return r;
    }
    // The run noted by pid, waiting for it up to 3 s.
    StandinRun wait_run(pid_t pid) const
    {
        run_real([&] { return run(pid).pid == pid; }, 3000);
        return run(pid);
    }
    // The pids of every run noted so far.
    std::vector<pid_t> runs() const
    {
        std::vector<pid_t> pids;
        if (DIR* d = ::opendir(dir.path().c_str())) {
            while (dirent* e = ::readdir(d)) {
                std::string name = e->d_name;
                if (name.size() > 4 && name.compare(name.size() - 4, 4, ".run") == 0)
                    pids.push_back(std::atoi(name.c_str()));
            }
            ::closedir(d);
        }
        return pids;
    }
    // "exit N" or "signal N", "" while it runs or when it could not say.
    std::string end(pid_t pid) const { return read_file(dir.file(std::to_string(pid) + ".end")); }
};

// True once pid is no child of this process, reaped or never ours.
inline bool reaped(pid_t pid)
{
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0;
}

struct ModemWorld : SlotWorld {
    TempDir root;
    Paths::ScopedRoot scoped{root.path()};
    StandinDir standin;
    ModemFactory modems{"127.0.0.1:0"};
    T38SoftFactory t38;

    ModemWorld()
    {
        link_standins(root.path(), VB_STANDIN);
        ChildWait::Activate();
        // While the loop runs, poll waits its whole time-out for real: the
        // children run in real time, so virtual time must never run ahead
        // of them (a 5000 ms guard would fire after a few real ms).
        // advance() still steps it at will.
        clock.set_settle_ms(60000);
    }
    // The slots go before their factories, as a lost controller takes them.
    ~ModemWorld() { server.OnDisconnect(); }

    SimBoard::ModemControl& mctl() { return *sim.board.find<SimBoard::ModemControl>(Device::Modem::kDevice); }
    SimBoard::NetInterfaces& interfaces() { return *sim.board.interfaces(); }
    ModemSlot* modem(unsigned n) { return dynamic_cast<ModemSlot*>(slots().at(n)); }

    static LGCP::Command create_modem(const std::function<void(TERM::ModemParams&)>& fill = nullptr)
    {
        LGCP::Command c;
        TERM::ModemParams& p = c.get_create().get_modem();
        p.set_cid("");
        p.set_cdid("");
        fill ? fill(p) : void();
        return c;
    }
    // Slot 1, a plain TDM slot, hears slot n: the modem's first stream.
    Texts stream(int n)
    {
        if (!slots().at(1))
            create(1);
        return command(simple(LGCP::Command::e_connect, 1), n);
    }
    Texts destroy(int n) { return command(simple(LGCP::Command::e_destroy), n); }
    // Destroys slot n and runs the loop until it is gone (its child ended).
    void destroy_gone(int n)
    {
        destroy(n);
        run_real([&] { return !slots().at(unsigned(n)); }, 3000);
        controller();
    }
    // The loop runs until the controller received count messages, 3 s at most.
    Texts await_controller(size_t count = 1, int timeout_ms = 3000)
    {
        Texts got;
        run_real([&] {
            Texts more = controller();
            got.insert(got.end(), more.begin(), more.end());
            return got.size() >= count;
        }, timeout_ms);
        return got;
    }
    // Virtual time passes and the timers due fire.
    void advance(unsigned ms)
    {
        clock.advance_ms(ms);
        multiplexer.timers_schedule();
    }
    // The answer and the report come once the engine's count is in.
    Texts query()
    {
        Texts now = command(simple(LGCP::Command::e_query), -1);
        Texts later = await_controller(2 - std::min<size_t>(now.size(), 2));
        now.insert(now.end(), later.begin(), later.end());
        return now;
    }
};

} // namespace vbtest
