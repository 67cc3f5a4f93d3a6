#include "server/boardctl/spi_ctrl.h"

#include <fcntl.h>

#include <cerrno>
#include <iostream>
#include <string>

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

Device::Holder::Setup halSetup()
{
    // Every failed open is one failure of the run, whatever its errno.
    Device::Holder::Setup setup(Device::Hal::kDevice, O_RDWR, "/dev/hal open fail");
    setup.lostLine = true;
    setup.log = &std::clog;
    setup.openRun = "/dev/hal open";
    setup.openError = false;
    setup.backWhenTold = true;
    return setup;
}

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

spiCtrl::spiCtrl() : mHal([this](std::ostream& out) { PutHeader(out); }, halSetup())
{
    // Every chip is programmed on every fresh descriptor; one given up as
    // invalid on an earlier one is asked again.
    mChips.fill(Device::Held<bool>(Device::Policy::held));
    mHal.on_fresh([this] {
        for (Device::Held<bool>& chip : mChips)
            if (!chip.on())
                chip.hold(true);
        return true;
    });
    mHal.attach(*this);
    init_device_and_channels();
}

spiCtrl::~spiCtrl()
{
    mHal.detach(*this);
    if (mHal.fd() >= 0) {
        mPoll.reset();
        for (int c = 0; c < kLines; ++c)
            disable_channel(c);
        clock(-1);
    }
    mHal.close();
}

void spiCtrl::PutHeader(std::ostream& out) const
{
    out << "spi: ";
}

void spiCtrl::OnConnect()
{
    if (mSpi && (mHal.fd() >= 0 || mServed))
        mPoll.set(kPollMs, &spiCtrl::status, this);
}

// --------------------------------------------------------------- registers

// The first access tells whether the board has SPI at all; on a board
// whose SPI answered once, the device itself went away, and the holder has
// let the descriptor go (saying so when SPI had answered on it; a device
// opened again that is gone under its first access costs no line).
bool spiCtrl::ended(int err)
{
    if (!Device::request_end(err))
        return false;
    if (!mServed) {
        mSpi = false;
        mPoll.reset();
        mHal.close();
        std::clog << ext::header(this) << "hal without spi" << std::endl;
    }
    return true;
}

std::string spiCtrl::run(const char* request, int channel)
{
    return "channel " + std::to_string(channel) + " " + request;
}

void spiCtrl::answered(const char* request, int channel)
{
    mServed = true;
    mTrying = false;
    mHal.runs().succeeded(run(request, channel));
}

// A lasting failure of a chip's reads or writes is one run of that chip's
// request: its first access is logged, the others are counted, and a chip
// that keeps failing among working ones is still one run.
bool spiCtrl::write(int channel, int reg, int value)
{
    if (!ready())
        return false;
    SpiRecord r{static_cast<uint8_t>(channel), static_cast<uint8_t>(reg), static_cast<uint8_t>(value)};
    if (mHal.ioctl(Device::Hal::SPI_WRITE, &r) >= 0) {
        answered("write", channel);
        return true;
    }
    int err = errno;
    if (!ended(err) && mHal.runs().failed(run("write", channel), err))
        std::clog << ext::header(this) << "write error: channel=" << channel << " addr=" << reg << " data=" << value
                  << std::endl;
    return false;
}

int spiCtrl::read(int channel, int reg)
{
    if (!ready())
        return 0;
    SpiRecord r{static_cast<uint8_t>(channel), static_cast<uint8_t>(reg), 0xFF};
    int result = mHal.ioctl(Device::Hal::SPI_READ, &r);
    if (result >= 0) {
        answered("read", channel);
        return result & 0xFF;
    }
    int err = errno;
    if (!ended(err) && mHal.runs().failed(run("read", channel), err))
        std::clog << ext::header(this) << "read error: channel=" << channel << " addr=" << reg << std::endl;
    return 0;
}

// ------------------------------------------------------------------ chips

// A device that stays away costs one "try init" and one open line, not
// two lines a poll. The holder's step programs the chips on the fresh
// descriptor (and what they refused at every later need); one gone again
// under its first accesses is opened again by its retry.
void spiCtrl::init_device_and_channels()
{
    if (!mSpi)
        return;
    if (mHal.fd() < 0) {
        if (!mTrying)
            std::clog << ext::header(this) << "try init" << std::endl;
        mTrying = true;
        // While the chips are owed, the holder's retry opens it once a second.
        if (mHal.retrying())
            return;
    }
    mHal.device();
}

bool spiCtrl::untold(uint64_t present)
{
    if (!mSpi)
        return false;
    for (const Device::Held<bool>& chip : mChips)
        if (chip.untold(present))
            return true;
    return false;
}

void spiCtrl::reconcile(Device::Tally&)
{
    for (int c = 0; c < kLines && ready(); ++c)
        mChips[static_cast<size_t>(c)].restore([this] { return mHal.present(); }, [this, c](bool) { return program(c); },
                                               [this] { return mHal.refusal(); });
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
    init_registers(c);
}

bool spiCtrl::program(int c)
{
    return init_registers(c) && set_line(c, kLineOn, "enable");
}

bool spiCtrl::init_registers(int c)
{
    bool took = write(c, kEnable, kLineOff) && write(c, kInit, 8) && write(c, kClockMaster, kClockSlave) &&
                write(c, kInit2, 0x60);
    for (int reg = 53; took && reg <= 55; ++reg)
        took = write(c, reg, 0);
    if (took)
        std::clog << ext::header(this) << "init channel " << c << std::endl;
    return took;
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

bool spiCtrl::set_line(int c, int value, const char* what)
{
    if (!write(c, kEnable, value))
        return false;
    std::clog << ext::header(this) << what << " channel " << c << std::endl;
    return true;
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
    for (int c = 0; c < kLines && ready(); ++c) {
        // A chip not programmed reads as no carrier: its line carries nothing.
        int value = programmed(c) ? read(c, kStatus) : 0;
        // A board without SPI has no line to report on.
        if (!mSpi)
            return;
        // Nor has a device lost under the read, until it is back.
        if (!ready())
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
