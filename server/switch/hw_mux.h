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
// holds the device open, so what the slots and links ask of each output is
// recorded here, not beside a descriptor. The record of an output holds
// its claims, each with its maker: paths (a connection of the slot table,
// a link's own line paths) and the idle byte (an activated external line,
// a receiver left idle by a disconnection, a link's line end). The output
// carries the latest path claimed, else the idle byte while anyone claims
// it, else it rests: a bus output disabled, a local one on the idle byte
// (a line's rest state) or disabled, as its channel's own slot asked when
// it went. A claim goes only through its maker, or with the output's
// channel, and the output then falls to what the record asks; a release
// the switch did not take is owed until it takes it, or our open disables
// that bus output. A refused change leaves the claims as they were, and
// the output owes what they ask. Whatever the record asks is
// told at every change, when the device opens, and by the retry, which
// runs while anything is held or owed.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <vector>

#include "board/held.h"
#include "holder/device_holder.h"
#include "runtime/timer.h"

// Who made a claim on an output of the switch: a connection of the slot
// table (its source and receiver slots), a slot alone for its idle byte, or
// a link for its own line paths and line end (no partner). A release names
// the maker, and lets go of nothing that another maker holds.
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
    // or the idle byte. Neither is a release.
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
    // The raw requests, for the backplane test (and benchmarks): each
    // changes the output, never its claims, and the output is doubted, so
    // the next change of its record is told whatever it asks. Restore
    // gives the output back to its record.
    // Output destination carries input source.
    bool Connect(int source, int destination);
    // The output sends the idle byte.
    bool Disconnect(int channel);
    // The output is disabled: true when the switch took it, and for a bus
    // output also when refused or the device away (the refresh, or the
    // next open, disables it).
    bool Disable(int channel);
    // The output sends a fixed byte.
    bool Write(int channel, unsigned char value);
    // The byte received on the channel; 255 on failure.
    unsigned char Read(int channel);
    // The output carries what its record asks again (held until the
    // switch takes it); a bus output that nothing holds is disabled.
    void Restore(int channel);

    // What a join did, which its caller answers and keeps by: the record
    // holds the path and the switch carries what the record asks (made);
    // within a Holding, the record holds it as a wish, told once the
    // switch takes it (wished); or nothing changed (refused, also when
    // the switch gave it up as invalid).
    enum class Joined { made, wished, refused };
    // owner claims a path from source, at place among the output's claims
    // (0: the latest): held once the device took it, or, within a Holding,
    // at once, told once the device takes it. A path that owner holds from
    // source already keeps its place.
    Joined Join(int source, int destination, Owner owner = Owner(), uint64_t place = 0);
    // A place later than every claim made so far, to be taken up later.
    uint64_t NewPlace() { return ++mPlaces; }
    // The place of owner's path at an output, 0 when it holds none there.
    uint64_t Place(int destination, Owner owner) const;
    // owner's path at an output becomes the latest again, told when the
    // device may not carry it: false when refused; true, with nothing
    // done, when owner holds no path there.
    bool Renew(int destination, Owner owner);
    // Whether owner holds a path at an output.
    bool Holds(int destination, Owner owner) const;
    // owner claims the idle byte (an activated external line): true when
    // the output carries what its record asks now.
    bool Idle(int destination, Owner owner);
    // A disconnection: the path that owner made gives way to the idle
    // byte that receiver claims, unless another path holds the output.
    // A refusal changes nothing. Owed (the switch refused it just now):
    // the record changes all the same, and the retry tells it.
    bool Rest(int destination, Owner owner, Owner receiver, bool owed = false);
    // A link's line path that owner made ends: the idle byte of its line
    // end, which the link claims as end, takes its place (told again
    // until the switch takes it). Nothing when owner holds no path there
    // any more.
    void End(int destination, Owner owner, Owner end);
    // What an output carries once a claim went.
    enum class Left { path, idle, disabled };
    // owner lets go of its claims at an output, which falls to what the
    // record asks. disable is the channel's own slot going: once no claim
    // is left (now or when the last other maker lets go), the output is
    // disabled; a local output that no such slot let go rests on the idle
    // byte. A bus output that holds nothing is disabled once more, and so
    // is a local one when disable. Whatever the switch answers, the
    // claims are gone.
    Left Leave(int destination, Owner owner, bool disable = false);
    // owner lets go of its claims wherever it holds one.
    void LeaveAll(Owner owner);
    // The output's channel went back to its driver, which may hand it to
    // another slot at once: every claim there goes (a link's line end
    // too), and the output is disabled.
    void Lose(int destination);
    // Whether the device carries a held path, told again first when it may not.
    bool Carries(int source, int destination);
    // Whether the device carries a held path, as last told (a device away
    // keeps it until it opens again); asks nothing.
    bool Carried(int source, int destination) const;

    // Hears when an output carries what its record asks anew (a change or
    // the retry made it), so that whoever waits for a path there moves on.
    class Listener {
    public:
        virtual void on_carried(int destination) = 0;

    protected:
        ~Listener() = default;
    };
    void Listen(Listener* listener);
    void Unlisten(Listener* listener);
    // Joins are wishes answered before: within a Holding.
    bool wishing() const { return mHolding > 0; }

    void OnDPC();
    void PutHeader(std::ostream& out) const;

    // Read access for the status dump and tests.
    int fd() const { return mHolder.fd(); }
    uint16_t shadow(int index) const { return mShadow[static_cast<size_t>(index)]; }
    unsigned cursor() const { return mCursor; }
    // What the record asks of an output, null when nothing is held or
    // owed there. Its `carried(present())` says whether the open switch
    // carries it; an off that is still there is owed.
    const Device::Held<Path>* held(int destination) const;
    uint64_t present() const { return fd() >= 0 ? kKept : 0; }
    // The retry is armed: something held or owed is not on the switch yet.
    bool retrying() const { return mHolder.retrying(); }

    class Scoped;
    class Holding;

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
    void Wiped(const std::vector<int>& refused);

    // A claim: a path from source, or (-1) the idle byte; the claims of an
    // output are kept in the order of their places.
    struct Claim {
        Owner owner;
        int source = -1;
        uint64_t place = 0;
    };
    // The record of one output, and what the device was told of it.
    struct Output {
        std::vector<Claim> claims; // in the order made
        Device::Held<Path> held = Device::Held<Path>::unknown();
        // A release of this local output is a disable, not the idle byte:
        // its channel's own slot let it go. A new use after a rest clears it.
        bool disabling = false;
    };

    // The shadow entry of a shared-bus channel, null for any other number.
    uint16_t* entry(int channel);
    // The record of an output, made (not yet knowing anything) when missing.
    Output& at(int destination);
    // The claims of an output about to gain one.
    std::vector<Claim>& Use(int destination);
    // Changes the claims at an output and tells the device (told): a
    // refusal puts the claims back, and the output owes what it held
    // before. Whether the device took the change.
    template <class Claims>
    Device::Outcome Change(int destination, Claims change, Device::Policy policy = Device::Policy::told);
    static bool IsPath(const Claim& claim, Owner owner);
    // owner's path claim, end() when it holds none.
    static std::vector<Claim>::iterator PathOf(std::vector<Claim>& claims, Owner owner);
    // owner's path claim goes; owner claims the idle byte (once).
    static void DropPath(std::vector<Claim>& claims, Owner owner);
    void AddIdle(std::vector<Claim>& claims, Owner owner);
    // A claim at its place (0: the latest).
    void Insert(std::vector<Claim>& claims, Claim claim);
    // The listeners hear that the output carries what it asks.
    void Heard(int destination);
    // What the claims ask: the latest path, else the idle byte, else off.
    static Path Wanted(const Output& out);
    static Left LeftBy(const Path& path);
    // Tells the device what the record of an output asks now: a command
    // answers by the outcome (told); a fall is held or owed until taken.
    Device::Outcome Settle(int destination, Device::Policy policy);
    // The request that makes an output carry path.
    bool Tell(int destination, const Path& path, bool disabling);
    // Forgets the record of an output that holds and owes nothing.
    void Tidy(int destination);
    // A raw or refused request may have left the output holding anything:
    // the next change is sent whatever it asks.
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
    std::map<int, Output> mOutputs;
    // Owed bus releases that the last open made, for its line.
    unsigned long mWiped = 0;
    // The output whose change is being told, -1 for none.
    int mChanging = -1;
    // Holdings alive: the paths joined meanwhile are wishes.
    unsigned mHolding = 0;
    // The last place given to a claim.
    uint64_t mPlaces = 0;
    std::vector<Listener*> mListeners;
    // Last: it goes first, with its retry.
    Device::Holder mHolder;
};

// While it lives, the paths joined are wishes answered before: a link back
// on the line it had, or opened on its line after its old channel drained.
// The record holds each at once, and the device is told once it takes it.
class HwMux::Holding {
public:
    Holding() : mMux(*HwMux::instance()) { ++mMux.mHolding; }
    ~Holding() { --mMux.mHolding; }
    Holding(const Holding&) = delete;
    Holding& operator=(const Holding&) = delete;

private:
    HwMux& mMux;
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
