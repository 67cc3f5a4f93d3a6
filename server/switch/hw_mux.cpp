#include "server/switch/hw_mux.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

#include "board/device.h"
#include "board/hal_requests.h"
#include "runtime/ext.h"

namespace {
using Device::Hal::kDevice;

const unsigned long kConnect = Device::Hal::SWITCH_CONNECT;
const unsigned long kDisable = Device::Hal::SWITCH_DISABLE;
const unsigned long kWrite = Device::Hal::SWITCH_WRITE;
const unsigned long kRead = Device::Hal::SWITCH_READ;

using Device::Hal::ChannelRecord;
using Device::Hal::PairRecord;

// The loop runs its deferred calls twice per pass: 64 outputs a run keep a
// pass at 128 requests and refresh every output once per 16 passes.
const unsigned kRefreshPerRun = 64;

HwMux* gScoped = nullptr;

Device::Holder::Setup HalSetup()
{
    Device::Holder::Setup s(kDevice, O_RDWR, "can't open device: ");
    s.lostLine = true;
    s.log = &std::clog;
    return s;
}
} // namespace

HwMux* HwMux::instance()
{
    if (gScoped)
        return gScoped;
    static HwMux one;
    return &one;
}

HwMux::Scoped::Scoped() : mOld(gScoped)
{
    gScoped = &mMux;
}

HwMux::Scoped::~Scoped()
{
    gScoped = mOld;
}

HwMux::HwMux()
    : mShadow(kBusChannels, kDisabled), mHolder([this](std::ostream& out) { PutHeader(out); }, HalSetup())
{
    std::clog << ext::header(this) << "init" << std::endl;
    mDpc.Bind(this, &HwMux::OnDPC);
    mHolder.on_fresh([this] {
        Fresh();
        return true;
    });
    mHolder.attach(*this);
    IsOpened();
}

HwMux::~HwMux()
{
    mHolder.detach(*this);
    mHolder.close();
}

void HwMux::PutHeader(std::ostream& out) const
{
    out << "hwMux: ";
}

// A device that opened and then went before it took a request is opened
// again only by the retry, once a second, not by every operation.
bool HwMux::IsOpened()
{
    return mHolder.device() >= 0;
}

// Whatever this board drove onto the shared bus before is let go; a device
// gone again meanwhile is not open after all (the holder counts it).
void HwMux::Fresh()
{
    std::vector<int> refused;
    for (int channel = kBusFirst; channel < kBusFirst + kBusChannels; ++channel) {
        ChannelRecord r{channel};
        if (Request(kDisable, &r) == 0)
            continue;
        if (fd() < 0)
            return;
        refused.push_back(channel);
    }
    std::clog << ext::header(this) << "device opened" << std::endl;
    std::fill(mShadow.begin(), mShadow.end(), kDisabled);
    mCursor = 0;
    mDpc.Activate();
    ::usleep(500);
    Wiped(refused);
}

// A device that went may come back with nothing: the local outputs are
// told again too, and their owed releases stay owed. The bus releases owed
// are made where the open disabled the bus. A bus output whose disable the
// open was refused (refused, in channel order) may still carry what it had:
// its owed release stays owed and its held path is doubted, so the next
// change or the reconcile tells it whatever it asks. One without a record
// holds nothing of ours; the refresh disables it.
void HwMux::Wiped(const std::vector<int>& refused)
{
    for (auto it = mOutputs.begin(); it != mOutputs.end();) {
        Device::Held<Path>& held = it->second.held;
        bool bus = entry(it->first) != nullptr;
        bool kept = bus && std::binary_search(refused.begin(), refused.end(), it->first);
        if (bus && !held.on() && it->second.claims.empty() && !kept) {
            mWiped += held.carried(kKept);
            it = mOutputs.erase(it);
            continue;
        }
        // A new descriptor is asked what the record wants, also where the
        // old one refused it as invalid; an output under a change keeps
        // what it held until the change is settled or taken back.
        const bool wanted = !it->second.claims.empty() && it->first != mChanging;
        if (held.on() || wanted) {
            held.hold(wanted ? Wanted(it->second) : held.asked());
            if (!bus || kept)
                held.doubt();
        }
        ++it;
    }
}

uint16_t* HwMux::entry(int channel)
{
    if (channel < kBusFirst || channel >= kBusFirst + kBusChannels)
        return nullptr;
    return &mShadow[static_cast<size_t>(channel - kBusFirst)];
}

