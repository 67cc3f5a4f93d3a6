// Opening a TCP connection inside the event loop.
//
// ASync::Connect starts a non-blocking connect to "a.b.c.d:port", waits
// for the socket to become writable or for the time-out, and hands the
// connected descriptor to its completion handler once. It prints nothing:
// the handler decides what to log.
#pragma once

#include <string>
#include <utility>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"

namespace ASync {

class Connect {
public:
    struct Status {
        enum Type { Idle = 0, Running = 1, Failed = 2, Connected = 3, Stopped = 4 };
    };

    class Handler {
    public:
        virtual ~Handler() = default;
        // The socket when connected, empty otherwise; a receiver that keeps
        // the connection keeps this Fd.
        virtual void Invoke(Status::Type status, Fd socket) = 0;
    };

    template <class T>
    class THandler : public Handler {
    public:
        typedef void (T::*Action)(Status::Type status, Fd socket);
        THandler(Action action, T* object) : mAction(action), mObject(object) {}
        void Invoke(Status::Type status, Fd socket) override { (mObject->*mAction)(status, std::move(socket)); }

    private:
        Action mAction;
        T* mObject;
    };

    Connect();
    ~Connect();
    Connect(const Connect&) = delete;
    Connect& operator=(const Connect&) = delete;

    void Bind(Handler* handler);
    template <class T>
    void Bind(typename THandler<T>::Action action, T* object)
    {
        Bind(new THandler<T>(action, object));
    }
    void UnBind();

    // address: dotted quad, ':', port 1..65535; timeout in ms. May complete
    // before returning.
    void Start(const std::string& address, unsigned timeout);
    void Stop();

    Status::Type status() const { return mStatus; }

private:
    void OnSocketEvent(int fd, short revents);
    void OnTimeOut(Timer*);
    void Complete(Status::Type status);

    Status::Type mStatus = Status::Idle;
    Fd mSocket;
    Event mEvent;
    Handler* mHandler = nullptr;
    Timer mTimer;
};

} // namespace ASync
