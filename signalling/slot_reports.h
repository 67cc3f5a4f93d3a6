// What the signalling slots share: the packet that carries the
// controller's octets down a stack, and the link information records they
// report.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "runtime/packet.h"
#include "runtime/protocol.h"
#include "runtime/tpkt_protocol.h"
#include "server/schema/LGCP.h"
#include "server/slots/slot.h"
#include "server/slots/slot_factory.h"
#include "server/slots/slot_refusal.h"
#include "signalling/hdlc.h"

namespace Signalling {

// A packet with the head room of the stack (when there is one) and `head`
// octets more, and the octets after it. When no buffer is free, or the
// octets would not fit one, the command being served is refused
// (insufficientResources, or invalidParams for the size) with one line on
// the error stream after the prefix `who`, and the packet is null.
Packet octets_packet(std::vector<char> const& octets, Protocol* stack, int head, std::string const& who);

// Whether n more packets fit the bound that all queues share
// (PacketQuota). When they do not, the command being served is refused
// (insufficientResources) with a line on the error stream after the prefix
// `who`: one line for a run of such refusals, however long.
bool queue_room(unsigned n, std::string const& who);

// The packet's octets, as userData carries them.
std::vector<char> octets_of(const Packet& p);

// The most octets one signal may take encoded: what one frame to the
// controller carries.
constexpr size_t kMaxSignal = Tpkt_protocol::max_payload;

// The octets of a value's own aligned-PER encoding; 0 when it does not encode.
size_t encoded_size(ASN1::AbstractData const& value);

// The channel's counters as the controller reads them.
LGCP::IoctlResponse hdlc_link_info(HDLC::Statistics const& s);

// Offers an E1 trunk's status to every slot of the factory. The BRI lines
// report states under trunk numbers of their own, which name no E1 trunk.
void pass_e1_status(SlotFactory& factory, LGCP::Signal const& sig);

} // namespace Signalling
