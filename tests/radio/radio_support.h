// Helpers of the radio tests: octets as text, and the controller messages
// that the LEMZ mapping builds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "radio/lemz_radio_asn.h"
#include "server/schema/LGCP.h"

namespace vbradio {

using Octets = std::vector<uint8_t>;

// "79 50 00 00" and back.
std::string hex(uint8_t const* p, size_t n);
inline std::string hex(Octets const& o) { return hex(o.data(), o.size()); }
Octets unhex(std::string const& text);

// A state whose every field differs from its default and from the other
// fields, decoded as a packet of this command.
RTPSignalling::LemzRadioState sample_state(int command);

// The rtpExt signal carrying request, PER encoded; empty when it does not
// encode.
std::vector<char> rtp_ext_signal(TERM::RtpRadioRequest const& request);

// Every report the mapping tests check with the independent codec: the
// default status, each of the 20 commands, and each byte 0..255 in the
// squelch, emission type and standby fields.
std::vector<TERM::RtpRadioRequest> lemz_reports();

} // namespace vbradio