bool HwMux::ReadyFor(int source, int destination)
{
    if (!IsOpened() || source < 0 || destination < 0) {
        if (mHolder.runs().failed("open", 0))
            std::clog << ext::header(this) << "ERROR not opened" << std::endl;
        return false;
    }
    mHolder.runs().succeeded("open");
    return true;
}

bool HwMux::Connect(int source, int destination)
{
    if (!ReadyFor(source, destination))
        return false;
    bool made = RequestConnect(source, destination);
    Doubt(destination);
    return made;
}

bool HwMux::Disconnect(int channel)
{
    if (!IsOpened() || channel < 0)
        return false;
    bool made = RequestIdle(channel);
    Doubt(channel);
    return made;
}

bool HwMux::Disable(int channel)
{
    if (channel < 0)
        return false;
    bool bus = entry(channel) != nullptr;
    if (!IsOpened())
        return bus;
    bool made = RequestDisable(channel);
    Doubt(channel);
    return made || bus;
}

// A bus output that nothing holds is not in the record: the test's byte
// (or a refused disable) goes now.
void HwMux::Restore(int channel)
{
    IsOpened();
    auto it = mOutputs.find(channel);
    if (it != mOutputs.end()) {
        it->second.held.doubt();
        Settle(channel, Device::Policy::held);
    } else if (uint16_t* e = entry(channel)) {
        if (*e != kDisabled && fd() >= 0)
            RequestDisable(channel);
    }
}

template <class Line>
int HwMux::Request(unsigned long request, void* record, const char* what, Line line)
{
    int err = Request(request, record, what);
    if (err && mHolder.runs().failed(what, err)) {
        std::clog << ext::header(this);
        line(std::clog);
        std::clog << std::strerror(err) << std::endl;
    }
    return err;
}

bool HwMux::Write(int channel, unsigned char value)
{
    if (!IsOpened() || channel < 0)
        return false;
    if (uint16_t* e = entry(channel))
        *e = kFixedByte;
    PairRecord r{channel, value};
    bool made = !Request(kWrite, &r, "write", [&](std::ostream& o) {
        o << "write failed " << channel << " <- " << ext::OutUnsignedInHex(value) << " : ";
    });
    Doubt(channel);
    return made;
}

unsigned char HwMux::Read(int channel)
{
    if (!IsOpened() || channel < 0)
        return 255;
    PairRecord r{channel, 255};
    if (Request(kRead, &r, "read", [&](std::ostream& o) {
            o << "read failed " << channel << " -> " << ext::OutUnsignedInHex(r.value & 0xFF) << " : ";
        }))
        return 255;
    return static_cast<unsigned char>(r.value);
}

bool HwMux::RequestConnect(int source, int destination)
{
    if (uint16_t* e = entry(destination))
        *e = static_cast<uint16_t>(source);
    PairRecord r{destination, source};
    return !Request(kConnect, &r, "connect",
                    [&](std::ostream& o) { o << "connect " << source << " -> " << destination << " failed: "; });
}

bool HwMux::RequestIdle(int channel)
{
    if (uint16_t* e = entry(channel))
        *e = kFixedByte;
    PairRecord r{channel, kIdleByte};
    return !Request(kWrite, &r, "disconnect", [&](std::ostream& o) { o << "disconnect failed " << channel << " : "; });
}

bool HwMux::RequestDisable(int channel)
{
    if (uint16_t* e = entry(channel))
        *e = kDisabled;
    ChannelRecord r{channel};
    return !Request(kDisable, &r, "disable", [&](std::ostream& o) { o << "disable failed " << channel << " : "; });
}

// The holder writes the line of a device found gone and lets it go.
int HwMux::Request(unsigned long request, void* record, const char* what)
{
    if (mHolder.ioctl(request, record) == 0) {
        if (what)
            mHolder.runs().succeeded(what);
        return 0;
    }
    return errno;
}

// ------------------------------------------------------------ the record

