// The control server: decodes the controller's LGCP messages (aligned PER,
// one per TPKT frame), offers each command to the bound control services in
// bind order and sends exactly one answer per command; services also send
// signals and delayed answers through it. A command answered late may hold
// the controller's later commands back, so that they are answered after it,
// in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <iosfwd>
#include <list>
#include <string>
#include <vector>

#include "runtime/timer.h"
#include "server/control/control_service.h"
#include "server/schema/LGCP.h"

namespace CtrlSrv {

class Server;

// "No slot" in the unsigned slot values.
const unsigned no_slot = ~0u;

// A command's sequence number: any INTEGER that fits 64 bits, signed (a
// longer one does not decode), -1 too, so whether there is one is kept apart
// from the value. Answers repeat it as it came.
struct Seq {
    bool present = false;
    std::int64_t value = 0;
};

class Service {
public:
    // A service destroyed before its server (a singleton at exit) leaves
    // the server's list.
    virtual ~Service();
    virtual void OnConnect() = 0;
    // The controller has gone (also once at shut-down).
    virtual void OnDisconnect() = 0;
    // True when this service took the command; it must then answer it.
    virtual bool OnCommand(const LGCP::Command& cmd) = 0;
    // A signal sent by another bound service.
    virtual void OnSignal(const LGCP::Signal&) {}

    void Success();
    void Error(LGCP::ErrorCause::NamedNumber cause);
    // Answers later with delayedSuccess; returns the command's seq
    // (not present when it carried none).
    Seq delayResponse();
    void delayedSuccess(unsigned slot, Seq seq);
    // As delayResponse, and the controller's later commands wait, in
    // order, until resumeCommands: for an answer that its signals follow.
    Seq holdResponse();
    void resumeCommands();
    unsigned GetSlot() const;
    bool IsSlotPresent() const;
    // Offered to every other bound service first, then sent.
    void SendSignal(const LGCP::Signal& sig);
    void SendSignal(unsigned slot, const LGCP::Signal& sig);
    // False when not bound; else whether the controller is connected.
    bool CheckServerConnection(bool& connected) const;

    Server* server = nullptr;

private:
    bool Bound() const;
    void OfferSignal(const LGCP::Signal& sig);
};

class Server : public Control::Notify {
public:
    Server() = default;
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void Bind(Service* service);
    // Takes a service that is being destroyed out of the list.
    void Forget(Service* service);
    // Takes the connection over and activates it.
    bool Activate(Control::Service* connection);
    void Deactivate();

    void OnConnect() override;
    void OnDisconnect() override;
    void OnMessage(const char* data, int length) override;

    void Success();
    void Error(LGCP::ErrorCause::NamedNumber cause);
    Seq delayResponse();
    void delayedSuccess(unsigned slot, Seq seq);
    Seq holdResponse();
    void resumeCommands();
    void SendSignal(const LGCP::Signal& sig);
    void SendSignal(unsigned slot, const LGCP::Signal& sig);
    unsigned GetSlot() const { return mSlot; }
    bool IsSlotPresent() const { return mSlot != no_slot; }
    bool CheckServerConnection(bool& connected) const;
    void OnHeartbeatTimeout();

    const std::list<Service*>& services() const { return mServices; }
    void PutHeader(std::ostream& out) const;

    // What the commands kept while an answer is held may take: a
    // controller that sends more meanwhile is dropped.
    static constexpr size_t kept_bound = size_t(4) << 20;

private:
    enum Response { none = 0, success = 1, error = 2 };

    // Takes the message's seq and slot; false when already answered for
    // them (a response or signal, a slot out of range).
    bool TakeEnvelope(const LGCP::Message& msg);
    void Dispatch(const LGCP::Message& msg);
    // A message that the decoder refused after its seq and slot.
    void Refuse(const LGCP::Message& msg, const ASN1::DecodeOutcome& why);
    void LogUndecodable(const char* data, int length) const;
    // A message to the controller: seq when present, slot unless no_slot.
    // The caller fills in the message's PDU in place, sparing a copy.
    void SendMsg(Seq seq, unsigned slot, LGCP::Message& msg);
    void SendResponse(const LGCP::Response& response);
    void OnUpdateAvgStat() {}
    // A frame decoded and answered (or dispatched to be answered later).
    void Take(const char* data, int length);
    // Frames kept while an answer was held, in order, until one holds again.
    void TakeKept();

    std::list<Service*> mServices;
    Control::Service* mConnection = nullptr;
    Seq mSeq;
    unsigned mSlot = no_slot;
    Response mResponse = none;
    Timer mStatTimer;
    // The encoding of the message being sent, kept between messages.
    std::vector<char> mOctets;
    // A command's answer is held: the frames that came since, in order.
    bool mHolding = false;
    std::deque<std::string> mKept;
    size_t mKeptBytes = 0;
    // Takes the kept frames from the loop, outside the callback that
    // resumed them.
    Timer mResume;
};

} // namespace CtrlSrv

// The control server of the process.
extern CtrlSrv::Server ctrlServer;
