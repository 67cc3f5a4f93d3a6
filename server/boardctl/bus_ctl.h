// The clock source of the board's TDM bus, selected on "/dev/hal" by the
// controller's clockCfg. Whenever a controller comes or goes the board
// returns to its free-running clock. Start-up may switch clock control off;
// clockCfg is then answered unsupported. clockCfg answers what the board
// did: an error when the driver refused the source, or when the device
// cannot be reached (not opened, or removed: a request failing with
// ENODEV, whose descriptor is then let go until the next need).
#pragma once

#include <iosfwd>

#include "runtime/fd.h"
#include "server/control/ctrl_server.h"

class BusCtl : public CtrlSrv::Service {
public:
    static constexpr int kFreeRun = 4;
    static constexpr int kExternal = 5;

    static BusCtl& instance();

    // The process uses instance(); tests build their own.
    BusCtl() = default;
    ~BusCtl() override = default;
    BusCtl(const BusCtl&) = delete;
    BusCtl& operator=(const BusCtl&) = delete;

    void DisableControl();

    void OnConnect() override;
    void OnDisconnect() override;
    // Takes clockCfg, with or without a slot.
    bool OnCommand(const LGCP::Command& cmd) override;

    bool IsOpen();
    void SetDefaultClock();
    // False when the device could not be reached or refused the source.
    bool SetClockSrc(const LGCP::ClockCfg& cfg);
    bool DrvSetClkSrc(int code);

    void PutHeader(std::ostream& out) const;

private:
    Fd mFd;
    bool mEnabled = true;
};