// A slot that left its channel joins nothing, and says nothing of the switch.
// A wish waits for the device; a command needs it now.
HwMux::Joined HwMux::Join(int source, int destination, Owner owner, uint64_t place)
{
    if (source < 0 || destination < 0 || (!mHolding && !ReadyFor(source, destination)))
        return Joined::refused;
    IsOpened();
    const Device::Outcome outcome = Change(
        destination,
        [&](std::vector<Claim>& claims) {
            auto held = PathOf(claims, owner);
            if (held != claims.end() && held->source == source)
                return;
            DropPath(claims, owner);
            Insert(claims, Claim{owner, source, place});
        },
        mHolding ? Device::Policy::held : Device::Policy::told);
    if (outcome == Device::Outcome::made)
        return Joined::made;
    return Device::done(outcome) ? Joined::wished : Joined::refused;
}

uint64_t HwMux::Place(int destination, Owner owner) const
{
    auto it = mOutputs.find(destination);
    if (it == mOutputs.end())
        return 0;
    for (const Claim& c : it->second.claims)
        if (IsPath(c, owner))
            return c.place;
    return 0;
}

// Refused, the path goes back to its place.
bool HwMux::Renew(int destination, Owner owner)
{
    // An open first: it wipes what the bus owes, not what changes now.
    IsOpened();
    if (!Holds(destination, owner))
        return true;
    return Device::done(Change(destination, [&](std::vector<Claim>& claims) {
        auto held = PathOf(claims, owner);
        Claim claim = *held;
        claims.erase(held);
        claim.place = 0;
        Insert(claims, claim);
    }));
}

bool HwMux::Holds(int destination, Owner owner) const
{
    auto it = mOutputs.find(destination);
    return it != mOutputs.end() && std::any_of(it->second.claims.begin(), it->second.claims.end(),
                                               [&](const Claim& c) { return IsPath(c, owner); });
}

// Claimed again, the byte is told again when the device may not carry it.
bool HwMux::Idle(int destination, Owner owner)
{
    // An open first: it wipes what the bus owes, not what changes now.
    IsOpened();
    if (destination < 0)
        return false;
    return Device::done(Change(destination, [&](std::vector<Claim>& claims) { AddIdle(claims, owner); }));
}

bool HwMux::Rest(int destination, Owner owner, Owner receiver, bool owed)
{
    if (destination < 0)
        return false;
    // An open first: it wipes what the bus owes, not what changes now.
    IsOpened();
    auto rest = [&](std::vector<Claim>& claims) {
        DropPath(claims, owner);
        AddIdle(claims, receiver);
    };
    if (!owed)
        return Device::done(Change(destination, rest));
    // Refused just now: held, and told by the retry.
    Output& out = at(destination);
    rest(Use(destination));
    Path want = Wanted(out);
    if (!(out.held.asked() == want && out.held.carried(kKept))) {
        out.held.hold(want);
        out.held.doubt();
        mHolder.changed();
    }
    return true;
}

// Only this change is taken back: a claim that its maker let go before
// stays gone.
template <class Claims>
Device::Outcome HwMux::Change(int destination, Claims change, Device::Policy policy)
{
    const Output before = at(destination);
    change(Use(destination));
    mChanging = destination;
    const Device::Outcome outcome = Settle(destination, policy);
    mChanging = -1;
    if (Device::done(outcome))
        return outcome;
    Output& out = at(destination);
    out.claims = before.claims;
    out.disabling = before.disabling;
    // A refused request may have left the output holding anything: what
    // it held before is owed until the switch takes it again, also when
    // the change was given up as invalid.
    if (before.held.on() && fd() >= 0) {
        out.held.hold(before.held.asked());
        out.held.doubt();
        mHolder.changed();
    } else if (before.held.carried(kKept) && fd() >= 0) {
        // A release it owed stays owed.
        out.held.owe_end(kKept, 0);
        mHolder.changed();
    }
    Tidy(destination);
    return outcome;
}

// An output that rested takes up a new use: how its last user asked it to
// rest is that use's no more.
std::vector<HwMux::Claim>& HwMux::Use(int destination)
{
    Output& out = at(destination);
    if (out.claims.empty())
        out.disabling = false;
    return out.claims;
}

bool HwMux::IsPath(const Claim& claim, Owner owner)
{
    return claim.owner == owner && claim.source >= 0;
}

std::vector<HwMux::Claim>::iterator HwMux::PathOf(std::vector<Claim>& claims, Owner owner)
{
    return std::find_if(claims.begin(), claims.end(), [&](const Claim& c) { return IsPath(c, owner); });
}

