#include "simboard/event_device.h"

#include <algorithm>

namespace SimBoard {

size_t EventDevice::post_raw(const void* data, size_t size)
{
    sweep();
    size_t n = 0;
    for (Channel* ch : mChannels)
        n += ch->post(data, size) ? 1 : 0;
    return n;
}

void EventDevice::hang_up()
{
    sweep();
    // Each hang-up tells closed(), which edits the list.
    std::vector<Channel*> open = mChannels;
    for (Channel* ch : open)
        ch->hang_up();
}

int EventDevice::open(Channel& channel)
{
    mChannels.push_back(&channel);
    return 0;
}

void EventDevice::closed(Channel& channel)
{
    mChannels.erase(std::remove(mChannels.begin(), mChannels.end(), &channel), mChannels.end());
    if (mChannels.empty())
        last_closed();
}

} // namespace SimBoard
