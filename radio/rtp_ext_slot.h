// The RTP slot of a radio channel: an RtpSlot that also owns a radio
// control carrying the radio signalling in the stream's header extension.
// The controller's radio commands go to the control, the control's reports
// come back as signals, and a gated input follows the radio's squelch.
#pragma once

#include "media/rtp_session.h"
#include "media/rtp_slot.h"
#include "radio/radio_control.h"

class RtpExtSlot : public RtpSlot, public RTPSignalling::IRadioControlNotify {
public:
    RtpExtSlot(int channel, Fd rtp, rtp_connection_params const& params, rtp_ext_attach_session_params const& attach,
               rtp_ext_init_params const& init);
    RtpExtSlot(int channel, Fd rtp, rtp_connection_params const& params, rtp_ext_init_params const& init);
    RtpExtSlot(int channel, Fd rtp, rtp_connection_params const& params, rtp_attach_session_params const& attach);

    void IAfterCreate() override;
    bool IBeforeDestroy() override;
    bool Ioctl(LGCP::IoctlParams const& params) override;
    const char* GetName() const override { return "rtp ext"; }

    void RadioControlNotify(TERM::RtpRadioRequest const& request) override { OnRtpRadioEvent(request); }
    void RadioControlNotify(int cause) override { OnAbort(cause); }

    void SetInitialStatus(TERM::RadioStatus const& status) { mInitialStatus = status; }
    RTPSignalling::RadioControl* control() const { return mControl; }
    using RtpSlot::set_input_gated;

protected:
    // Sends abort with the errno that ended the session, unless the radio
    // was lost before.
    void IOnSessionLost(int cause) override;
    // The attach record naming this slot's own RTP session: its current
    // descriptor, not the one it was made from.
    rtp_ext_attach_session_params own_session(rtp_ext_attach_session_params attach) const;
    // The subclass's control, with this slot as its notify target.
    void Adopt(RTPSignalling::RadioControl* control, bool timer, RTPSignalling::RadioControl::Role role);
    // Deletes the control: the subclass's destructor calls it.
    void DropControl();

private:
    TERM::RadioStatus mInitialStatus;
    RTPSignalling::RadioControl* mControl = nullptr;
};

// What every radio factory does with its new slot: the initial status,
// the channel word for restarts, the RTCP sender, the echo canceller and
// the DSP settings of the radio part. False when a device refused a
// setting as invalid: the factory does not make the slot.
bool SetUpRadioSlot(RtpExtSlot& slot, RtpSession& session, TERM::RtpParams const& codec);

// An rtp creation whose radio part's status is of this alternative.
bool IsRadioCreation(LGCP::CreateParams const& params, int alternative);
