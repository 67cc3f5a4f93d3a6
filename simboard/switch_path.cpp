#include "simboard/switch_path.h"

#include <algorithm>
#include <stdexcept>

#include "simboard/hal.h"

namespace SimBoard {

SwitchPath* SwitchPath::of(const Board* board)
{
    Hal* hal = board ? board->find<Hal>(Device::Hal::kDevice) : nullptr;
    return hal ? &hal->path() : nullptr;
}

size_t SwitchPath::LineEnd::send(const std::string& unit)
{
    return mPath.send(mChannel, unit.data(), unit.size());
}

std::string SwitchPath::LineEnd::take()
{
    if (mReceived.empty())
        return std::string();
    std::string unit = std::move(mReceived.front());
    mReceived.pop_front();
    return unit;
}

bool SwitchPath::LineEnd::receive(const void* data, size_t size)
{
    if (mReceived.size() >= mRoom)
        return false;
    mReceived.emplace_back(static_cast<const char*>(data), size);
    mHeard += size;
    return true;
}

void SwitchPath::attach(int32_t channel, Endpoint* endpoint)
{
    detach(endpoint);
    mAttached.push_back(Attached{channel, endpoint});
}

void SwitchPath::detach(Endpoint* endpoint)
{
    mAttached.erase(std::remove_if(mAttached.begin(), mAttached.end(),
                                   [endpoint](const Attached& a) { return a.endpoint == endpoint; }),
                    mAttached.end());
}

size_t SwitchPath::send(int32_t source, const void* data, size_t size)
{
    if (size == 0)
        return 0;
    size_t taken = 0;
    // By index: a receiver may attach or detach endpoints.
    for (size_t i = 0; i < mAttached.size(); ++i) {
        if (!mHal.carries(mAttached[i].channel, source))
            continue;
        if (mAttached[i].endpoint->receive(data, size))
            ++taken;
        else
            ++mDropped;
    }
    return taken;
}

SwitchPath::LineEnd& SwitchPath::line(int32_t channel)
{
    if (channel < 0 || channel >= kLineChannels)
        throw std::out_of_range("no line channel " + std::to_string(channel));
    auto& end = mLines[channel];
    if (!end) {
        end = std::make_unique<LineEnd>(*this, channel);
        attach(channel, end.get());
    }
    return *end;
}

} // namespace SimBoard
