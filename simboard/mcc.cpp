#include "simboard/mcc.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "board/hal_requests.h"
#include "simboard/hal.h"
#include "simboard/test_port.h"

namespace SimBoard {

MccController::MccController() : mCapacity{{32, 8, 32}}
{
    handle(Device::Mcc::MCC_ALLOCATE, [this](Call& c) { return allocate(c.channel, c.record<Device::Mcc::Allocation>()); });
    handle(Device::Mcc::MCC_TIMESLOT, [this](Call& c) {
        auto it = mByChannel.find(&c.channel);
        return it == mByChannel.end() ? -EINVAL : it->second;
    });
    handle(Device::Mcc::MCC_RESOURCES, [this](Call& c) {
        auto& r = c.record<Device::Mcc::Resources>();
        r = Device::Mcc::Resources{free_channels(Device::Mcc::kData), free_channels(Device::Mcc::kBri),
                                   free_channels(Device::Mcc::kTransparent), 0};
        return 0;
    }, Arg::filled);
}

int MccController::allocate(Channel& channel, const Device::Mcc::Allocation& record)
{
    if (mByChannel.count(&channel))
        return -EBUSY;
    if (record.type > Device::Mcc::kSs7 || record.reserved != 0 || record.rxPacketSize == 0 ||
        record.rxPacketSize > kMaxPacketSize || record.rxThreshold > kMaxThreshold ||
        record.txThreshold > kMaxThreshold)
        return -EINVAL;
    unsigned pool = pool_of(record.type);
    auto& inUse = mInUse[pool];
    for (unsigned i = 0; i < mCapacity[pool]; ++i) {
        if (inUse.count(i))
            continue;
        Allocated& a = inUse[i];
        a.channel = &channel;
        a.number = number_of(pool, i);
        a.record = record;
        a.controller = this;
        mByChannel[&channel] = a.number;
        if (SwitchPath* p = path())
            p->attach(a.number, &a);
        a.written.Bind("SimBoard::MccController::OnWritten", &Allocated::OnWritten, &a);
        watch(a);
        return 0;
    }
    return -ENOSPC;
}

void MccController::set_capacity(uint32_t type, unsigned channels)
{
    mCapacity.at(pool_of(type)) = std::min<unsigned>(channels, kPoolSpan);
}

unsigned MccController::free_channels(uint32_t type) const
{
    sweep();
    unsigned pool = pool_of(type);
    const auto& inUse = mInUse.at(pool);
    // Channels in use beyond a capacity lowered meanwhile take none of it.
    auto used = std::distance(inUse.begin(), inUse.lower_bound(mCapacity[pool]));
    return mCapacity[pool] - static_cast<unsigned>(used);
}

const MccController::Allocated* MccController::find(int32_t number) const
{
    sweep();
    return const_cast<MccController*>(this)->lookup(number);
}

size_t MccController::allocated() const
{
    sweep();
    return mByChannel.size();
}

MccController::Allocated* MccController::lookup(int32_t number)
{
    if (number < kFirstChannel || number >= number_of(kPools, 0))
        return nullptr;
    auto& inUse = mInUse[static_cast<size_t>((number - kFirstChannel) / kPoolSpan)];
    auto it = inUse.find(static_cast<unsigned>((number - kFirstChannel) % kPoolSpan));
    return it == inUse.end() ? nullptr : &it->second;
}

SwitchPath* MccController::path() const
{
    return SwitchPath::of(board());
}

bool MccController::deliver(int32_t number, const std::string& block)
{
    Allocated* a = lookup(number);
    return a && a->channel->post(block.data(), block.size());
}

std::string MccController::take(int32_t number)
{
    Allocated* a = lookup(number);
    if (!a || a->sent.empty())
        return std::string();
    std::string block = std::move(a->sent.front());
    a->sent.pop_front();
    return block;
}

void MccController::set_room(int32_t number, size_t bytes)
{
    if (Allocated* a = lookup(number)) {
        a->room = bytes;
        if (bytes > 0)
            unstuff(*a);
        watch(*a);
    }
}

void MccController::hang_up(int32_t number)
{
    if (Allocated* a = lookup(number)) {
        // The watcher's copy of the board's end would keep the holder's open.
        a->written.Release();
        a->channel->hang_up(); // tells closed(), which forgets the allocation
    }
}

ssize_t MccController::write(Channel& channel, int fd, const void* buf, size_t count)
{
    auto it = mByChannel.find(&channel);
    if (it == mByChannel.end())
        return -EINVAL;
    Allocated& a = *lookup(it->second);
    if (count == 0)
        return 0;
    if (a.room == 0) {
        stuff(a, fd);
        return -EAGAIN;
    }
    size_t n = std::min(count, a.room);
    emit(a, static_cast<const char*>(buf), n);
    return static_cast<ssize_t>(n);
}

void MccController::emit(Allocated& a, const char* data, size_t size)
{
    if (a.room != kUnlimited)
        a.room -= std::min(size, a.room);
    if (recording())
        a.sent.emplace_back(data, size);
    SwitchPath* p = path();
    if (!p)
        return;
    if (a.record.type != Device::Mcc::kTransparent) {
        p->send(a.number, data, size);
        return;
    }
    p->send_split(a.number, data, size, kTransparentUnit);
}

void MccController::watch(Allocated& a)
{
    if (a.written.fd)
        a.written.SetEvents(a.room > 0 && !a.stuffed ? POLLIN : 0);
    else if (a.channel->peer)
        a.written.Schedule(a.channel->peer, a.room > 0 ? POLLIN : 0);
}

void MccController::Allocated::OnWritten(int fd, short revents)
{
    bool ended = (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    if (revents & POLLIN) {
        char buf[65536];
        bool drained = false;
        // Bounded, so one busy writer cannot hold the loop.
        for (int i = 0; i < 64 && room > 0 && !stuffed; ++i) {
            ssize_t n = ::recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
            if (n <= 0) {
                drained = true;
                ended = ended || n == 0; // end of file: the holder is gone
                break;
            }
            controller->emit(*this, buf, static_cast<size_t>(n));
        }
        // What the holder wrote before it went still travels first.
        if (!ended || (!drained && room > 0 && !stuffed)) {
            controller->watch(*this);
            return;
        }
    }
    // The holder closed every descriptor: the sweep ends the channel, and
    // this with it. Until then poll reports the hang-up whatever we ask.
    if (ended) {
        written.SetEvents(0);
        controller->sweep();
    }
}
// What the holder writes never travels through the socket, so filling the
// socket's send buffer is what makes poll stop reporting it writable.
void MccController::stuff(Allocated& a, int fd)
{
    if (a.stuffed)
        return;
    std::string filler(65536, '\0');
    size_t size = filler.size();
    for (;;) {
        ssize_t n = ::send(fd, filler.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            continue;
        if (errno == EMSGSIZE && size > 1) {
            size /= 2;
            continue;
        }
        break;
    }
    a.stuffed = true;
    watch(a);
}

void MccController::unstuff(Allocated& a)
{
    if (!a.stuffed)
        return;
    while (::recv(a.channel->peer.get(), nullptr, 0, MSG_TRUNC | MSG_DONTWAIT) >= 0) {
    }
    a.stuffed = false;
    watch(a);
}

void MccController::closed(Channel& channel)
{
    auto it = mByChannel.find(&channel);
    if (it == mByChannel.end())
        return;
    int32_t offset = it->second - kFirstChannel;
    mByChannel.erase(it);
    if (SwitchPath* p = path())
        p->detach(lookup(offset + kFirstChannel));
    mInUse[static_cast<size_t>(offset / kPoolSpan)].erase(static_cast<unsigned>(offset % kPoolSpan));
}

void MccController::port_commands(TestPort& port)
{
    // The device and inode numbers of the descriptor holding the channel.
    port.add("mcc-channel", 1, "<timeslot>", [this](const TestPort::Args& a) {
        int32_t number = 0;
        if (!TestPort::number(a[0], number))
            return TestPort::error("bad time slot " + a[0]);
        sweep();
        const Allocated* found = lookup(number);
        if (!found)
            return TestPort::error("no channel on " + a[0]);
        return TestPort::ok(std::to_string(found->channel->dev) + " " + std::to_string(found->channel->ino));
    });
}

} // namespace SimBoard
