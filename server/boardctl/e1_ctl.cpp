#include "server/boardctl/e1_ctl.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <iostream>

#include "board/device.h"
#include "board/e1_requests.h"
#include "runtime/ext.h"

namespace {

using Device::Cas::ChannelRecord;
using Device::Cas::Record;

const int kOpenFlags = O_RDWR | O_NONBLOCK | O_CLOEXEC;

bool carries_channel(int timeslot)
{
    return timeslot != static_cast<int>(Device::Cas::kFramingSlot) &&
           timeslot != static_cast<int>(Device::Cas::kSignallingSlot);
}

Record cas_record(int path, int timeslot, int tx)
{
    return Record{static_cast<uint32_t>(path), static_cast<uint32_t>(timeslot), 0, static_cast<uint8_t>(tx & 0xF),
                  {0, 0}};
}

// A run's name: "trunk N status read".
std::string status_read(unsigned trunk)
{
    return "trunk " + std::to_string(trunk) + " status read";
}

LGCP::CasChannel trunk_channel(unsigned trunk)
{
    LGCP::CasChannel c;
    c.set_path(static_cast<int>(trunk));
    c.set_timeslot(0);
    return c;
}

} // namespace

E1Ctl& E1Ctl::instance()
{
    static E1Ctl e1;
    return e1;
}

void E1Ctl::PutHeader(std::ostream& out) const
{
    out << "E1: ";
}

// --------------------------------------------------------------- commands

void E1Ctl::OnConnect()
{
    SendStatus();
    mStatusTimer.set(kPollMs, &E1Ctl::OnStatusTimer, this);
    ChangeTclk(0);
    CheckOpenCas();
}

void E1Ctl::OnDisconnect()
{
    mCasGone = false;
    for (unsigned trunk = 0; trunk < kTrunks; ++trunk)
        if (mCasOpen[trunk])
            HandleCasClose(trunk_channel(trunk));
    CasReached();
    mCasLost.fill(false);
}

bool E1Ctl::OnCommand(const LGCP::Command& cmd)
{
    // The driver's CAS results travel as cas signals: the command answers
    // an error only when it could not reach the device, or when no device
    // could ever carry it out.
    bool reached;
    if (cmd.is_ioctl() && ForeignTrunk(cmd.get_ioctl())) {
        Error(LGCP::ErrorCause::invalidParams);
        return true;
    }
    if (cmd.is_ioctl())
        reached = HandleCas(cmd.get_ioctl());
    else if (cmd.is_trunkCfg())
        reached = SetMode(cmd.get_trunkCfg());
    else
        return false;
    reached ? Success() : Error(LGCP::ErrorCause::internal);
    return true;
}

bool E1Ctl::SetMode(const LGCP::TrunkCfg& cfg)
{
    int trunk = cfg.get_trunk().getValue();
    if (trunk < 0)
        return true;
    uint32_t mask = mTclk;
    if (trunk < 32) {
        uint32_t bit = 1u << trunk;
        if (cfg.get_mode().getValue() == LGCP::TrunkMode::slave)
            mask |= bit;
        else if (cfg.get_mode().getValue() == LGCP::TrunkMode::master)
            mask &= ~bit;
    }
    return ChangeTclk(mask);
}

// A mask the board did not take is forgotten: a later command must not
// carry a change that the controller was told had failed.
bool E1Ctl::ChangeTclk(uint32_t mask)
{
    uint32_t held = mTclk;
    mTclk = mask;
    if (UpdateTclk())
        return true;
    mTclk = held;
    return false;
}

// ------------------------------------------------------ maintenance device

bool E1Ctl::IsOpen()
{
    if (mMaintenance)
        return true;
    int fd = Device::open(GetMaintenance(), kOpenFlags);
    if (fd >= 0)
        mMaintenance.reset(fd);
    return fd >= 0;
}

bool E1Ctl::MaintenanceGone(int err)
{
    Device::End gone = Device::request_end(err);
    if (!gone)
        return false;
    std::cerr << ext::header(this) << "maintenance device lost: " << gone.why << std::endl;
    mMaintenance.close();
    return true;
}

bool E1Ctl::UpdateTclk()
{
    if (!IsOpen())
        return false;
    if (Device::ioctl_value(mMaintenance.get(), Device::E1::E1_SET_TCLK, mTclk) < 0) {
        int err = errno;
        if (MaintenanceGone(err))
            return false;
        std::cerr << ext::header(this) << "fail to set TCLK [cause=" << std::strerror(err) << "]" << std::endl;
        return false;
    }
    std::clog << ext::header(this) << "TCLT = " << ext::OutUnsignedInHex(mTclk) << std::endl;
    return true;
}

