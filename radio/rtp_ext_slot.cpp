#include "radio/rtp_ext_slot.h"

#include <unistd.h>

RtpExtSlot::RtpExtSlot(int channel, Fd rtp, rtp_connection_params const& params, rtp_ext_attach_session_params const&,
                       rtp_ext_init_params const&)
    : RtpSlot(channel, std::move(rtp), params)
{
}

RtpExtSlot::RtpExtSlot(int channel, Fd rtp, rtp_connection_params const& params, rtp_ext_init_params const&)
    : RtpSlot(channel, std::move(rtp), params)
{
}

RtpExtSlot::RtpExtSlot(int channel, Fd rtp, rtp_connection_params const& params, rtp_attach_session_params const&)
    : RtpSlot(channel, std::move(rtp), params)
{
}

rtp_ext_attach_session_params RtpExtSlot::own_session(rtp_ext_attach_session_params attach) const
{
    // The descriptor number the factory held is closed once the slot is
    // made, and may soon name another slot's session.
    if (attach.pid_rtp == -1 || attach.pid_rtp == ::getpid())
        attach.fd_rtp = rtp_fd();
    return attach;
}

void RtpExtSlot::Adopt(RTPSignalling::RadioControl* control, bool timer, RTPSignalling::RadioControl::Role role)
{
    mControl = control;
    mControl->SetNotify(this);
    mControl->SetTrace(false);
    mControl->SetTimerEnable(timer);
    mControl->SetRole(role);
}

void RtpExtSlot::DropControl()
{
    delete mControl;
    mControl = nullptr;
}

void RtpExtSlot::IAfterCreate()
{
    RtpSlot::IAfterCreate();
    if (mControl)
        mControl->SendASNToChan(mInitialStatus);
}

bool RtpExtSlot::IBeforeDestroy()
{
    if (mControl)
        mControl->RtpExtStop();
    return RtpSlot::IBeforeDestroy();
}

bool RtpExtSlot::Ioctl(LGCP::IoctlParams const& params)
{
    if (!mControl)
        return RtpSlot::Ioctl(params);
    using P = LGCP::IoctlParams;
    bool result = false;
    switch (params.currentSelection()) {
    case P::e_rtpExt:
        result = mControl->SendASNToChan(params.get_rtpExt());
        break;
    case P::e_encoder_mode:
    case P::e_decoder_mode: {
        bool stopped = mControl->RtpExtStop();
        result = RtpSlot::Ioctl(params);
        if (stopped && result) {
            // A restart gives the session a new descriptor.
            mControl->Rebind(rtp_descriptor());
            result = mControl->RtpExtStart(false);
        }
        break;
    }
    default:
        result = RtpSlot::Ioctl(params);
        break;
    }
    follow_squelch(mControl->GetSQU());
    return result;
}
