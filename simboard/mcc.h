// "/dev/mcc/ctl" of the simulated board: the multichannel HDLC controller.
// Each open descriptor can allocate one channel; the allocation record is
// checked and kept, and the channel gets a switch channel number from the
// pool of its mode (data and SS7 channels share one pool). Closing every
// descriptor of the open, or hanging the channel up, gives the channel back.
//
// A channel is an endpoint of the switch path: what the holder writes
// leaves on the channel's switch channel and reaches whoever hears it, and
// what the switch brings to the channel's output waits for the holder as one
// block. What the holder writes goes out the same whether it calls
// Device::write or writes on the descriptor itself; a transparent channel
// carries a byte stream, which leaves in units of 160 bytes (20 ms of
// voice) at most. A test may also deliver blocks itself. The holder reads one block
// per read (the rest of a block on the next reads); a block the holder's
// queue cannot take is dropped (SwitchPath::dropped). While the board
// records, what the holder writes is also kept per channel for the test to
// take.
//
// What the holder writes waits in the channel's transmit buffer and leaves
// at the time slot's rate (8000 octets a second unless a test sets
// another), a frame whole, a stream in its units. Written through the
// board, a write is taken only while the buffer has room (a transparent
// one up to the room); with none left it fails with EAGAIN and the
// descriptor stops polling writable until the line has carried enough.
// Written on the descriptor itself, it waits in the socket, which is the
// buffer then: a block is taken off only once the line carried all of it,
// so the descriptor polls writable again only when what it wrote has
// nearly all left. Either way its flush event (POLLWRNORM) is reported
// only once the buffer is empty and the line carried the last octet, as
// the driver does; POLLOUT still says there is room. A test can also give the buffer
// a room of its own: a write beyond it is cut short, and with no room left
// the channel takes nothing until the test gives room again.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <limits>
#include <map>
#include <string>

#include "board/mcc_requests.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"
#include "simboard/board.h"
#include "simboard/switch_path.h"

namespace SimBoard {

class MccController : public Model {
public:
    static constexpr size_t kUnlimited = std::numeric_limits<size_t>::max();
    // Channel numbers: pool p hands out kFirstChannel + kPoolSpan * p + index.
    static constexpr int32_t kFirstChannel = 1024;
    static constexpr int32_t kPoolSpan = 256;
    static constexpr uint32_t kMaxPacketSize = 65536;
    static constexpr uint32_t kMaxThreshold = 255;
    static constexpr size_t kTransparentUnit = 160;
    // A 64 kbit/s time slot.
    static constexpr uint64_t kLineRate = 8000;
    // A rate for tests that follow what is sent, not when: no block waits.
    static constexpr uint64_t kUnpaced = std::numeric_limits<uint64_t>::max();
    // Octets the transmit buffer holds: about a second of voice.
    static constexpr size_t kTransmitBuffer = 8192;
    // How late a line may be and still make up for it: one unit of voice.
    static constexpr uint64_t kCatchUpUs = 20000;

    struct Allocated : SwitchPath::Endpoint {
        Channel* channel = nullptr;
        int32_t number = -1;
        Device::Mcc::Allocation record{};
        std::deque<std::string> sent;
        size_t room = kUnlimited;
        bool stuffed = false; // the socket is filled so it polls unwritable
        // What was written through the board, the first block partly on
        // the line already; then the socket's first block, once looked at.
        std::deque<std::string> waiting;
        size_t waitingOctets = 0;
        std::string peeked;
        size_t frontSent = 0;
        // The line is busy from lineStartUs for lineOctets at the rate.
        uint64_t lineStartUs = 0;
        uint64_t lineOctets = 0;
        uint64_t carried = 0; // octets the line carried since the allocation
        Timer line;
        MccController* controller = nullptr;
        // What the holder writes on the descriptor itself arrives here.
        Event written;

        bool receive(const void* data, size_t size) override { return channel->post(data, size); }
        void OnWritten(int fd, short revents);
        void OnLine() { controller->drain(*this); }
    };

    // 32 data, 8 BRI and 32 transparent channels.
    MccController();

    // How many channels of the pool (a channel type; SS7 counts as data)
    // can be allocated at once.
    void set_capacity(uint32_t type, unsigned channels);
    unsigned free_channels(uint32_t type) const;
    // The allocated channel of that number, null when none.
    const Allocated* find(int32_t number) const;
    size_t allocated() const;

    // The channel receives a block from its time slot; false when no such channel.
    bool deliver(int32_t number, const std::string& block);
    // The next block the holder wrote, "" when none (always while the board
    // does not record).
    std::string take(int32_t number);
    // Bytes the transmit buffer takes from now on (kUnlimited for no limit).
    void set_room(int32_t number, size_t bytes);
    // Octets a second every line carries, from now on (tests: a faster one).
    void set_rate(uint64_t octets);
    // The channel goes away under its holder (see Channel::hang_up).
    void hang_up(int32_t number);

    ssize_t write(Channel& channel, int fd, const void* buf, size_t count) override;
    // Nothing waits in the transmit buffer, nor on the line.
    bool flushed(Channel& channel, int fd) override;
    // The kernel doubles it and keeps 32 bytes back: a write of a whole
    // buffer still fits.
    int send_buffer() const override { return static_cast<int>(kTransmitBuffer + 32) / 2; }
    void closed(Channel& channel) override;
    void port_commands(TestPort& port) override;

private:
    static constexpr unsigned kPools = 3;

    static unsigned pool_of(uint32_t type) { return type == Device::Mcc::kSs7 ? 0 : type; }
    static int32_t number_of(unsigned pool, unsigned index)
    {
        return kFirstChannel + kPoolSpan * static_cast<int32_t>(pool) + static_cast<int32_t>(index);
    }
    int allocate(Channel& channel, const Device::Mcc::Allocation& record);
    Allocated* lookup(int32_t number);
    // The switch path of the board's Hal, null when the board has none.
    SwitchPath* path() const;
    bool full(const Allocated& a) const { return a.room == 0 || a.waitingOctets >= kTransmitBuffer; }
    // Takes what the holder wrote out of the room, and keeps it while recording.
    void take_room(Allocated& a, const char* data, size_t size);
    // The block the line carries next, null when none.
    const std::string* head(Allocated& a);
    // The line carries what it has had time for, and is called back for the rest.
    void drain(Allocated& a);
    uint64_t line_free_us(const Allocated& a) const { return a.lineStartUs + a.lineOctets * 1000000 / mRate; }
    // When the line is through with what the channel holds.
    uint64_t line_done_us(const Allocated& a) const;
    void carry(Allocated& a, const char* data, size_t size);
    void restart_idle(Allocated& a, uint64_t now);
    // Watches the descriptor for direct writes while the line waits for them.
    void watch(Allocated& a);
    void stuff(Allocated& a, int fd);
    void unstuff(Allocated& a);

    std::array<unsigned, kPools> mCapacity{};
    // By pool, the allocated channels by index in the pool.
    std::array<std::map<unsigned, Allocated>, kPools> mInUse;
    std::map<Channel*, int32_t> mByChannel;
    uint64_t mRate = kLineRate;
};

} // namespace SimBoard
