#include "server/boardctl/bus_ctl.h"

#include <fcntl.h>

#include <cerrno>
#include <iostream>
#include <sstream>
#include <string>

#include "board/device.h"
#include "runtime/ext.h"
#include "board/hal_requests.h"
#include "server/boardctl/spi_ctrl.h"

namespace {

// The name the log gives a clock source code. The driver may know codes
// that have no name here: those show as the number.
std::string source_name(int code)
{
    static const char* const kNames[] = {"f0", "f1", "f2", "f3", "freerun", "X3", "?1", "?2"};
    const int known = static_cast<int>(sizeof(kNames) / sizeof(kNames[0]));
    return code >= 0 && code < known ? kNames[code] : std::to_string(code);
}

} // namespace

BusCtl& BusCtl::instance()
{
    static BusCtl bus;
    return bus;
}

void BusCtl::PutHeader(std::ostream& out) const
{
    out << "clkctl: ";
}

void BusCtl::DisableControl()
{
    std::clog << ext::header(this) << "clock control disabled." << std::endl;
    mEnabled = false;
}

void BusCtl::OnConnect()
{
    if (mEnabled)
        SetDefaultClock();
}

void BusCtl::OnDisconnect()
{
    if (mEnabled)
        SetDefaultClock();
}

bool BusCtl::OnCommand(const LGCP::Command& cmd)
{
    if (!cmd.is_clockCfg())
        return false;
    if (!mEnabled) {
        Error(LGCP::ErrorCause::unsupported);
        return true;
    }
    SetClockSrc(cmd.get_clockCfg()) ? Success() : Error(LGCP::ErrorCause::internal);
    return true;
}

bool BusCtl::IsOpen()
{
    if (mFd)
        return true;
    if (!mEnabled)
        return false;
    int fd = Device::open(Device::Hal::kDevice, O_RDWR | O_CLOEXEC);
    if (fd >= 0)
        mFd.reset(fd);
    return fd >= 0;
}

void BusCtl::SetDefaultClock()
{
    LGCP::ClockCfg cfg;
    cfg.set_clkSel0(LGCP::ClkSel0::internal);
    cfg.set_bextEn(LGCP::BExtEn::disabled);
    cfg.set_source(-1);
    SetClockSrc(cfg);
}

bool BusCtl::SetClockSrc(const LGCP::ClockCfg& cfg)
{
    if (!IsOpen()) {
        // Without the bus clock no line may drive it either.
        spiCtrl::instance().clock(-1);
        std::cerr << ext::header(this) << "set clock source fail: code 1." << std::endl;
        return false;
    }
    std::ostringstream text;
    text << cfg;
    std::cerr << ext::header(this) << "set clock source cmd: " << text.str() << std::endl;
    int source = cfg.get_source().getValue();
    if (cfg.get_clkSel0().getValue() == LGCP::ClkSel0::internal)
        return DrvSetClkSrc(kFreeRun);
    if (cfg.get_clkSel0().getValue() != LGCP::ClkSel0::external)
        return true;
    if (cfg.get_bextEn().getValue() == LGCP::BExtEn::disabled)
        return DrvSetClkSrc(kExternal);
    if (cfg.get_bextEn().getValue() == LGCP::BExtEn::enabled && source >= 0)
        return DrvSetClkSrc(source);
    return true;
}

bool BusCtl::DrvSetClkSrc(int code)
{
    if (!IsOpen()) {
        std::cerr << ext::header(this) << "device open error" << std::endl;
        return false;
    }
    if (Device::ioctl_value(mFd.get(), Device::Hal::HW_CLOCK_SELECT, static_cast<unsigned long>(code)) < 0) {
        Device::End gone = Device::request_end(errno);
        std::cerr << ext::header(this) << "HW_CLOCK_SELECT fail." << std::endl;
        if (gone)
            mFd.close();
        return false;
    }
    std::cerr << ext::header(this) << "clock source = " << source_name(code) << std::endl;
    return true;
}
