// Factories of the signalling, media and radio slot kinds, which this build
// does not make yet. Each registers like any factory and makes no slot, so
// the controller's creation of such a kind is answered insufficientResources
// and the resources report carries nothing of it.
#pragma once

#include "server/slots/slot_factory.h"

class IdleFactory : public SlotFactory {
public:
    explicit IdleFactory(const char* name) : mName(name) {}
    const char* GetName() const override { return mName; }
    Slot* INewSlot(LGCP::CreateParams const&) override { return nullptr; }
    void Query(LGCP::Resources&) override {}

private:
    const char* mName;
};

class PstnFactory : public IdleFactory {
public:
    PstnFactory() : IdleFactory("PSTN") {}
};

class IsdnFactory : public IdleFactory {
public:
    IsdnFactory() : IdleFactory("ISDN") {}
};

class HdlcSlotFactory : public IdleFactory {
public:
    HdlcSlotFactory() : IdleFactory("HdlcSlotFactory") {}
};

namespace Mixer {
class MixerFactory : public IdleFactory {
public:
    MixerFactory() : IdleFactory("Mixer") {}
};
} // namespace Mixer

class VoiceFactory : public IdleFactory {
public:
    VoiceFactory() : IdleFactory("Voice/mcc") {}
};

class RtpED137Factory : public IdleFactory {
public:
    RtpED137Factory() : IdleFactory("RTP Ext ED137") {}
};
