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

RadioControl::~RadioControl() = default;

void RadioControl::Init(RadioControlType type)
{
    mType = type;
    mLastTick = Mux::milliseconds();
    mInterval = 1000;
    mFilterActive = false;
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

bool RadioControl::Fail(const char* text)
{
    mStartError = errno;
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

bool RadioControl::OpenSession(bool attach, Fd& session)
{
    // Non-blocking: the receive path reads until the driver has nothing.
    Fd dev(Device::open(GetRtpExtDevName(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
    if (!dev)
        return Fail("create rtp_ext session fail !!!");
    rtp_ext_init_params init = mInit;
    if (Device::ioctl(dev.get(), RTP_EXT_INIT, &init) < 0)
        return Fail("init rtp_ext session fail !!!");
    rtp_ext_attach_session_params rtp = mExtAttach;
    if (attach && Device::ioctl(dev.get(), RTP_EXT_ATTACH, &rtp) < 0)
        return Fail("attach rtp_ext session fail !!!");
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
    // A new session admits everybody: it takes over the filter of the one
    // it replaces (or the one held while it was lost), or the control
    // stops believing in one.
    mHolder.close();
    if (mFilterActive && !SetFilter(mExt, mFilter.addr))
        mFilter = rtp_ext_filter(), mFilterActive = false;
    mExtEvent.Bind("RadioControl::OnRtpExtEvent", &RadioControl::OnExtEvent, this);
    mExtEvent.Schedule(mExt, POLLIN);
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
    mHolder.close();
    mExtEvent.Release();
    return true;
}

bool RadioControl::Restart(const Fd& rtp)
{
    // The restart gave the slot's session a new descriptor.
    if (mType == attach_rtp)
        mRtp = rtp;
    else if (mType == attach_ext && (mExtAttach.pid_rtp == -1 || mExtAttach.pid_rtp == ::getpid()))
        mExtAttach.fd_rtp = rtp.get();
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
    // The owner's filter went with the session. (Not so after a start that
    // failed: a session of its own would fail the same steps.)
    if (mFilterActive)
        HoldFilter(true, mFilter.addr);
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

void RadioControl::UpdateAccess(bool ptt, in_addr const& owner)
{
    // Nobody known holds the radio: a filter for 0.0.0.0 would admit nobody.
    bool hold = ptt && owner.s_addr != 0;
    if (!mExt) {
        if (mLost)
            HoldFilter(hold, owner.s_addr);
        return;
    }
    if (hold) {
        if (mFilterActive && mFilter.addr == owner.s_addr)
            return;
        if (!SetFilter(mExt, owner.s_addr))
            return; // kept as it was, so the next update tries again
        mFilter = rtp_ext_filter{owner.s_addr, 0};
        mFilterActive = true;
        return;
    }
    if (!mFilterActive)
        return;
    rtp_ext_filter f = {0, 0};
    if (Device::ioctl(mExt.get(), RTP_EXT_RESET_FILTER, &f) < 0) {
        std::cerr << GetPrefix() << "reset filer rtp_ext session fail !!!" << std::endl;
        return;
    }
    mFilter = f;
    mFilterActive = false;
}

bool RadioControl::SetFilter(const Fd& session, uint32_t owner)
{
    rtp_ext_filter f = {owner, 0};
    if (Device::ioctl(session.get(), RTP_EXT_SET_FILTER, &f) < 0) {
        std::cerr << GetPrefix() << "set filer rtp_ext session fail !!!" << std::endl;
        return false;
    }
    return true;
}

// The driver keeps the filter with its session, so a lost session took
// the owner's with it, and nothing else keeps the other senders' voice
// from the line. A session of its own, attached and never read, holds it
// until the radio is released or the session is back. The owner stays
// wanted when none can be had: a returning session sets it.
void RadioControl::HoldFilter(bool hold, uint32_t owner)
{
    if (!hold) {
        mHolder.close();
        mFilter = rtp_ext_filter();
        mFilterActive = false;
        return;
    }
    bool held = mHolder && mFilterActive && mFilter.addr == owner;
    mFilter = rtp_ext_filter{owner, 0};
    mFilterActive = true;
    if (held || mType != attach_ext)
        return;
    if (!mHolder && !OpenSession(true, mHolder))
        return;
    if (!SetFilter(mHolder, owner))
        mHolder.close();
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
