#include "server/slots/hw_mux.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>

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

HwMux::HwMux() : mShadow(kBusChannels, kDisabled)
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

bool HwMux::IsOpened()
{
    if (mFd)
        return true;
    int fd = Device::open(kDevice, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        std::clog << ext::header(this) << "can't open device: " << std::strerror(err) << std::endl;
        return false;
    }
    mFd.reset(fd);
    std::clog << ext::header(this) << "device opened" << std::endl;
    // Whatever this board drove onto the shared bus before is let go; a
    // device gone again meanwhile is not open after all.
    for (int channel = kBusFirst; channel < kBusFirst + kBusChannels; ++channel) {
        ChannelRecord r{channel};
        if (Request(kDisable, &r) != 0 && !mFd)
            return false;
    }
    std::fill(mShadow.begin(), mShadow.end(), kDisabled);
    mCursor = 0;
    mDpc.Activate();
    ::usleep(500);
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
        std::clog << ext::header(this) << "ERROR not opened" << std::endl;
        return false;
    }
    if (uint16_t* e = entry(destination))
        *e = static_cast<uint16_t>(source);
    PairRecord r{destination, source};
    if (int err = Request(kConnect, &r)) {
        std::clog << ext::header(this) << "connect " << source << " -> " << destination
                  << " failed: " << std::strerror(err) << std::endl;
        return false;
    }
    return true;
}

bool HwMux::Disconnect(int channel)
{
    if (!IsOpened() || channel < 0)
        return false;
    if (uint16_t* e = entry(channel))
        *e = kFixedByte;
    PairRecord r{channel, kIdleByte};
    if (int err = Request(kWrite, &r)) {
        std::clog << ext::header(this) << "disconnect failed " << channel << " : " << std::strerror(err)
                  << std::endl;
        return false;
    }
    return true;
}

bool HwMux::Disable(int channel)
{
    if (!IsOpened() || channel < 0)
        return false;
    if (uint16_t* e = entry(channel))
        *e = kDisabled;
    ChannelRecord r{channel};
    if (int err = Request(kDisable, &r)) {
        std::clog << ext::header(this) << "disable failed " << channel << " : " << std::strerror(err)
                  << std::endl;
        return false;
    }
    return true;
}

bool HwMux::Write(int channel, unsigned char value)
{
    if (!IsOpened() || channel < 0)
        return false;
    if (uint16_t* e = entry(channel))
        *e = kFixedByte;
    PairRecord r{channel, value};
    if (int err = Request(kWrite, &r)) {
        std::clog << ext::header(this) << "write failed " << channel << " <- " << ext::OutUnsignedInHex(value)
                  << " : " << std::strerror(err) << std::endl;
        return false;
    }
    return true;
}

unsigned char HwMux::Read(int channel)
{
    if (!IsOpened() || channel < 0)
        return 255;
    PairRecord r{channel, 255};
    if (int err = Request(kRead, &r)) {
        std::clog << ext::header(this) << "read failed " << channel << " -> "
                  << ext::OutUnsignedInHex(r.value & 0xFF) << " : " << std::strerror(err) << std::endl;
        return 255;
    }
    return static_cast<unsigned char>(r.value);
}

int HwMux::Request(unsigned long request, void* record)
{
    if (Device::ioctl(mFd.get(), request, record) == 0)
        return 0;
    int err = errno;
    if (Device::End gone = Device::request_end(err)) {
        std::clog << ext::header(this) << "device lost: " << gone.why << std::endl;
        mFd.close();
    }
    return err;
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
