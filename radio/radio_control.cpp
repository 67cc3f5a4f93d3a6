#include "radio/radio_control.h"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <list>

#include "board/device.h"
#include "board/watched_device.h"
#include "media/device_paths.h"
#include "runtime/mux_time.h"
#include "runtime/net.h"

namespace RTPSignalling {

using namespace Device::RtpExt;

namespace {
// The run of holding sessions that end.
const char kHoldingEnds[] = "holding rtp_ext session";
} // namespace

const char* GetRtpExtDevName()
{
    return ::GetRtpExtDevName();
}

RadioControl::RadioControl(int channel, rtp_ext_attach_session_params const& attach, rtp_ext_init_params const& init)
    : mType(attach_ext), mExtAttach(attach), mInit(init), mChannel(static_cast<unsigned long>(channel))
{
    Init(attach_ext);
}

RadioControl::RadioControl(rtp_ext_init_params const& init) : mType(ext_only), mInit(init)
{
    Init(ext_only);
}

RadioControl::RadioControl(int channel, Fd rtp, rtp_attach_session_params const& attach)
    : mType(attach_rtp), mRtp(std::move(rtp)), mRtpAttach(attach), mChannel(static_cast<unsigned long>(channel))
{
    Init(attach_rtp);
}

RadioControl::~RadioControl()
{
    mAccess.detach(*this);
    mAccess.close();
}

// No device of its own to open: the sessions are the control's, the
// holder keeps the step and its retry.
Device::Holder::Setup RadioControl::AccessSetup()
{
    Device::Holder::Setup setup(nullptr, 0, "");
    setup.transient = true;
    return setup;
}

void RadioControl::Init(RadioControlType type)
{
    mType = type;
    mLastTick = Mux::milliseconds();
    mInterval = 1000;
    mAccess.attach(*this);
    // Bound once: a holding session that ends is replaced from inside
    // this handler.
    mHoldingEvent.Bind("RadioControl::OnHoldingEvent", &RadioControl::OnHoldingEvent, this);
    mNotify = nullptr;
    mTimerEnabled = false;
    mTrace = false;
    RtpExtStart(true);
    std::list<INet4::Addr> found;
    Net::ifconfig(found, Net::if_private);
    mOwn.Reset();
    if (!found.empty())
        mOwn = found.front();
    else
        mOwn.Assign("127.0.0.1", nullptr);
}

bool RadioControl::Fail(const char* text, bool holding)
{
    mStartError = errno;
    if (!holding || mAccess.runs().failed("holding session", mStartError))
        std::cerr << GetPrefix() << text << std::endl;
    return false;
}

bool RadioControl::RtpExtStart(bool open)
{
    bool started = false;
    switch (mType) {
    case attach_ext:
        started = StartExt(true);
        break;
    case attach_rtp:
        started = Device::ioctl(mRtp.get(), Device::Rtp::RTP_ATTACH_SESSION, &mRtpAttach) >= 0 ||
                  Fail("attach rtp session fail !!!");
        break;
    case ext_only:
        if (!open)
            return true;
        started = StartExt(false);
        break;
    }
    if (!started)
        return false;
    // A session that comes back after a loss has its status cycle again.
    mLost = false;
    if (mTimerEnabled && !mTimer.pending())
        SetTimer(mInterval);
    return true;
}

bool RadioControl::OpenSession(bool attach, Fd& session, bool holding)
{
    // Non-blocking: the receive path reads until the driver has nothing.
    Fd dev(Device::open(GetRtpExtDevName(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!dev)
        return Fail("create rtp_ext session fail !!!", holding);
    rtp_ext_init_params init = mInit;
    if (Device::ioctl(dev.get(), RTP_EXT_INIT, &init) < 0)
        return Fail("init rtp_ext session fail !!!", holding);
    rtp_ext_attach_session_params rtp = mExtAttach;
    if (attach && Device::ioctl(dev.get(), RTP_EXT_ATTACH, &rtp) < 0)
        return Fail("attach rtp_ext session fail !!!", holding);
    session = std::move(dev);
    return true;
}

bool RadioControl::StartExt(bool attach)
{
    Fd dev;
    if (!OpenSession(attach, dev))
        return false;
    mExtEvent.Release();
    mExt = std::move(dev);
    mStopped = false;
    mExtEvent.Bind("RadioControl::OnRtpExtEvent", &RadioControl::OnExtEvent, this);
    mExtEvent.Schedule(mExt, POLLIN);
    // A new session admits everybody: the step puts the owner's filter on
    // it, and the holding session goes.
    SessionsChanged();
    return true;
}

bool RadioControl::RtpExtStop()
{
    if (mType == attach_rtp) {
        // Our copy would keep the slot's old session, and its port, alive
        // across a restart.
        mRtp.close();
        return true;
    }
    if (mType != attach_ext)
        return true;
    if (mExt && Device::ioctl(mExt.get(), RTP_EXT_DETACH, &mExtAttach) < 0)
        std::cerr << GetPrefix() << "detach rtp_ext session fail !!!" << std::endl;
    mExt.close();
    mExtEvent.Release();
    mStopped = true;
    SessionsChanged();
    return true;
}

bool RadioControl::Restart(const Fd& rtp)
{
    // The restart gave the slot's session a new descriptor.
    if (mType == attach_rtp)
        mRtp = rtp;
    else if (mType == attach_ext && (mExtAttach.pid_rtp == -1 || mExtAttach.pid_rtp == ::getpid()))
        mExtAttach.fd_rtp = rtp.get();
    // The slot's session is back: one that fails to follow it is lost,
    // and its owner's filter held meanwhile.
    mStopped = false;
    if (RtpExtStart(false))
        return true;
    Lose(mStartError);
    return false;
}

void RadioControl::OnExtEvent(int fd, short revents)
{
    mReadEnd = Device::End();
    mCapped = false;
    OnRtpExtEvent(fd, revents);
    if (mCapped)
        return;
    Device::End end = mReadEnd ? mReadEnd : Device::poll_end(revents);
    if (end && mExtEvent.fd)
        Lost(end);
}

void RadioControl::Lost(const Device::End& end)
{
    std::cerr << GetPrefix() << "fail to read from rtp_ext: " << end.why << std::endl;
    Lose(end.error);
}

// The session is gone: nothing can be received or sent on it, so the
// status cycle stops too (the ED-137 supervision would report the partner
// lost on every tick). The slot hears of it once, however often a restart
// fails to bring it back.
void RadioControl::Lose(int error)
{
    mExtEvent.Release();
    mExt.close();
    mTimer.reset();
    // The owner's filter went with the session: the step holds it.
    SessionsChanged();
    if (mLost)
        return;
    mLost = true;
    if (mNotify)
        mNotify->RadioControlNotify(error);
}

void RadioControl::SetTimerEnable(bool on)
{
    mTimerEnabled = on;
    if (on)
        SetTimer(mInterval);
    else
        mTimer.reset();
}

void RadioControl::SetTimer(unsigned long ms)
{
    mTimer.set(static_cast<unsigned>(ms), &RadioControl::OnProcessStatus, this);
}

void RadioControl::OnProcessStatus(Timer*)
{
    unsigned long interval = mInterval;
    uint32_t now = Mux::milliseconds();
    mLastTick = now;
    SetTimer(ProcessRadioStatus(now, interval));
}

uint32_t RadioControl::elapsed(uint32_t now, uint32_t t)
{
    int32_t d = static_cast<int32_t>(now - t);
    return d > 0 ? static_cast<uint32_t>(d) : 0;
}

Device::Outcome RadioControl::UpdateAccess(bool ptt, in_addr const& owner)
{
    // The filter is the extension driver's: a control without a session of
    // its own has none to keep.
    if (mType == attach_rtp)
        return mAccessOutcome = Device::Outcome::made;
    // Nobody known holds the radio: a filter for 0.0.0.0 would admit nobody.
    uint32_t want = ptt ? owner.s_addr : 0;
    if (want != mOwner)
        mGivenUp = 0;
    mOwner = want;
    Hold(want);
    mAccessOutcome = TellWanted();
    // Whatever it left untold, the retry tells.
    mAccess.changed();
    return mAccessOutcome;
}

void RadioControl::SessionsChanged()
{
    mSessions.renew();
    mGivenUp = 0;
    mAccess.changed();
    mAccess.device();
}

uint32_t RadioControl::carried() const
{
    uint64_t now = filter_session();
    return now != 0 && now == mToldSession ? mTold : 0;
}

bool RadioControl::HoldingWanted(uint32_t want) const
{
    return want != 0 && mType == attach_ext && !mExt && !mStopped;
}

bool RadioControl::untold(uint64_t)
{
    if (HoldingWanted(mOwner) != static_cast<bool>(mHolding))
        return true;
    uint64_t now = filter_session();
    return now != 0 && now != mGivenUp && carried() != mOwner;
}

void RadioControl::reconcile(Device::Tally&)
{
    Hold(mOwner);
    uint64_t now = filter_session();
    if (now != 0 && now != mGivenUp && TellWanted() == Device::Outcome::invalid)
        mGivenUp = now;
}

Device::Outcome RadioControl::TellWanted()
{
    if (carried() == mOwner)
        return Device::Outcome::made;
    Device::Ask ask = mOwner ? Device::Ask::on : Device::Ask::off;
    Device::Answer answer = filter_fd() < 0 ? Device::Answer::absent : TellFilter(mOwner);
    return Device::decide(Device::Policy::held, ask, answer).outcome;
}

// The driver keeps the filter with its session, so a lost session took
// the owner's with it, and nothing else keeps the other senders' voice
// from the line. A session of its own, attached and never read, holds it
// until the radio is released or its own session is back; watched, so
// that its end is one more thing the step makes again.
void RadioControl::Hold(uint32_t want)
{
    if (!HoldingWanted(want)) {
        CloseHolding();
        HoldingKept();
        return;
    }
    if (mHolding)
        return;
    Fd session;
    if (!OpenSession(true, session, true))
        return;
    mAccess.runs().succeeded("holding session");
    mHolding = std::move(session);
    mHoldingLasts.set(Device::Holder::kRetryMs, &RadioControl::HoldingKept, this);
    mSessions.renew();
    // Never read: only its end is of interest.
    mHoldingEvent.Schedule(mHolding, 0);
}

void RadioControl::CloseHolding()
{
    mHoldingEvent.Release();
    mHoldingLasts.reset();
    if (!mHolding)
        return;
    mHolding.close();
    if (!mExt)
        mSessions.renew();
}

void RadioControl::OnHoldingEvent(int, short revents)
{
    Device::End end = Device::poll_end(revents);
    if (!end || !mHolding)
        return;
    // A board that ends every new session ends one each second for as
    // long as it lasts: one line a run, counted when one lasts again.
    if (mAccess.runs().failed(kHoldingEnds, end.error))
        std::cerr << GetPrefix() << "holding rtp_ext session lost: " << end.why << std::endl;
    // One that carried the owner's filter is replaced at once, as the
    // radio's own session is: until then every sender's voice reaches the
    // line. One that never carried it waits for the retry, and so does one
    // that ends within a retry's time after a replacement made at once, so
    // that a device which ends each new session, carried or not, cannot
    // keep the loop turning: it is asked once a second.
    bool atOnce = mOwner != 0 && carried() == mOwner && !mReplacedAtOnce;
    CloseHolding();
    mAccess.changed();
    if (atOnce) {
        mReplacedAtOnce = true;
        mAccess.device();
    }
}

void RadioControl::HoldingKept()
{
    mReplacedAtOnce = false;
    mAccess.runs().succeeded(kHoldingEnds);
}

Device::Answer RadioControl::TellFilter(uint32_t owner)
{
    rtp_ext_filter f = {owner, 0};
    int r = owner ? Device::ioctl(filter_fd(), RTP_EXT_SET_FILTER, &f)
                  : Device::ioctl(filter_fd(), RTP_EXT_RESET_FILTER, &f);
    if (r >= 0) {
        mToldSession = filter_session();
        mTold = owner;
        mAccess.runs().succeeded("filter");
        return Device::Answer::took;
    }
    int error = errno;
    if (mAccess.runs().failed("filter", error))
        std::cerr << GetPrefix() << (owner ? "set filer rtp_ext session fail !!!" : "reset filer rtp_ext session fail !!!")
                  << std::endl;
    return error == EINVAL ? Device::Answer::invalid : Device::Answer::refused;
}

ssize_t RadioControl::ReadPayload(unsigned char* buf, size_t size)
{
    // A driver that never runs dry cannot keep the loop here: what is left
    // is read on the next pass.
    if (mReads++ >= Device::kReadsPerPass) {
        mReads = 0;
        mCapped = true;
        return -1;
    }
    mSource = rtp_ext_source();
    int r = Device::ioctl(mExt.get(), RTP_EXT_SOURCE, &mSource);
    if (r > 0)
        ++mCounters.sources;
    else if (r < 0)
        mSource = rtp_ext_source(), mCounters.source_errno = errno;
    ssize_t n = Device::read(mExt.get(), buf, size);
    int err = errno;
    if (n > 0)
        mCounters.bytes_read += static_cast<uint32_t>(n);
    else if (n < 0)
        mCounters.read_errno = err;
    // A sender's empty extension is a payload no codec takes, not the
    // session's end: that reads as 0 octets only from a hung-up descriptor.
    if (n > 0 || (n == 0 && !Device::end_now(mExt.get())))
        return n;
    mReads = 0;
    mReadEnd = Device::read_end(n, err);
    return -1;
}

int RadioControl::WritePacked(const unsigned char* buf, int packed)
{
    if (packed < 1) {
        stats().pack_error = packed;
        return packed;
    }
    return static_cast<int>(WritePayload(buf, static_cast<size_t>(packed)));
}

ssize_t RadioControl::WritePayload(const unsigned char* buf, size_t size)
{
    ssize_t n = Device::write(mExt.get(), buf, size);
    if (n > 0) {
        ++mCounters.written;
        mCounters.bytes_written += static_cast<uint32_t>(n);
    } else if (n < 0) {
        mCounters.write_errno = errno;
    }
    return n;
}

const std::string& RadioControl::GetPrefix()
{
    Mux::timeval tv;
    Mux::gettimeval(tv);
    std::string now = Mux::timevaltostring(tv);
    char text[255] = {};
    if (mType == ext_only)
        std::snprintf(text, 254, "rtp_ext %s:", now.c_str());
    else
        std::snprintf(text, 254, "rtp_ext[%lu] %s:", mChannel, now.c_str());
    mPrefix = text;
    return mPrefix;
}

bool ParseAddress(std::string const& text, uint32_t& address)
{
    bool parsed = INet4::ParseDottedQuad(text, address);
    if (!parsed)
        address = 0;
    return parsed;
}

} // namespace RTPSignalling
