#include "server/tdm/mcc_slot.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <memory>

#include "board/device.h"
#include "board/watched_device.h"
#include "runtime/ext.h"
#include "board/mcc_requests.h"
#include "server/slots/slot_refusal.h"
#include "server/switch/hw_mux.h"

namespace Mcc = Device::Mcc;

MccSlot::MccSlot(const Fd& fd) : Slot(Hold::descriptor), mChannel(Device::ioctl(fd.get(), Mcc::MCC_TIMESLOT))
{
    if (mChannel < 0) {
        int err = errno;
        std::cerr << *this << " MCC_TIMESLOT fail: " << std::strerror(err) << std::endl;
        mChannel = -1;
    }
    mEvent.Bind("MccSlot::OnEvent", &MccSlot::OnEvent, this);
    mEvent.Schedule(fd, POLLIN);
    // After the reader, so that what waits is read before a hang-up ends it.
    HoldChannel(mChannel, fd, &mEvent);
}

bool MccSlot::IUserData(std::vector<char> const& bytes)
{
    if (!mEvent.fd) {
        std::cerr << *this << " userData on a closed channel" << std::endl;
        RefuseCommand(LGCP::ErrorCause::internal);
        return false;
    }
    if (bytes.empty())
        return true;
    if (!mWaiting.empty() && mWaitingBytes + bytes.size() > kMaxWaiting) {
        std::cerr << *this << " userData refused, " << mWaitingBytes << " bytes still wait" << std::endl;
        RefuseCommand(LGCP::ErrorCause::insufficientResources);
        return false;
    }
    mWaiting.emplace_back(bytes.begin(), bytes.end());
    mWaitingBytes += bytes.size();
    if (Flush())
        return true;
    RefuseCommand(LGCP::ErrorCause::internal);
    return false;
}

// Each block goes in writes of its own, so a frame is never joined to the
// next; a channel that takes part of a block gets the rest when it polls
// writable again.
bool MccSlot::Flush()
{
    bool ok = true;
    while (!mWaiting.empty()) {
        std::string& block = mWaiting.front();
        ssize_t n = OwnChannel().Write(block.data(), block.size());
        int err = errno;
        if (n > 0) {
            size_t done = static_cast<size_t>(n);
            mWaitingBytes -= done;
            done < block.size() ? void(block.erase(0, done)) : mWaiting.pop_front();
        } else if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            break;
        } else {
            std::cerr << *this << " write fail: " << (n == 0 ? "nothing written" : std::strerror(err)) << ", "
                      << mWaitingBytes << " bytes dropped" << std::endl;
            mWaiting.clear();
            mWaitingBytes = 0;
            ok = false;
        }
    }
    if (mEvent.fd)
        mEvent.SetEvents(Wanted());
    return ok;
}

short MccSlot::Wanted() const
{
    return static_cast<short>((IsReleasing() ? 0 : POLLIN) | (mWaiting.empty() ? 0 : POLLOUT));
}

HandedChannel* MccSlot::IOrderlyEnd()
{
    if (!mEvent.fd)
        return nullptr;
    mEvent.SetEvents(mWaiting.empty() ? 0 : POLLOUT);
    return &OwnChannel();
}

// A channel that is over (a hang-up, an error, the end of file, a failing
// read) is let go in the same call: polled again, it would wake the loop on
// every pass. What waits to be read is read first, in chunks of at most
// kReadSize, each one signal.
void MccSlot::OnEvent(int, short revents)
{
    if (!mEvent.fd)
        return;
    char buf[kReadSize];
    Device::End end = Device::read_input(
        revents, Device::kReadsPerPass, [&] { return Device::read(mEvent.fd.get(), buf, sizeof(buf)); },
        [&](ssize_t n) { OnUserData(std::vector<char>(buf, buf + n)); });
    if (end)
        LoseChannel(end);
    else if (revents & POLLOUT)
        Flush();
}

// The slot stays until the controller destroys it; its userData is refused.
// Its output goes with the channel, disabled, with whatever another maker
// left there (a link's line end), which would otherwise reach the next
// slot that the driver gives the channel to.
void MccSlot::IOnChannelLost(const Device::End& end)
{
    std::cerr << *this << " channel lost (" << end.why << "), " << mWaitingBytes << " bytes unsent" << std::endl;
    HwMux::instance()->Lose(mChannel);
    mChannel = -1;
    mEvent.Release();
    mWaiting.clear();
    mWaitingBytes = 0;
}

void MccFactory::PutHeader(std::ostream& out) const
{
    out << "mcc: ";
}

Slot* MccFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_mcc())
        return nullptr;
    Fd fd(Device::open(Mcc::kDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!fd) {
        int err = errno;
        std::cerr << ext::header(this) << "fail to open MCC device: " << std::strerror(err) << std::endl;
        return nullptr;
    }
    uint32_t type;
    switch (params.get_mcc().get_type().getValue()) {
    case LGCP::MccType::data:
        type = Mcc::kData;
        break;
    case LGCP::MccType::bri:
        type = Mcc::kBri;
        break;
    case LGCP::MccType::transparent:
        type = Mcc::kTransparent;
        break;
    default:
        return nullptr;
    }
    if (params.get_mcc().get_mode().getValue() == LGCP::MccMode::ss7)
        type = Mcc::kSs7;
    Mcc::Allocation record{type, 512, 0, 1, 1};
    std::clog << ext::header(this) << "MCC_ALLOCATE" << " type=" << type << std::endl;
    if (Device::ioctl(fd.get(), Mcc::MCC_ALLOCATE, &record) != 0) {
        int err = errno;
        std::cerr << ext::header(this) << "MCC_ALLOCATE fail: " << std::strerror(err) << std::endl;
        return nullptr;
    }
    auto slot = std::make_unique<MccSlot>(fd);
    // Without its time slot the channel could never be connected; the
    // allocation goes with the descriptors.
    if (slot->IGetTransmitChannel() < 0)
        return nullptr;
    // A slot without its copy of the descriptor could never move data.
    if (!slot->watching()) {
        int err = errno;
        std::cerr << ext::header(this) << "fail to watch MCC channel: " << std::strerror(err) << std::endl;
        return nullptr;
    }
    return slot.release();
}

void MccFactory::Query(LGCP::Resources& resources)
{
    Mcc::Resources free{};
    Fd fd(Device::open(Mcc::kDevice, O_RDONLY | O_CLOEXEC));
    if (!fd || Device::ioctl(fd.get(), Mcc::MCC_RESOURCES, &free) != 0)
        free = Mcc::Resources{};
    resources.set_mcc_data(static_cast<int>(free.data));
    resources.set_mcc_bri(static_cast<int>(free.bri));
    resources.set_mcc_trans(static_cast<int>(free.transparent));
}
