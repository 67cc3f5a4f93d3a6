#include "server/slots/hw_mux.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <iterator>

#include "board/device.h"
#include "runtime/ext.h"
#include "board/hal_requests.h"

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

HwMux::HwMux() : mShadow(kBusChannels, kDisabled), mRuns(this, &std::clog)
{
    std::clog << ext::header(this) << "init" << std::endl;
    mDpc.Bind(this, &HwMux::OnDPC);
    IsOpened();
}

HwMux::~HwMux() = default;

void HwMux::PutHeader(std::ostream& out) const
{
    out << "hwMux: ";
}

// A device that opened and then went before it took a request is opened
// again only by the retry, once a second, not by every operation.
bool HwMux::IsOpened()
{
    if (!mFd && mOnlyRetryOpens) {
        RetryLater(true);
        return false;
    }
    if (!mFd)
        return Open(false);
    if (mOwed)
        Report(Restore(), false);
    return static_cast<bool>(mFd);
}

bool HwMux::Open(bool quiet)
{
    int fd = Device::open(kDevice, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        ++mFailedOpens;
        if (!quiet)
            std::clog << ext::header(this) << "can't open device: " << std::strerror(err) << std::endl;
        RetryLater();
        return false;
    }
    mFd.reset(fd);
    mNames.renew();
    // Whatever this board drove onto the shared bus before is let go; a
    // device gone again meanwhile is not open after all: one more open
    // that did not hold, and only the retry opens it again.
    mOpening = true;
    for (int channel = kBusFirst; channel < kBusFirst + kBusChannels; ++channel) {
        ChannelRecord r{channel};
        if (Request(kDisable, &r) != 0 && !mFd) {
            mOpening = false;
            ++mFailedOpens;
            mOnlyRetryOpens = true;
            RetryLater();
            return false;
        }
    }
    mOpening = false;
    mOnlyRetryOpens = false;
    std::clog << ext::header(this) << "device opened" << std::endl;
    std::fill(mShadow.begin(), mShadow.end(), kDisabled);
    mCursor = 0;
    mDpc.Activate();
    ::usleep(500);
    Reowe();
    Told told = Restore();
    if (!mFd)
        return false;
    Report(told, mLost);
    mLost = false;
    mFailedOpens = 0;
    return true;
}

uint16_t* HwMux::entry(int channel)
{
    if (channel < kBusFirst || channel >= kBusFirst + kBusChannels)
        return nullptr;
    return &mShadow[static_cast<size_t>(channel - kBusFirst)];
}

bool HwMux::Connect(int source, int destination)
{
    if (!IsOpened() || source < 0 || destination < 0) {
        if (mRuns.failed("open", 0))
            std::clog << ext::header(this) << "ERROR not opened" << std::endl;
        return false;
    }
    mRuns.succeeded("open");
    if (!RequestConnect(source, destination))
        return false;
    Overridden(destination);
    return true;
}

bool HwMux::Disconnect(int channel)
{
    if (!IsOpened() || channel < 0 || !RequestIdle(channel))
        return false;
    Overridden(channel);
    if (entry(channel)) {
        mPaths[channel].took(Path{-1, true}, present());
    }
    return true;
}

// A bus output disabled holds nothing, whatever the device answers: an
// open disables the bus, and the refresh repeats a refused disable.
bool HwMux::Disable(int channel)
{
    if (entry(channel))
        Overridden(channel);
    if (!IsOpened() || channel < 0)
        return false;
    if (uint16_t* e = entry(channel))
        *e = kDisabled;
    ChannelRecord r{channel};
    if (int err = Request(kDisable, &r, "disable")) {
        if (mRuns.failed("disable", err))
            std::clog << ext::header(this) << "disable failed " << channel << " : " << std::strerror(err)
                  << std::endl;
        return false;
    }
    Overridden(channel);
    return true;
}

bool HwMux::Write(int channel, unsigned char value)
{
    if (entry(channel))
        Overridden(channel);
    if (!IsOpened() || channel < 0)
        return false;
    if (uint16_t* e = entry(channel))
        *e = kFixedByte;
    PairRecord r{channel, value};
    if (int err = Request(kWrite, &r, "write")) {
        if (mRuns.failed("write", err))
            std::clog << ext::header(this) << "write failed " << channel << " <- " << ext::OutUnsignedInHex(value)
                  << " : " << std::strerror(err) << std::endl;
        return false;
    }
    Overridden(channel);
    return true;
}

unsigned char HwMux::Read(int channel)
{
    if (!IsOpened() || channel < 0)
        return 255;
    PairRecord r{channel, 255};
    if (int err = Request(kRead, &r, "read")) {
        if (mRuns.failed("read", err))
            std::clog << ext::header(this) << "read failed " << channel << " -> "
                  << ext::OutUnsignedInHex(r.value & 0xFF) << " : " << std::strerror(err) << std::endl;
        return 255;
    }
    return static_cast<unsigned char>(r.value);
}

