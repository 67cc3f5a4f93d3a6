// The board's TDM time-slot switch on "/dev/hal". Every output channel
// carries one input channel, sends a fixed byte, or is disabled.
//
// Channels (signed; negative = none): 0..8191 local channels (E1 time slots,
// BRI channels, echo-canceller and MCC channels), 8192..10239 the shared
// backplane bus, 8192 + 128 * bus + channel. The outputs of the shared bus
// are also driven by the other boards on the backplane, so every one this
// board has not given a use is kept disabled: a shadow remembers what each
// was last told, and a deferred call disables the disabled ones again,
// a slice per loop pass.
//
// The device's life (open at need, loss, the once-a-second retry, its
// return) is a Device::Holder's. The switch keeps what it was told whoever
// holds the device open, so what the slot table asked of each output is
// held here beside the fact that the switch carries it, not beside a
// descriptor:
// - a path that the table joins, and the idle byte of a bus output (our
//   own open disables the bus, so both are told again after it); the
//   idle byte that ends a path (End) is nobody's, and is not held;
// - a release the switch did not take (a disconnect, a disable, an idle
//   byte taken off), whoever asked it and whatever later call touched the
//   output without reaching the switch: it is owed until the switch takes
//   it, or our open disables that bus output.
// Whatever is held or owed is told at every operation, when the device
// opens, and by the retry, which runs while anything is held or owed.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "board/held.h"
#include "holder/device_holder.h"
#include "runtime/timer.h"

// Who made a held path of the switch: a connection of the slot table (its
// source and receiver slots), or a link for its own line paths (no
// partner). A release names the maker, and lets go of nothing that another
// maker holds on the same output by now.
struct SwitchPathOwner {
    const void* maker = nullptr;
    const void* partner = nullptr;
    bool operator==(const SwitchPathOwner& o) const { return maker == o.maker && partner == o.partner; }
    bool operator!=(const SwitchPathOwner& o) const { return !(*this == o); }
};

class HwMux : private Device::Holder::State {
public:
    static constexpr int kBusFirst = 8192;
    static constexpr int kBusChannels = 2048;
    // Channels of one bus; the buses follow each other from kBusFirst.
    static constexpr int kBusWidth = 128;
    // Shadow entries besides a source channel number.
    static constexpr uint16_t kFixedByte = 0xFFFE;
    static constexpr uint16_t kDisabled = 0xFFFF;
    static constexpr unsigned char kIdleByte = 0xD5;
    // Between two tries to tell the device what it owes.
    static constexpr unsigned kRetryMs = Device::Holder::kRetryMs;

    // What an output is asked to carry: the input it hears, -1 for none;
    // or, on the shared bus, the idle byte of a disconnection (an open
    // disables the bus, so the byte is sent again).
    struct Path {
        int32_t source = -1;
        bool idle = false;
        bool operator==(const Path& o) const { return source == o.source && idle == o.idle; }
    };

    using Owner = SwitchPathOwner;

    // The one switch of the process, built (and opened, if it can be) on first use.
    static HwMux* instance();

    HwMux();
    ~HwMux() override;
    HwMux(const HwMux&) = delete;
    HwMux& operator=(const HwMux&) = delete;

    // Opens the device unless it is open, and tells it what it owes. An
    // open disables every shared-bus output, and then connects the held
    // paths again.
    bool IsOpened();
    // Output destination carries input source. Every operation that
    // changes an output takes the place of what is held or owed there.
    bool Connect(int source, int destination);
    // The output sends the idle byte; held on the shared bus.
    bool Disconnect(int channel);
    // The output is disabled: true when the switch took it, or owes it
    // (refused, or the device away); false only for a channel that no
    // switch has.
    bool Disable(int channel);
    // The output sends a fixed byte.
    bool Write(int channel, unsigned char value);
    // The byte received on the channel; 255 on failure.
    unsigned char Read(int channel);

