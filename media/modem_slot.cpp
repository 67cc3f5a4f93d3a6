#include "media/modem_slot.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <set>
#include <sstream>

#include "board/device.h"
#include "board/modem_requests.h"
#include "media/auth_client.h"
#include "media/modem_child.h"
#include "media/modem_factory.h"
#include "runtime/ext.h"
#include "runtime/inet4_addr.h"
#include "runtime/paths.h"
#include "server/slots/slot_refusal.h"

namespace Mdm = Device::Modem;
namespace If = Device::NetIf;

// --------------------------------------------------------------- ModemSlot

ModemSlot::ModemSlot(TERM::ModemParams const& params, Hold hold) : Slot(hold), mParams(params)
{
    mChild.Bind(this, &ModemSlot::on_terminate);
}

ModemSlot::~ModemSlot()
{
    pppd_kill();
}

void ModemSlot::PutHeader(std::ostream& out) const
{
    Put(out);
    out << ": ";
}

ModemFactory* ModemSlot::factory() const
{
    return dynamic_cast<ModemFactory*>(GetFactory());
}

void ModemSlot::pppd_exec(const std::string& device, const char* options)
{
    if (mPid > 0)
        return;
    ModemChild::Setup setup;
    setup.argv = ModemChild::pppd_command(mParams, device, options);
    pid_t pid = ModemChild::spawn(setup);
    if (pid < 0) {
        int error = errno;
        std::cerr << ext::header(this) << "vfork fail: " << std::strerror(error) << std::endl;
        OnAbort(error);
        return;
    }
    mPid = pid;
    mChild.Attach(pid);
    std::clog << ext::header(this) << "pppd executed" << " cid=" << ext::quoted(std::string(mParams.get_cid()))
              << " pid=" << pid << std::endl;
}

void ModemSlot::on_terminate(int status)
{
    std::clog << ext::header(this) << "pppd terminated with code " << status << std::endl;
    child_ended();
    if (IsReleasing())
        finish_release();
    else if (!IsLost())
        OnAbort(status);
}

void ModemSlot::finish_release()
{
    mTimer.reset();
    unbind();
    on_release();
}

bool ModemSlot::IBeforeDestroy()
{
    if (mPid <= 0) {
        unbind();
        return true;
    }
    hang_up_child();
    return false;
}

// A child hung up (by a destroy or the loss of the modem) ended in time.
void ModemSlot::child_ended()
{
    mPid = -1;
    mTimer.reset();
}

void ModemSlot::hang_up_child()
{
    std::cerr << ext::header(this) << "sent HUP to pppd." << std::endl;
    ModemChild::signal_child(mPid, SIGHUP);
    mTimer.set(kTerminateTimeoutMs, &ModemSlot::on_terminate_timeout, this);
}

void ModemSlot::on_terminate_timeout()
{
    std::cerr << ext::header(this) << "pppd terminate timeout!" << std::endl;
    pppd_kill();
    if (IsReleasing())
        finish_release();
}

void ModemSlot::pppd_kill()
{
    if (mPid <= 0)
        return;
    std::cerr << ext::header(this) << "pppd isn't terminated, killing ..." << std::endl;
    ModemChild::signal_child(mPid, SIGKILL);
}

void ModemSlot::stop_child()
{
    mChild.Detach();
    pppd_kill();
    mPid = -1;
    // A slot deleted without a release (the controller went) still gives
    // back what it holds.
    if (mBound)
        unbind();
}

bool ModemSlot::IActivate(TERM::TermActivateParams const& params)
{
    if (!params.is_modem()) {
        std::cerr << ext::header(this) << "modem's activation requests parameter." << std::endl;
        return false;
    }
    const TERM::ModemUserParameters& user = params.get_modem();
    // Refused whole, before any record goes: a text that is no address
    // would otherwise reach the helper as some address all the same.
    const std::string texts[] = {user.get_remoteAddr(), user.get_netmask(), user.get_gateway(), user.get_dns()};
    uint32_t addresses[4];
    for (size_t i = 0; i < 4; ++i)
        if (!INet4::ParseDottedQuad(texts[i], addresses[i])) {
            std::cerr << ext::header(this) << "modem's activation: " << ext::quoted(texts[i])
                      << " is no IPv4 address." << std::endl;
            RefuseCommand(LGCP::ErrorCause::invalidParams);
            return false;
        }
    int32_t id = modem_id();
    if (ModemFactory* f = factory()) {
        f->SendAuth(attr::make(Auth::accept, id, {1}));
        f->SendAuth(attr::make(Auth::ip, id,
                               {0, ntohl(addresses[0]), ntohl(addresses[1]), ntohl(addresses[2]),
                                ntohl(addresses[3]), static_cast<uint32_t>(user.get_mtu().getValue())}));
    }
    // Taken whether or not a helper took the records.
    return true;
}