bool HwMux::RequestConnect(int source, int destination)
{
    if (uint16_t* e = entry(destination))
        *e = static_cast<uint16_t>(source);
    PairRecord r{destination, source};
    if (int err = Request(kConnect, &r, "connect")) {
        if (mRuns.failed("connect", err))
            std::clog << ext::header(this) << "connect " << source << " -> " << destination
                  << " failed: " << std::strerror(err) << std::endl;
        return false;
    }
    return true;
}

bool HwMux::RequestIdle(int channel)
{
    if (uint16_t* e = entry(channel))
        *e = kFixedByte;
    PairRecord r{channel, kIdleByte};
    if (int err = Request(kWrite, &r, "disconnect")) {
        if (mRuns.failed("disconnect", err))
            std::clog << ext::header(this) << "disconnect failed " << channel << " : " << std::strerror(err)
                  << std::endl;
        return false;
    }
    return true;
}

int HwMux::Request(unsigned long request, void* record, const char* what)
{
    if (Device::ioctl(mFd.get(), request, record) == 0) {
        if (what)
            mRuns.succeeded(what);
        return 0;
    }
    int err = errno;
    if (Device::End gone = Device::request_end(err)) {
        // One gone under its open is counted with the failed opens.
        if (!mOpening)
            std::clog << ext::header(this) << "device lost: " << gone.why << std::endl;
        Lost();
    }
    return err;
}

// The switch keeps its paths while no descriptor is open: nothing held is
// forgotten here, the next open tells the device again.
void HwMux::Lost()
{
    mFd.close();
    mNames.renew();
    mLost = true;
    RetryLater();
}

// ------------------------------------------------------------ held paths

bool HwMux::Join(int source, int destination)
{
    if (!Connect(source, destination))
        return false;
    mPaths[destination].took(Path{source}, present());
    return true;
}

// A release is always asked of the device: a refused or interrupted
// request may have left the path on the switch, which keeps it whoever
// holds the device open.
void HwMux::LetGo(int source, int destination)
{
    if (!Holds(source, destination))
        return;
    mPaths[destination].owe_off(present());
    mOwed = true;
    RetryLater();
}

bool HwMux::Holds(int source, int destination) const
{
    auto it = mPaths.find(destination);
    return source >= 0 && it != mPaths.end() && it->second.asked() == Path{source};
}

// Opening the device tells it what it owes first.
bool HwMux::Carries(int source, int destination)
{
    return IsOpened() && Holds(source, destination) && mPaths.at(destination).carried(present());
}

const Device::Held<HwMux::Path>* HwMux::held(int destination) const
{
    auto it = mPaths.find(destination);
    return it == mPaths.end() ? nullptr : &it->second;
}

void HwMux::Overridden(int destination)
{
    mPaths.erase(destination);
}

void HwMux::Reowe()
{
    for (auto it = mPaths.begin(); it != mPaths.end();) {
        if (!it->second.on() && entry(it->first)) {
            it = mPaths.erase(it);
            continue;
        }
        if (!it->second.on())
            it->second.owe_off(present());
        ++it;
    }
    mOwed = true;
}

HwMux::Told HwMux::Restore()
{
    Told told;
    auto present = [this] { return this->present(); };
    for (auto it = mPaths.begin(); it != mPaths.end() && mFd;) {
        int destination = it->first;
        bool release = !it->second.on();
        bool idle = it->second.asked().idle;
        bool made = it->second.restore(present, [&](const Path& path) {
            return release || idle ? RequestIdle(destination) : RequestConnect(path.source, destination);
        });
        if (made)
            ++(release ? told.released : idle ? told.idle : told.connected);
        it = release && made ? mPaths.erase(it) : std::next(it);
    }
    mOwed = Owed();
    RetryLater();
    return told;
}

bool HwMux::Owed() const
{
    if (mPaths.empty())
        return false;
    if (!mFd)
        return true;
    uint64_t now = present();
    return std::any_of(mPaths.begin(), mPaths.end(), [now](const auto& p) { return p.second.untold(now); });
}

void HwMux::RetryLater(bool wanted)
{
    if (!mRetry.pending() && (wanted || Owed()))
        mRetry.set(kRetryMs, &HwMux::OnRetry, this);
}

void HwMux::OnRetry()
{
    if (!mFd) {
        mOnlyRetryOpens = false;
        Open(true);
    }
    else
        Report(Restore(), false);
    RetryLater();
}

void HwMux::Report(const Told& told, bool back)
{
    if (!back && !told.connected && !told.idle && !told.released)
        return;
    std::clog << ext::header(this);
    if (back) {
        std::clog << "device back";
        if (mFailedOpens)
            std::clog << " after " << mFailedOpens << " failed open(s)";
        std::clog << ", ";
    }
    std::clog << told.connected << " connection(s) made again";
    if (told.idle)
        std::clog << ", " << told.idle << " idle output(s) again";
    if (told.released)
        std::clog << ", " << told.released << " output(s) released";
    std::clog << std::endl;
}

void HwMux::OnDPC()
{
    // The device may go under the refresh.
    for (unsigned i = 0; i < kRefreshPerRun && mFd; ++i) {
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