void HwMux::DropPath(std::vector<Claim>& claims, Owner owner)
{
    claims.erase(std::remove_if(claims.begin(), claims.end(), [&](const Claim& c) { return IsPath(c, owner); }),
                 claims.end());
}

void HwMux::AddIdle(std::vector<Claim>& claims, Owner owner)
{
    if (std::none_of(claims.begin(), claims.end(), [&](const Claim& c) { return c.owner == owner && c.source < 0; }))
        Insert(claims, Claim{owner, -1});
}

void HwMux::Insert(std::vector<Claim>& claims, Claim claim)
{
    if (claim.place == 0)
        claim.place = NewPlace();
    auto at = std::upper_bound(claims.begin(), claims.end(), claim.place,
                               [](uint64_t place, const Claim& c) { return place < c.place; });
    claims.insert(at, claim);
}

void HwMux::Listen(Listener* listener)
{
    if (std::find(mListeners.begin(), mListeners.end(), listener) == mListeners.end())
        mListeners.push_back(listener);
}

void HwMux::Unlisten(Listener* listener)
{
    mListeners.erase(std::remove(mListeners.begin(), mListeners.end(), listener), mListeners.end());
}

// A listener may listen or leave meanwhile: a copy is walked.
void HwMux::Heard(int destination)
{
    if (mListeners.empty())
        return;
    const std::vector<Listener*> listeners = mListeners;
    for (Listener* listener : listeners)
        if (std::find(mListeners.begin(), mListeners.end(), listener) != mListeners.end())
            listener->on_carried(destination);
}

// Told now, and held while the switch refuses.
void HwMux::End(int destination, Owner owner, Owner end)
{
    auto it = mOutputs.find(destination);
    if (it == mOutputs.end())
        return;
    auto& claims = it->second.claims;
    if (PathOf(claims, owner) == claims.end())
        return;
    IsOpened();
    DropPath(claims, owner);
    AddIdle(claims, end);
    Settle(destination, Device::Policy::held);
}

HwMux::Left HwMux::Leave(int destination, Owner owner, bool disable)
{
    // An open first: it wipes what the bus owes, not what changes now.
    IsOpened();
    auto it = mOutputs.find(destination);
    if (it == mOutputs.end()) {
        // Nothing held: a bus output (or a local one asked to be
        // disabled) is disabled once more, whatever an earlier user of
        // the switch left there.
        if (!entry(destination) && !disable)
            return Left::disabled;
        it = mOutputs.emplace(destination, Output()).first;
    }
    auto& claims = it->second.claims;
    claims.erase(std::remove_if(claims.begin(), claims.end(), [&](const Claim& c) { return c.owner == owner; }),
                 claims.end());
    // The channel's own slot decides how the output rests, also when
    // another maker's claim outlives it.
    if (disable)
        it->second.disabling = true;
    Left left = LeftBy(Wanted(it->second));
    Settle(destination, Device::Policy::held);
    return left;
}

void HwMux::Lose(int destination)
{
    if (destination < 0)
        return;
    IsOpened();
    Output& out = at(destination);
    out.claims.clear();
    out.disabling = true;
    Settle(destination, Device::Policy::held);
}

void HwMux::LeaveAll(Owner owner)
{
    std::vector<int> outputs;
    for (const auto& o : mOutputs)
        for (const Claim& c : o.second.claims)
            if (c.owner == owner) {
                outputs.push_back(o.first);
                break;
            }
    for (int destination : outputs)
        Leave(destination, owner);
}

// A local output at rest sends the idle byte: an output that sends it
// already is released with no request.
Device::Outcome HwMux::Settle(int destination, Device::Policy policy)
{
    // An open first: it may tidy the record away (holding nothing), but
    // not how its channel's own slot asked it to rest.
    const bool disabling = at(destination).disabling;
    bool open = IsOpened();
    Output& out = at(destination);
    out.disabling = out.disabling || disabling;
    Path want = Wanted(out);
    Device::Held<Path>& held = out.held;
    Device::Outcome outcome;
    if (want == Path{} && !entry(destination) && !out.disabling && held.known() && held.asked().idle &&
        held.carried(kKept)) {
        held.forget();
        outcome = Device::Outcome::made;
    } else {
        outcome = held.change(
            want, policy, [] { return kKept; }, [&](const Path& p) { return open && Tell(destination, p, out.disabling); },
            [&] { return open ? mHolder.refusal() : 0; });
    }
    if (outcome == Device::Outcome::invalid)
        // Given up: nothing is asked of the output until its record changes.
        held.forget();
    if (outcome != Device::Outcome::made) {
        // Not told yet: the switch may still carry what it had.
        held.doubt();
        mHolder.changed();
    }
    Tidy(destination);
    if (outcome == Device::Outcome::made && want.source >= 0)
        Heard(destination);
    return outcome;
}

