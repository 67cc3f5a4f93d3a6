// Factories of the media and radio slot kinds, which this build
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

class ModemFactory : public IdleFactory {
public:
    ModemFactory() : IdleFactory("Modem") {}
};

class T38SoftFactory : public IdleFactory {
public:
    T38SoftFactory() : IdleFactory("T.38 soft") {}
};
