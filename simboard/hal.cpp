#include "simboard/hal.h"

#include <cerrno>

namespace SimBoard {

namespace {
struct ChannelRecord {
    int32_t channel;
};
struct PairRecord {
    int32_t channel;
    int32_t value;
};
// Longest chain of connections followed before a loop is assumed.
const int kMaxHops = 16;
} // namespace

Hal::Hal() : mOutputs(kChannels), mLine(kBusFirst, 0xFF)
{
    handle(kConnect, [this](Call& c) {
        auto& r = c.record<PairRecord>();
        if (!valid(r.channel) || !valid(r.value))
            return EINVAL;
        mOutputs[static_cast<size_t>(r.channel)] = Output{Drive::connected, r.value, 0};
        return 0;
    });
    handle(kDisable, [this](Call& c) {
        auto& r = c.record<ChannelRecord>();
        if (!valid(r.channel))
            return EINVAL;
        mOutputs[static_cast<size_t>(r.channel)] = Output{};
        return 0;
    });
    handle(kWrite, [this](Call& c) {
        auto& r = c.record<PairRecord>();
        if (!valid(r.channel))
            return EINVAL;
        mOutputs[static_cast<size_t>(r.channel)] = Output{Drive::constant, -1, static_cast<uint8_t>(r.value)};
        return 0;
    });
    handle(kRead, [this](Call& c) {
        auto& r = c.record<PairRecord>();
        if (!valid(r.channel))
            return EINVAL;
        r.value = received(r.channel);
        return 0;
    });
    static_assert(sizeof(PairRecord) == 8 && sizeof(ChannelRecord) == 4, "records are 32-bit words");
}

uint8_t Hal::received(int32_t channel) const
{
    return hears(channel, 0);
}

uint8_t Hal::hears(int32_t channel, int depth) const
{
    if (channel < kBusFirst)
        return mLine.at(static_cast<size_t>(channel));
    return sends(channel, depth);
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

} // namespace SimBoard
