#include "media/codec_resources.h"

#include <fcntl.h>

#include <cerrno>

#include "board/device.h"
#include "board/voice_requests.h"
#include "media/device_paths.h"
#include "runtime/fd.h"

int CodecCounts::count()
{
    using namespace Device::Voice;
    *this = CodecCounts();
    Fd dev(Device::open(GetVoiceDevName(), O_RDONLY | O_CLOEXEC));
    if (!dev)
        return errno;
    const struct {
        uint32_t mask;
        uint32_t CodecCounts::*counter;
    } asked[] = {{kG729, &CodecCounts::g729}, {kG723, &CodecCounts::g723},     {kG722, &CodecCounts::g722},
                 {kG711, &CodecCounts::g711}, {kG711mcc, &CodecCounts::g711mcc}, {kUniversal, &CodecCounts::universal}};
    for (const auto& a : asked) {
        uint32_t mask = a.mask;
        int n = Device::ioctl(dev.get(), VOICE_CODEC_COUNT, &mask);
        if (n > 0)
            this->*a.counter = static_cast<uint32_t>(n);
    }
    return 0;
}

void CodecCounts::put(LGCP::Resources& r) const
{
    r.set_rtp_g729(static_cast<int>(g729));
    r.set_rtp_g723(static_cast<int>(g723));
    r.set_rtp_g722(static_cast<int>(g722));
    r.set_rtp_g711(static_cast<int>(g711));
    r.set_rtp_g711mcc(static_cast<int>(g711mcc));
    r.set_universal(static_cast<int>(universal));
}