bool HwMux::Tell(int destination, const Path& path, bool disabling)
{
    if (path.source >= 0)
        return RequestConnect(path.source, destination);
    if (path.idle || (!disabling && !entry(destination)))
        return RequestIdle(destination);
    return RequestDisable(destination);
}

HwMux::Path HwMux::Wanted(const Output& out)
{
    for (auto c = out.claims.rbegin(); c != out.claims.rend(); ++c)
        if (c->source >= 0)
            return Path{c->source};
    return out.claims.empty() ? Path{} : Path{-1, true};
}

HwMux::Left HwMux::LeftBy(const Path& path)
{
    return path.source >= 0 ? Left::path : path.idle ? Left::idle : Left::disabled;
}

// Opening the device tells it what it owes first.
bool HwMux::Carries(int source, int destination)
{
    return IsOpened() && Carried(source, destination);
}

// A switch away keeps what it was told: a path it took stays carried
// until an open tells it again.
bool HwMux::Carried(int source, int destination) const
{
    if (source < 0)
        return false;
    auto it = mOutputs.find(destination);
    return it != mOutputs.end() && Wanted(it->second) == Path{source} && it->second.held.asked() == Path{source} &&
           it->second.held.carried(kKept);
}

const Device::Held<HwMux::Path>* HwMux::held(int destination) const
{
    auto it = mOutputs.find(destination);
    return it == mOutputs.end() ? nullptr : &it->second.held;
}

HwMux::Output& HwMux::at(int destination)
{
    return mOutputs[destination];
}

void HwMux::Tidy(int destination)
{
    auto it = mOutputs.find(destination);
    if (it == mOutputs.end() || !it->second.claims.empty() || it->second.held.on() ||
        it->second.held.carried(kKept))
        return;
    mOutputs.erase(it);
}

void HwMux::Doubt(int destination)
{
    auto it = mOutputs.find(destination);
    if (it != mOutputs.end())
        it->second.held.doubt();
}

bool HwMux::untold(uint64_t present)
{
    // An open tells everything held or owed again.
    if (!present)
        return std::any_of(mOutputs.begin(), mOutputs.end(),
                           [](const auto& o) { return o.second.held.on() || o.second.held.carried(kKept); });
    return std::any_of(mOutputs.begin(), mOutputs.end(), [](const auto& o) { return o.second.held.untold(kKept); });
}

void HwMux::reconcile(Device::Tally& made)
{
    unsigned long connected = 0, idle = 0, released = mWiped;
    mWiped = 0;
    std::vector<int> carried;
    for (auto it = mOutputs.begin(); it != mOutputs.end() && fd() >= 0;) {
        int destination = it->first;
        Output& out = it->second;
        bool release = !out.held.on();
        bool isIdle = out.held.asked().idle;
        bool told = out.held.restore([] { return kKept; },
                                     [&](const Path& path) { return Tell(destination, path, out.disabling); },
                                     [&] { return mHolder.refusal(); });
        if (told)
            ++(release ? released : isIdle ? idle : connected);
        if (told && !release && !isIdle)
            carried.push_back(destination);
        ++it;
        // A release made, or anything given up, leaves nothing; what is
        // still held or owed stays.
        Tidy(destination);
    }
    made.count("connection(s) made again", connected, true);
    made.count("idle output(s) again", idle);
    made.count("output(s) released", released);
    for (int destination : carried)
        Heard(destination);
}

void HwMux::OnDPC()
{
    // The device may go under the refresh.
    for (unsigned i = 0; i < kRefreshPerRun && fd() >= 0; ++i) {
        mCursor = (mCursor + 1) % kBusChannels;
        RefreshChannel(mCursor);
    }
}

void HwMux::RefreshChannel(unsigned index)
{
    if (mShadow[index] != kDisabled)
        return;
    ChannelRecord r{kBusFirst + static_cast<int32_t>(index)};
    Request(kDisable, &r);
}
