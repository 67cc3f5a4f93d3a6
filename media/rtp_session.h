// The steps that give an RTP slot its kernel session, shared by the RTP
// factory and the radio factories: the creation parameters into the session
// record, then the RTCP socket (bound to the local RTP port plus one), the
// "/dev/rtp" descriptor, the session's begin and its channel. Each step
// that fails writes its line after the factory's header and leaves nothing
// open.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "board/rtp_requests.h"
#include "runtime/fd.h"
#include "server/schema/TERM.h"

// The RTP payload type of a creation payload, 0 for one that is not an RTP
// codec. An override of G.711 A-law or u-law that differs from the payload
// gives the override's type; other overrides are ignored.
uint16_t translateCodec(TERM::Payload::NamedNumber payload, TERM::Payload::NamedNumber override_);
// Whether a creation payload is one of the RTP codecs a slot is made for.
bool isRtpCodec(TERM::Payload::NamedNumber payload);

struct RtpSession {
    rtp_connection_params params{};
    Fd rtcp;             // bound to the local RTP port + 1
    Fd rtp;              // "/dev/rtp", the session begun and a channel added
    int channel = -1;    // the engine's switch channel
    sockaddr_in peer{};  // the remote RTCP address: the remote RTP port + 1
    // Whether the RTCP socket is bound with SO_REUSEADDR.
    bool reuse_rtcp_port = true;
    // The fourth word of the added channel's record.
    uint32_t channel_flags = 0;

    // The record from the creation parameters. False, with a debug line
    // after header, when an address is no dotted quad or a port leaves no
    // room for its RTCP port: the engine would send to the broadcast
    // address, or RTCP would go to or come from port 0.
    bool fill(const std::string& header, TERM::RtpParams const& p, TERM::Payload const& rx,
              TERM::Payload const& tx);
    // socket, bind, open, begin, add channel with the filled record.
    bool open(const std::string& header);
};

// Opens "/dev/rtp" (non-blocking, close-on-exec), begins the session and
// adds the channel (-1 for a new one); the descriptor and the channel, or
// false with the step's line after header and nothing left open.
bool BeginRtpSession(const std::string& header, const rtp_connection_params& params, int channel, Fd& rtp,
                     int& added, uint32_t channel_flags = 0);
