// A data channel of the multichannel HDLC controller offered to the
// controller as raw data: the bytes of each userData command go to the
// channel, and every chunk read from it comes back as a userData signal.
// The channel is allocated on its own open of the controller's device and
// lives as long as that descriptor, which the slot's event owns.
#pragma once

#include <cstddef>
#include <deque>
#include <iosfwd>
#include <string>

#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"

class MccSlot : public Slot {
public:
    // Largest chunk read, and sent as one signal.
    static constexpr size_t kReadSize = 1024;
    // Bytes waiting for the channel to take them, beyond which userData is
    // refused.
    static constexpr size_t kMaxWaiting = 65536;

    // The descriptor holds an allocated channel; the slot keeps a copy.
    explicit MccSlot(const Fd& fd);

    // Queued after what still waits; refused when the channel is gone or
    // too much waits already.
    bool IUserData(std::vector<char> const& bytes) override;
    bool IOnOutputStream() override { return true; }
    bool IOnInputStream() override { return true; }
    int IGetTransmitChannel() override { return mChannel; }
    int IGetReceiveChannel() override { return mChannel; }
    const char* GetName() const override { return "MCC"; }

    // False when the slot could not take its copy of the descriptor.
    bool watching() const { return static_cast<bool>(mEvent.fd); }
    // Reads what the channel holds, ending it by the board's rule.
    void OnEvent(int fd, short revents);

private:
    // Writes what waits until the channel is full; false on a failure,
    // which drops everything waiting.
    bool Flush();
    // The channel is over: its line, and nothing read or sent on it again.
    void IOnChannelLost(const Device::End& end) override;
    // A destroy: nothing is read any more, and what waits is written on.
    HandedChannel* IOrderlyEnd() override;
    size_t IUnwritten() const override { return mWaitingBytes; }
    // What the slot polls for: input until its release, room while
    // something waits.
    short Wanted() const;

    int mChannel;
    Event mEvent;
    std::deque<std::string> mWaiting;
    size_t mWaitingBytes = 0;
};

class MccFactory : public SlotFactory {
public:
    const char* GetName() const override { return "MCC"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    // Free data, BRI and transparent channels; 0 when the device cannot tell.
    void Query(LGCP::Resources& resources) override;
    void PutHeader(std::ostream& out) const;
};
