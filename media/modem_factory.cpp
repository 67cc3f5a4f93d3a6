#include "media/modem_factory.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "board/device.h"
#include "board/modem_requests.h"
#include "media/modem_slot.h"
#include "runtime/ext.h"

namespace If = Device::NetIf;

namespace {
ModemFactory* current = nullptr;
} // namespace

constexpr char ModemFactory::kAuthAddress[];

ModemFactory::ModemFactory(const std::string& listen)
{
    current = this;
    IQuery();
    Init(listen);
}

ModemFactory::~ModemFactory()
{
    if (current == this)
        current = nullptr;
}

ModemFactory* ModemFactory::instance()
{
    return current;
}

void ModemFactory::PutHeader(std::ostream& out) const
{
    out << "modem[" << mDspModems << "," << mAll.size() << "]: ";
}

// ------------------------------------------------------------------- slots

Slot* ModemFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_modem())
        return nullptr;
    const TERM::ModemParams& p = params.get_modem();
    ModemSlot* slot;
    if (p.has_ddm() && p.get_ddm().size() > 0 && !mFree.empty()) {
        auto* hdlc = new HdlcModemSlot(p, mFree.front());
        mFree.erase(mFree.begin());
        mHdlc.push_back(hdlc);
        slot = hdlc;
    } else {
        auto* dsp = new DspModemSlot(p);
        mDsp.push_back(dsp);
        slot = dsp;
    }
    mAll.push_back(slot);
    return slot;
}

void ModemFactory::ReleaseModemSlot(DspModemSlot* slot)
{
    mDsp.remove(slot);
    mAll.remove(slot);
}

void ModemFactory::ReleaseModemSlot(HdlcModemSlot* slot)
{
    mHdlc.remove(slot);
    mAll.remove(slot);
    mFree.push_back(slot->name());
}

void ModemFactory::Query(LGCP::Resources& resources)
{
    IQuery();
    resources.set_modem(mDspModems);
    resources.set_digital_modems(static_cast<int>(mFree.size()));
}

// ------------------------------------------------------------------- scan

void ModemFactory::IQuery()
{
    ScanModems();
    ScanInterfaces();
}

void ModemFactory::ScanModems()
{
    mDspModems = 0;
    Fd fd(Device::open(Device::Modem::kDevice, O_RDWR | O_CLOEXEC));
    if (!fd) {
        int error = errno;
        std::cerr << ext::header(this) << "fail to open " << ext::quoted(Device::Modem::kDevice) << " : "
                  << std::strerror(error) << std::endl;
        return;
    }
    for (int n = -1;;) {
        n = Device::ioctl_value(fd.get(), Device::Modem::MDM_ENUMERATE, static_cast<unsigned long>(n));
        if (n >= 0) {
            ++mDspModems;
            continue;
        }
        if (errno != ENODEV) {
            int error = errno;
            std::cerr << ext::header(this) << "enum fail: " << std::strerror(error) << std::endl;
        }
        return;
    }
}

bool ModemFactory::Held(const std::string& name) const
{
    for (const HdlcModemSlot* s : mHdlc)
        if (s->name() == name)
            return true;
    return false;
}

void ModemFactory::ScanInterfaces()
{
    mFree.clear();
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    for (int n = 0; n < kMaxInterfaces; ++n) {
        std::string name = "hdlc" + std::to_string(n);
        If::Request r{};
        name.copy(r.name, If::kNameSize - 1);
        if (Device::ioctl(sock.get(), If::kGetIndex, &r) != 0 || Device::ioctl(sock.get(), If::kGetFlags, &r) != 0)
            break;
        // An interface that a live call holds is not free: listed again,
        // it would go to a second call.
        if ((r.flags & If::kPointToPoint) && !(r.flags & If::kLoopback) && !Held(name))
            mFree.push_back(name);
    }
    if (mFree.empty())
        return;
    std::clog << ext::header(this) << "found point-o-point devices:";
    for (const std::string& name : mFree)
        std::clog << " " << name;
    std::clog << std::endl;
}

// ---------------------------------------------------------------- the link

void ModemFactory::Init(const std::string& listen)
{
    int port = -1;
    mListenAt.Assign(listen, &port);
    mListen.Bind("ModemFactory::OnSocketEvent", &ModemFactory::OnSocketEvent, this);
    Listen();
}

