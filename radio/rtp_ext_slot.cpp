#include "radio/rtp_ext_slot.h"

#include <unistd.h>

#include "radio/modifier_addresses.h"
#include "server/slots/slot_refusal.h"

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

// The radio signalling rides on the lost session: it stops with it, and
// the status cycle with it (the ED-137 supervision would report the
// partner lost on every tick). A slot whose radio was already lost has
// said so.
void RtpExtSlot::IOnSessionLost(int cause)
{
    bool told = mControl && mControl->session_lost();
    if (mControl) {
        mControl->SetTimerEnable(false);
        mControl->RtpExtStop();
    }
    if (!told)
        OnAbort(cause);
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
    case P::e_rtpExt: {
        // Nothing reaches the radio once its extension session is gone, but
        // the control still takes the command: who holds the radio decides
        // whose voice the line admits meanwhile.
        bool lost = mControl->session_lost();
        result = mControl->SendASNToChan(params.get_rtpExt());
        // Nor is a radio answered success while another sender's voice
        // still gets in: the filter it asked stays wanted meanwhile.
        if (lost || (result && mControl->access_refused()))
            result = RefuseLost();
        // The controller's own error, not a command this slot lacks.
        else if (!result && RTPSignalling::UnparsedAddress(params.get_rtpExt()))
            RefuseCommand(LGCP::ErrorCause::invalidParams);
        break;
    }
    case P::e_encoder_mode:
    case P::e_decoder_mode: {
        bool stopped = mControl->RtpExtStop();
        result = RtpSlot::Ioctl(params);
        if (!stopped)
            break;
        // A radio whose session could not be restarted at all is lost, and
        // so is one that cannot follow the restarted session. One whose
        // session came back without a setting of the old one follows it.
        if (rtp_fd() < 0)
            mControl->Lose(restart_error());
        else if (mControl->Restart(rtp_descriptor()))
            break;
        result = RefuseLost();
        break;
    }
    default:
        result = RtpSlot::Ioctl(params);
        break;
    }
    follow_squelch(mControl->GetSQU());
    return result;
}

bool SetUpRadioSlot(RtpExtSlot& slot, RtpSession& session, TERM::RtpParams const& codec)
{
    const TERM::RtpRadioRequest& radio = codec.get_radio();
    slot.SetInitialStatus(radio.get_status());
    slot.set_channel_flags(session.channel_flags);
    slot.startRTPC(session.rtcp, session.peer);
    // Held: a device missing now is told once it is back. One that refuses
    // a setting as invalid refuses the slot, and is asked nothing more.
    const Hardware::Policy held = Hardware::Policy::held;
    if (!slot.EchoAtCreate(codec))
        return false;
    if ((radio.has_rx_delay() || radio.has_tx_delay() || radio.has_selcal_delay()) &&
        !slot.configureDelays(radio.has_rx_delay() ? static_cast<uint32_t>(radio.get_rx_delay().getValue()) : 0,
                              radio.has_tx_delay() ? static_cast<uint32_t>(radio.get_tx_delay().getValue()) : 0,
                              radio.has_selcal_delay() ? static_cast<uint32_t>(radio.get_selcal_delay().getValue())
                                                       : 0,
                              held))
        return false;
    if (radio.has_bss_enable() && !slot.enableBSS(radio.get_bss_enable().getValue(), held))
        return false;
    if (radio.has_ng_enable() && !slot.enableNG(radio.get_ng_enable().getValue(), held))
        return false;
    return !radio.has_selcal_sh_enable() || slot.enableSelcalSh(radio.get_selcal_sh_enable().getValue(), held);
}

bool IsRadioCreation(LGCP::CreateParams const& params, int alternative)
{
    if (!params.is_rtp() || !params.get_rtp().get_codecRTP().has_radio())
        return false;
    return params.get_rtp().get_codecRTP().get_radio().get_status().currentSelection() == alternative;
}
