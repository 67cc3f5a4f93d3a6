// "/dev/mixer" of the simulated board: the TDM mixer, fitted like a real
// board with unit 0 of 32 channels and 16 mixer inputs unless a test
// changes it. A test adds and removes units {number, tdm channels, mixer
// inputs}; channel n of unit u sits on switch time slot kFirstTimeslot +
// 32u + n. Each channel keeps its mix as {input channel: gain}: an add of
// an input already there changes its gain, a remove of one not there fails
// with ENOENT, and a mix takes at most the unit's mixer inputs. The unit
// query walks the units in number order and fails after the last; in the
// repeating mode it reports the same unit forever, as a broken driver
// would. Requests are in the board's log, in order.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "board/mixer_requests.h"
#include "simboard/board.h"

namespace SimBoard {

class MixerDevice : public Model {
public:
    static constexpr int32_t kFirstTimeslot = 4096;
    // The board's usual fit.
    static constexpr int32_t kDefaultUnit = 0;
    static constexpr int32_t kDefaultChannels = 32;
    static constexpr int32_t kDefaultInputs = 16;

    struct Unit {
        int32_t channels = 0;
        int32_t inputs = 0;
        // By channel, its mix: input channel -> gain.
        std::map<int32_t, std::map<int32_t, int32_t>> mixes;
    };

    MixerDevice();

    void add_unit(int32_t number, int32_t channels, int32_t inputs);
    void remove_unit(int32_t number);
    const Unit* unit(int32_t number) const;
    // The mix of the channel; empty when there is no such unit or channel.
    std::map<int32_t, int32_t> mix(int32_t unit, int32_t channel) const;
    // The unit query reports `number` forever; -1 walks the units again.
    void set_repeating(int32_t number) { mRepeating = number; }
    static int32_t timeslot(int32_t unit, int32_t channel) { return kFirstTimeslot + 32 * unit + channel; }

    bool watches_closes() const override { return false; }
    void port_commands(TestPort& port) override;

private:
    // The unit's channel the slot names, null (with the errno) when none.
    Unit* resolve(const Device::Mixer::mix_slot& slot, int& error);
    int add(const Device::Mixer::mix_record& r);
    int remove(const Device::Mixer::mix_record& r);
    int query(Device::Mixer::mix_unit& r) const;

    std::map<int32_t, Unit> mUnits;
    int32_t mRepeating = -1;
};

} // namespace SimBoard