// A socket that cannot be made is tried again; a port that cannot be had
// leaves no link for the life of the process.
void ModemFactory::Listen()
{
    Fd sock = mSockets.Make();
    if (!sock)
        return;
    int on = 1;
    ::setsockopt(sock.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (::bind(sock.get(), mListenAt.sa(), INet4::Addr::size()) != 0) {
        int error = errno;
        std::cerr << ext::header(this) << "fail to bind auth socket: " << std::strerror(error) << std::endl;
        return;
    }
    if (::listen(sock.get(), kAuthBacklog) != 0) {
        int error = errno;
        std::cerr << ext::header(this) << "fail to listen auth socket: " << std::strerror(error) << std::endl;
        return;
    }
    if (!sock.NonBlock()) {
        int error = errno;
        std::cerr << ext::header(this) << "can't set socket to non block mode: " << std::strerror(error) << std::endl;
        return;
    }
    if (!mSockets.Watch(mListen, sock, POLLIN))
        return;
    socklen_t size = INet4::Addr::size();
    ::getsockname(sock.get(), mAuthAddress.sa(), &size);
}

void ModemFactory::OnSocketEvent(int, short revents)
{
    if (revents & (POLLERR | POLLHUP)) {
        std::cerr << ext::header(this) << "auth server socket error." << std::endl;
        mListen.Release();
        mListen.UnBind();
        return;
    }
    if (!(revents & POLLIN))
        return;
    INet4::Addr peer;
    Fd conn = mSockets.Accept(mListen, peer);
    if (!conn)
        return;
    if (!conn.NonBlock()) {
        std::cerr << ext::header(this) << "fail to set nonblock mode." << std::endl;
        return;
    }
    // At the limit a newcomer for which no room is made is taken and
    // closed at once: left waiting, it would keep the socket ready on
    // every pass.
    if (mClients.size() >= kMaxAuthClients) {
        if (!MakeRoom(peer))
            return;
    } else {
        mAtLimit = AtLimit::no;
    }
    mClients.push_back(std::make_unique<AuthClient>(std::move(conn), peer, *this));
    mClients.back()->Activate();
    std::cerr << ext::header(this) << "incoming auth connection from " << peer.GetString() << std::endl;
}

// Connections that only stay open, or sent nothing a slot took, must not
// keep the helper out: the oldest that has not spoken goes, whatever it is
// waiting for.
bool ModemFactory::MakeRoom(const INet4::Addr& peer)
{
    auto silent = std::find_if(mClients.begin(), mClients.end(),
                               [](const std::unique_ptr<AuthClient>& c) { return !c->spoken(); });
    AtLimit now = silent == mClients.end() ? AtLimit::refusing : AtLimit::evicting;
    if (now != mAtLimit) {
        std::cerr << ext::header(this) << "auth connection from " << peer.GetString()
                  << (now == AtLimit::refusing ? " refused: " : " taken in place of the oldest silent one: ")
                  << kMaxAuthClients << " helper connections open" << std::endl;
        mAtLimit = now;
    }
    if (now == AtLimit::refusing)
        return false;
    RemoveClient(silent->get());
    return true;
}

void ModemFactory::RemoveClient(AuthClient* client)
{
    std::clog << ext::header(this) << "auth client " << client->peer().GetString() << " disconnected." << std::endl;
    mClients.remove_if([client](const std::unique_ptr<AuthClient>& c) { return c.get() == client; });
}

bool ModemFactory::OnAuth(const attr& record, Auth::Runs* runs)
{
    Auth::Runs first;
    Auth::Runs& run = runs ? *runs : first;
    for (ModemSlot* slot : mAll)
        if (slot->EqAuthId(record.session())) {
            run.unknown = false;
            slot->OnAuth(record, run.refused);
            return !run.refused;
        }
    if (!run.unknown)
        std::cerr << ext::header(this) << "receive auth request for unknown session " << record.session() << std::endl;
    run.unknown = true;
    return false;
}

bool ModemFactory::SendAuth(const std::string& record)
{
    int32_t session = attr(reinterpret_cast<const uint8_t*>(record.data()), record.size()).session();
    for (auto& client : mClients)
        if (client->spoken() && client->session() == session)
            return client->Send(record);
    std::clog << ext::header(this) << "send error: unknown auth " << session << " session." << std::endl;
    return false;
}
