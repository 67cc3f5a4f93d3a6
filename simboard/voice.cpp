#include "simboard/voice.h"

namespace SimBoard {

using namespace Device::Voice;

VoiceDevice::VoiceDevice()
{
    mCounts = {{kG729, 8}, {kG723, 8}, {kG722, 4}, {kG711, 32}, {kG711mcc, 16}, {kUniversal, 32}};
    handle(VOICE_CODEC_COUNT, [this](Call& c) {
        auto it = mCounts.find(c.record<uint32_t>());
        return it == mCounts.end() ? 0 : it->second;
    });
    handle(VOICE_VERSION, [this](Call& c) {
        c.record<Version>() = mVersion;
        return 0;
    });
}

} // namespace SimBoard