void E1Ctl::select_source(int source)
{
    if (!IsOpen())
        return;
    if (Device::ioctl_value(mMaintenance.get(), Device::E1::E1_SET_CLOCK_SOURCE, static_cast<unsigned long>(source)) >=
        0)
        return;
    if (!MaintenanceGone(errno))
        std::cerr << ext::header(this) << "fail to set clock source" << std::endl;
}

void E1Ctl::SendStatus()
{
    if (!IsOpen())
        return;
    for (unsigned trunk = 0; trunk < kTrunks; ++trunk) {
        Device::E1::Status s{};
        s.trunk = trunk;
        if (Device::ioctl(mMaintenance.get(), Device::E1::E1_GET_STATUS, &s) < 0) {
            int err = errno;
            if (MaintenanceGone(err))
                return;
            if (mStatusRuns.failed(status_read(trunk), err))
                std::cerr << ext::header(this) << "synchronization status read fail, trunk = " << trunk
                          << " cause = " << std::strerror(err) << std::endl;
            continue;
        }
        mStatusRuns.succeeded(status_read(trunk));
        LGCP::Signal sig;
        ACP::TrunkStatus& status = sig.get_trunkStatus();
        status.set_trunk(static_cast<int>(trunk));
        // A state the protocol has no value for would fail to encode.
        status.set_state(s.state <= Device::E1::kDisabled ? static_cast<ACP::TrunkState::NamedNumber>(s.state)
                                                          : ACP::TrunkState::unknown);
        status.set_slips(static_cast<int>(s.slips));
        status.set_lossBF(static_cast<int>(s.lossBF));
        status.set_lossCarrier(static_cast<int>(s.lossCarrier));
        status.set_lossAIS(static_cast<int>(s.lossAIS));
        status.set_lossRAI(static_cast<int>(s.lossRAI));
        status.set_name("");
        status.set_clockMaster(false);
        status.set_type(ACP::TrunkType::e1);
        SendSignal(sig);
    }
}

// The poll runs for the rest of the process once the first controller came.
void E1Ctl::OnStatusTimer()
{
    SendStatus();
    CheckOpenCas();
    mStatusTimer.set(kPollMs, &E1Ctl::OnStatusTimer, this);
}

// -------------------------------------------------------------------- CAS

bool E1Ctl::CheckOpenCas()
{
    if (mCas)
        return true;
    int fd = Device::open(Device::Cas::kDevice, kOpenFlags);
    if (fd < 0)
        return false;
    mCas.reset(fd);
    std::clog << ext::header(this) << "cas interface opened!" << std::endl;
    mCasEvent.Bind("E1/Cas", &E1Ctl::OnUpdateCas, this);
    mCasEvent.Schedule(mCas, POLLIN);
    return true;
}

// Every waiting record is read; a descriptor that is over is let go in the
// same call, so it never wakes the loop again.
void E1Ctl::OnUpdateCas(int fd, short revents)
{
    Record r{};
    Device::End end = Device::read_records(this, "cas", fd, revents, &r, sizeof(r), mCasShorts, [&] {
        SendCASSignal(static_cast<int>(r.path), static_cast<int>(r.timeslot), r.rx, r.tx);
    });
    if (end)
        CasLost(end.why);
}

void E1Ctl::CasLost(const char* why)
{
    std::cerr << ext::header(this) << "cas interface lost (" << why << "), open trunks closed with it" << std::endl;
    mCasEvent.Release();
    mCasShorts.end(this, "cas");
    mCas.close();
    for (unsigned trunk = 0; trunk < kTrunks; ++trunk)
        if (mCasOpen[trunk]) {
            mCasOpen[trunk] = false;
            mCasLost[trunk] = true;
        }
}

int E1Ctl::CasRequest(unsigned long request, void* arg)
{
    return CasResult(Device::ioctl(mCas.get(), request, arg));
}

int E1Ctl::CasRequestValue(unsigned long request, int trunk)
{
    return CasResult(Device::ioctl_value(mCas.get(), request, static_cast<unsigned long>(trunk)));
}

int E1Ctl::CasResult(int result)
{
    mCasGone = mCasGone || (result < 0 && Device::request_end(errno));
    return result;
}

bool E1Ctl::CasReached()
{
    if (!mCasGone)
        return true;
    mCasGone = false;
    CasLost(std::strerror(ENODEV));
    return false;
}

void E1Ctl::SendCASSignal(int path, int timeslot, int rx, int tx)
{
    LGCP::Signal sig;
    LGCP::CasSignalling& cas = sig.get_cas();
    cas.get_channel().set_path(path);
    cas.get_channel().set_timeslot(timeslot);
    cas.set_rx(rx);
    cas.set_tx(tx);
    SendSignal(sig);
}

