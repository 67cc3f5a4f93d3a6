// The lower edge of every signalling data link: something that sends one
// HDLC frame at a time. The controller's channels implement it, and so can
// any other owner of a D channel.
#pragma once

#include "runtime/packet.h"

class GenericHDLC {
public:
    virtual ~GenericHDLC() = default;
    // Sends one frame. True when it was written, or was empty (nothing is
    // sent then); false when it was not sent. A link asks is_ready() first
    // and sends again after the channel reports itself ready.
    virtual bool hdlc_transmit(Packet& frame) = 0;
    // A channel is held.
    virtual bool is_open() const = 0;
    // The last write did not block.
    virtual bool is_ready() const = 0;
};
