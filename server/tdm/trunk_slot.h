// Time slots of the E1 trunks and channels of the BRI lines on the local
// TDM bus. Such a slot is nothing but its switch channel: it announces both
// streams as soon as it exists and is joined by the default switch
// operations. One factory serves each trunk or line and keeps one slot per
// time slot; asking again for a time slot in use replaces the old slot.
//
// The factories are global objects, registered before main runs, so they
// are the last ones the slot table asks.
#pragma once

#include <array>

#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"

class TrunkFactory;

class TrunkSlot : public Slot {
public:
    explicit TrunkSlot(int channel) : Slot(Hold::fixed), channel(channel) {}
    ~TrunkSlot() override;

    int GetTrunk() override { return channel >> 5; }
    int GetTrunkTimeSlot() override { return GetTimeSlot(); }
    void IAfterCreate() override;
    bool IBeforeDestroy() override;
    bool IOnOutputStream() override { return true; }
    bool IOnInputStream() override { return true; }
    int IGetTransmitChannel() override { return channel; }
    int IGetReceiveChannel() override { return channel; }
    const char* GetName() const override { return "trunk"; }
    virtual int GetTimeSlot() { return channel & 31; }

    TrunkFactory* GetSlotFactory() const;

    // Switch channel: the factory's base channel + time slot.
    const int channel;
};

class TrunkBRISlot : public virtual TrunkSlot {
public:
    explicit TrunkBRISlot(int channel) : TrunkSlot(channel) {}
    int GetTrunk() override { return channel >> 2; }
    const char* GetName() const override { return "trunkBRI"; }
    int GetTimeSlot() override { return channel & 3; }
};

class TrunkFactory : public SlotFactory {
public:
    static constexpr unsigned kTimeSlots = 32;

    TrunkFactory(unsigned trunk, unsigned base);

    const char* GetName() const override { return "Trunks"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
    void Query(LGCP::Resources&) override {}
    // Frees the time slot that the slot holds.
    virtual void ReleaseTrunkSlot(TrunkSlot* slot);

    unsigned trunk() const { return mTrunk; }
    unsigned base() const { return mBase; }
    // The slot on a time slot, null when free.
    TrunkSlot* at(unsigned timeSlot) const { return timeSlot < kTimeSlots ? mSlots[timeSlot] : nullptr; }

protected:
    // The time slot asked for when the request is for this trunk and within
    // its first `timeSlots` time slots, with the old slot on it destroyed;
    // -1 otherwise.
    int Claim(LGCP::TrunkParams const& params, unsigned timeSlots);
    TrunkSlot* Keep(int timeSlot, TrunkSlot* slot);

private:
    std::array<TrunkSlot*, kTimeSlots> mSlots{};
    unsigned mTrunk;
    unsigned mBase;
};

class TrunkBRIFactory : public virtual TrunkFactory {
public:
    static constexpr unsigned kChannels = 4;

    explicit TrunkBRIFactory(unsigned line) : TrunkFactory(line, kChannels * line) {}

    const char* GetName() const override { return "TrunksBRI"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
};

// Trunks 0..3 on channels 32 * trunk + time slot; BRI lines 0..7 on
// channels 4 * line + channel (the same switch numbers as trunk 0).
extern TrunkFactory trunk0, trunk1, trunk2, trunk3;
extern TrunkBRIFactory trunk_bri0, trunk_bri1, trunk_bri2, trunk_bri3, trunk_bri4, trunk_bri5, trunk_bri6,
    trunk_bri7;
