#include "server/boardctl/spi_ctrl.h"

#include <fcntl.h>

#include <cerrno>
#include <iostream>

#include "board/device.h"
#include "runtime/ext.h"
#include "board/hal_requests.h"

namespace {

using Device::Hal::SpiRecord;

// Register 87: the chip takes its clock from the line, or drives it.
const int kClockSlave = 0x30;
const int kClockDriver = 0x38;
const int kLineOff = 0x80;
const int kLineOn = 0;

// Register 51: carrier, frame alignment, far-end alarm bits and slip.
const int kCarrier = 0x01;
const int kFrame = 0x04;
const int kSlip = 0x20;
const int kAlarmBits = 0xC0;

ACP::TrunkState::NamedNumber line_state(int status)
{
    if (!(status & kCarrier))
        return ACP::TrunkState::lossCarrier;
    if (!(status & kFrame))
        return ACP::TrunkState::lossBF;
    switch (status & kAlarmBits) {
    case 0x80:
        return ACP::TrunkState::rai;
    case 0xC0:
        return ACP::TrunkState::normal;
    default:
        return ACP::TrunkState::ais;
    }
}

spiCtrl* gScoped = nullptr;

} // namespace

spiCtrl& spiCtrl::instance()
{
    if (gScoped)
        return *gScoped;
    static spiCtrl one;
    return one;
}

spiCtrl::Scoped::Scoped() : mOld(gScoped)
{
    gScoped = &mCtrl;
}

spiCtrl::Scoped::~Scoped()
{
    gScoped = mOld;
}

spiCtrl::spiCtrl() : mRuns(this, &std::clog)
{
    init_device_and_channels();
}

spiCtrl::~spiCtrl()
{
    if (!mFd)
        return;
    mPoll.reset();
    for (int c = 0; c < kLines; ++c)
        disable_channel(c);
    clock(-1);
}

void spiCtrl::PutHeader(std::ostream& out) const
{
    out << "spi: ";
}

void spiCtrl::OnConnect()
{
    if (mSpi && (mFd || mLost))
        mPoll.set(kPollMs, &spiCtrl::status, this);
}

// --------------------------------------------------------------- registers

// The first access of the first descriptor tells whether the board has
// SPI at all; on a board whose SPI answered once, the device itself went
// away (a device opened again that is gone under its first access too,
// which costs no line: the next poll tries again).
bool spiCtrl::ended(int err)
{
    Device::End gone = Device::request_end(err);
    if (!gone)
        return false;
    if (!mServed) {
        mSpi = false;
        mPoll.reset();
        std::clog << ext::header(this) << "hal without spi" << std::endl;
        return true;
    }
    if (mAnswered)
        std::clog << ext::header(this) << "device lost: " << gone.why << std::endl;
    mFd.close();
    mLost = true;
    return true;
}

void spiCtrl::write(int channel, int reg, int value)
{
    if (!ready())
        return;
    SpiRecord r{static_cast<uint8_t>(channel), static_cast<uint8_t>(reg), static_cast<uint8_t>(value)};
    if (Device::ioctl(mFd.get(), Device::Hal::SPI_WRITE, &r) >= 0) {
        mServed = mAnswered = true;
        return;
    }
    if (!ended(errno))
        std::clog << ext::header(this) << "write error: channel=" << channel << " addr=" << reg << " data=" << value
                  << std::endl;
}

int spiCtrl::read(int channel, int reg)
{
    if (!ready())
        return 0;
    SpiRecord r{static_cast<uint8_t>(channel), static_cast<uint8_t>(reg), 0xFF};
    int result = Device::ioctl(mFd.get(), Device::Hal::SPI_READ, &r);
    if (result >= 0) {
        mServed = mAnswered = true;
        return result & 0xFF;
    }
    if (!ended(errno))
        std::clog << ext::header(this) << "read error: channel=" << channel << " addr=" << reg << std::endl;
    return 0;
}

// ------------------------------------------------------------------ chips

