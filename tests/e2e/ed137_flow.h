// The running server with one ED-137 gateway slot and the test's UDP
// socket as the voice side: what the end-to-end flow and its oracle drive.
#pragma once

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/e2e/server_process.h"
#include "tests/radio/ed137_messages.h"
#include "tests/support/lgcp_frames.h"
#include "tests/support/rtp_peer.h"

namespace vbtest {

const uint16_t kED137Profile = 0x0167;

// The extension payload of an RTP packet of the ED-137 profile as hex
// ("79 50 00 00"), "" for any other packet.
inline std::string ed137_payload(const std::string& p)
{
    if (p.size() < 16 || (uint8_t(p[0]) & 0x10) == 0)
        return "";
    size_t at = 12 + 4 * (uint8_t(p[0]) & 0x0F);
    if (at + 4 > p.size() || (uint8_t(p[at]) << 8 | uint8_t(p[at + 1])) != kED137Profile)
        return "";
    size_t words = size_t(uint8_t(p[at + 2]) << 8 | uint8_t(p[at + 3]));
    if (at + 4 + 4 * words > p.size())
        return "";
    std::string out;
    char two[4];
    for (size_t i = 0; i < 4 * words; ++i) {
        std::snprintf(two, sizeof two, i ? " %02X" : "%02X", unsigned(uint8_t(p[at + 4 + i])));
        out += two;
    }
    return out;
}

struct ED137Flow {
    ServerProcess server;
    Controller ctl;
    UdpPeer voice;
    uint16_t local = free_rtp_port();
    std::vector<std::string> received; // every RTP packet the voice side got

    bool start() { return server.start() && ctl.connect(server.port()); }
    Texts create()
    {
        LGCP::Command c = create_rtp(voice.port());
        TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
        p.include_shost().set_iaddr("127.0.0.1");
        p.include_shost().set_port(local);
        p.include_radio().set_status(vbradio::ed137_status());
        return ctl.exchange(lgcp(c, -1, 1));
    }
    // The ED-137 payloads that reach the voice side within ms (0: those
    // waiting now).
    std::vector<std::string> headers_within(int ms)
    {
        std::vector<std::string> out;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        do {
            pollfd f{voice.s.get(), POLLIN, 0};
            while (::poll(&f, 1, ms ? 20 : 0) == 1) {
                received.push_back(voice.take());
                out.push_back(ed137_payload(received.back()));
            }
        } while (std::chrono::steady_clock::now() < until);
        return out;
    }
    // One RTP packet from the voice side carrying this R2S header.
    void send_header(const std::string& header)
    {
        std::string p = rtp_packet(8, 1, 160, 0x51515151, "");
        p[0] = char(0x90);
        size_t words = (header.size() + 3) / 4;
        p += std::string{char(kED137Profile >> 8), char(kED137Profile & 0xFF), char(words >> 8), char(words)};
        voice.send(local, p + header + std::string(4 * words - header.size(), '\0'));
    }
    Texts rx_command(int quality)
    {
        LGCP::Command c;
        c.get_ioctl().set_rtpExt(vbradio::ed137_modifier(true, {TERM::ED137RadioPTT::ptt_off, true, 0, quality}));
        return ctl.exchange(lgcp(c, -1, 1));
    }
    Texts lemz_command()
    {
        LGCP::Command c;
        TERM::LemzRadioModifier& m = c.get_ioctl().get_rtpExt().get_lemz();
        m.get_addr().set_session_addr("127.0.0.1");
        m.get_params().get_wm_trans().set_ip("127.0.0.1");
        return ctl.exchange(lgcp(c, -1, 1));
    }
    Texts destroy()
    {
        LGCP::Command c;
        c.set_destroy();
        return ctl.exchange(lgcp(c, -1, 1));
    }
};

} // namespace vbtest
