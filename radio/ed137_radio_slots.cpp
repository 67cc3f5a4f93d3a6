#include "radio/ed137_radio_slots.h"

#include <iostream>

#include "asn1/avn_encoder.h"
#include "media/rtp_session.h"

using namespace RTPSignalling;

RtpED137RadioGWSlot::RtpED137RadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                                         rtp_ext_attach_session_params const& attach, rtp_ext_init_params const& init,
                                         ED137RadioParams const& radio)
    : RtpED137Slot(channel, std::move(rtp), params, attach, init)
{
    set_input_gated(radio.transmission_depend_on_squ != 0);
    auto* control = new ED137RadioGWControl(channel, own_session(attach), init);
    control->SetParams(radio);
    control->SetTimerInterval(radio.keepalive_period * radio.keepalive_multiplier / 2);
    Adopt(control, true, RadioControl::gateway);
}

RtpED137RadioGWSlot::RtpED137RadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                                         rtp_ext_init_params const& init)
    : RtpED137Slot(channel, std::move(rtp), params, init)
{
    Adopt(new ED137RadioGWControl(init), false, RadioControl::gateway);
}

RtpED137RadioGWSlot::RtpED137RadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                                         rtp_attach_session_params const& attach)
    : RtpED137Slot(channel, std::move(rtp), params, attach)
{
    Adopt(new ED137RadioGWControl(channel, rtp_descriptor(), attach), false, RadioControl::gateway);
}

RtpED137RadioGWSlot::~RtpED137RadioGWSlot()
{
    control()->SetNotify(nullptr);
    control()->SetTimerEnable(false);
    DropControl();
}

rtp_ext_init_params ED137InitParams(ED137RadioParams const& radio, uint16_t packet_factor)
{
    rtp_ext_init_params init = {};
    init.etype = Device::RtpExt::kED137Profile;
    uint32_t p = packet_factor ? packet_factor : 2;
    init.w[0] = 1;
    init.w[1] = 123;
    init.w[2] = radio.keepalive_period / (p * 10);
    init.w[3] = 1;
    if (radio.sigtime != 0) {
        init.w[2] *= radio.sigtime;
        init.w[3] = radio.sigtime;
    }
    return init;
}

Slot* RtpED137Factory::INewSlot(LGCP::CreateParams const& params)
{
    if (!IsRadioCreation(params, TERM::RadioStatus::e_ed_137))
        return nullptr;
    const LGCP::CreateRtpParams& create = params.get_rtp();
    const TERM::RtpParams& codec = create.get_codecRTP();
    const TERM::RtpRadioRequest& radio = codec.get_radio();
    std::string head = header();
    std::clog << head << "do create rtp ext ED137: " << codec << std::endl;
    auto payload = static_cast<TERM::Payload::NamedNumber>(codec.get_payload().getValue());
    if (!isRtpCodec(payload)) {
        std::clog << head << "rtp do not created: payload " << codec.get_payload() << "not found" << std::endl;
        return nullptr;
    }
    RtpSession session;
    session.channel_flags = radio.has_bss_enable() && radio.get_bss_enable().getValue() ? 1 : 0;
    if (!session.fill(head, codec, create.get_rxPayload(), create.get_txPayload()) || !session.open(head))
        return nullptr;
    ED137RadioParams parameters;
    const TERM::ED137RadioStatus& status = radio.get_status().get_ed_137();
    if (status.has_radio_response())
        parameters.Init(status.get_radio_response());
    rtp_ext_init_params init = ED137InitParams(parameters, session.params.packet_factor);
    rtp_ext_attach_session_params attach = {session.rtp.get(), -1};
    auto* slot = new RtpED137RadioGWSlot(session.channel, session.rtp, session.params, attach, init, parameters);
    if (!SetUpRadioSlot(*slot, session, codec)) {
        DiscardUnmade(slot);
        return nullptr;
    }
    return slot;
}
