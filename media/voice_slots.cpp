#include "media/voice_slots.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <sstream>

#include "board/device.h"
#include "media/voice_factory.h"
#include "runtime/ext.h"
#include "runtime/paths.h"

namespace {

ASync::Copy::EventsParams copy_events(int flush)
{
    ASync::Copy::EventsParams e;
    e.src = POLLIN;
    e.dst = POLLOUT;
    e.flush = flush;
    return e;
}

} // namespace

VoiceSlot::VoiceSlot(VoiceFactory& factory, Fd channel, int timeslot)
    : Slot(Hold::descriptor), mFactory(factory), mChannel(std::move(channel)), mTimeslot(timeslot)
{
    HoldChannel(mTimeslot, mChannel);
}

bool VoiceSlot::IBeforeDestroy()
{
    mFactory.forget(this);
    return true;
}

// The slot has no signal for it; a copy under way sees the end too and
// ends by its own rule.
void VoiceSlot::IOnChannelLost(const Device::End& end)
{
    std::cerr << ext::header(this) << "channel lost (" << end.why << ")" << std::endl;
    mTimeslot = -1;
    mChannel.close();
}

void VoiceSlot::PutHeader(std::ostream& out) const
{
    out << GetName() << "[" << mTimeslot << "]: ";
}

// ---------------------------------------------------------- network player

PlaySlotNetwork::PlaySlotNetwork(VoiceFactory& factory, Fd channel, int timeslot, std::string address, uint32_t id)
    : PlaySlotGeneric(factory, std::move(channel), timeslot), mAddress(std::move(address)), mId(id)
{
}

bool PlaySlotNetwork::IOnOutputStream()
{
    if (mState == idle) {
        mState = connecting;
        mConnect.reset(new ASync::Connect);
        mConnect->Bind(&PlaySlotNetwork::OnConnect, this);
        mStarting = true;
        mConnect->Start(mAddress, kConnectTimeoutMs);
        mStarting = false;
    }
    OnChangeOutputStream(true);
    return mTimeslot >= 0;
}

void PlaySlotNetwork::OnConnect(ASync::Connect::Status::Type status, Fd socket)
{
    if (status != ASync::Connect::Status::Connected) {
        std::clog << ext::header(this) << "connection to " << mAddress << " fail." << std::endl;
        if (mStarting)
            mLateRelease.set(0, &PlaySlotNetwork::release, this);
        else
            release();
        return;
    }
    std::clog << ext::header(this) << "connected to " << mAddress << "." << std::endl;
    LGCP::IoctlResponse started;
    started.set_startPlaying();
    OnIoctlResponse(started);
    mState = playing;
    mConnect.reset();
    mCopy.reset(new ASync::Copy);
    mCopy->set_events(copy_events(POLLWRNORM));
    mCopy->Bind(&PlaySlotNetwork::OnPlayComplete, this);
    const unsigned char id[4] = {static_cast<unsigned char>(mId >> 24), static_cast<unsigned char>(mId >> 16),
                                 static_cast<unsigned char>(mId >> 8), static_cast<unsigned char>(mId)};
    (void)::write(socket.get(), id, sizeof(id));
    mCopy->Start(std::move(socket), mChannel);
}

void PlaySlotNetwork::OnPlayComplete(ASync::Copy::Status::Type status)
{
    if (status == ASync::Copy::Status::Completed)
        std::clog << ext::header(this) << "connection to " << mAddress << " closed." << std::endl;
    else
        std::cerr << ext::header(this) << "play failed" << std::endl;
    release();
}

void PlaySlotNetwork::release()
{
    mState = released;
    OnChangeOutputStream(false);
    mCopy.reset();
    mConnect.reset();
    OnAbort(0);
}

// ------------------------------------------------------------- file player

// A name refused here would otherwise fail the connect without a word:
// said once, at the create.
PlaySlotFile::PlaySlotFile(VoiceFactory& factory, Fd channel, int timeslot, const std::vector<std::string>& names,
                           int repeat)
    : PlaySlotGeneric(factory, std::move(channel), timeslot), mRepeat(repeat)
{
    mDelayedAbort.Bind(this, &PlaySlotFile::delayed_abort);
    for (const std::string& name : names) {
        mPrompts.push_back(Prompt{name, prompt_path(name)});
        if (mPrompts.back().path.empty())
            refuse(mPrompts.back(), "prompts are names under " + Paths::resolve(kVoiceDir) +
                                        ", neither absolute nor with \"..\"");
    }
}

void PlaySlotFile::refuse(Prompt& prompt, const std::string& why)
{
    std::cerr << ext::header(this) << "prompt " << ext::quoted(prompt.name) << " skipped: " << why << std::endl;
    prompt.path.clear();
}

