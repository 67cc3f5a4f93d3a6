// "/dev/dsp-data" of the simulated board: DSP data channels. Each open is
// one data channel with a switch channel of its own and room for three B
// channels: open i takes kFirstChannel + 4 i, its B channel of subslot s
// the number 1 + s above that. Closing the open frees the lot.
//
// A data channel is an endpoint of the switch path as the controller's
// HDLC channels are: a frame the holder writes leaves on its switch
// channel, and a frame the switch brings to its output waits for the
// holder, one frame per read.
#pragma once

#include <array>
#include <cstdint>
#include <map>

#include "board/dsp_data_requests.h"
#include "simboard/board.h"
#include "simboard/switch_path.h"

namespace SimBoard {

class DspDataDevice : public Model {
public:
    static constexpr int32_t kFirstChannel = 2560;
    static constexpr unsigned kMaxOpens = 128;

    struct Open : SwitchPath::Endpoint {
        Channel* channel = nullptr;
        int32_t number = -1;
        std::array<bool, Device::DspData::kSubslots> b{};

        bool receive(const void* data, size_t size) override { return channel->post(data, size); }
    };

    DspDataDevice();

    // The open of that data channel number, null when none.
    const Open* find(int32_t number) const;
    size_t opens() const;

    int open(Channel& channel) override;
    ssize_t write(Channel& channel, int fd, const void* buf, size_t count) override;
    void closed(Channel& channel) override;

private:
    Open* of(Channel& channel);
    int add(Channel& channel, Device::DspData::BChannel& r);
    int remove(Channel& channel, const Device::DspData::BChannel& r);

    // By index of the open.
    std::map<unsigned, Open> mOpens;
};

} // namespace SimBoard
