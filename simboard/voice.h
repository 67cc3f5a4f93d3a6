// "/dev/voice" of the simulated board: the voice codec device. It answers
// how many codecs of a kind (a mask) the board offers, as the test sets
// them (0 for any mask not set), and fills its version record.
#pragma once

#include <cstdint>
#include <map>

#include "board/voice_requests.h"
#include "simboard/board.h"

namespace SimBoard {

class VoiceDevice : public Model {
public:
    // A board's usual fit: 8 G.729, 8 G.723, 4 G.722, 32 G.711, 16 G.711
    // on the controller, 32 universal.
    VoiceDevice();

    void set_count(uint32_t mask, int count) { mCounts[mask] = count; }
    void set_version(const Device::Voice::Version& v) { mVersion = v; }
    bool watches_closes() const override { return false; }

private:
    std::map<uint32_t, int> mCounts;
    Device::Voice::Version mVersion{{1, 0, 0, 0, 0}};
};

} // namespace SimBoard
