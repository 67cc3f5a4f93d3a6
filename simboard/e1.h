// The E1 framer drivers of the simulated board.
//
// GetMaintenance(): each trunk's synchronisation state and its counters.
// A test raises and clears the alarms; the state follows the alarm of
// highest rank (LOS, LOF, AIS, RAI, else normal), each alarm's raising
// counts once in its counter, and slips are counted as the test adds them.
// A state the framer reports whatever the alarms (also one out of range)
// can be forced, and a trunk's status request can be made to fail. The
// TCLK mask and the framer clock source are kept as written.
//
// "/dev/e1-cas": channel associated signalling per trunk and time slot.
// Trunks are opened and closed, channels enabled with their transmit bits;
// time slots 0 and 16 carry no channel and are refused. When the far end
// changes the bits of an enabled channel of an open trunk, every open
// descriptor reads a 12-byte CAS record. The last close of the device
// closes every trunk.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "board/e1_requests.h"
#include "simboard/board.h"

namespace SimBoard {

class E1Maintenance : public Model {
public:
    static constexpr unsigned kTrunks = Device::E1::kTrunks;
    enum class Alarm { los, lof, ais, rai };

    E1Maintenance();

    void raise(unsigned trunk, Alarm alarm);
    void clear(unsigned trunk, Alarm alarm);
    void slip(unsigned trunk, uint32_t count = 1);
    // The state reported whatever the alarms, until release_state.
    void force_state(unsigned trunk, uint32_t state);
    void release_state(unsigned trunk);
    // The trunk's status requests fail with error (0: they work again).
    void fail_status(unsigned trunk, int error);

    // The status record the driver answers for the trunk.
    Device::E1::Status status(unsigned trunk) const;
    uint32_t tclk() const { return mTclk; }
    // Every TCLK mask and clock source written, oldest first.
    const std::vector<uint32_t>& tclk_writes() const { return mTclkWrites; }
    const std::vector<uint32_t>& clock_sources() const { return mClockSources; }

private:
    struct Trunk {
        std::array<bool, 4> alarms{};
        std::array<uint32_t, 4> counts{}; // per alarm, in the order of Alarm
        uint32_t slips = 0;
        bool forced = false;
        uint32_t forcedState = 0;
        int failure = 0;
    };

    Trunk& trunk(unsigned n) { return mTrunks.at(n); }

    std::array<Trunk, kTrunks> mTrunks;
    uint32_t mTclk = 0;
    std::vector<uint32_t> mTclkWrites;
    std::vector<uint32_t> mClockSources;
};

class E1Cas : public Model {
public:
    static constexpr unsigned kTrunks = Device::E1::kTrunks;
    static constexpr unsigned kTimeSlots = 32;
    struct Slot {
        bool enabled = false;
        uint8_t rx = 0;
        uint8_t tx = 0;
    };

    E1Cas();

    bool is_open(unsigned trunk) const;
    const Slot& slot(unsigned trunk, unsigned timeslot) const;
    // The far end sends abcd on the channel; a change reaches the holders
    // when the channel is enabled on an open trunk.
    void far_end(unsigned trunk, unsigned timeslot, uint8_t abcd);

    int open(Channel& channel) override;
    void closed(Channel& channel) override;

private:
    struct Trunk {
        bool open = false;
        std::array<Slot, kTimeSlots> slots{};
    };

    // The channel's slot when the record names a channel of an open trunk, else null.
    Slot* channel(const Device::Cas::Record& r);
    // The same when the channel is also enabled: only such a one has bits to set or read.
    Slot* enabled(const Device::Cas::Record& r);
    void close_trunk(Trunk& t);

    std::array<Trunk, kTrunks> mTrunks;
    std::vector<Channel*> mChannels;
};

} // namespace SimBoard
