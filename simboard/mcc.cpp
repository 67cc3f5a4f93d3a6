#include "simboard/mcc.h"

#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "board/hal_requests.h"
#include "runtime/mux_time.h"
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
        drain(*a);
    }
}

// Each line goes on from where it stands, at the new rate.
void MccController::set_rate(uint64_t octets)
{
    if (octets == 0)
        return;
    for (auto& pool : mInUse)
        for (auto& entry : pool) {
            Allocated& a = entry.second;
            a.lineStartUs = std::max(line_free_us(a), Mux::clock().monotonic_us());
            a.lineOctets = 0;
        }
    mRate = octets;
    for (auto& pool : mInUse)
        for (auto& entry : pool)
            drain(entry.second);
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
    if (full(a)) {
        stuff(a, fd);
        return -EAGAIN;
    }
    size_t n = std::min(count, a.room);
    // A frame is taken whole; a stream up to the room.
    if (a.record.type == Device::Mcc::kTransparent)
        n = std::min(n, kTransmitBuffer - a.waitingOctets);
    take_room(a, static_cast<const char*>(buf), n);
    if (a.waiting.empty())
        restart_idle(a, Mux::clock().monotonic_us());
    a.waiting.emplace_back(static_cast<const char*>(buf), n);
    a.waitingOctets += n;
    drain(a);
    return static_cast<ssize_t>(n);
}

bool MccController::flushed(Channel& channel, int fd)
{
    auto it = mByChannel.find(&channel);
    if (it == mByChannel.end())
        return true;
    Allocated& a = *lookup(it->second);
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0)
        return false;
    if (line_done_us(a) > Mux::clock().monotonic_us())
        return false;
    // The line carries what it had time for before it is said to be
    // through: the holder may let go of its paths at once.
    drain(a);
    return !a.stuffed && a.waiting.empty() && a.peeked.empty();
}

// The line runs whether or not the loop turns: what waits follows what is
// on the line, back to back.
uint64_t MccController::line_done_us(const Allocated& a) const
{
    uint64_t octets = a.waitingOctets - (a.waiting.empty() ? 0 : a.frontSent);
    return line_free_us(a) + (mRate == kUnpaced ? 0 : octets * 1000000 / mRate);
}

void MccController::take_room(Allocated& a, const char* data, size_t size)
{
    if (a.room != kUnlimited)
        a.room -= std::min(size, a.room);
    if (recording())
        a.sent.emplace_back(data, size);
}

// A block in the socket stays there until the line carried it, so that the
// holder's poll tells when it has left.
const std::string* MccController::head(Allocated& a)
{
    if (!a.waiting.empty())
        return &a.waiting.front();
    if (!a.peeked.empty())
        return &a.peeked;
    if (a.room == 0 || a.stuffed || !a.channel->peer)
        return nullptr;
    int fd = a.channel->peer.get();
    // An empty block carries nothing; the end of file reads as one.
    ssize_t size = 0;
    for (size_t skipped = 0; size == 0 && skipped < Channel::kMaxRecords; ++skipped) {
        size = ::recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size == 0 && (::recv(fd, nullptr, 0, MSG_DONTWAIT) < 0 || Channel::at_end(fd)))
            return nullptr;
    }
    if (size <= 0)
        return nullptr;
    a.peeked.resize(static_cast<size_t>(size));
    if (::recv(fd, &a.peeked[0], a.peeked.size(), MSG_PEEK | MSG_DONTWAIT) != size) {
        a.peeked.clear();
        return nullptr;
    }
    take_room(a, a.peeked.data(), a.peeked.size());
    return &a.peeked;
}

void MccController::drain(Allocated& a)
{
    uint64_t now = Mux::clock().monotonic_us();
    // What the channel took never waits for the loop: it follows on the
    // line as if carried in time.
    if (a.waiting.empty())
        restart_idle(a, now);
    const std::string* block = nullptr;
    // Each turn carries an octet at least: what waits bounds the loop.
    while (line_free_us(a) <= now && (block = head(a)) != nullptr) {
        size_t size = block->size() - a.frontSent;
        if (a.record.type == Device::Mcc::kTransparent)
            size = std::min(size, kTransparentUnit);
        carry(a, block->data() + a.frontSent, size);
        a.frontSent += size;
        if (a.frontSent < block->size())
            continue;
        a.frontSent = 0;
        if (block == &a.peeked) {
            a.peeked.clear();
            ::recv(a.channel->peer.get(), nullptr, 0, MSG_TRUNC | MSG_DONTWAIT);
        } else {
            a.waitingOctets -= block->size();
            a.waiting.pop_front();
        }
    }
    // Called back when the line is free again, for what waits or may come.
    if (line_free_us(a) > now)
        a.line.set(static_cast<unsigned>((line_free_us(a) - now + 999) / 1000), &Allocated::OnLine, &a);
    if (a.stuffed && !full(a))
        unstuff(a);
    watch(a);
}

