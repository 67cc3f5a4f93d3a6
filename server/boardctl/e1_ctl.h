// Control of the board's four E1 trunks: their synchronisation state goes
// to the controller once a second as trunkStatus signals, the TCLK mask
// follows the controller's trunkCfg commands, and channel associated
// signalling is carried both ways (ioctl cas commands in, cas signals out).
//
// Devices: GetMaintenance() for status and clocks, "/dev/e1-cas" for CAS.
// Each is opened on first need and stays open; a device that cannot be
// opened is tried again at the next need, and so is one whose descriptor
// ended (a request failing with ENODEV, or the CAS descriptor hanging up or
// failing its reads): that descriptor is closed with one line.
//
// A status read that keeps failing on a trunk costs its first line, and one
// with the count once a read of that trunk works again.
//
// The driver closes every trunk's CAS with the last close of the device,
// so trunks whose CAS was open when the CAS descriptor ended are closed:
// their commands other than open are refused until the controller opens
// them again (the channels they had enabled went with them, which only the
// controller can set up again), and the next connection starts afresh.
#pragma once

#include <array>
#include <cstdint>
#include <iosfwd>

#include "board/e1_requests.h"
#include "board/failure_runs.h"
#include "board/watched_device.h"
#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"
#include "server/control/ctrl_server.h"

class E1Ctl : public CtrlSrv::Service {
public:
    static constexpr unsigned kTrunks = Device::E1::kTrunks;
    static constexpr unsigned kPollMs = 1000;

    static E1Ctl& instance();

    // The process uses instance(); tests build their own.
    E1Ctl() = default;
    ~E1Ctl() override = default;
    E1Ctl(const E1Ctl&) = delete;
    E1Ctl& operator=(const E1Ctl&) = delete;

    void OnConnect() override;
    void OnDisconnect() override;
    // Takes ioctl (those without a slot reach this service) and trunkCfg.
    // A CAS command whose trunk the board does not have answers
    // invalidParams and reaches no device.
    bool OnCommand(const LGCP::Command& cmd) override;

    // False when the device is missing or refused the mask (the command
    // then answers an error); the mask kept is the one the board took.
    bool SetMode(const LGCP::TrunkCfg& cfg);
    // Writes the mask kept; false when it did not reach the device.
    bool UpdateTclk();
    void select_source(int source);
    // False when a CAS command could not reach the device, or names a trunk
    // whose CAS went with the device; the driver's own failures travel as
    // cas signals.
    bool HandleCas(const LGCP::IoctlParams& params);
    // A CAS command naming a trunk that the board does not have.
    static bool ForeignTrunk(const LGCP::IoctlParams& params);

    void SendCASSignal(int path, int timeslot, int rx, int tx);
    // Time slot 0 stands for the whole trunk; rx carries the result code.
    void SendCASTrunkStatus(int trunk, int code) { SendCASSignal(trunk, 0, code, 0); }

    void PutHeader(std::ostream& out) const;

private:
    bool IsOpen();
    // Writes mask, and keeps it only when the board took it.
    bool ChangeTclk(uint32_t mask);
    // A maintenance request that failed with err: true when the device is
    // gone, after letting its descriptor go.
    bool MaintenanceGone(int err);
    bool CheckOpenCas();
    void SendStatus();
    void OnStatusTimer();
    void OnUpdateCas(int fd, short revents);
    // The CAS descriptor ended: closed, its open trunks taken as closed.
    void CasLost(const char* why);
    // Requests on the CAS descriptor; one failing with ENODEV marks the
    // device gone for the command under way.
    int CasRequest(unsigned long request, void* arg);
    int CasRequestValue(unsigned long request, int trunk);
    int CasResult(int result);
    // The command's requests found the device gone: it is let go.
    bool CasReached();

    void HandleCasOpen(const LGCP::CasChannel& channel, int bits);
    void HandleCasClose(const LGCP::CasChannel& channel);
    void HandleCasSet(const LGCP::CasChannel& channel, int bits);
    void HandleCasGet(const LGCP::CasChannel& channel);
    // Reads the channel's bits back and reports them (or the failure).
    void ReportCasBits(int path, int timeslot);

    Fd mMaintenance;
    Timer mStatusTimer;
    // A trunk whose status read keeps failing is one run, not a line a poll.
    Device::FailureRuns mStatusRuns{this};
    Fd mCas;
    Event mCasEvent;
    Device::ShortRecords mCasShorts;
    uint32_t mTclk = 0;
    std::array<bool, kTrunks> mCasOpen{};
    std::array<bool, kTrunks> mCasLost{};
    bool mCasGone = false;
};
