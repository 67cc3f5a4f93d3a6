#include "media/t38_slot.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <iostream>

#include "board/device.h"
#include "board/mcc_requests.h"
#include "media/modem_child.h"
#include "runtime/child_output.h"
#include "runtime/ext.h"
#include "runtime/inet4_addr.h"
#include "runtime/mux_time.h"
#include "server/slots/slot_refusal.h"

namespace Mcc = Device::Mcc;

// ------------------------------------------------------------- T38SoftSlot

T38SoftSlot::T38SoftSlot(pid_t pid, const Fd& channel, int timeslot)
    : Slot(Hold::descriptor), mPid(pid), mTimeslot(timeslot)
{
    mChild.Bind(this, &T38SoftSlot::OnT38Terminate);
    mChild.Attach(pid);
    // A copy the engine does not inherit: the hang-up of the channel
    // reaches the slot while the engine still runs.
    HoldChannel(timeslot, channel);
}

T38SoftSlot::~T38SoftSlot()
{
    // Only a slot deleted without its release still has an engine here.
    if (mPid >= 1)
        ModemChild::signal_child(mPid, SIGKILL);
}

void T38SoftSlot::PutHeader(std::ostream& out) const
{
    Put(out);
    out << ": ";
}

void T38SoftSlot::IAfterCreate()
{
    OnChangeOutputStream(true);
    OnChangeInputStream(true);
}

bool T38SoftSlot::IBeforeDestroy()
{
    StopEngine();
    return true;
}

// The factory sees the engine to its end.
void T38SoftSlot::StopEngine()
{
    if (mPid >= 1) {
        mChild.Detach();
        ModemChild::signal_child(mPid, SIGTERM);
        if (auto* factory = dynamic_cast<T38SoftFactory*>(GetFactory()))
            factory->Outlive(mPid);
        else
            ModemChild::signal_child(mPid, SIGKILL);
        mPid = -1;
    }
}

// The engine's copy went with it: the slot's is the last one, and the
// channel goes back with it.
void T38SoftSlot::OnT38Terminate(int status)
{
    if (WIFSIGNALED(status))
        std::clog << ext::header(this) << "t38 daemon terminated by signal=" << WTERMSIG(status) << std::endl;
    else if (WIFEXITED(status))
        std::clog << ext::header(this) << "t38 daemon terminated with code=" << WEXITSTATUS(status) << std::endl;
    mPid = -1;
    LoseChannel(Device::End{"engine ended", 0});
    OnAbort(status);
}

// The board took the channel back under the running engine, which can
// carry nothing any more: it is stopped as at a destroy. Its end is
// reported as the channel's loss: abort with the errno.
void T38SoftSlot::IOnChannelLost(const Device::End& end)
{
    mTimeslot = -1;
    if (mPid < 1)
        return;
    std::cerr << ext::header(this) << "channel lost (" << end.why << ")" << std::endl;
    StopEngine();
    OnAbort(end.error);
}

// ---------------------------------------------------------- T38SoftFactory

namespace {
T38SoftFactory* current = nullptr;
// What the engine exits with when it cannot be run.
constexpr int kExecFailed = 1005;
} // namespace

constexpr char T38SoftFactory::kEngine[];

T38SoftFactory::T38SoftFactory()
{
    current = this;
}

// An engine of a destroyed slot on its way out.
struct T38SoftFactory::Ending {
    Ending(T38SoftFactory& owner, pid_t pid) : owner(owner), pid(pid)
    {
        wait.Bind(this, &Ending::OnEnd);
        wait.Attach(pid);
        timer.set(kEndTimeoutMs, &Ending::OnTimeout, this);
    }
    ~Ending()
    {
        wait.Detach();
        ModemChild::signal_child(pid, SIGKILL);
    }
    void OnEnd(int) { owner.Ended(this); }
    void OnTimeout()
    {
        std::cerr << ext::header(&owner) << "t38 daemon[" << pid << "] ignored SIGTERM, killing" << std::endl;
        ModemChild::signal_child(pid, SIGKILL);
    }

    T38SoftFactory& owner;
    pid_t pid;
    ChildWait wait;
    Timer timer;
};

T38SoftFactory::~T38SoftFactory()
{
    if (current == this)
        current = nullptr;
}

void T38SoftFactory::Outlive(pid_t pid)
{
    mEnding.push_back(std::unique_ptr<Ending>(new Ending(*this, pid)));
}

void T38SoftFactory::Ended(Ending* e)
{
    mEnding.remove_if([e](const std::unique_ptr<Ending>& p) { return p.get() == e; });
}

T38SoftFactory* T38SoftFactory::instance()
{
    return current;
}

std::vector<std::string> T38SoftFactory::command(LGCP::T38Soft const& params)
{
    std::string peer = std::string(params.get_dhost().get_iaddr()) + "/" +
                       std::to_string(params.get_dhost().get_port().getValue()) + "/" +
                       std::to_string(params.get_shost().get_port().getValue());
    std::vector<std::string> line{kEngine, "--child", "--remote", peer};
    const auto& args = params.get_args();
    for (size_t i = 0; i < args.size() && line.size() < kMaxLine; ++i)
        line.push_back(args[i]);
    return line;
}