bool E1Ctl::ForeignTrunk(const LGCP::IoctlParams& params)
{
    // Unsigned, so that a negative path is one too.
    return params.is_cas() && static_cast<unsigned>(params.get_cas().get_channel().get_path().getValue()) >= kTrunks;
}

bool E1Ctl::HandleCas(const LGCP::IoctlParams& params)
{
    if (!params.is_cas())
        return true;
    if (!CheckOpenCas())
        return false;
    const LGCP::CasCommand& command = params.get_cas();
    const LGCP::CasChannel& channel = command.get_channel();
    if (ForeignTrunk(params))
        return true; // nothing to do; OnCommand answers invalidParams
    unsigned trunk = static_cast<unsigned>(channel.get_path().getValue());
    const LGCP::CasCommandSignal& cmd = command.get_cmd();
    if (mCasLost[trunk] && !cmd.is_open()) {
        std::cerr << ext::header(this) << "cas on trunk(" << trunk
                  << ") refused: closed with the device, not opened since" << std::endl;
        return false;
    }
    mCasLost[trunk] = false;
    mCasGone = false;
    if (cmd.is_open())
        HandleCasOpen(channel, cmd.get_open().getValue());
    else if (cmd.is_close())
        HandleCasClose(channel);
    else if (cmd.is_set())
        HandleCasSet(channel, cmd.get_set().getValue());
    else if (cmd.is_get())
        HandleCasGet(channel);
    return CasReached();
}

void E1Ctl::HandleCasOpen(const LGCP::CasChannel& channel, int bits)
{
    int trunk = channel.get_path().getValue();
    int timeslot = channel.get_timeslot().getValue();
    if (!mCasOpen[static_cast<unsigned>(trunk)]) {
        int result = CasRequestValue(Device::Cas::CAS_OPEN, trunk);
        SendCASTrunkStatus(trunk, result);
        if (result < 0) {
            std::clog << ext::header(this) << "open cas signalling on trunk(" << trunk << ") - fail(" << result << ")"
                      << std::endl;
            return;
        }
        std::clog << ext::header(this) << "open cas signalling on trunk(" << trunk << ") - ok" << std::endl;
        mCasOpen[static_cast<unsigned>(trunk)] = true;
    } else {
        SendCASTrunkStatus(trunk, 0);
    }
    if (!carries_channel(timeslot))
        return;
    ChannelRecord r{cas_record(trunk, timeslot, bits), 0};
    int result = CasRequest(Device::Cas::CAS_CHANNEL, &r);
    if (result < 0)
        SendCASSignal(trunk, timeslot, result, 0);
    else
        ReportCasBits(trunk, timeslot);
}

void E1Ctl::HandleCasClose(const LGCP::CasChannel& channel)
{
    int trunk = channel.get_path().getValue();
    int timeslot = channel.get_timeslot().getValue();
    if (!mCasOpen[static_cast<unsigned>(trunk)])
        return;
    if (timeslot == 0) {
        int result = CasRequestValue(Device::Cas::CAS_CLOSE, trunk);
        SendCASTrunkStatus(trunk, result == 0 ? 1 : result);
        if (result < 0)
            return;
        mCasOpen[static_cast<unsigned>(trunk)] = false;
    }
    if (!carries_channel(timeslot))
        return;
    ChannelRecord r{cas_record(trunk, timeslot, 0), 1};
    int result = CasRequest(Device::Cas::CAS_CHANNEL, &r);
    if (result < 0)
        SendCASSignal(trunk, timeslot, result, 0);
    else
        SendCASSignal(trunk, timeslot, -1, 1);
}

void E1Ctl::HandleCasSet(const LGCP::CasChannel& channel, int bits)
{
    int trunk = channel.get_path().getValue();
    int timeslot = channel.get_timeslot().getValue();
    if (!mCasOpen[static_cast<unsigned>(trunk)])
        return;
    Record r = cas_record(trunk, timeslot, bits);
    int result = CasRequest(Device::Cas::CAS_SET, &r);
    if (result < 0)
        SendCASSignal(trunk, timeslot, result, 0);
    else
        ReportCasBits(trunk, timeslot);
}

void E1Ctl::HandleCasGet(const LGCP::CasChannel& channel)
{
    int trunk = channel.get_path().getValue();
    if (mCasOpen[static_cast<unsigned>(trunk)])
        ReportCasBits(trunk, channel.get_timeslot().getValue());
}

void E1Ctl::ReportCasBits(int path, int timeslot)
{
    Record r = cas_record(path, timeslot, 0);
    int result = CasRequest(Device::Cas::CAS_GET, &r);
    if (result < 0)
        SendCASSignal(path, timeslot, result, 0);
    else
        SendCASSignal(path, timeslot, r.rx, r.tx);
}
