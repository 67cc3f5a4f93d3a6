// Reaping of child processes inside the event loop.
//
// The SIGCHLD handler reaps every ended child and writes {pid, status} as
// one datagram into a local socket pair; an Event on the other end reads
// the datagrams in the loop and calls the handler of the ChildWait record
// waiting for that pid. Signal context never touches the record list.
//
// Usage, all in one loop callback:
//   mChild.Bind(this, &Foo::OnChildEnd);   // void Foo::OnChildEnd(int status)
//   pid_t pid = fork(); ... exec ...
//   mChild.Attach(pid);
#pragma once

#include <signal.h>

#include <cstddef>
#include <iosfwd>
#include <new>

#include "runtime/dual_list.h"
#include "runtime/fd.h"
#include "runtime/multiplexer.h"

class ChildWaitService;

// One child that a user waits for. Its handler lives in inline storage, so
// binding never allocates.
class ChildWait : public F_dual_list_item<ChildWait> {
public:
    class Handler {
    public:
        virtual ~Handler() = default;
        virtual void Invoke(ChildWait& record, int status) = 0;
        // Handlers live in the record's storage: deleting one only destroys it.
        static void operator delete(void*) {}
    };

    class DummyHandler : public Handler {
    public:
        void Invoke(ChildWait&, int) override {}
    };

    template <class T>
    class THandler1 : public Handler {
    public:
        typedef void (T::*Action)(int status);
        THandler1(T& object, Action action) : mObject(object), mAction(action) {}
        // The call may destroy the record (and this handler): nothing after it.
        void Invoke(ChildWait&, int status) override { (mObject.*mAction)(status); }

    private:
        T& mObject;
        Action mAction;
    };

    ChildWait();
    ~ChildWait();
    ChildWait(const ChildWait&) = delete;
    ChildWait& operator=(const ChildWait&) = delete;

    template <class T>
    void Bind(T* object, void (T::*action)(int status))
    {
        static_assert(sizeof(THandler1<T>) <= kStorageSize, "child handler does not fit the record");
        handler->~Handler();
        handler = new (mStorage) THandler1<T>(*object, action);
    }

    // Starts (or restarts) waiting for pid; the record goes to the tail.
    void Attach(int pid);
    // Stops waiting; harmless on a record that is not queued.
    void Detach();
    bool queued() const { return owner_list() != nullptr; }

    // The process-wide service: created before main, activated by main,
    // torn down after the last static object that could use it.
    static void Initialize();
    static void Cleanup();
    static void Activate();
    static int UsageCounter;

    int pid = 0;

private:
    friend class ChildWaitService;
    static const size_t kStorageSize = 64;
    alignas(std::max_align_t) unsigned char mStorage[kStorageSize];

public:
    // Always points into the inline storage.
    Handler* handler;
};

class ChildWaitService {
public:
    // Null while the service does not exist.
    static ChildWaitService* childWaitService;

    static void SigChldHandlerWrapper(int sig, siginfo_t* info, void* context);
    void OnChildEvent(int fd, short revents);
    void PutHeader(std::ostream& out) const;

    // Read end of the socket pair (the Event's own duplicate).
    Event event;
    // Write end, used from signal context only once valid.
    Fd writeEnd;
    F_dual_list<ChildWait> records;

private:
    friend class ChildWait;
    void Dispatch(int pid, int status);
    // Reaps ended children as long as their record can be written; returns
    // false when the socket pair is full and the rest must wait for the loop.
    static bool ReapChildren(int fd);
    // Reaps what the signal handler had to leave because the pair was full.
    void ReapBacklog();

    // Set in signal context when children were left unreaped.
    volatile sig_atomic_t mBacklog = 0;
};

// Counts the program's units that use the service; the first one creates
// it, the last one to be torn down destroys it.
struct ChildWaitInit {
    ChildWaitInit()
    {
        if (ChildWait::UsageCounter++ == 0)
            ChildWait::Initialize();
    }
    ~ChildWaitInit()
    {
        if (--ChildWait::UsageCounter == 0)
            ChildWait::Cleanup();
    }
};

static ChildWaitInit childWaitInit;