namespace {
BASE::INTEGER64Bits split(uint64_t value)
{
    BASE::INTEGER64Bits v;
    v.set_low(static_cast<int>(static_cast<uint32_t>(value)));
    v.set_high(static_cast<int>(static_cast<uint32_t>(value >> 32)));
    return v;
}
} // namespace

void ModemSlot::OnAuth(const attr& record, bool& refused)
{
    // A run of refused records is logged at its first.
    auto refuse = [&](const std::string& why) {
        if (!refused)
            std::cerr << ext::header(this) << why << std::endl;
        refused = true;
    };
    switch (record.type()) {
    case Auth::voauth: {
        if (record.size() != Auth::kVoauthSize)
            return refuse("auth request, invalid size: " + std::to_string(record.size()));
        std::string user = record.text(Auth::kUserOffset, Auth::kTextSize);
        std::string password = record.text(Auth::kPasswordOffset, Auth::kTextSize);
        // The controller takes them as IA5String. Refused whole, not
        // altered: an altered name or password could match another one.
        if (!Auth::ia5(user) || !Auth::ia5(password))
            return refuse("auth request, user name or password not IA5, dropped.");
        TERM::ModemProceeding p;
        p.get_auth().set_username(user);
        p.get_auth().set_password(password);
        refused = false;
        OnModem(p);
        return;
    }
    case Auth::voacct: {
        if (record.size() != Auth::kVoacctSize)
            return refuse("auth accounting, invalid size: " + std::to_string(record.size()));
        TERM::ModemProceeding p;
        TERM::MdmAccounting& a = p.get_acct();
        a.set_octetsOut(split(record.dword(Auth::kOctetsOut)));
        a.set_octetsIn(split(record.dword(Auth::kOctetsIn)));
        a.set_packetsOut(split(record.dword(Auth::kPacketsOut)));
        a.set_packetsIn(split(record.dword(Auth::kPacketsIn)));
        a.set_time(split(record.word(Auth::kSessionTime)));
        refused = false;
        OnModem(p);
        return;
    }
    case Auth::accept:
        return refuse("auth accept, ignored.");
    case Auth::ip:
        return refuse("auth ip, ignored.");
    default: {
        std::ostringstream text;
        text << "unknown request from portslave: 0x" << std::hex << record.type();
        return refuse(text.str());
    }
    }
}

// ------------------------------------------------------------ DspModemSlot

DspModemSlot::~DspModemSlot()
{
    stop_child();
    forget_receiver_file();
}

void DspModemSlot::unbind()
{
    if (!mBound)
        return;
    mBound = false;
    if (ModemFactory* f = factory())
        f->ReleaseModemSlot(this);
}

void DspModemSlot::Fail(const char* what)
{
    int error = errno;
    std::cerr << ext::header(this) << what << std::strerror(error) << std::endl;
    OnAbort(error);
}

bool DspModemSlot::InitModem()
{
    // A lost modem is not taken again: the slot stands for the call it lost.
    if (IsLost())
        return false;
    if (mModem >= 0)
        return mTimeslot >= 0;
    Fd fd(Device::open(Mdm::kDevice, O_RDONLY | O_CLOEXEC));
    if (!fd) {
        Fail("fail to open device: ");
        return false;
    }
    if (!SetUpModem(fd.get()))
        return false;
    // The modem stays allocated while the slot holds the descriptor, and
    // goes back to the driver when it ends.
    if (!HoldChannel(mTimeslot, fd)) {
        Fail("fail to watch device: ");
        mModem = mTimeslot = -1;
        return false;
    }
    mControl = std::move(fd);
    OnChangeOutputStream(true);
    OnChangeInputStream(true);
    StartCall(mControl.get());
    return true;
}

