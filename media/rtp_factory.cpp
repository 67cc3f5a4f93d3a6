#include "media/rtp_factory.h"

#include <cstring>
#include <iostream>
#include <sstream>

#include "asn1/avn_encoder.h"
#include "media/device_paths.h"
#include "media/rtp_session.h"
#include "media/rtp_slot.h"
#include "runtime/ext.h"

RtpCodecFactory::RtpCodecFactory(const char* prefix) : mPrefix(prefix)
{
    IQuery();
}

void RtpCodecFactory::PutHeader(std::ostream& out) const
{
    out << mPrefix << "[" << mCounts.g729 << "," << mCounts.g723 << "," << mCounts.g722 << "," << mCounts.g711 << ","
        << mCounts.universal << "]: ";
}

std::string RtpCodecFactory::header() const
{
    std::ostringstream o;
    PutHeader(o);
    return o.str();
}

void RtpCodecFactory::IQuery()
{
    if (int error = mCounts.count())
        std::cerr << ext::header(this) << "device " << ext::quoted(GetVoiceDevName())
                  << " open fail: " << std::strerror(error) << std::endl;
}

void RtpCodecFactory::Query(LGCP::Resources& resources)
{
    IQuery();
    mCounts.put(resources);
}

Slot* RtpFactory::INewSlot(LGCP::CreateParams const& params)
{
    if (!params.is_rtp() || params.get_rtp().get_codecRTP().has_radio())
        return nullptr;
    const LGCP::CreateRtpParams& create = params.get_rtp();
    const TERM::RtpParams& codec = create.get_codecRTP();
    std::string head = header();
    std::clog << head << "do create rtp: " << codec << std::endl;
    auto payload = static_cast<TERM::Payload::NamedNumber>(codec.get_payload().getValue());
    if (!isRtpCodec(payload)) {
        std::clog << head << "rtp do not created: payload " << codec.get_payload() << "not found" << std::endl;
        return nullptr;
    }
    RtpSession session;
    if (!session.fill(head, codec, create.get_rxPayload(), create.get_txPayload()) || !session.open(head))
        return nullptr;
    RtpSlot* slot = new RtpSlot(session.channel, std::move(session.rtp), session.params);
    slot->startRTPC(session.rtcp, session.peer);
    if (!slot->EchoAtCreate(codec)) {
        DiscardUnmade(slot);
        return nullptr;
    }
    return slot;
}
