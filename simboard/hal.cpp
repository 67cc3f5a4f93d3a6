#include "simboard/hal.h"

#include <cerrno>
#include <sstream>

#include "simboard/test_port.h"

namespace SimBoard {

namespace {
using Device::Hal::ChannelRecord;
using Device::Hal::PairRecord;
// Longest chain of connections followed before a loop is assumed.
const int kMaxHops = 16;
} // namespace

Hal::Hal() : mOutputs(kChannels), mLine(kBusFirst, 0xFF), mChips(kLineChips)
{
    for (auto& chip : mChips) {
        chip.fill(0);
        chip[kLineStatus] = kLineInSync;
    }
    handle_switch();
    handle_spi();
    handle(Device::Hal::HW_CLOCK_SELECT, [this](Call& c) {
        if (recording())
            mClockSelects.push_back(static_cast<uint32_t>(c.value()));
        return 0;
    }, Arg::value);
    handle(Device::Hal::HW_ECHO_BUSES, [this](Call& c) {
        auto& r = c.record<Device::Hal::EchoBuses>();
        for (unsigned bus = 0; bus < Device::Hal::kEchoBuses; ++bus)
            r.present[bus] = (mEchoBuses >> bus) & 1;
        return 0;
    });
    handle_panel();
}

void Hal::handle_panel()
{
    handle(Device::Hal::HAL_DIP_READ, [this](Call& c) {
        c.record<uint8_t>() = mDip;
        return 0;
    });
    handle(Device::Hal::HAL_POWER_READ, [this](Call& c) {
        c.record<uint8_t>() = mPower;
        return 0;
    });
    handle(Device::Hal::HAL_LEDS_WRITE, [this](Call& c) {
        mLeds = c.record<uint8_t>();
        if (recording())
            mLedWrites.push_back(mLeds);
        return 0;
    });
}

void Hal::handle_switch()
{
    handle(kConnect, [this](Call& c) {
        auto& r = c.record<PairRecord>();
        if (!valid(r.channel) || !valid(r.value))
            return -EINVAL;
        mOutputs[static_cast<size_t>(r.channel)] = Output{Drive::connected, r.value, 0};
        return 0;
    });
    handle(kDisable, [this](Call& c) {
        auto& r = c.record<ChannelRecord>();
        if (!valid(r.channel))
            return -EINVAL;
        mOutputs[static_cast<size_t>(r.channel)] = Output{};
        return 0;
    });
    handle(kWrite, [this](Call& c) {
        auto& r = c.record<PairRecord>();
        if (!valid(r.channel))
            return -EINVAL;
        mOutputs[static_cast<size_t>(r.channel)] = Output{Drive::constant, -1, static_cast<uint8_t>(r.value)};
        return 0;
    });
    handle(kRead, [this](Call& c) {
        auto& r = c.record<PairRecord>();
        if (!valid(r.channel))
            return -EINVAL;
        r.value = received(r.channel);
        return 0;
    });
}

void Hal::handle_spi()
{
    handle(Device::Hal::SPI_WRITE, [this](Call& c) {
        auto& r = c.record<Device::Hal::SpiRecord>();
        if (int error = spi_error(r))
            return -error;
        // The status register is read-only: the chip ignores writes to it.
        if (r.reg != kLineStatus)
            mChips[r.channel][r.reg] = r.data;
        if (recording())
            mSpiWrites.push_back(SpiWrite{r.channel, r.reg, r.data});
        return 0;
    });
    handle(Device::Hal::SPI_READ, [this](Call& c) {
        auto& r = c.record<Device::Hal::SpiRecord>();
        int error = spi_error(r);
        return error ? -error : static_cast<int>(mChips[r.channel][r.reg]);
    });
}

int Hal::spi_error(const Device::Hal::SpiRecord& r) const
{
    if (!mSpi)
        return ENODEV;
    if (r.channel == mFailingChip && mChipError)
        return mChipError;
    return r.channel < kLineChips ? 0 : EINVAL;
}

void Hal::stick_bit(int bus, int bit, bool high)
{
    Stuck& s = mStuck.at(static_cast<size_t>(bus));
    uint8_t b = static_cast<uint8_t>(1u << (bit & 7));
    s.mask |= b;
    s.level = static_cast<uint8_t>(high ? (s.level | b) : (s.level & ~b));
}

void Hal::clear_stuck_bits()
{
    mStuck.fill(Stuck{});
}

uint8_t Hal::received(int32_t channel) const
{
    return hears(channel, 0);
}

uint8_t Hal::hears(int32_t channel, int depth) const
{
    if (channel < kBusFirst)
        return mLine.at(static_cast<size_t>(channel));
    const Stuck& s = mStuck[static_cast<size_t>((channel - kBusFirst) / kBusWidth)];
    return static_cast<uint8_t>((sends(channel, depth) & ~s.mask) | (s.level & s.mask));
}

bool Hal::carries(int32_t output, int32_t source) const
{
    for (int hop = 0; hop < kMaxHops && valid(output); ++hop) {
        const Output& o = mOutputs[static_cast<size_t>(output)];
        if (o.drive != Drive::connected)
            return false;
        if (o.source == source)
            return true;
        // Only a shared-bus input hears an output of this board.
        if (o.source < kBusFirst)
            return false;
        output = o.source;
    }
    return false;
}

uint8_t Hal::sends(int32_t channel, int depth) const
{
    const Output& o = output(channel);
    switch (o.drive) {
    case Drive::constant:
        return o.value;
    case Drive::connected:
        return depth < kMaxHops ? hears(o.source, depth + 1) : kFloating;
    case Drive::disabled:
        break;
    }
    return kFloating;
}

// "disabled", "connected <source>" or "constant <hex byte>"; "bus" names
// every shared-bus output that is not disabled.
void Hal::port_commands(TestPort& port)
{
    port.add("bus", 0, "", [this](const TestPort::Args&) {
        std::ostringstream o;
        for (int32_t channel = kBusFirst; valid(channel); ++channel)
            if (output(channel).drive != Drive::disabled)
                o << (o.tellp() > 0 ? " " : "") << channel;
        return TestPort::ok(o.str());
    });
    port.add("switch", 1, "<channel>", [this](const TestPort::Args& a) {
        int32_t channel = 0;
        if (!TestPort::number(a[0], channel) || !valid(channel))
            return TestPort::error("bad channel " + a[0]);
        const Output& out = output(channel);
        std::ostringstream o;
        if (out.drive == Drive::connected)
            o << "connected " << out.source;
        else if (out.drive == Drive::constant)
            o << "constant " << std::hex << unsigned(out.value);
        else
            o << "disabled";
        return TestPort::ok(o.str());
    });
    // The far end of a line channel listens from the first time it is
    // named; what it heard is let go, so that it never fills.
    port.add("line", 1, "<channel>", [this](const TestPort::Args& a) {
        int32_t channel = 0;
        if (!TestPort::number(a[0], channel) || channel < 0 || channel >= SwitchPath::kLineChannels)
            return TestPort::error("bad channel " + a[0]);
        SwitchPath::LineEnd& end = mPath.line(channel);
        for (size_t n = end.waiting(); n > 0; --n)
            end.take();
        return TestPort::ok(std::to_string(end.heard()));
    });
}

} // namespace SimBoard
