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

// The answer to a message that the decoder refused after its seq and slot,
// besides those that the envelope gets (a response or signal, a slot over
// 1023): a PDU or Command alternative past the known ones is a message no
// service takes, a connect target over 1023 names no slot, anything else
// is a parameter the command cannot take.
LGCP::ErrorCause::NamedNumber RefusalOf(const ASN1::DecodeOutcome& why)
{
    if (why.bound == ASN1::DecodeBound::alternative &&
        (why.type == &LGCP::PDU::theInfo || why.type == &LGCP::Command::theInfo))
        return LGCP::ErrorCause::unexpectedMsgType;
    if (why.bound == ASN1::DecodeBound::range && why.holder == &LGCP::Command::theInfo &&
        why.field == LGCP::Command::e_connect)
        return LGCP::ErrorCause::invalidSlot;
    return LGCP::ErrorCause::invalidParams;
}

// Whether seq and slot were read whole before the decoder stopped: the PDU
// was chosen, or its own index stopped it.
bool Answerable(const LGCP::Message& msg, const ASN1::DecodeOutcome& why)
{
    return why.bound != ASN1::DecodeBound::none &&
           (msg.get_pdu().currentSelection() >= 0 || why.type == &LGCP::PDU::theInfo);
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

Seq Service::holdResponse()
{
    return Bound() ? server->holdResponse() : Seq();
}

void Service::resumeCommands()
{
    if (Bound())
        server->resumeCommands();
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
    // What the controller asked meanwhile goes with it.
    mHolding = false;
    mKept.clear();
    mKeptBytes = 0;
    mResume.reset();
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
    if (!mHolding && mKept.empty())
        return Take(data, length);
    size_t size = length > 0 ? size_t(length) : 0;
    if (mKeptBytes + size > kept_bound) {
        std::cerr << ext::header(this) << "commands waiting over their bound (" << mKeptBytes + size
                  << " bytes): connection dropped" << std::endl;
        mKept.clear();
        mKeptBytes = 0;
        OnHeartbeatTimeout();
        return;
    }
    mKept.emplace_back(data, size);
    mKeptBytes += size;
}

void Server::TakeKept()
{
    while (!mHolding && !mKept.empty()) {
        std::string frame = std::move(mKept.front());
        mKept.pop_front();
        mKeptBytes -= frame.size();
        Take(frame.data(), int(frame.size()));
    }
}

void Server::Take(const char* data, int length)
{
    LGCP::Message msg;
    ASN1::CoderEnv env(ASN1::CoderEnv::per_Aligned);
    if (length >= 0 && ASN1::decode(data, data + length, &env, msg, true))
        Dispatch(msg);
    else if (Answerable(msg, env.outcome()))
        Refuse(msg, env.outcome());
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

// The controller waits for this answer: the message is longer than the
// decoder reads, or holds a value its type does not allow. No service sees
// it.
void Server::Refuse(const LGCP::Message& msg, const ASN1::DecodeOutcome& why)
{
    std::ostringstream text;
    text << ext::header(this) << "receive fail: decoder bound: " << ASN1::describe(why.bound);
    if (why.overran())
        text << ": " << why.value << " for (" << why.lower << ".." << why.upper << ")";
    if (*why.name)
        text << ", field " << why.name;
    std::cerr << text.str() << std::endl;
    if (TakeEnvelope(msg))
        Error(RefusalOf(why));
}

// The envelope's own answers: a response or a signal from the controller,
// a slot over 1023.
bool Server::TakeEnvelope(const LGCP::Message& msg)
{
    mResponse = none;
    mSeq.present = msg.has_seq();
    if (mSeq.present)
        mSeq.value = msg.get_seq().getValue();
    const LGCP::PDU& pdu = msg.get_pdu();
    if (pdu.is_response() || pdu.is_signal()) {
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

Seq Server::holdResponse()
{
    mHolding = true;
    return delayResponse();
}

void Server::resumeCommands()
{
    mHolding = false;
    if (!mKept.empty())
        mResume.set(0, &Server::TakeKept, this);
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