// Allocation, time slot and mode; the parameters are only logged when they fail.
bool DspModemSlot::SetUpModem(int fd)
{
    int modem = Device::ioctl_value(fd, Mdm::MDM_ALLOCATE, 0);
    if (modem < 0)
        return Fail("insufficient resources : "), false;
    int timeslot = Device::ioctl_value(fd, Mdm::MDM_TIMESLOT, 0);
    if (timeslot < 0)
        return Fail("get timeslot fail : "), false;
    if (mParams.has_ddm()) {
        Mdm::Ddm ddm{modem, 0};
        const auto& modes = mParams.get_ddm();
        for (size_t i = 0; i < modes.size(); ++i) {
            int mode = modes[i].getValue();
            ddm.mask |= mode == TERM::DigitalDataModeEnum::ddmV110  ? Mdm::kDdmV110
                        : mode == TERM::DigitalDataModeEnum::ddm8BIT ? Mdm::kDdm8Bit
                        : mode == TERM::DigitalDataModeEnum::ddm7BIT ? Mdm::kDdm7Bit
                                                                      : 0u;
        }
        if (Device::ioctl(fd, Mdm::MDM_SET_DDM, &ddm) != 0)
            return Fail("set DDM failed : "), false;
    }
    Mdm::Command reset{modem, -1};
    if (Device::ioctl(fd, Mdm::MDM_RESET_PARAMS, &reset) != 0) {
        int error = errno;
        std::cerr << ext::header(this) << "reset dmp parameters failed : " << std::strerror(error) << std::endl;
    }
    const auto& dmp = mParams.get_dmp();
    for (size_t i = 0; mParams.has_dmp() && i < dmp.size(); ++i) {
        Mdm::Param p{modem, dmp[i].get_offset().getValue(), dmp[i].get_value().getValue()};
        if (Device::ioctl(fd, Mdm::MDM_SET_PARAM, &p) != 0) {
            int error = errno;
            std::cerr << ext::header(this) << "set dmp parameter " << "index=" << p.offset << " value=" << p.value
                      << " failed : " << std::strerror(error) << std::endl;
        }
    }
    mModem = modem;
    mTimeslot = timeslot;
    return true;
}

void DspModemSlot::StartCall(int fd)
{
    bool originate = mParams.has_originate();
    Mdm::Command call{mModem, -1};
    if (!mParams.has_fax()) {
        if (Device::ioctl(fd, originate ? Mdm::MDM_ORIGINATE : Mdm::MDM_ANSWER, &call) != 0)
            return Fail(originate ? "originate failed : " : "answer failed : ");
        pppd_exec(Mdm::kDataPrefix + std::to_string(mModem),
                  originate ? ModemChild::kOriginateOptions : ModemChild::kAnswerOptions);
    } else if (mParams.has_execargs()) {
        StartFaxTransfer();
    } else if (!originate) {
        RunFaxReceiver();
    } else if (Device::ioctl(fd, Mdm::MDM_FAX_ORIGINATE, &call) != 0) {
        Fail("originate failed : ");
    }
}

// The slot's one child at a time: its pid is kept and its end goes to onEnd.
bool DspModemSlot::spawn_child(const ModemChild::Setup& setup, void (DspModemSlot::*onEnd)(int))
{
    pid_t pid = ModemChild::spawn(setup);
    if (pid < 0) {
        Fail("vfork fail: ");
        return false;
    }
    mPid = pid;
    mChild.Bind(this, onEnd);
    mChild.Attach(pid);
    return true;
}

void DspModemSlot::StartFaxTransfer()
{
    ModemChild::Setup setup;
    setup.argv = ModemChild::fax_transfer_command(mParams, mModem);
    setup.banner = "executing fax transfer";
    setup.failText = "fail to exec!";
    // The program reaches the modem by its number. The descriptor that holds
    // the modem stays the slot's until it is destroyed (the child gets no
    // copy): closed, it would give modem and time slot to the next call.
    if (!spawn_child(setup, &DspModemSlot::on_fax_terminate))
        return;
    std::clog << ext::header(this) << "fax transfer executed" << " modem=" << mModem << " ts=" << mTimeslot
              << std::endl;
}

namespace {
// The files of the receivers that run: one not yet written is taken too.
std::set<std::string>& receiver_files()
{
    static std::set<std::string> files;
    return files;
}

bool file_taken(const std::string& name)
{
    return receiver_files().count(name) || ::access(Paths::resolve(name).c_str(), F_OK) == 0;
}
} // namespace

void DspModemSlot::RunFaxReceiver()
{
    ModemChild::Setup setup;
    std::string file = ModemChild::fax_file_name(std::time(nullptr), file_taken);
    setup.argv = ModemChild::fax_receiver_command(mModem, file);
    setup.delayMs = 1000;
    setup.banner = "executing";
    setup.failText = "fail to exec!";
    // Kept so that the slot stops it like its other children.
    if (!spawn_child(setup, &DspModemSlot::on_receiver_terminate))
        return;
    mReceiverFile = file;
    receiver_files().insert(file);
    std::clog << ext::header(this) << "fax receiver executed" << " modem=" << mModem << " ts=" << mTimeslot
              << std::endl;
}

