#include "radio/lemz_radio_slots.h"

#include <unistd.h>

#include <iostream>

#include "asn1/avn_encoder.h"
#include "media/rtp_session.h"

using namespace RTPSignalling;

RtpLEMZRadioGWSlot::RtpLEMZRadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                                       rtp_ext_attach_session_params const& attach, rtp_ext_init_params const& init,
                                       bool timer)
    : RtpLEMZSlot(channel, std::move(rtp), params, attach, init)
{
    Adopt(new LemzRadioGWControl(channel, own_session(attach), init), timer, RadioControl::gateway);
}

RtpLEMZRadioGWSlot::RtpLEMZRadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                                       rtp_ext_init_params const& init)
    : RtpLEMZSlot(channel, std::move(rtp), params, init)
{
    Adopt(new LemzRadioGWControl(init), false, RadioControl::gateway);
}

RtpLEMZRadioGWSlot::RtpLEMZRadioGWSlot(int channel, Fd rtp, rtp_connection_params const& params,
                                       rtp_attach_session_params const& attach)
    : RtpLEMZSlot(channel, std::move(rtp), params, attach)
{
    Adopt(new LemzRadioGWControl(channel, rtp_descriptor(), attach), false, RadioControl::gateway);
}

RtpLEMZRadioWSSlot::RtpLEMZRadioWSSlot(int channel, Fd rtp, rtp_connection_params const& params,
                                       rtp_ext_attach_session_params const& attach, rtp_ext_init_params const& init)
    : RtpLEMZSlot(channel, std::move(rtp), params, attach, init)
{
    Adopt(new LemzRadioWSControl(channel, own_session(attach), init), false, RadioControl::workstation);
}

RtpLEMZRadioWSSlot::RtpLEMZRadioWSSlot(int channel, Fd rtp, rtp_connection_params const& params,
                                       rtp_ext_init_params const& init)
    : RtpLEMZSlot(channel, std::move(rtp), params, init)
{
    Adopt(new LemzRadioWSControl(init), false, RadioControl::workstation);
}

RtpLEMZRadioWSSlot::RtpLEMZRadioWSSlot(int channel, Fd rtp, rtp_connection_params const& params,
                                       rtp_attach_session_params const& attach)
    : RtpLEMZSlot(channel, std::move(rtp), params, attach)
{
    Adopt(new LemzRadioWSControl(channel, rtp_descriptor(), attach), false, RadioControl::workstation);
}

Slot* RtpLEMZFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!IsRadioCreation(params, TERM::RadioStatus::e_lemz))
        return nullptr;
    const LGCP::CreateRtpParams& create = params.get_rtp();
    const TERM::RtpParams& codec = create.get_codecRTP();
    const TERM::RtpRadioRequest& radio = codec.get_radio();
    std::string head = header();
    std::clog << head << "do create rtp ext LEMZ: " << codec << std::endl;
    auto payload = static_cast<TERM::Payload::NamedNumber>(codec.get_payload().getValue());
    if (!isRtpCodec(payload)) {
        std::clog << head << "rtp do not created: payload " << codec.get_payload() << "not found" << std::endl;
        return nullptr;
    }
    const TERM::RtpExtMode* mode = codec.has_rtp_e2m() && codec.get_rtp_e2m().has_mode() ? &codec.get_rtp_e2m().get_mode()
                                                                                          : nullptr;
    bool only_rtp = mode && mode->currentSelection() == TERM::RtpExtMode::e_only_rtp;
    if (mode && !only_rtp && mode->currentSelection() != TERM::RtpExtMode::e_both_rtp_and_rtp_ext)
        return nullptr;
    RtpSession session;
    session.reuse_rtcp_port = false;
    session.channel_flags = radio.has_bss_enable() && radio.get_bss_enable().getValue() ? 1 : 0;
    if (!session.fill(head, codec, create.get_rxPayload(), create.get_txPayload()) || !session.open(head))
        return nullptr;
    RtpLEMZRadioGWSlot* slot;
    if (only_rtp) {
        const TERM::RtpExtDescription& d = mode->get_only_rtp();
        rtp_attach_session_params attach = {static_cast<int32_t>(d.get_fd().getValue()),
                                            static_cast<int32_t>(d.get_pid().getValue())};
        slot = new RtpLEMZRadioGWSlot(session.channel, session.rtp, session.params, attach);
    } else {
        rtp_ext_init_params init = {};
        init.etype = Device::RtpExt::kLemzProfile;
        rtp_ext_attach_session_params attach = {session.rtp.get(), static_cast<int32_t>(::getpid())};
        slot = new RtpLEMZRadioGWSlot(session.channel, session.rtp, session.params, attach, init, true);
    }
    if (!SetUpRadioSlot(*slot, session, codec)) {
        DiscardUnmade(slot);
        return nullptr;
    }
    return slot;
}
