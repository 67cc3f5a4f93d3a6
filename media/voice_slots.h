// Voice slots: raw voice between a transparent channel of the multichannel
// controller (bound to a switch time slot) and a byte stream. A network
// player copies a TCP peer's stream into the channel, a file player copies
// prompt files under "/usr/local/voice/", a recorder copies the channel to
// a TCP peer. Everything moves in the loop through ASync::Copy and
// ASync::Connect; nothing blocks.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "runtime/async_connect.h"
#include "runtime/async_copy.h"
#include "runtime/fd.h"
#include "runtime/multiplexer.h"
#include "runtime/timer.h"
#include "server/slots/slot.h"

class VoiceFactory;

class VoiceSlot : public Slot {
public:
    // The channel is watched for its end from now on.
    VoiceSlot(VoiceFactory& factory, Fd channel, int timeslot);
    // Leaves the factory's list.
    bool IBeforeDestroy() override;
    void PutHeader(std::ostream& out) const;
    // -1 once the channel is over.
    int timeslot() const { return mTimeslot; }

protected:
    static constexpr unsigned kConnectTimeoutMs = 5000;

    VoiceFactory& mFactory;
    Fd mChannel;
    int mTimeslot;

    // The channel hung up or failed: the driver has its time slot back.
    void IOnChannelLost(const Device::End& end) override;
};

class PlaySlotGeneric : public VoiceSlot {
public:
    using VoiceSlot::VoiceSlot;
    int IGetTransmitChannel() override { return mTimeslot; }
    const char* GetName() const override { return "player"; }
};

class PlaySlotNetwork : public PlaySlotGeneric {
public:
    enum State { idle = 0, connecting = 1, playing = 2, released = 3 };

    PlaySlotNetwork(VoiceFactory& factory, Fd channel, int timeslot, std::string address, uint32_t id);
    bool IOnOutputStream() override;
    State state() const { return mState; }

private:
    void OnConnect(ASync::Connect::Status::Type status, Fd socket);
    void OnPlayComplete(ASync::Copy::Status::Type status);
    void release();

    std::string mAddress;
    uint32_t mId;
    State mState = idle;
    // A connection refused inside its start is released on the next turn:
    // the controller's connect is still under way then.
    bool mStarting = false;
    Timer mLateRelease;
    std::unique_ptr<ASync::Copy> mCopy;
    std::unique_ptr<ASync::Connect> mConnect;
};

class PlaySlotFile : public PlaySlotGeneric {
public:
    static constexpr unsigned kBufSize = 8192;

    static constexpr const char* kVoiceDir = "/usr/local/voice/";

    PlaySlotFile(VoiceFactory& factory, Fd channel, int timeslot, const std::vector<std::string>& names, int repeat);
    bool IOnOutputStream() override;
    // kVoiceDir + name resolved, "" for a name that would leave the folder.
    static std::string prompt_path(const std::string& name);

private:
    struct Prompt {
        std::string name;
        std::string path; // "" once the name is refused
    };

    bool restart();
    bool next_phrase();
    // The prompt is played no more, said once.
    void refuse(Prompt& prompt, const std::string& why);
    void OnPlayComplete(ASync::Copy::Status::Type status);
    void release();
    void delayed_abort();

    std::unique_ptr<ASync::Copy> mCopy;
    Fd mFile;
    int mRepeat;
    bool mStarted = false;
    Dpc mDelayedAbort;
    std::vector<Prompt> mPrompts;
    size_t mNext = 0;
    // Passes of the list begun, and octets the current one moved.
    unsigned mPass = 0;
    uint64_t mPassOctets = 0;
};

class RecordSlot : public VoiceSlot {
public:
    RecordSlot(VoiceFactory& factory, Fd channel, int timeslot, std::string address);
    void IAfterCreate() override { OnChangeInputStream(true); }
    bool IOnInputStream() override;
    int IGetReceiveChannel() override { return mTimeslot; }
    const char* GetName() const override { return "recorder"; }

private:
    void OnConnect(ASync::Connect::Status::Type status, Fd socket);
    void OnRecordComplete(ASync::Copy::Status::Type status);
    void StopRecording(LGCP::StopRecordingCause::NamedNumber cause);

    std::string mAddress;
    std::unique_ptr<ASync::Copy> mCopy;
    std::unique_ptr<ASync::Connect> mConnect;
};