Slot* T38SoftFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_t38soft())
        return nullptr;
    const LGCP::T38Soft& t38 = params.get_t38soft();
    // The engine reads the text as it stands: one that is no address would
    // name some other peer, or cut the ports off the line.
    uint32_t remote;
    const std::string& dhost = t38.get_dhost().get_iaddr();
    if (!INet4::ParseDottedQuad(dhost, remote)) {
        std::cerr << ext::header(this) << "T38SoftFactory::INewSlot - dhost " << ext::quoted(dhost)
                  << " is no IPv4 address" << std::endl;
        RefuseCommand(LGCP::ErrorCause::invalidParams);
        return nullptr;
    }
    Fd fd(Device::open(Mcc::kDevice, O_RDWR | O_CLOEXEC));
    if (!fd) {
        std::cerr << ext::header(this) << "T38SoftFactory::INewSlot - FAIL to open <" << Mcc::kDevice << "> [" << errno
                  << "]" << std::endl;
        return nullptr;
    }
    Mcc::Allocation record{Mcc::kTransparent, static_cast<uint32_t>(t38.get_rx_packet_size().getValue()), 0,
                           static_cast<uint32_t>(t38.get_rx_threshold().getValue()),
                           static_cast<uint32_t>(t38.get_tx_threshold().getValue())};
    if (Device::ioctl(fd.get(), Mcc::MCC_ALLOCATE, &record) != 0) {
        std::cerr << ext::header(this) << "T38SoftFactory::INewSlot - FAIL to ioctl MCC_ALLOCATE [" << errno << "]"
                  << std::endl;
        return nullptr;
    }
    int timeslot = Device::ioctl(fd.get(), Mcc::MCC_TIMESLOT);
    if (timeslot < 0) {
        std::cerr << ext::header(this) << "T38SoftFactory::INewSlot - FAIL to ioctl MCC_TIMESLOT [" << errno << "]"
                  << std::endl;
        return nullptr;
    }
    ModemChild::Setup setup;
    setup.argv = command(t38);
    setup.input = fd.get();
    setup.failStatus = kExecFailed;
    std::clog << ext::header(this) << "args for run t38 daemon:" << std::endl;
    for (size_t i = 0; i < setup.argv.size(); ++i)
        std::clog << ext::header(this) << "arg[" << i << "]=" << setup.argv[i] << std::endl;
    pid_t pid = ModemChild::spawn(setup);
    if (pid < 0)
        return nullptr;
    std::clog << ext::header(this) << "t38 daemon[" << pid << "] successfully started" << std::endl;
    // The channel lives on in the engine and in the slot's watched copy.
    return new T38SoftSlot(pid, fd, timeslot);
}

void T38SoftFactory::Query(LGCP::Resources& resources)
{
    resources.set_t38_instances(QueryNumOfInstances());
}

namespace {
// The first line the engine wrote within the time left; false when none.
// What the engine writes on its standard error meanwhile is logged: the
// loop, which reads it otherwise, does not run during the wait.
bool read_line(int fd, pid_t pid, std::string& line, int64_t deadline)
{
    char buf[T38SoftFactory::kMaxLine + 1];
    for (;;) {
        int left = static_cast<int>(deadline - Mux::real_milliseconds());
        if (left <= 0 || ChildOutput::Await(fd, pid, left) <= 0)
            return false;
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return !line.empty();
        line.append(buf, static_cast<size_t>(n));
        size_t end = line.find('\n');
        if (end != std::string::npos || line.size() >= T38SoftFactory::kMaxLine) {
            line = line.substr(0, std::min(end, T38SoftFactory::kMaxLine));
            return true;
        }
    }
}
} // namespace

// A child of its own with no shell between, reaped here with SIGCHLD held
// back so the loop's reaper cannot take it; an engine that does not answer
// in time is killed, so a hung engine never stops the server.
int T38SoftFactory::QueryNumOfInstances() const
{
    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0) {
        std::clog << ext::header(this) << "t38 daemon not found!" << std::endl;
        return 0;
    }
    Fd readEnd(pipe[0]), writeEnd(pipe[1]);
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    sigprocmask(SIG_BLOCK, &chld, &old);
    ModemChild::Setup setup;
    setup.argv = {kEngine, "--num-of-instances"};
    setup.output = writeEnd.get();
    setup.failStatus = 127;
    pid_t pid = ModemChild::spawn(setup);
    writeEnd.close();
    std::string line;
    bool answered = false;
    if (pid < 0) {
        std::clog << ext::header(this) << "t38 daemon not found!" << std::endl;
    } else {
        int64_t deadline = Mux::real_milliseconds() + kCountTimeoutMs;
        answered = read_line(readEnd.get(), pid, line, deadline);
        readEnd.close();
        // Whatever it does next, the engine has had its time.
        ::kill(pid, SIGKILL);
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0)
        return 0;
    if (!answered) {
        std::clog << ext::header(this) << "t38: can't detect T38 resources" << std::endl;
        return 0;
    }
    return std::atoi(line.c_str());
}
