#include "media/watched_device.h"

namespace Hardware {

DeviceEnd ReadEnd(ssize_t n, int err)
{
    const char* why = Device::read_end(n, err);
    if (!why)
        return DeviceEnd();
    return DeviceEnd{why, n < 0 ? err : ENODEV};
}

DeviceEnd PollEnd(short revents)
{
    const char* why = Device::poll_end(revents);
    if (!why)
        return DeviceEnd();
    return DeviceEnd{why, ENODEV};
}

} // namespace Hardware