// A name is one file of the folder or below it: an absolute name or a ".."
// component would play any file of the machine to a line.
std::string PlaySlotFile::prompt_path(const std::string& name)
{
    if (name.empty() || name[0] == '/')
        return std::string();
    std::istringstream parts(name);
    for (std::string part; std::getline(parts, part, '/');)
        if (part == "..")
            return std::string();
    return Paths::resolve(kVoiceDir + name);
}

bool PlaySlotFile::IOnOutputStream()
{
    if (!mStarted) {
        if (!restart()) {
            mDelayedAbort.Activate();
            return false;
        }
        mStarted = true;
    }
    OnChangeOutputStream(true);
    return mTimeslot >= 0;
}

bool PlaySlotFile::restart()
{
    mNext = 0;
    ++mPass;
    mPassOctets = 0;
    return next_phrase();
}

// Only a regular file ends: a fifo or a device would hold the player on
// it, or give nothing on every pass.
bool PlaySlotFile::next_phrase()
{
    while (mNext < mPrompts.size()) {
        Prompt& prompt = mPrompts[mNext++];
        mFile.close();
        if (prompt.path.empty())
            continue;
        mFile.reset(::open(prompt.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (!mFile)
            continue;
        struct stat st;
        if (::fstat(mFile.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            mFile.close();
            refuse(prompt, "not a regular file");
            continue;
        }
        ::lseek(mFile.get(), 0, SEEK_SET);
        mCopy.reset(new ASync::Copy);
        mCopy->set_bufsize(kBufSize);
        mCopy->set_events(copy_events(POLLWRNORM));
        mCopy->Bind(&PlaySlotFile::OnPlayComplete, this);
        mCopy->Start(mFile, mChannel);
        return true;
    }
    return false;
}

void PlaySlotFile::OnPlayComplete(ASync::Copy::Status::Type status)
{
    if (status != ASync::Copy::Status::Completed)
        return release();
    mPassOctets += mCopy->total();
    if (next_phrase())
        return;
    // Repeat N > 0 plays the list N times; 0 or less without end.
    if (mRepeat > 0 && mRepeat-- == 1)
        return release();
    // Started again, a list that gives nothing would hold the loop for ever.
    if (mPassOctets == 0) {
        std::cerr << ext::header(this) << "pass " << mPass << " of the prompt list moved no octet: play ended"
                  << std::endl;
        return release();
    }
    if (!restart())
        OnAbort(0);
}

void PlaySlotFile::release()
{
    OnChangeOutputStream(false);
    mCopy.reset();
    OnAbort(0);
}

void PlaySlotFile::delayed_abort()
{
    mDelayedAbort.Deactivate();
    OnAbort(0);
}

// ---------------------------------------------------------------- recorder

RecordSlot::RecordSlot(VoiceFactory& factory, Fd channel, int timeslot, std::string address)
    : VoiceSlot(factory, std::move(channel), timeslot), mAddress(std::move(address))
{
}

bool RecordSlot::IOnInputStream()
{
    mConnect.reset(new ASync::Connect);
    mConnect->Bind(&RecordSlot::OnConnect, this);
    mConnect->Start(mAddress, kConnectTimeoutMs);
    return true;
}

void RecordSlot::OnConnect(ASync::Connect::Status::Type status, Fd socket)
{
    if (status != ASync::Connect::Status::Connected) {
        std::clog << ext::header(this) << "connection to " << mAddress << " fail." << std::endl;
        return StopRecording(LGCP::StopRecordingCause::connectionFail);
    }
    std::clog << ext::header(this) << "connected to " << mAddress << "." << std::endl;
    mConnect.reset();
    mCopy.reset(new ASync::Copy);
    mCopy->set_events(copy_events(0));
    mCopy->Bind(&RecordSlot::OnRecordComplete, this);
    mCopy->Start(mChannel, std::move(socket));
}

void RecordSlot::OnRecordComplete(ASync::Copy::Status::Type status)
{
    if (status != ASync::Copy::Status::Completed) {
        std::cerr << ext::header(this) << "record aborted" << std::endl;
        return StopRecording(LGCP::StopRecordingCause::connectionAborted);
    }
    std::clog << ext::header(this) << "connection to " << mAddress << " closed." << std::endl;
    StopRecording(LGCP::StopRecordingCause::userRequest);
}

void RecordSlot::StopRecording(LGCP::StopRecordingCause::NamedNumber cause)
{
    mCopy.reset();
    mConnect.reset();
    LGCP::IoctlResponse stopped;
    stopped.set_stopRecording(cause);
    OnIoctlResponse(stopped);
}
