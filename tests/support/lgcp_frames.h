// LGCP messages as a controller writes and reads them: a message encoded
// for one TPKT frame, and a received message as one line of text. Only for
// programs that link the control protocol's schema.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "server/schema/LGCP.h"

namespace vbtest {

// One TPKT frame (RFC 1006) around the payload.
inline std::string tpkt(const std::string& payload)
{
    size_t n = payload.size() + 4;
    return std::string{3, 0, char(n >> 8), char(n & 0xFF)} + payload;
}

// The PER encoding of a message with seq when hasSeq, whatever its value;
// slot is left out when negative.
inline std::string lgcp_message(const LGCP::PDU& pdu, bool hasSeq, std::int64_t seq, int slot)
{
    LGCP::Message m;
    hasSeq ? m.set_seq(seq) : void();
    slot >= 0 ? m.set_slot(unsigned(slot)) : void();
    m.set_pdu(pdu);
    std::vector<char> out;
    ASN1::CoderEnv().encodeOctets(m, out);
    return std::string(out.begin(), out.end());
}

// The PER encoding of a message; seq and slot are left out when negative.
inline std::string lgcp(const LGCP::PDU& pdu, int seq = -1, int slot = -1)
{
    return lgcp_message(pdu, seq >= 0, seq, slot);
}

inline LGCP::PDU command_pdu(const LGCP::Command& cmd)
{
    LGCP::PDU pdu;
    pdu.set_command(cmd);
    return pdu;
}

inline std::string lgcp(const LGCP::Command& cmd, int seq = -1, int slot = -1)
{
    return lgcp(command_pdu(cmd), seq, slot);
}

// The same with seq present, negative values too.
inline std::string lgcp_seq(const LGCP::PDU& pdu, std::int64_t seq, int slot = -1)
{
    return lgcp_message(pdu, true, seq, slot);
}

inline std::string lgcp_seq(const LGCP::Command& cmd, std::int64_t seq, int slot = -1)
{
    return lgcp_seq(command_pdu(cmd), seq, slot);
}

// A display of n trap receivers named "a", past the encoder's 128 too.
inline std::string trap_receivers(unsigned n, int seq, int slot = -1)
{
    LGCP::Command c;
    c.get_display().get_snmpTrapReceivers();
    std::string frame = lgcp(c, seq, slot); // ends in the empty list's count
    frame.back() = char(n < 128 ? n : 0x80 | n >> 8);
    frame += n < 128 ? "" : std::string(1, char(n & 0xFF));
    for (unsigned i = 0; i < n; ++i)
        frame += "\x01" "a";
    return frame;
}

inline LGCP::PDU command(bool ping)
{
    LGCP::PDU pdu;
    ping ? pdu.get_command().set_ping() : pdu.get_command().set_query();
    return pdu;
}

// A signal's alternative and value on one line: "receiver active : 40".
inline std::string signal_text(const LGCP::Signal& sig)
{
    std::ostringstream value;
    value << *sig.getSelection();
    std::string text = std::string(sig.getSelectionName()) + " ";
    for (char c : value.str())
        if (c != '\n' && !(c == ' ' && text.back() == ' '))
            text += c;
    return text;
}

// A received payload as "seq=7 slot=3 success", "seq=7 error
// unexpectedMsgType" or "slot=3 signal" (with detail: "slot=3 receiver
// active : 40").
inline std::string message_text(const char* data, size_t size, bool detail)
{
    LGCP::Message m;
    std::ostringstream o;
    if (!ASN1::CoderEnv().decode(data, data + size, m, true))
        o << "undecodable";
    m.has_seq() ? void(o << "seq=" << m.get_seq().getValue() << " ") : void();
    m.has_slot() ? void(o << "slot=" << m.get_slot().getValue() << " ") : void();
    const LGCP::PDU& p = m.get_pdu();
    if (p.is_response() && p.get_response().is_success())
        o << "success";
    else if (p.is_response())
        o << "error " << p.get_response().get_error();
    else
        o << (!p.is_signal() ? "command" : detail ? signal_text(p.get_signal()) : "signal");
    return o.str();
}

} // namespace vbtest
