// The eight BRI line interface chips on the SPI bus of "/dev/hal": each
// chip is programmed as soon as the device opens, the chips' clock master
// is switched for the bus clock, and while a controller is connected every
// line's status register is read once a second and sent as a trunkStatus
// signal (type bri, line n as trunk n). Takes no commands.
//
// A board without the SPI bus (ENODEV on the first register access while
// SPI never answered) turns every operation into nothing, for good. On a
// board whose SPI answered, ENODEV says the device was lost: the holder
// lets the descriptor go, and the poll opens the device again, so that the
// lines report once it is back. An outage costs one "try init", not one a
// poll.
//
// Each chip's programming is a wish of the holder: a descriptor carries
// it once the chip took every write on it. Writes the board refused are
// made again by the holder's step, once a second, until the chips took
// them all; the device is back only then, and a line whose chip is not
// programmed is never reported normal.
#pragma once

#include <array>
#include <iosfwd>
#include <string>

#include "board/held.h"
#include "holder/device_holder.h"
#include "runtime/timer.h"
#include "server/control/ctrl_server.h"

class spiCtrl : public CtrlSrv::Service, private Device::Holder::State {
public:
    static constexpr int kLines = 8;
    static constexpr unsigned kPollMs = 1000;

    // Registers of a line chip.
    enum Register { kInit = 48, kEnable = 50, kStatus = 51, kInit2 = 52, kClockMaster = 87 };

    static spiCtrl& instance();

    // Programs the chips at once. The process uses instance(); tests build their own.
    spiCtrl();
    ~spiCtrl() override;
    spiCtrl(const spiCtrl&) = delete;
    spiCtrl& operator=(const spiCtrl&) = delete;

    // Polls while the device is open, or was lost (SPI answered once) and
    // is to be opened again.
    void OnConnect() override;
    void OnDisconnect() override { mPoll.reset(); }
    bool OnCommand(const LGCP::Command&) override { return false; }

    void init_device_and_channels();
    void init_channel(int c);
    void enable_channel(int c);
    void disable_channel(int c);
    // Line master (0..7) drives the bus clock; -1: none does.
    void clock(int master);

    // Whether the board took it.
    bool write(int channel, int reg, int value);
    // The register's value; 0 when it cannot be read.
    int read(int channel, int reg);

    bool polling() const { return mPoll.pending(); }
    // The present descriptor carries the programming of chip c.
    bool programmed(int c) const { return mChips.at(static_cast<size_t>(c)).carried(mHal.present()); }
    void PutHeader(std::ostream& out) const;

    class Scoped;

private:
    void status();
    bool ready() const { return mSpi && mHal.fd() >= 0; }
    // False when the channel is out of range (logged with what).
    bool check_channel(int c, const char* what);
    // Opens the device when needed, then set_line.
    void switch_line(int c, int value, const char* what);
    // The chip's initial registers and its line enabled, on the descriptor
    // as it is; whether the board took them all (the first it refuses ends
    // the chip's turn: the step programs it again whole).
    bool program(int c);
    // The chip's initial registers, up to the first the board refuses.
    bool init_registers(int c);
    // Holder::State: a chip whose programming the present descriptor lacks.
    bool untold(uint64_t present) override;
    void reconcile(Device::Tally& made) override;
    // Register 50 of the line := value, logged as what ("enable",
    // "disable") when the board took it.
    bool set_line(int c, int value, const char* what);
    // Handles a failed register access; true when the descriptor is over
    // (the device has no SPI, or was lost).
    bool ended(int err);
    // The run of a chip's failing reads or writes ("channel 3 write").
    static std::string run(const char* request, int channel);
    // A register access (request "read" or "write") of channel worked.
    void answered(const char* request, int channel);

    Device::Holder mHal;
    Timer mPoll;
    bool mSpi = true;
    // SPI answered once: an ENODEV now is a lost device, not a board
    // without SPI.
    bool mServed = false;
    // "try init" was said and no register access has worked since.
    bool mTrying = false;
    // Set while a line shows its slip bit, so that one slip is reported once.
    std::array<bool, kLines> mSlipLatch{};
    // Each chip's programming, asked of every descriptor.
    std::array<Device::Held<bool>, kLines> mChips;
};

// Makes spiCtrl::instance() return a line control of its own while it
// lives, so a test gets fresh chips on the board it installed.
class spiCtrl::Scoped {
public:
    Scoped();
    ~Scoped();
    Scoped(const Scoped&) = delete;
    Scoped& operator=(const Scoped&) = delete;
    spiCtrl& ctrl() { return mCtrl; }

private:
    spiCtrl mCtrl;
    spiCtrl* mOld;
};
