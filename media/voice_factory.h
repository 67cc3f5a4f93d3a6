// The factory of the voice slots: players and recorders on transparent
// channels of the multichannel controller. It reports no resources.
#pragma once

#include <iosfwd>
#include <list>
#include <string>

#include "runtime/fd.h"
#include "server/slots/slot_factory.h"

class Slot;

// "a.b.c.d:port", the form ASync::Connect takes.
std::string dhost2str(TERM::HostAddress const& host);

class VoiceFactory : public SlotFactory {
public:
    static VoiceFactory& instance();
    VoiceFactory() = default;

    const char* GetName() const override { return "Voice/mcc"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources&) override {}

    Slot* CreateRecord(std::string const& address);
    Slot* CreatePlay(LGCP::PlayerParams const& params);
    void forget(Slot* slot);

    const std::list<Slot*>& players() const { return mPlayers; }
    const std::list<Slot*>& recorders() const { return mRecorders; }
    void PutHeader(std::ostream& out) const;

private:
    // A transparent channel for playing (write side) or recording.
    bool OpenChannel(bool play, Fd& channel, int& timeslot);

    std::list<Slot*> mRecorders;
    std::list<Slot*> mPlayers;
};
