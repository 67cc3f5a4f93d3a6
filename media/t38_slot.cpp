#include "media/t38_slot.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <limits>
#include <iostream>

#include "board/device.h"
#include "board/mcc_requests.h"
#include "media/modem_child.h"
#include "runtime/ext.h"
#include "runtime/inet4_addr.h"
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

// One --num-of-instances run: its standard output read on the loop, its
// standard error going to the log as any helper's. It has its answer (a
// line), its end of output or its bound, whichever comes first; then it is
// killed, and kept until the loop has reaped it.
struct T38SoftFactory::Count {
    Count(T38SoftFactory& owner, pid_t pid, Fd answer) : owner(owner), pid(pid)
    {
        wait.Bind(this, &Count::OnEnd);
        wait.Attach(pid);
        output.Bind("T38SoftFactory::Count " + std::to_string(pid), &Count::OnOutput, this);
        output.Schedule(answer, POLLIN);
        NonBlockMode(output.fd.get());
        bound.set(kCountTimeoutMs, &Count::OnTimeout, this);
    }
    // Only at the end of the process: the engine goes with it, reaped.
    ~Count()
    {
        if (pid < 1)
            return;
        wait.Detach();
        if (ModemChild::signal_child(pid, SIGKILL))
            while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
            }
    }
    void OnOutput(int fd, short)
    {
        char buf[kMaxLine + 1];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof(buf));
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            // The end of output, or an error, before a whole line.
            if (n <= 0)
                return Finish(-1);
            line.append(buf, size_t(n));
            size_t end = line.find('\n');
            if (end != std::string::npos)
                return Finish(ParseCount(line.substr(0, end)));
            // No number in range is that long.
            if (line.size() > kMaxLine)
                return Finish(-1);
        }
    }
    void OnTimeout() { Finish(-1); }
    void Finish(int count)
    {
        output.Release();
        bound.reset();
        // Whatever it does next, the engine has had its time.
        bool reaped = !ModemChild::signal_child(pid, SIGKILL);
        owner.Counted(count);
        if (reaped)
            owner.Forget(this);
    }
    void OnEnd(int)
    {
        pid = -1;
        if (!output.fd)
            owner.Forget(this);
    }

    T38SoftFactory& owner;
    pid_t pid;
    ChildWait wait;
    Event output;
    Timer bound;
    std::string line;
};

int T38SoftFactory::ParseCount(const std::string& line)
{
    if (line.empty() || line.size() > 10 || line.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    long long value = std::stoll(line);
    return value <= std::numeric_limits<int>::max() ? int(value) : -1;
}

// A child of its own with no shell between, asked once for every report
// that waits meanwhile.
bool T38SoftFactory::IPrepareQuery(const std::function<void()>& ready)
{
    if (mCounting) {
        mReady.push_back(ready);
        return true;
    }
    int pipe[2];
    pid_t pid = -1;
    if (::pipe2(pipe, O_CLOEXEC) == 0) {
        Fd readEnd(pipe[0]), writeEnd(pipe[1]);
        ModemChild::Setup setup;
        setup.argv = {kEngine, "--num-of-instances"};
        setup.output = writeEnd.get();
        setup.failStatus = 127;
        pid = ModemChild::spawn(setup);
        if (pid > 0)
            mCounts.emplace_back(new Count(*this, pid, std::move(readEnd)));
    }
    if (pid < 1) {
        std::clog << ext::header(this) << "t38 daemon not found!" << std::endl;
        mInstances = 0;
        return false;
    }
    mCounting = true;
    mReady.push_back(ready);
    return true;
}

void T38SoftFactory::Counted(int count)
{
    if (count < 0)
        std::clog << ext::header(this) << "t38: can't detect T38 resources" << std::endl;
    mInstances = std::max(count, 0);
    mCounting = false;
    std::vector<std::function<void()>> ready;
    ready.swap(mReady);
    for (const std::function<void()>& r : ready)
        r();
}

void T38SoftFactory::Forget(Count* c)
{
    mCounts.remove_if([c](const std::unique_ptr<Count>& p) { return p.get() == c; });
}
