#include "server/control/control_service.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <new>

#include "runtime/ext.h"
#include "runtime/packet_quota.h"
#include "runtime/profile.h"

namespace Control {

const char* GetTextNotation(Service::State::Type state)
{
    switch (state) {
    case Service::State::Idle:
        return "Idle";
    case Service::State::Connecting:
        return "Connecting";
    case Service::State::Deactivating:
        return "Deactivating";
    case Service::State::Connected:
        return "Connected";
    }
    return "Unknown";
}

Service::Service() : Service(true) {}

namespace {

// The run of sends dropped while no peer is connected (by state).
const char* const dropped_sends = "Control::Service::Send()";

} // namespace

Service::Service(bool verbose) : mVerbose(verbose), mDropped(this)
{
    mStream = new StrmProtocol;
    // The answers and signals of one pass leave in one send.
    mStream->gather(true);
    add_protocol_tail(mStream);
    mTpkt = new Tpkt_protocol;
    add_protocol_tail(mTpkt);
    mDisconnectDpc.Bind(this, &Service::OnDeactivateDPC);
}

Service::~Service()
{
    // The DPC must not outlive the object it calls back.
    mDisconnectDpc.Deactivate();
    mDisconnectDpc.Bind(nullptr);
}

const std::string& Service::service_name() const
{
    return mStream->service_name;
}

void Service::service_name(const std::string& name)
{
    mStream->service_name = name;
    mTpkt->service_name = name;
}

void Service::UseReserve(bool on)
{
    mUseReserve = on;
    mStream->use_reserve(on);
    mTpkt->use_reserve(on);
}

void Service::PutHeader(std::ostream& out) const
{
    out << "Control[" << mStream->service_name << "]: ";
}

bool Service::Activate()
{
    Deactivate();
    mState = State::Connecting;
    bool result = ImplActivate();
    if (!result)
        mState = State::Idle;
    return result;
}

void Service::Deactivate()
{
    ImplDeactivate();
    mState = State::Idle;
    mDropped.end_all();
}

void Service::Disconnect()
{
    // Only a live connection has a stack to take down: anywhere else this
    // would report a disconnect that never happened and, for a connector,
    // start reconnecting after a deactivation.
    if (mState != State::Connected)
        return;
    deactivate();
}

void Service::Release()
{
    mStream->release();
}

void Service::Send(const char* data, int length)
{
    if (mState == State::Deactivating)
        return;
    if (mState != State::Connected) {
        // Periodic signals keep coming while no peer is there: one line
        // when the run starts, its count when a peer comes.
        if (mVerbose && mDropped.failed(dropped_sends, mState))
            std::cerr << ext::header(this) << "Control::Service::Send() ignore Send request in "
                      << GetTextNotation(mState) << " state." << std::endl;
        return;
    }
    // One frame holds at most this much; a longer message is the caller's
    // mistake and must not bring the process down.
    if (length < 0 || static_cast<unsigned>(length) > Tpkt_protocol::max_payload || (!data && length)) {
        std::cerr << ext::header(this) << "Control::Service::Send() message of " << length
                  << " bytes refused, at most " << Tpkt_protocol::max_payload << " fit one frame." << std::endl;
        return;
    }

    static Profile::Point build("Control::Service::Send [1]");
    static Profile::Point hand_down("Control::Service::Send [2]");
    build.begin();
    Packet p;
    try {
        PacketQuota::ReserveAccess access(mUseReserve);
        prepare_head(p);
    } catch (const std::bad_alloc&) {
        build.end();
        std::cerr << ext::header(this) << "Control::Service::Send() packet pool empty, message dropped."
                  << std::endl;
        return;
    }
    _Packet* buf = p.operator->();
    std::memcpy(buf->tail, data, static_cast<size_t>(length));
    buf->tail += length;
    p.check("put");
    build.end();

    hand_down.begin();
    message(p);
    hand_down.end();
}

void Service::on_message(Packet& p)
{
    if (mState == State::Deactivating || !mNotify)
        return;
    const _Packet* b = p.get();
    if (!b)
        return;
    mNotify->OnMessage(reinterpret_cast<const char*>(b->data), b->_length());
}

void Service::on_deactivated(Protocol*, Protocol_status)
{
    if (mStarting) {
        mState = State::Connecting;
        return;
    }
    if (mVerbose)
        std::cerr << ext::header(this) << "control connection " << mName << " closed." << std::endl;
    mState = State::Deactivating;
    mDisconnectDpc.Activate();
}

void Service::OnDeactivateDPC()
{
    mDisconnectDpc.Deactivate();
    mState = State::Connecting;
    ImplOnDisconnect();
    // Last: the user may delete or re-activate this channel.
    if (mNotify)
        mNotify->OnDisconnect();
}

bool Service::SetConnected(const Fd& fd, const std::string& name)
{
    Fd own(fd);
    if (!own)
        return false;
    mName = name;
    mState = State::Connected;
    mStream->attach(std::move(own));
    mStarting = true;
    activate();
    mStarting = false;
    if (mState != State::Connected) {
        int err = errno;
        Release();
        errno = err;
        return false;
    }
    mDropped.succeeded(dropped_sends);
    if (mNotify)
        mNotify->OnConnect();
    return true;
}

// ------------------------------------------------------------- ServiceNet

bool ServiceNet::Connected(const Fd& fd, const INet4::Addr& peer)
{
    if (state() == State::Deactivating) {
        errno = EBUSY;
        return false;
    }
    int one = 1;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_KEEPALIVE, &one, sizeof(one)) != 0 && verbose())
        std::cerr << ext::header(this) << "fail set keepalive to control socket." << std::endl;
    if (::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0 && verbose())
        std::cerr << ext::header(this) << "fail to turn off Nagle algorithm." << std::endl;
    mPeer = peer;
    return SetConnected(fd, peer.GetString());
}

} // namespace Control
