#include "media/voice_factory.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "board/device.h"
#include "board/mcc_requests.h"
#include "media/voice_slots.h"
#include "runtime/ext.h"

using namespace Device::Mcc;

std::string dhost2str(TERM::HostAddress const& host)
{
    return std::string(host.get_iaddr()) + ":" + std::to_string(host.get_port().getValue());
}

VoiceFactory& VoiceFactory::instance()
{
    static VoiceFactory factory;
    return factory;
}

void VoiceFactory::PutHeader(std::ostream& out) const
{
    out << "voice/mcc" << "[" << 0 << "]: ";
}

Slot* VoiceFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_voice())
        return nullptr;
    const LGCP::VoiceParams& voice = params.get_voice();
    if (voice.is_record())
        return CreateRecord(dhost2str(voice.get_record()));
    if (voice.is_player())
        return CreatePlay(voice.get_player());
    return nullptr;
}

bool VoiceFactory::OpenChannel(bool play, Fd& channel, int& timeslot)
{
    channel.reset(Device::open(kDevice, (play ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_CLOEXEC));
    if (!channel) {
        std::cerr << ext::header(this) << "fail to open /dev/mcc/ctl device for " << (play ? "writing" : "reading")
                  << ": " << std::strerror(errno) << std::endl;
        return false;
    }
    // Transparent; a player's channel sends, a recorder's receives.
    Allocation record{kTransparent, 1024, 0, play ? 0u : 5u, play ? 5u : 0u};
    if (Device::ioctl(channel.get(), MCC_ALLOCATE, &record) < 0) {
        std::cerr << ext::header(this) << "MCC_ALLOCATE fail: " << std::strerror(errno) << std::endl;
        channel.close();
        return false;
    }
    timeslot = Device::ioctl(channel.get(), MCC_TIMESLOT);
    if (timeslot < 0) {
        std::cerr << ext::header(this) << "MCC_TIMESLOT request failed." << std::endl;
        channel.close();
        return false;
    }
    return true;
}

Slot* VoiceFactory::CreateRecord(std::string const& address)
{
    Fd channel;
    int timeslot = -1;
    if (!OpenChannel(false, channel, timeslot))
        return nullptr;
    Slot* slot = new RecordSlot(*this, std::move(channel), timeslot, address);
    mRecorders.push_back(slot);
    return slot;
}

Slot* VoiceFactory::CreatePlay(LGCP::PlayerParams const& params)
{
    if (!params.is_network() && !params.is_file())
        return nullptr;
    Fd channel;
    int timeslot = -1;
    if (!OpenChannel(true, channel, timeslot))
        return nullptr;
    Slot* slot = nullptr;
    if (params.is_network()) {
        const LGCP::PlayerParams_network& n = params.get_network();
        slot = new PlaySlotNetwork(*this, std::move(channel), timeslot, dhost2str(n.get_host()),
                                   static_cast<uint32_t>(n.get_id().getValue()));
    } else {
        const LGCP::PlayerParams_file& f = params.get_file();
        std::vector<std::string> names;
        for (auto it = f.get_name().begin(); it != f.get_name().end(); ++it)
            names.push_back(*it);
        slot = new PlaySlotFile(*this, std::move(channel), timeslot, names, f.get_repeat().getValue());
    }
    mPlayers.push_back(slot);
    return slot;
}

void VoiceFactory::forget(Slot* slot)
{
    mPlayers.remove(slot);
    mRecorders.remove(slot);
}
