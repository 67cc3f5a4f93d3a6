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
// A request that finds the device gone lets its descriptor go; the next
// operation opens the device again.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <vector>

#include "runtime/fd.h"
#include "runtime/timer.h"

class HwMux {
public:
    static constexpr int kBusFirst = 8192;
    static constexpr int kBusChannels = 2048;
    // Channels of one bus; the buses follow each other from kBusFirst.
    static constexpr int kBusWidth = 128;
    // Shadow entries besides a source channel number.
    static constexpr uint16_t kFixedByte = 0xFFFE;
    static constexpr uint16_t kDisabled = 0xFFFF;
    static constexpr unsigned char kIdleByte = 0xD5;

    // The one switch of the process, built (and opened, if it can be) on first use.
    static HwMux* instance();

    HwMux();
    ~HwMux();
    HwMux(const HwMux&) = delete;
    HwMux& operator=(const HwMux&) = delete;

    // Opens the device unless it is open. An open disables every shared-bus
    // output: a device opened again after it went has forgotten the
    // connections too.
    bool IsOpened();
    // Output destination carries input source.
    bool Connect(int source, int destination);
    // The output sends the idle byte.
    bool Disconnect(int channel);
    bool Disable(int channel);
    // The output sends a fixed byte.
    bool Write(int channel, unsigned char value);
    // The byte received on the channel; 255 on failure.
    unsigned char Read(int channel);
    void Reset() {}

    void OnDPC();
    void PutHeader(std::ostream& out) const;

    // Read access for the status dump and tests.
    int fd() const { return mFd.get(); }
    uint16_t shadow(int index) const { return mShadow[static_cast<size_t>(index)]; }
    unsigned cursor() const { return mCursor; }

    class Scoped;

private:
    // The shadow entry of a shared-bus channel, null for any other number.
    uint16_t* entry(int channel);
    // 0, or the failed request's errno.
    int Request(unsigned long request, void* record);
    void RefreshChannel(unsigned index);

    Fd mFd;
    std::vector<uint16_t> mShadow;
    unsigned mCursor = 0;
    Dpc mDpc;
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
