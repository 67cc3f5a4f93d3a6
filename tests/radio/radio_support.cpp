#include "tests/radio/radio_support.h"

#include <arpa/inet.h>

#include <cstdio>
#include <iostream>
#include <sstream>

#include "radio/sig_proto.h"
#include "tests/support/test_support.h"

namespace vbradio {

std::string hex(uint8_t const* p, size_t n)
{
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

Octets unhex(std::string const& text)
{
    Octets o;
    std::istringstream in(text);
    unsigned v;
    while (in >> std::hex >> v)
        o.push_back(static_cast<uint8_t>(v));
    return o;
}

RTPSignalling::LemzRadioState sample_state(int command)
{
    RTPSignalling::LemzRadioState s;
    s.command = command;
    s.priority = 3;
    s.ptt = 1;
    s.session_address = inet_addr("10.1.2.3");
    s.session_ssrc = 0x11223344;
    s.set_caller_id("4711");
    s.b = 1, s.r = 0, s.t = 1, s.s = 1, s.sh = 0, s.pw = 1, s.rv = 1, s.rs = 0;
    s.c = 2;
    s.status = 0x155;
    s.interface = 2;
    s.channel = 7;
    s.channel_id = 12;
    s.frequency = 145.5f;
    s.squelch = 50;
    s.rte = 3;
    s.standby_state = 0;
    s.standby_group = 9;
    s.receiver_state = -1;
    s.quality = 0.75f;
    s.source_address = inet_addr("192.168.1.20");
    s.source_ssrc = 0xCAFEBABE;
    return s;
}

std::vector<char> rtp_ext_signal(TERM::RtpRadioRequest const& request)
{
    LGCP::Message m;
    m.set_seq(1);
    m.set_slot(5);
    m.get_pdu().get_signal().set_rtpExt(request);
    std::vector<char> out;
    if (!ASN1::CoderEnv(ASN1::CoderEnv::per_Aligned).encodeOctets(m, out))
        out.clear();
    return out;
}

namespace {

// The mapping, with its out-of-range lines kept off the output.
TERM::RtpRadioRequest report(RTPSignalling::LemzRadioState const& radio, RTPSignalling::LemzRadioState const& rx)
{
    static RTPSignalling::LemzRadioASN mapping;
    vbtest::CaptureStream quiet(std::cerr);
    TERM::RtpRadioRequest r;
    mapping.EncodeASN(radio, rx, r);
    return r;
}

} // namespace

std::vector<TERM::RtpRadioRequest> lemz_reports()
{
    std::vector<TERM::RtpRadioRequest> out;
    RTPSignalling::LemzRadioState const defaults;
    out.push_back(report(defaults, defaults)); // command 0: status only
    for (auto const& e : sig_proto_packet_const_name) {
        if (e.id == -1)
            break;
        out.push_back(report(sample_state(0), sample_state(e.id)));
    }
    for (int byte = 0; byte < 256; ++byte) {
        RTPSignalling::LemzRadioState s = sample_state(0);
        s.squelch = s.rte = s.standby_state = s.standby_group = s.receiver_state = byte;
        for (int command : {GW_ADJUST_SQUELSHE, GW_ADJUST_RTE, GW_ADJUST_STANDBY, WM_CHAN, WM_STANDBY}) {
            s.command = command;
            out.push_back(report(s, s));
        }
    }
    return out;
}

} // namespace vbradio
