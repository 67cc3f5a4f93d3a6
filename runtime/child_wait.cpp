#include "runtime/child_wait.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <iostream>

#include "runtime/ext.h"
#include "runtime/ipc_signal.h"

int ChildWait::UsageCounter;
ChildWaitService* ChildWaitService::childWaitService = nullptr;

// ---------------------------------------------------------------- ChildWait

ChildWait::ChildWait()
{
    for (unsigned char& b : mStorage)
        b = 0;
    handler = new (mStorage) DummyHandler;
}

ChildWait::~ChildWait()
{
    handler->~Handler();
    Detach();
}

void ChildWait::Attach(int p)
{
    pid = p;
    ChildWaitService* s = ChildWaitService::childWaitService;
    if (!s)
        return;
    if (queued())
        s->records.remove(this);
    s->records.push_back(this);
}

void ChildWait::Detach()
{
    ChildWaitService* s = ChildWaitService::childWaitService;
    if (s && s->records.contains(this))
        s->records.remove(this);
}

void ChildWait::Initialize()
{
    if (!ChildWaitService::childWaitService)
        ChildWaitService::childWaitService = new ChildWaitService;
}

void ChildWait::Cleanup()
{
    ChildWaitService* s = ChildWaitService::childWaitService;
    if (!s)
        return;
    // A SIGCHLD arriving from here on finds no service and leaves at once.
    ChildWaitService::childWaitService = nullptr;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    s->event.Release();
    s->writeEnd.close();
    // Records still queued must not point into a freed list.
    while (ChildWait* r = s->records.remove_from_head())
        r->next = r->prev = nullptr;
    delete s;
}

void ChildWait::Activate()
{
    ChildWaitService* s = ChildWaitService::childWaitService;
    // Once is enough: a second socket pair would swap the write end under
    // a running signal handler.
    if (!s || s->writeEnd)
        return;
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_DGRAM, 0, sv) != 0) {
        std::cerr << ext::header(s) << "initialize fails" << std::endl;
        return;
    }
    Fd first(sv[0]), second(sv[1]);
    SetCloexec(first.get(), true);
    // The handler must never block the process on a full pair.
    NonBlockMode(first.get());
    Fd writeEnd(first.dup());

    s->event.Bind("ChildWaitService::OnChildEvent", &ChildWaitService::OnChildEvent, s);
    SetCloexec(second.get(), true);
    second.NonBlock();
    s->event.Schedule(second, POLLIN);

    std::atomic_signal_fence(std::memory_order_seq_cst);
    s->writeEnd = std::move(writeEnd);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    IPC::Signal::handle(SIGCHLD, &ChildWaitService::SigChldHandlerWrapper, SA_RESTART);
}

// --------------------------------------------------------- ChildWaitService

void ChildWaitService::PutHeader(std::ostream& out) const
{
    out << "ChildWaitService: ";
}

namespace {

// The raw waitpid status of an ended child, rebuilt from what waitid
// reports: exit code in bits 8 to 15, terminating signal in bits 0 to 6,
// 0x80 when it dumped core.
int rawStatus(const siginfo_t& info)
{
    switch (info.si_code) {
    case CLD_EXITED:
        return (info.si_status & 0xff) << 8;
    case CLD_KILLED:
        return info.si_status & 0x7f;
    case CLD_DUMPED:
        return (info.si_status & 0x7f) | 0x80;
    default:
        return 0;
    }
}

} // namespace

bool ChildWaitService::ReapChildren(int fd)
{
    for (;;) {
        // Look first, reap after the record is out: a child whose record
        // cannot be written yet stays a zombie until the loop made room.
        siginfo_t info;
        info.si_pid = 0;
        if (::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 || info.si_pid <= 0)
            return true;
        int pid = info.si_pid;
        if (fd >= 0) {
            int record[2] = {pid, rawStatus(info)};
            iovec parts[2] = {{&record[0], sizeof(int)}, {&record[1], sizeof(int)}};
            if (::writev(fd, parts, 2) < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return false;
        }
        int status;
        ::waitpid(pid, &status, WNOHANG);
    }
}

void ChildWaitService::SigChldHandlerWrapper(int, siginfo_t*, void*)
{
    // The interrupted code may be about to look at errno.
    int savedErrno = errno;
    ChildWaitService* s = childWaitService;
    if (s && !ReapChildren(s->writeEnd.get()))
        s->mBacklog = 1;
    errno = savedErrno;
}

void ChildWaitService::ReapBacklog()
{
    sigset_t chld, old;
    sigemptyset(&chld);
    sigaddset(&chld, SIGCHLD);
    // The handler would race this pass for the same zombie.
    sigprocmask(SIG_BLOCK, &chld, &old);
    mBacklog = 0;
    if (!ReapChildren(writeEnd.get()))
        mBacklog = 1;
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

void ChildWaitService::OnChildEvent(int fd, short revents)
{
    if (!(revents & POLLIN))
        return;
    for (;;) {
        int record[2];
        while (::read(fd, record, sizeof(record)) == static_cast<ssize_t>(sizeof(record)))
            Dispatch(record[0], record[1]);
        if (!mBacklog)
            return;
        ReapBacklog();
    }
}

void ChildWaitService::Dispatch(int pid, int status)
{
    std::clog << ext::header(this) << "terminate child process, pid=" << pid << " status=" << status
              << std::endl;
    for (ChildWait* r = records.head(); r; r = r->next) {
        if (r->pid == pid) {
            records.remove(r);
            // The handler may destroy the record and its owner.
            r->handler->Invoke(*r, status);
            return;
        }
    }
}