    // A path that owner makes: Connect, held once the device took it.
    bool Join(int source, int destination, Owner owner = Owner());
    // owner lets its held path go although the device did not take its
    // disconnection: the device owes it (on the bus, the idle byte a
    // disconnection holds; elsewhere, the release).
    void LetGo(int source, int destination, Owner owner = Owner());
    // owner's held path ends with the idle byte on its output, which no
    // slot holds: an open leaves that bus output disabled. A release the
    // switch does not take is owed (on the bus, until an open disables the
    // output). An output that holds another path by now is left alone.
    void End(int source, int destination, Owner owner = Owner());
    // What an output holds of the table's: the path from source that
    // owner made, or (source -1, no owner) a bus output's idle byte. A
    // release that the switch owes is nothing held.
    struct HeldPath {
        int source = -1;
        Owner owner;
        bool is(int from, Owner by) const { return source == from && owner == by; }
    };
    std::optional<HeldPath> PathAt(int destination) const;
    // Disable, of an output that holds nothing of the table's: one that
    // another slot was given since is left to it.
    bool DisableUnlessHeld(int channel);
    // Whether the device carries a held path, told again first when it may not.
    bool Carries(int source, int destination);

    void OnDPC();
    void PutHeader(std::ostream& out) const;

    // Read access for the status dump and tests.
    int fd() const { return mHolder.fd(); }
    uint16_t shadow(int index) const { return mShadow[static_cast<size_t>(index)]; }
    unsigned cursor() const { return mCursor; }
    // What the table asked of an output, null when nothing is held or
    // owed there. Its `carried(present())` says whether the open switch
    // carries it; an off that is still there is owed.
    const Device::Held<Path>* held(int destination) const;
    uint64_t present() const { return fd() >= 0 ? kKept : 0; }
    // The retry is armed: something held or owed is not on the switch yet.
    bool retrying() const { return mHolder.retrying(); }

    class Scoped;

private:
    // The name that what the switch took is told under: it keeps it
    // whoever holds the device open.
    static constexpr uint64_t kKept = 1;

    // Holder::State: something held or owed is not on the switch.
    bool untold(uint64_t present) override;
    // Tells the switch every held path it does not carry and every owed
    // release, counting what it made.
    void reconcile(Device::Tally& made) override;

    // The open's own first requests: the shared bus disabled.
    void Fresh();
    // The open disabled the bus: the bus releases owed are made, the paths
    // held there (and, to be safe, every other) are told again.
    void Wiped();

    // The shadow entry of a shared-bus channel, null for any other number.
    uint16_t* entry(int channel);
    // What is held at an output, made (not yet knowing anything) when missing.
    Device::Held<Path>& at(int destination);
    bool Holds(int source, int destination) const;
    bool Holds(int source, int destination, Owner owner) const;
    // Forgets what is held at an output when nothing is held or owed there.
    void Tidy(int destination);
    // The output took another request: nothing held there is carried.
    void Replaced(int destination);
    // A refused request may have left the output holding anything: the
    // next change is sent whatever it asks.
    void Doubt(int destination);
    // The device is open and both channels are ones; else "ERROR not
    // opened", a line a run.
    bool ReadyFor(int source, int destination);

    // The requests of the operations, with their lines, on an open device.
    bool RequestConnect(int source, int destination);
    bool RequestIdle(int channel);
    bool RequestDisable(int channel);
    // 0, or the failed request's errno. what names the operation's runs of
    // failures: its line is written only when a run starts, and a success
    // ends the run.
    int Request(unsigned long request, void* record, const char* what = nullptr);
    // Request, whose failure that starts a run is the line "<header>",
    // what line(out) writes, and the reason.
    template <class Line>
    int Request(unsigned long request, void* record, const char* what, Line line);
    void RefreshChannel(unsigned index);

    std::vector<uint16_t> mShadow;
    unsigned mCursor = 0;
    Dpc mDpc;
    std::map<int, Device::Held<Path>> mPaths;
    // Who made the path held at an output; an entry counts only while
    // that output holds a path.
    std::map<int, Owner> mOwners;
    // Owed releases that are a disable, not the idle byte.
    std::set<int> mDisabling;
    // Owed bus releases that the last open made, for its line.
    unsigned long mWiped = 0;
    // Last: it goes first, with its retry.
    Device::Holder mHolder;
};

// Makes HwMux::instance() return a switch of its own while it lives, so a
// test gets a fresh switch on the board it installed.
class HwMux::Scoped {
public:
    Scoped();
    ~Scoped();
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    HwMux& mux() { return mMux; }

private:
    HwMux mMux;
    HwMux* mOld;
};