void DspModemSlot::forget_receiver_file()
{
    if (!mReceiverFile.empty())
        receiver_files().erase(mReceiverFile);
    mReceiverFile.clear();
}

// The receiver's end is not reported; it only ends a release that waits.
void DspModemSlot::on_receiver_terminate(int status)
{
    std::clog << ext::header(this) << "fax receiver terminated with code " << status << std::endl;
    child_ended();
    forget_receiver_file();
    if (IsReleasing())
        finish_release();
}

void DspModemSlot::on_fax_terminate(int status)
{
    std::clog << ext::header(this) << "fax terminated with code " << status << std::endl;
    child_ended();
    if (status & 0xff)
        std::clog << ext::header(this) << "fax transfer failed" << std::endl;
    int pages = (status >> 8) & 0xff;
    std::clog << ext::header(this) << "pages received: " << pages << std::endl;
    TERM::ModemProceeding p;
    TERM::MdmAccounting& a = p.get_acct();
    a.set_octetsOut(split(0));
    a.set_octetsIn(split(static_cast<uint64_t>(pages)));
    a.set_packetsOut(split(0));
    a.set_packetsIn(split(0));
    a.set_time(split(0));
    if (IsReleasing()) {
        OnModem(p);
        finish_release();
    } else if (!IsLost()) {
        OnModem(p);
        OnAbort(status);
    }
}

// The slot stays until the controller destroys it; its child is stopped as
// at a destroy.
void DspModemSlot::IOnChannelLost(const Device::End& end)
{
    std::cerr << ext::header(this) << "modem lost (" << end.why << ")" << std::endl;
    mModem = -1;
    mTimeslot = -1;
    mControl.close();
    // A destroy under way hung the child up already, and answers the end.
    if (IsReleasing())
        return;
    if (mPid > 0)
        hang_up_child();
    OnAbort(end.error);
}

// ----------------------------------------------------------- HdlcModemSlot

namespace {
// One SIOCWANDEV on the interface.
bool wan_request(int sock, const std::string& name, uint32_t type, void* buffer, uint32_t size)
{
    If::Request r{};
    name.copy(r.name, If::kNameSize - 1);
    r.settings = If::Settings{type, size, buffer};
    return Device::ioctl(sock, If::kWanDev, &r) == 0;
}
} // namespace

HdlcModemSlot::~HdlcModemSlot()
{
    stop_child();
}

void HdlcModemSlot::unbind()
{
    if (!mBound)
        return;
    // The interface goes back to raw HDLC before another call may take it.
    Release();
    mBound = false;
    if (ModemFactory* f = factory())
        f->ReleaseModemSlot(this);
}

bool HdlcModemSlot::initModem()
{
    if (mPid > 0)
        return mChannel >= 0;
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    char iface[If::kIfaceSize] = {};
    if (!wan_request(sock.get(), mName, If::kGetIface, iface, sizeof(iface))) {
        std::cerr << ext::header(this) << "SIOCWANDEV/IF_GET_IFACE fail!" << std::endl;
        return mChannel >= 0;
    }
    int32_t channel;
    std::memcpy(&channel, iface + If::kChannelOffset, sizeof(channel));
    mChannel = channel;
    char none[4] = {};
    if (!wan_request(sock.get(), mName, If::kProtoPpp, none, sizeof(none))) {
        std::cerr << ext::header(this) << "SIOCWANDEV/IF_PROTO_PPP fail!" << std::endl;
        // No daemon can run: the connection fails and holds no channel.
        mChannel = -1;
        return false;
    }
    pppd_exec(mName, ModemChild::kHdlcOptions);
    return mChannel >= 0;
}

void HdlcModemSlot::Release()
{
    Fd sock(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    If::Request r{};
    mName.copy(r.name, If::kNameSize - 1);
    if (Device::ioctl(sock.get(), If::kGetFlags, &r) != 0) {
        std::cerr << ext::header(this) << "SIOCGIFFLAGS fail!!!" << std::endl;
        return;
    }
    r.flags = static_cast<int16_t>(r.flags & ~If::kUp);
    if (Device::ioctl(sock.get(), If::kSetFlags, &r) != 0) {
        std::cerr << ext::header(this) << "SIOCSIFFLAGS fail!!!" << std::endl;
        return;
    }
    If::RawHdlc raw{0, 0};
    if (!wan_request(sock.get(), mName, If::kProtoHdlc, &raw, sizeof(raw)))
        std::cerr << ext::header(this) << "SIOCWANDEV/IF_PROTO_HDLC fail!" << std::endl;
}
