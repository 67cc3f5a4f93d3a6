#include "signalling/slot_reports.h"

#include <iostream>
#include <new>

#include "asn1/coder_env.h"
#include "runtime/packet_quota.h"
#include "server/slots/slot.h"
#include "server/slots/slot_refusal.h"

namespace Signalling {

Packet octets_packet(std::vector<char> const& octets, Protocol* stack, int head, std::string const& who)
{
    try {
        Packet p;
        if (stack)
            stack->prepare_head(p);
        p.reserve_head(head);
        if (static_cast<size_t>(p->_tailroom()) < octets.size()) {
            std::cerr << who << octets.size() << " octets do not fit a packet, refused" << std::endl;
            RefuseCommand(LGCP::ErrorCause::invalidParams);
            return Packet();
        }
        for (char c : octets)
            p.put(static_cast<uint8_t>(c));
        return p;
    } catch (const std::bad_alloc&) {
        std::cerr << who << "no packet buffer, refused" << std::endl;
        RefuseCommand(LGCP::ErrorCause::insufficientResources);
        return Packet();
    }
}

bool queue_room(unsigned n, std::string const& who)
{
    static bool refusing = false;
    if (PacketQuota::room(n)) {
        refusing = false;
        return true;
    }
    if (!refusing)
        std::cerr << who << "packet queues full (" << PacketQuota::queued() << " of " << PacketQuota::queue_limit
                  << " queued), " << n << " more refused" << std::endl;
    refusing = true;
    RefuseCommand(LGCP::ErrorCause::insufficientResources);
    return false;
}

std::vector<char> octets_of(const Packet& p)
{
    const uint8_t* data = p.null() ? nullptr : p.get()->data;
    return std::vector<char>(data, data + p.length());
}

size_t encoded_size(ASN1::AbstractData const& value)
{
    std::vector<char> octets;
    return ASN1::CoderEnv(ASN1::CoderEnv::per_Aligned).encodeOctets(value, octets) ? octets.size() : 0;
}

LGCP::IoctlResponse hdlc_link_info(HDLC::Statistics const& s)
{
    LGCP::IoctlResponse r;
    LGCP::HdlcLinkInfo& info = r.get_hdlcLinkInfo();
    info.set_txSU(static_cast<int>(s.txSU));
    info.set_txDiscard(static_cast<int>(s.txDiscard));
    info.set_txError(static_cast<int>(s.txError));
    info.set_txOverflow(static_cast<int>(s.txOverflow));
    info.set_rxSU(static_cast<int>(s.rxSU));
    return r;
}

void pass_e1_status(SlotFactory& factory, LGCP::Signal const& sig)
{
    if (!sig.is_trunkStatus())
        return;
    const ACP::TrunkStatus& status = sig.get_trunkStatus();
    if (status.get_type().getValue() != ACP::TrunkType::e1)
        return;
    auto state = static_cast<ACP::TrunkState::NamedNumber>(status.get_state().getValue());
    for (Slot* slot : factory.slots())
        slot->OnTrunkStatus(static_cast<unsigned>(status.get_trunk().getValue()), state);
}

} // namespace Signalling
