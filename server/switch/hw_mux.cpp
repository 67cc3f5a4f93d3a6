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

// The switch has no output beyond the shared bus: nothing is held or owed there.
const int kOutputs = HwMux::kBusFirst + HwMux::kBusChannels;

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
    for (int channel = kBusFirst; channel < kBusFirst + kBusChannels; ++channel) {
        ChannelRecord r{channel};
        if (Request(kDisable, &r) != 0 && fd() < 0)
            return;
    }
    std::clog << ext::header(this) << "device opened" << std::endl;
    std::fill(mShadow.begin(), mShadow.end(), kDisabled);
    mCursor = 0;
    mDpc.Activate();
    ::usleep(500);
    Wiped();
}

// A device that went may come back with nothing: the local paths are told
// again too, and their owed releases stay owed.
void HwMux::Wiped()
{
    for (auto it = mPaths.begin(); it != mPaths.end();) {
        Device::Held<Path>& held = it->second;
        bool bus = entry(it->first) != nullptr;
        if (bus && !held.on()) {
            ++mWiped;
            mDisabling.erase(it->first);
            mOwners.erase(it->first);
            it = mPaths.erase(it);
            continue;
        }
        if (held.on()) {
            held.hold(held.asked());
            if (!bus)
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
    if (!RequestConnect(source, destination)) {
        Doubt(destination);
        return false;
    }
    Replaced(destination);
    return true;
}

bool HwMux::Disconnect(int channel)
{
    if (!IsOpened() || channel < 0)
        return false;
    if (!RequestIdle(channel)) {
        Doubt(channel);
        return false;
    }
    Replaced(channel);
    if (entry(channel))
        mPaths[channel].took(Path{-1, true}, kKept);
    return true;
}

// An off is never lost: one the switch refused, or could not be asked, is
// owed whatever was held there (a path, an idle byte, a release owed).
bool HwMux::Disable(int channel)
{
    if (channel < 0)
        return false;
    bool open = IsOpened();
    if (channel >= kOutputs)
        return open && RequestDisable(channel);
    Device::Held<Path>& held = at(channel);
    Device::Outcome outcome = held.change(
        Path{}, [] { return kKept; }, [&](const Path&) { return open && RequestDisable(channel); },
        [&] { return open ? mHolder.refusal() : 0; });
    if (outcome == Device::Outcome::owed) {
        mDisabling.insert(channel);
        mHolder.changed();
    }
    Tidy(channel);
    return Device::done(outcome);
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
    if (Request(kWrite, &r, "write", [&](std::ostream& o) {
            o << "write failed " << channel << " <- " << ext::OutUnsignedInHex(value) << " : ";
        })) {
        Doubt(channel);
        return false;
    }
    Replaced(channel);
    return true;
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

// ------------------------------------------------------------ held paths

// A slot that left its channel joins nothing, and says nothing of the switch.
bool HwMux::Join(int source, int destination, Owner owner)
{
    if (source < 0 || destination < 0 || !ReadyFor(source, destination))
        return false;
    Device::Held<Path>& held = at(destination);
    Device::Outcome outcome = held.change(
        Path{source}, [] { return kKept; }, [&](const Path&) { return RequestConnect(source, destination); },
        [this] { return mHolder.refusal(); });
    if (outcome == Device::Outcome::made) {
        mDisabling.erase(destination);
        mOwners[destination] = owner;
    } else {
        held.doubt();
    }
    Tidy(destination);
    return Device::done(outcome);
}

void HwMux::LetGo(int source, int destination, Owner owner)
{
    if (!Holds(source, destination, owner))
        return;
    Device::Held<Path>& held = mPaths[destination];
    // The disconnection the switch refused just now, by the rule for ends.
    Device::Outcome outcome = held.owe_end(kKept, fd() >= 0 ? mHolder.refusal() : 0);
    if (outcome == Device::Outcome::owed && entry(destination)) {
        // Not told yet: the switch may still carry the path.
        held.hold(Path{-1, true});
        held.doubt();
    }
    mDisabling.erase(destination);
    Tidy(destination);
    mHolder.changed();
}

void HwMux::End(int source, int destination, Owner owner)
{
    if (!Holds(source, destination, owner))
        return;
    bool open = IsOpened();
    if (open && RequestIdle(destination)) {
        Replaced(destination);
        return;
    }
    // The open may have given the path up meanwhile: the release is owed all the same.
    at(destination).owe_end(kKept, open ? mHolder.refusal() : 0);
    mDisabling.erase(destination);
    Tidy(destination);
    mHolder.changed();
}

std::optional<HwMux::HeldPath> HwMux::PathAt(int destination) const
{
    const Device::Held<Path>* h = held(destination);
    if (!h || !h->on())
        return std::nullopt;
    HeldPath path;
    path.source = h->asked().source;
    auto it = mOwners.find(destination);
    if (path.source >= 0 && it != mOwners.end())
        path.owner = it->second;
    return path;
}

bool HwMux::DisableUnlessHeld(int channel)
{
    return PathAt(channel) || Disable(channel);
}

bool HwMux::Holds(int source, int destination) const
{
    auto it = mPaths.find(destination);
    return source >= 0 && it != mPaths.end() && it->second.asked() == Path{source};
}

bool HwMux::Holds(int source, int destination, Owner owner) const
{
    std::optional<HeldPath> path = PathAt(destination);
    return source >= 0 && path && path->is(source, owner);
}

// Opening the device tells it what it owes first.
bool HwMux::Carries(int source, int destination)
{
    return IsOpened() && Holds(source, destination) && mPaths.at(destination).carried(kKept);
}

const Device::Held<HwMux::Path>* HwMux::held(int destination) const
{
    auto it = mPaths.find(destination);
    return it == mPaths.end() ? nullptr : &it->second;
}

Device::Held<HwMux::Path>& HwMux::at(int destination)
{
    auto it = mPaths.find(destination);
    if (it == mPaths.end())
        it = mPaths.emplace(destination, Device::Held<Path>::unknown()).first;
    return it->second;
}

void HwMux::Tidy(int destination)
{
    auto it = mPaths.find(destination);
    if (it == mPaths.end() || it->second.on() || it->second.carried(kKept))
        return;
    mPaths.erase(it);
    mOwners.erase(destination);
    mDisabling.erase(destination);
}

void HwMux::Replaced(int destination)
{
    mPaths.erase(destination);
    mOwners.erase(destination);
    mDisabling.erase(destination);
}

void HwMux::Doubt(int destination)
{
    auto it = mPaths.find(destination);
    if (it != mPaths.end())
        it->second.doubt();
}

bool HwMux::untold(uint64_t present)
{
    // An open tells everything held again.
    if (!present)
        return !mPaths.empty();
    return std::any_of(mPaths.begin(), mPaths.end(), [](const auto& p) { return p.second.untold(kKept); });
}

void HwMux::reconcile(Device::Tally& made)
{
    unsigned long connected = 0, idle = 0, released = mWiped;
    mWiped = 0;
    for (auto it = mPaths.begin(); it != mPaths.end() && fd() >= 0;) {
        int destination = it->first;
        bool release = !it->second.on();
        bool isIdle = it->second.asked().idle;
        bool told = it->second.restore(
            [] { return kKept; },
            [&](const Path& path) {
                if (release)
                    return mDisabling.count(destination) ? RequestDisable(destination) : RequestIdle(destination);
                return isIdle ? RequestIdle(destination) : RequestConnect(path.source, destination);
            },
            [&] { return mHolder.refusal(); });
        if (told)
            ++(release ? released : isIdle ? idle : connected);
        ++it;
        // A release made, or anything given up, leaves nothing; what is
        // still held or owed stays.
        Tidy(destination);
    }
    made.count("connection(s) made again", connected, true);
    made.count("idle output(s) again", idle);
    made.count("output(s) released", released);
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
