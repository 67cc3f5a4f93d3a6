#include "simboard/modem.h"

#include <cerrno>
#include <cstring>

#include "simboard/test_port.h"

namespace SimBoard {

using namespace Device::Modem;
namespace If = Device::NetIf;

// ------------------------------------------------------------ ModemControl

ModemControl::ModemControl()
{
    handle(MDM_ALLOCATE, [this](Call& c) { return allocate(c.channel); }, Arg::value);
    handle(MDM_TIMESLOT, [this](Call& c) {
        for (auto& m : mInUse)
            if (m.second.holder == &c.channel)
                return kFirstTimeslot + m.first;
        return -EINVAL;
    }, Arg::value);
    handle(MDM_ENUMERATE, [this](Call& c) {
        int32_t next = static_cast<int32_t>(c.value()) + 1;
        return next >= 0 && next < mCount ? next : -ENODEV;
    }, Arg::value);
    handle(MDM_SET_DDM, [this](Call& c) {
        const Ddm& r = c.record<Ddm>();
        State* s = named(c.channel, r.modem);
        if (!s || r.mask > (kDdmV110 | kDdm8Bit | kDdm7Bit))
            return -EINVAL;
        s->ddm = r.mask;
        s->ddmSet = true;
        return 0;
    }, Arg::record, sizeof(Ddm));
    handle(MDM_RESET_PARAMS, [this](Call& c) {
        const Command& r = c.record<Command>();
        State* s = named(c.channel, r.modem);
        if (!s || r.unused != -1)
            return -EINVAL;
        s->params.clear();
        ++s->resets;
        return 0;
    }, Arg::record, sizeof(Command));
    handle(MDM_SET_PARAM, [this](Call& c) {
        const Param& r = c.record<Param>();
        State* s = named(c.channel, r.modem);
        if (!s || r.offset < 0)
            return -EINVAL;
        s->params[r.offset] = r.value;
        return 0;
    }, Arg::record, sizeof(Param));
    handle(MDM_ANSWER, [this](Call& c) { return command(c, Mode::answer); }, Arg::record, sizeof(Command));
    handle(MDM_ORIGINATE, [this](Call& c) { return command(c, Mode::originate); }, Arg::record, sizeof(Command));
    handle(MDM_FAX_ORIGINATE, [this](Call& c) { return command(c, Mode::fax); }, Arg::record, sizeof(Command));
}

int ModemControl::allocate(Channel& channel)
{
    for (auto& m : mInUse)
        if (m.second.holder == &channel)
            return -EBUSY;
    for (int32_t n = 0; n < mCount; ++n)
        if (!mInUse.count(n)) {
            mInUse[n].holder = &channel;
            return n;
        }
    return -EBUSY;
}

ModemControl::State* ModemControl::named(Channel& channel, int32_t modem)
{
    auto it = mInUse.find(modem);
    return it != mInUse.end() && it->second.holder == &channel ? &it->second : nullptr;
}

int ModemControl::command(Call& c, Mode mode)
{
    const Command& r = c.record<Command>();
    State* s = named(c.channel, r.modem);
    if (!s || r.unused != -1)
        return -EINVAL;
    s->mode = mode;
    return 0;
}

void ModemControl::set_modems(int count)
{
    mCount = count < 0 ? 0 : count > kMaxModems ? kMaxModems : count;
}

const ModemControl::State* ModemControl::allocated(int32_t modem) const
{
    sweep();
    auto it = mInUse.find(modem);
    return it == mInUse.end() ? nullptr : &it->second;
}

size_t ModemControl::in_use() const
{
    sweep();
    return mInUse.size();
}

void ModemControl::closed(Channel& channel)
{
    for (auto it = mInUse.begin(); it != mInUse.end(); ++it)
        if (it->second.holder == &channel) {
            mInUse.erase(it);
            return;
        }
}

void ModemControl::port_commands(TestPort& port)
{
    port.add("modems", 1, "<count>", [this](const TestPort::Args& a) {
        int32_t n = 0;
        if (!TestPort::number(a[0], n) || n < 0 || n > kMaxModems)
            return TestPort::error("bad count " + a[0]);
        set_modems(n);
        return TestPort::ok();
    });
}

int ModemData::open(Channel&)
{
    if (mModem >= mControl.modems())
        return ENODEV;
    return mControl.allocated(mModem) ? 0 : ENXIO;
}

// ----------------------------------------------------------- NetInterfaces

NetInterfaces::NetInterfaces()
{
    add("hdlc0", If::kPointToPoint);
    add("hdlc1", If::kPointToPoint);
}

void NetInterfaces::add(const std::string& name, int16_t flags)
{
    Interface i;
    auto old = mInterfaces.find(name);
    i.index = old != mInterfaces.end() ? old->second.index : mNextIndex++;
    i.flags = flags;
    i.channel = kFirstChannel + i.index;
    mInterfaces[name] = i;
}

void NetInterfaces::remove(const std::string& name)
{
    mInterfaces.erase(name);
}

const NetInterfaces::Interface* NetInterfaces::find(const std::string& name) const
{
    auto it = mInterfaces.find(name);
    return it == mInterfaces.end() ? nullptr : &it->second;
}

namespace {
std::string name_of(const void* arg)
{
    const char* name = static_cast<const If::Request*>(arg)->name;
    return std::string(name, strnlen(name, If::kNameSize));
}
} // namespace

bool NetInterfaces::serves(unsigned long request, const void* arg) const
{
    if (request != If::kGetIndex && request != If::kGetFlags && request != If::kSetFlags &&
        request != If::kWanDev)
        return false;
    return arg && mInterfaces.count(name_of(arg));
}

int NetInterfaces::ioctl(unsigned long request, void* arg)
{
    If::Request& r = *static_cast<If::Request*>(arg);
    Interface& i = mInterfaces.at(name_of(arg));
    switch (request) {
    case If::kGetIndex:
        r.index = i.index;
        return 0;
    case If::kGetFlags:
        r.flags = i.flags;
        return 0;
    case If::kSetFlags:
        i.flags = r.flags;
        return 0;
    default:
        break;
    }
    If::Settings& s = r.settings;
    switch (s.type) {
    case If::kGetIface:
        if (s.size < If::kIfaceSize || !s.buffer)
            return -ENOBUFS;
        std::memset(s.buffer, 0, If::kIfaceSize);
        std::memcpy(static_cast<char*>(s.buffer) + If::kChannelOffset, &i.channel, sizeof(i.channel));
        return 0;
    case If::kProtoHdlc:
    case If::kProtoPpp:
        // As the kernel: the protocol of a running interface stays.
        if (i.flags & If::kUp)
            return -EBUSY;
        if (s.type == If::kProtoHdlc) {
            if (!s.buffer || s.size < sizeof(If::RawHdlc))
                return -EINVAL;
            std::memcpy(&i.hdlc, s.buffer, sizeof(i.hdlc));
        }
        i.protocol = s.type;
        return 0;
    default:
        return -EINVAL;
    }
}

} // namespace SimBoard
