// "/dev/mctl" of the simulated board: the DSP modem driver, with 4 modems
// unless a test sets another count. Each descriptor can allocate one modem,
// the lowest free one (EBUSY when none is); the modem is freed at the last
// close of that descriptor. Modem N sits on switch time slot 3072 + N. The
// records {N, ...} are checked against the descriptor's modem (EINVAL) and
// what they set is kept. Enumeration walks the modems present.
//
// "/dev/mdm" + N: the data device of modem N. It opens only while the modem
// is allocated (ENXIO) and present (ENODEV).
//
// The board's generic-HDLC network interfaces (default hdlc0 and hdlc1,
// point-to-point) answer the interface requests that reach the board on
// an ordinary socket: index, flags, and SIOCWANDEV for the channel word
// and the protocol. Requests naming any other interface go to the kernel.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "board/modem_requests.h"
#include "simboard/board.h"

namespace SimBoard {

class ModemControl : public Model {
public:
    static constexpr int32_t kFirstTimeslot = 3072;
    static constexpr int kMaxModems = 8;
    enum class Mode { idle, answer, originate, fax };

    struct State {
        Channel* holder = nullptr;
        uint32_t ddm = 0;
        bool ddmSet = false;
        std::map<int32_t, int32_t> params;
        unsigned resets = 0;
        Mode mode = Mode::idle;
    };

    ModemControl();

    // Modems present, 0..kMaxModems.
    void set_modems(int count);
    int modems() const { return mCount; }
    // The modem, null when it is not allocated.
    const State* allocated(int32_t modem) const;
    size_t in_use() const;

    void closed(Channel& channel) override;
    void port_commands(TestPort& port) override;

private:
    int allocate(Channel& channel);
    // The descriptor's modem when the record names it, else null.
    State* named(Channel& channel, int32_t modem);
    int command(Call& c, Mode mode);

    int mCount = 4;
    std::map<int32_t, State> mInUse;
};

class ModemData : public Model {
public:
    ModemData(const ModemControl& control, int32_t modem) : mControl(control), mModem(modem) {}
    int open(Channel&) override;
    bool watches_closes() const override { return false; }

private:
    const ModemControl& mControl;
    int32_t mModem;
};

class NetInterfaces {
public:
    static constexpr int32_t kFirstChannel = 6144;

    struct Interface {
        int32_t index = 0;
        int16_t flags = 0;
        int32_t channel = -1;
        uint32_t protocol = Device::NetIf::kProtoHdlc;
        Device::NetIf::RawHdlc hdlc{};
    };

    // hdlc0 and hdlc1, point-to-point.
    NetInterfaces();

    // Adds (or replaces) an interface; its channel is kFirstChannel + index.
    void add(const std::string& name, int16_t flags);
    void remove(const std::string& name);
    const Interface* find(const std::string& name) const;

    // Whether the request is an interface request naming one of these.
    bool serves(unsigned long request, const void* arg) const;
    // The result, or minus an errno.
    int ioctl(unsigned long request, void* arg);

private:
    std::map<std::string, Interface> mInterfaces;
    int32_t mNextIndex = 100;
};

} // namespace SimBoard
