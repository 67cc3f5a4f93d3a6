#include "server/control/ctrl_server.h"

#include <iostream>
#include <iterator>
#include <sstream>
#include <vector>

#include "runtime/ext.h"

CtrlSrv::Server ctrlServer;

namespace CtrlSrv {

namespace {

const unsigned max_slot = 1023;
const unsigned stat_delay_ms = 5000;

// A message read whole but for a slot number above the slot range: in the
// envelope (dispatch refuses it before any service) or as the target of a
// connect, its only INTEGER (the slot table refuses it). Both are
// invalidSlot, as an ordinary command would get.
bool PastTheSlotRange(const LGCP::Message& msg)
{
    if (msg.has_slot() && unsigned(msg.get_slot().getValue()) > max_slot)
        return true;
    const LGCP::PDU& pdu = msg.get_pdu();
    return pdu.is_command() && pdu.get_command().currentSelection() == LGCP::Command::e_connect;
}

} // namespace

// ---------------------------------------------------------------- Service

Service::~Service()
{
    if (server)
        server->Forget(this);
}

bool Service::Bound() const
{
    if (server)
        return true;
    std::cerr << "CtrlSrv::Service error! service not connected to server." << std::endl;
    return false;
}

void Service::Success()
{
    if (Bound())
        server->Success();
}

void Service::Error(LGCP::ErrorCause::NamedNumber cause)
{
    if (Bound())
        server->Error(cause);
}

Seq Service::delayResponse()
{
    return Bound() ? server->delayResponse() : Seq();
}

void Service::delayedSuccess(unsigned slot, Seq seq)
{
    if (Bound())
        server->delayedSuccess(slot, seq);
}

unsigned Service::GetSlot() const
{
    return Bound() ? server->GetSlot() : no_slot;
}

bool Service::IsSlotPresent() const
{
    return Bound() && server->IsSlotPresent();
}

void Service::OfferSignal(const LGCP::Signal& sig)
{
    for (Service* s : server->services())
        if (s != this)
            s->OnSignal(sig);
}

void Service::SendSignal(const LGCP::Signal& sig)
{
    if (!Bound())
        return;
    OfferSignal(sig);
    server->SendSignal(sig);
}

void Service::SendSignal(unsigned slot, const LGCP::Signal& sig)
{
    if (!Bound())
        return;
    OfferSignal(sig);
    server->SendSignal(slot, sig);
}

bool Service::CheckServerConnection(bool& connected) const
{
    return server && server->CheckServerConnection(connected);
}

// ----------------------------------------------------------------- Server

Server::~Server()
{
    Deactivate();
    mStatTimer.reset();
    for (Service* s : mServices)
        if (s->server == this)
            s->server = nullptr;
    mServices.clear();
}

void Server::Bind(Service* service)
{
    mServices.push_back(service);
    service->server = this;
}

void Server::Forget(Service* service)
{
    mServices.remove(service);
}

bool Server::Activate(Control::Service* connection)
{
    Deactivate();
    mConnection = connection;
    mConnection->service_name("server");
    mConnection->UseReserve(true);
    mConnection->Bind(this);
    return mConnection->Activate();
}

void Server::Deactivate()
{
    if (!mConnection)
        return;
    mConnection->Deactivate();
    OnDisconnect();
    mConnection->UnBind();
    delete mConnection;
    mConnection = nullptr;
}

void Server::PutHeader(std::ostream& out) const
{
    if (!mConnection)
        out << "ctrl [null]: ";
    else if (mConnection->state() == Control::Service::State::Connected)
        out << "ctrl [" << mConnection->peer_name() << "]: ";
    else
        out << "ctrl [not connected]: ";
}

void Server::OnConnect()
{
    std::clog << ext::header(this) << "controller connect." << std::endl;
    for (Service* s : mServices)
        s->OnConnect();
    mStatTimer.set(stat_delay_ms, &Server::OnUpdateAvgStat, this);
}

void Server::OnDisconnect()
{
    for (Service* s : mServices)
        s->OnDisconnect();
    mStatTimer.reset();
}

void Server::OnHeartbeatTimeout()
{
    if (mConnection)
        mConnection->Disconnect();
}

bool Server::CheckServerConnection(bool& connected) const
{
    if (!mConnection)
        return false;
    connected = mConnection->state() == Control::Service::State::Connected;
    return true;
}

void Server::OnMessage(const char* data, int length)
{
    LGCP::Message msg;
    ASN1::CoderEnv env(ASN1::CoderEnv::per_Aligned);
    if (length >= 0 && ASN1::decode(data, data + length, &env, msg, true))
        Dispatch(msg);
    else if (env.bound() == ASN1::DecodeBound::range && PastTheSlotRange(msg))
        Dispatch(msg);
    else if (env.bound() != ASN1::DecodeBound::none && msg.get_pdu().currentSelection() >= 0)
        RefuseBeyondBound(msg, env);
    else
        LogUndecodable(data, length);
    // A signal sent between commands carries no slot.
    mSlot = no_slot;
}

// Formatted first and written at once: the error stream is unbuffered,
// and a peer's long frame would otherwise cost writes per octet.
void Server::LogUndecodable(const char* data, int length) const
{
    std::ostringstream text;
    text << ext::header(this) << "receive fail: decode error!\n"
         << " msg: " << ext::OutBufInHex(data, length > 0 ? size_t(length) : 0) << '\n';
    std::cerr << text.str() << std::flush;
}

// The PDU was chosen, so seq and slot before it were read whole: the
// controller waits for this answer, the message being longer than the
// decoder reads, or holding a value its type does not allow.
void Server::RefuseBeyondBound(const LGCP::Message& msg, const ASN1::CoderEnv& env)
{
    std::cerr << ext::header(this) << "receive fail: decoder bound: " << ASN1::describe(env.bound());
    if (env.bound() == ASN1::DecodeBound::range) {
        const ASN1::RangeOverrun& past = env.overrun();
        std::cerr << ": " << past.value << " for (" << past.lower << ".." << past.upper << ")";
    }
    std::cerr << std::endl;
    if (TakeEnvelope(msg))
        Error(LGCP::ErrorCause::invalidParams);
}

bool Server::TakeEnvelope(const LGCP::Message& msg)
{
    mResponse = none;
    mSeq.present = msg.has_seq();
    if (mSeq.present)
        mSeq.value = msg.get_seq().getValue();
    if (!msg.get_pdu().is_command()) {
        Error(LGCP::ErrorCause::unexpectedMsgType);
        return false;
    }
    mSlot = msg.has_slot() ? msg.get_slot().getValue() : no_slot;
    if (mSlot != no_slot && mSlot > max_slot) {
        mSlot = no_slot;
        Error(LGCP::ErrorCause::invalidSlot);
        return false;
    }
    return true;
}

void Server::Dispatch(const LGCP::Message& msg)
{
    if (!TakeEnvelope(msg))
        return;
    const LGCP::Command& cmd = msg.get_pdu().get_command();
    bool taken = false;
    for (auto it = mServices.begin(); !taken && it != mServices.end(); ++it)
        taken = (*it)->OnCommand(cmd);
    if (!taken) {
        Error(LGCP::ErrorCause::unexpectedMsgType);
    } else if (mResponse == none) {
        std::cerr << ext::header(this) << "software error: server do NOT send ack!!!" << std::endl;
        Error(LGCP::ErrorCause::internal);
    }
}

// One answer per command: whichever of Success and Error comes first.
void Server::Success()
{
    if (mResponse != none)
        return;
    mResponse = success;
    LGCP::Response response;
    response.set_success();
    SendResponse(response);
}

void Server::Error(LGCP::ErrorCause::NamedNumber cause)
{
    if (mResponse != none)
        return;
    mResponse = error;
    LGCP::Response response;
    response.set_error(cause);
    SendResponse(response);
}

Seq Server::delayResponse()
{
    if (mResponse == none)
        mResponse = success;
    return mSeq;
}

void Server::delayedSuccess(unsigned slot, Seq seq)
{
    LGCP::Message msg;
    msg.get_pdu().get_response().set_success();
    SendMsg(seq, slot, msg);
}

void Server::SendResponse(const LGCP::Response& response)
{
    LGCP::Message msg;
    msg.get_pdu().set_response(response);
    SendMsg(mSeq, mSlot, msg);
}

void Server::SendSignal(const LGCP::Signal& sig)
{
    SendSignal(mSlot, sig);
}

void Server::SendSignal(unsigned slot, const LGCP::Signal& sig)
{
    LGCP::Message msg;
    msg.get_pdu().set_signal(sig);
    SendMsg(Seq(), slot, msg);
}

void Server::SendMsg(Seq seq, unsigned slot, LGCP::Message& msg)
{
    if (seq.present)
        msg.set_seq(seq.value);
    if (slot != no_slot)
        msg.set_slot(slot);

    mOctets.clear();
    ASN1::CoderEnv env(ASN1::CoderEnv::per_Aligned);
    if (!ASN1::encode(msg, &env, std::back_inserter(mOctets))) {
        // The printer fails on the same value and would leave the error
        // stream failed for good: print into a buffer of its own.
        std::ostringstream text;
        text << msg;
        std::cerr << ext::header(this) << "send fail: encode error!" << text.str() << std::endl;
        return;
    }
    if (!mConnection) {
        std::cerr << ext::header(this) << "send fail: Service not attached!" << std::endl;
        return;
    }
    mConnection->Send(mOctets.data(), static_cast<int>(mOctets.size()));
}

} // namespace CtrlSrv
