// The ED-137 radio slots, and the factory that turns an RTP creation with
// an ED-137 radio part into a gateway radio slot.
#pragma once

#include "media/rtp_factory.h"
#include "radio/ed137_radio_control.h"
#include "radio/rtp_ext_slot.h"

class RtpED137Slot : public RtpExtSlot {
public:
    using RtpExtSlot::RtpExtSlot;
    const char* GetName() const override { return "rtp ext ed137"; }
};

class RtpED137RadioGWSlot : public RtpED137Slot {
public:
    // An own extension session on this slot's RTP session, with the
    // keep-alive and supervision running.
    RtpED137RadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                        rtp_ext_attach_session_params const& attach, rtp_ext_init_params const& init,
                        RTPSignalling::ED137RadioParams const& radio);
    // An extension session attached to nothing; no timer.
    RtpED137RadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params, rtp_ext_init_params const& init);
    // The RTP channel joins another process's session; no timer.
    RtpED137RadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                        rtp_attach_session_params const& attach);
    ~RtpED137RadioGWSlot() override;
    const char* GetName() const override { return "rtp ext ED137 (GW)"; }

    RTPSignalling::ED137RadioGWControl* ed137() const
    {
        return static_cast<RTPSignalling::ED137RadioGWControl*>(control());
    }
};

// The init record of the extension session: profile 0x0167, then 1, 123,
// the frames per keep-alive period (scaled by sigtime) and sigtime.
rtp_ext_init_params ED137InitParams(RTPSignalling::ED137RadioParams const& radio, uint16_t packet_factor);

class RtpED137Factory : public RtpCodecFactory {
public:
    RtpED137Factory() : RtpCodecFactory("rtp ext ED137") {}

    const char* GetName() const override { return "RTP Ext ED137"; }
    Slot* INewSlot(LGCP::CreateParams const& params) override;
};
