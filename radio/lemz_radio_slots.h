// The LEMZ radio slots, and the factory that turns an RTP creation with a
// LEMZ radio part into a gateway radio slot.
#pragma once

#include "media/rtp_factory.h"
#include "radio/lemz_radio_control.h"
#include "radio/rtp_ext_slot.h"

class RtpLEMZSlot : public RtpExtSlot {
public:
    using RtpExtSlot::RtpExtSlot;
    const char* GetName() const override { return "rtp ext LEMZ"; }
};

class RtpLEMZRadioGWSlot : public RtpLEMZSlot {
public:
    // An own extension session on this slot's RTP session, the status
    // cycle running when timer is set.
    RtpLEMZRadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                       rtp_ext_attach_session_params const& attach, rtp_ext_init_params const& init, bool timer);
    // An extension session attached to nothing.
    RtpLEMZRadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params, rtp_ext_init_params const& init);
    // The RTP channel joins another process's session; no extension session.
    RtpLEMZRadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                       rtp_attach_session_params const& attach);
    ~RtpLEMZRadioGWSlot() override { DropControl(); }
    const char* GetName() const override { return "rtp ext LEMZ (GW)"; }
};

class RtpLEMZRadioWSSlot : public RtpLEMZSlot {
public:
    RtpLEMZRadioWSSlot(int channel, Fd rtp, rtp_connection_params const& params,
                       rtp_ext_attach_session_params const& attach, rtp_ext_init_params const& init);
    RtpLEMZRadioWSSlot(int channel, Fd rtp, rtp_connection_params const& params, rtp_ext_init_params const& init);
    RtpLEMZRadioWSSlot(int channel, Fd rtp, rtp_connection_params const& params,
                       rtp_attach_session_params const& attach);
    ~RtpLEMZRadioWSSlot() override { DropControl(); }
    const char* GetName() const override { return "rtp ext LEMZ (WS)"; }
};

class RtpLEMZFactory : public RtpCodecFactory {
public:
    RtpLEMZFactory() : RtpCodecFactory("rtp ext LEMZ") {}

    const char* GetName() const override { return "RTP Ext LEMZ"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
};