// A line late by less than a unit makes up for it; one that stood idle
// (or stalled) starts afresh.
void MccController::restart_idle(Allocated& a, uint64_t now)
{
    if (line_free_us(a) + kCatchUpUs < now) {
        a.lineStartUs = now;
        a.lineOctets = 0;
    }
}

void MccController::carry(Allocated& a, const char* data, size_t size)
{
    a.lineOctets += size;
    a.carried += size;
    if (SwitchPath* p = path())
        p->send(a.number, data, size);
}

// Only an idle line waits for the holder; a busy one looks when it is free.
void MccController::watch(Allocated& a)
{
    bool idle = a.waiting.empty() && a.peeked.empty() && line_free_us(a) <= Mux::clock().monotonic_us();
    short events = idle && a.room > 0 && !a.stuffed ? POLLIN : 0;
    if (a.written.fd)
        a.written.SetEvents(events);
    else if (a.channel->peer)
        a.written.Schedule(a.channel->peer, events);
}

// The line takes what the holder wrote as it needs it. The holder gone,
// what still waits goes with the channel, as the driver frees it.
void MccController::Allocated::OnWritten(int, short revents)
{
    if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        written.SetEvents(0);
        controller->sweep();
        return;
    }
    if (revents & POLLIN)
        controller->drain(*this);
}

// What the holder writes through the board never travels through the
// socket, so filling the socket's send buffer is what makes poll stop
// reporting it writable.
void MccController::stuff(Allocated& a, int fd)
{
    if (a.stuffed)
        return;
    std::string filler(65536, '\0');
    size_t size = filler.size();
    for (size_t sent = 0; sent < Channel::kMaxRecords;) {
        ssize_t n = ::send(fd, filler.data(), size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0)
            ++sent;
        else if (errno == EMSGSIZE && size > 1)
            size /= 2;
        else
            break;
    }
    a.stuffed = true;
    watch(a);
}

void MccController::unstuff(Allocated& a)
{
    if (!a.stuffed)
        return;
    a.channel->discard();
    a.stuffed = false;
    watch(a);
}

void MccController::closed(Channel& channel)
{
    auto it = mByChannel.find(&channel);
    if (it == mByChannel.end())
        return;
    int32_t offset = it->second - kFirstChannel;
    // What the line had time for left before the channel went.
    drain(*lookup(it->second));
    mByChannel.erase(it);
    if (SwitchPath* p = path())
        p->detach(lookup(offset + kFirstChannel));
    mInUse[static_cast<size_t>(offset / kPoolSpan)].erase(static_cast<unsigned>(offset % kPoolSpan));
}

void MccController::port_commands(TestPort& port)
{
    auto named = [this](const std::string& text) -> const Allocated* {
        int32_t number = 0;
        sweep();
        return TestPort::number(text, number) ? lookup(number) : nullptr;
    };
    // The device and inode numbers of the descriptor holding the channel.
    port.add("mcc-channel", 1, "<timeslot>", [named](const TestPort::Args& a) {
        const Allocated* found = named(a[0]);
        if (!found)
            return TestPort::error("no channel on " + a[0]);
        return TestPort::ok(std::to_string(found->channel->dev) + " " + std::to_string(found->channel->ino));
    });
    // Octets the channel's line carried since the allocation.
    port.add("mcc-line", 1, "<timeslot>", [named](const TestPort::Args& a) {
        const Allocated* found = named(a[0]);
        return found ? TestPort::ok(std::to_string(found->carried)) : TestPort::error("no channel on " + a[0]);
    });
    // What every line carries a second from now on: a test that follows
    // the program, not the line, makes it fast.
    port.add("mcc-rate", 1, "<octets>", [this](const TestPort::Args& a) {
        int64_t octets = 0;
        if (!TestPort::number(a[0], octets) || octets <= 0)
            return TestPort::error("bad rate " + a[0]);
        set_rate(static_cast<uint64_t>(octets));
        return TestPort::ok();
    });
}

} // namespace SimBoard