// A device that stays away costs one line, not two a poll.
void spiCtrl::init_device_and_channels()
{
    if (mFd || !mSpi)
        return;
    const char* open = "/dev/hal open";
    if (!mRuns.running(open))
        std::clog << ext::header(this) << "try init" << std::endl;
    int fd = Device::open(Device::Hal::kDevice, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        // Every failed open is one failure, whatever its errno.
        if (mRuns.failed(open, 0))
            std::clog << ext::header(this) << "/dev/hal open fail" << std::endl;
        return;
    }
    mRuns.succeeded(open);
    mFd.reset(fd);
    mAnswered = false;
    mLost = false;
    // A device lost again on the way is left to the next need.
    for (int c = 0; c < kLines && ready(); ++c) {
        program(c);
        if (ready())
            set_line(c, kLineOn, "enable");
    }
}

bool spiCtrl::check_channel(int c, const char* what)
{
    if (c >= 0 && c < kLines)
        return true;
    std::clog << ext::header(this) << "bad channel for " << what << " " << c << std::endl;
    return false;
}

void spiCtrl::init_channel(int c)
{
    if (!mSpi || !check_channel(c, "init"))
        return;
    init_device_and_channels();
    program(c);
}

void spiCtrl::program(int c)
{
    write(c, kEnable, kLineOff);
    write(c, kInit, 8);
    write(c, kClockMaster, kClockSlave);
    write(c, kInit2, 0x60);
    for (int reg = 53; reg <= 55; ++reg)
        write(c, reg, 0);
    std::clog << ext::header(this) << "init channel " << c << std::endl;
}

void spiCtrl::enable_channel(int c)
{
    switch_line(c, kLineOn, "enable");
}

void spiCtrl::disable_channel(int c)
{
    switch_line(c, kLineOff, "disable");
}

void spiCtrl::switch_line(int c, int value, const char* what)
{
    if (!mSpi || !check_channel(c, what))
        return;
    init_device_and_channels();
    set_line(c, value, what);
}

void spiCtrl::set_line(int c, int value, const char* what)
{
    write(c, kEnable, value);
    std::clog << ext::header(this) << what << " channel " << c << std::endl;
}

void spiCtrl::clock(int master)
{
    if (!mSpi)
        return;
    if (master < -1 || master >= kLines) {
        std::clog << ext::header(this) << "bad channel for set clock master " << master << std::endl;
        return;
    }
    init_device_and_channels();
    for (int c = 0; c < kLines; ++c)
        write(c, kClockMaster, kClockSlave);
    if (master == -1) {
        std::clog << ext::header(this) << "clock master disabled" << std::endl;
        return;
    }
    write(master, kClockMaster, kClockDriver);
    std::clog << ext::header(this) << "set clock master on channel " << master << std::endl;
}

// ------------------------------------------------------------------- poll

void spiCtrl::status()
{
    if (!mSpi)
        return;
    // A lost device is opened again here, its chips programmed again.
    init_device_and_channels();
    for (int c = 0; c < kLines && mFd; ++c) {
        int value = read(c, kStatus);
        // A board without SPI has no line to report on.
        if (!mSpi)
            return;
        // Nor has a device lost under the read, until it is back.
        if (!mFd)
            break;
        int slips = 0;
        if (!(value & kSlip))
            mSlipLatch[c] = false;
        else if (!mSlipLatch[c]) {
            mSlipLatch[c] = true;
            slips = 1;
        }

        LGCP::Signal sig;
        ACP::TrunkStatus& line = sig.get_trunkStatus();
        line.set_trunk(c);
        line.set_state(line_state(value));
        line.set_slips(slips);
        line.set_lossBF(0);
        line.set_lossCarrier(0);
        line.set_lossAIS(0);
        line.set_lossRAI(0);
        line.set_name("");
        line.set_clockMaster(false);
        line.set_type(ACP::TrunkType::bri);
        SendSignal(sig);
    }
    mPoll.set(kPollMs, &spiCtrl::status, this);
}
