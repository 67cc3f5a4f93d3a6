// The LEMZ state in the controller's radio types: the default state, the
// 20 commands both ways, the values the types cannot carry, and every report
// encodable in PER.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <string>

#include "radio/sig_proto.h"
#include "tests/radio/radio_support.h"
#include "tests/support/test_support.h"

using RTPSignalling::LemzRadioState;
using Params = TERM::LemzRadioModifierParams;

namespace {

class Mapping : public RTPSignalling::LemzRadioASN {
public:
    std::string prefix;

protected:
    std::string ASNLogPrefix() override { return prefix; }
};

std::string fields(LemzRadioState const& s)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "%d %d %d %08x %u %s %d%d%d%d%d%d%d%d %d %d %d %d %d %f %d %d %d %d %d %f %08x %u", s.command,
                  s.priority, s.ptt, s.session_address, s.session_ssrc, s.caller_id, s.b, s.r, s.t, s.s, s.sh, s.pw,
                  s.rv, s.rs, s.c, s.status, s.interface, s.channel, s.channel_id, double(s.frequency), s.squelch,
                  s.rte, s.standby_state, s.standby_group, s.receiver_state, double(s.quality), s.source_address,
                  s.source_ssrc);
    return text;
}

int lines(std::string const& text)
{
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

TERM::LemzRadioStatus const& status_of(TERM::RtpRadioRequest const& r)
{
    return r.get_status().get_lemz();
}

} // namespace

TEST(LemzRadioASN, DefaultStateReportsUnsetValuesSilently)
{
    Mapping m;
    TERM::RtpRadioRequest r;
    vbtest::CaptureStream err(std::cerr);
    m.EncodeStatusASN(LemzRadioState(), r);
    EXPECT_EQ(err.str(), "");
    auto const& s = status_of(r);
    EXPECT_EQ(s.get_squelshe().getValue(), TERM::RadioSquelshe::no_config);
    EXPECT_EQ(s.get_rte().getValue(), TERM::RadioRTE::no_config);
    EXPECT_EQ(s.get_standby_group().getValue(), 0u);
    EXPECT_FALSE(r.has_request());
}

TEST(LemzRadioASN, EveryCommandReachesItsAlternativeAndBack)
{
    struct Row {
        int type;
        int alternative;
    } const rows[] = {
        {GW_FLAG, 0}, {GW_ADJUST_CHAN, 1}, {GW_FLAG_PTT, 2}, {GW_FLAG_BSS, 3}, {GW_FLAG_RV, 6},
        {GW_FLAG_SH, 4}, {GW_FLAG_PW, 5}, {GW_FLAG_RS, 7}, {GW_SEL_CALL, 8}, {GW_SELECT_RC_CHAN, 9},
        {GW_ADJUST_SQUELSHE, 10}, {GW_ADJUST_RTE, 11}, {GW_ADJUST_STANDBY, 12}, {WM_FLAG, 13},
        {WM_TRANS, 14}, {WM_RADIO_QUALITY, 15}, {WM_CHAN, 16}, {WM_SEL_CALL_TRANS, 17},
        {WM_SELECT_RC_CHAN, 18}, {WM_STANDBY, 19},
    };
    Mapping m;
    for (auto const& row : rows) {
        SCOPED_TRACE(row.type);
        TERM::RtpRadioRequest r;
        LemzRadioState rx = vbradio::sample_state(row.type);
        m.EncodeASN(LemzRadioState(), rx, r);
        ASSERT_TRUE(r.has_request());
        auto const& mod = r.get_request().get_lemz();
        EXPECT_EQ(mod.get_params().currentSelection(), row.alternative);
        EXPECT_EQ(mod.get_addr().get_session_addr(), "192.168.1.20");
        EXPECT_EQ(mod.get_addr().get_session_ssrc().getValue(), 0xCAFEBABEu);

        // Back from the controller: the command, its sender, and the same
        // request once more.
        LemzRadioState back;
        m.DecodeASN(mod, back);
        EXPECT_EQ(back.command, row.type);
        EXPECT_EQ(back.source_address, rx.source_address);
        EXPECT_EQ(back.source_ssrc, rx.source_ssrc);
        TERM::RtpRadioRequest again;
        m.EncodeASN(LemzRadioState(), back, again);
        EXPECT_EQ(again.get_request().compare(r.get_request()), 0) << again.asValueNotation();
    }
}

TEST(LemzRadioASN, ContentsOfTheCommands)
{
    Mapping m;
    TERM::RtpRadioRequest r;
    m.EncodeASN(LemzRadioState(), vbradio::sample_state(WM_SEL_CALL_TRANS), r);
    auto const& sel = r.get_request().get_lemz().get_params().get_wm_selcall();
    EXPECT_EQ(sel.get_ip(), "10.1.2.3");
    EXPECT_EQ(sel.get_ssrc().getValue(), 0x11223344u);
    EXPECT_EQ(sel.get_cid(), "4711");
    EXPECT_EQ(sel.get_flags().asValueNotation(),
              "{\n  prio 3,\n  ptt TRUE,\n  bss TRUE,\n  vad-rx FALSE,\n  vad-tx TRUE,\n  sql TRUE,\n  sh FALSE,\n"
              "  pwr TRUE,\n  rv TRUE,\n  resv FALSE,\n  selcall 2,\n  li 341\n}");

    m.EncodeASN(LemzRadioState(), vbradio::sample_state(WM_CHAN), r);
    auto const& chan = r.get_request().get_lemz().get_params().get_wm_chan();
    EXPECT_EQ(chan.get_freq().get_channel().getValue(), 12);
    EXPECT_EQ(chan.get_freq().get_frequency(), "145.500000");
    EXPECT_EQ(chan.get_squelshe().getValue(), 50);
    EXPECT_EQ(chan.get_rte().getValue(), 3);

    m.EncodeASN(LemzRadioState(), vbradio::sample_state(WM_STANDBY), r);
    auto const& standby = r.get_request().get_lemz().get_params().get_wm_standby();
    EXPECT_EQ(standby.get_state_channel().getValue(), TERM::RadioStandby::active);
    EXPECT_EQ(standby.get_group().getValue(), 9u);
    EXPECT_EQ(standby.get_state_receiver().getValue(), TERM::RadioStandby::not_use);

    // A state of no packet type is reported without a request.
    TERM::RtpRadioRequest none;
    m.EncodeASN(LemzRadioState(), vbradio::sample_state(14), none);
    EXPECT_FALSE(none.has_request());
}

// Received bytes 0..255 in the fields the closed types cannot all carry.
TEST(LemzRadioASN, EveryByteInSquelchRteAndStandby)
{
    Mapping m;
    m.prefix = "rtp_ext[3] now:";
    for (int byte = 0; byte < 256; ++byte) {
        SCOPED_TRACE(byte);
        LemzRadioState s = vbradio::sample_state(0);
        s.squelch = s.rte = s.standby_state = s.standby_group = s.receiver_state = byte;
        TERM::RtpRadioRequest r;
        vbtest::CaptureStream err(std::cerr);
        m.EncodeStatusASN(s, r);
        auto const& v = status_of(r);
        bool unset = byte == 255;
        int expected_lines = 0;
        EXPECT_EQ(v.get_squelshe().getValue(), byte <= 103 ? byte : int(TERM::RadioSquelshe::no_config));
        expected_lines += byte > 103 && !unset;
        EXPECT_EQ(v.get_rte().getValue(), byte <= 7 ? byte : int(TERM::RadioRTE::no_config));
        expected_lines += byte > 7 && !unset;
        int standby = byte == 0 ? TERM::RadioStandby::active : TERM::RadioStandby::not_use;
        EXPECT_EQ(v.get_standby_state_channel().getValue(), standby);
        EXPECT_EQ(v.get_standby_state_receiver().getValue(), standby);
        expected_lines += byte != 0 && !unset ? 2 : 0;
        EXPECT_EQ(v.get_standby_group().getValue(), unsigned(byte));
        EXPECT_EQ(lines(err.str()), expected_lines) << err.str();
        if (expected_lines) {
            EXPECT_EQ(err.str().rfind("rtp_ext[3] now:rtpExt ", 0), 0u) << err.str();
        }
    }
}

TEST(LemzRadioASN, OutOfRangeLinesNameTheValue)
{
    Mapping m;
    LemzRadioState s;
    s.squelch = 200;
    s.rte = -7;
    s.standby_group = 256;
    s.standby_state = -1;
    TERM::RtpRadioRequest r;
    vbtest::CaptureStream err(std::cerr);
    m.EncodeStatusASN(s, r);
    EXPECT_EQ(err.str(),
              "rtpExt squelshe 200 out of range, reported as no-config\n"
              "rtpExt rte -7 out of range, reported as no-config\n"
              "rtpExt standby-group 256 out of range, reported as 0\n");
}

TEST(LemzRadioASN, StatusFromTheController)
{
    Mapping m;
    TERM::RtpRadioRequest r;
    LemzRadioState radio = vbradio::sample_state(0);
    radio.standby_state = -1;
    radio.receiver_state = 0;
    m.EncodeStatusASN(radio, r);
    r.get_status().get_lemz().get_freq().set_frequency("145.5");

    // Neither the session, the caller id, the quality nor the source.
    LemzRadioState s;
    s.command = WM_CHAN;
    s.set_caller_id("kept");
    s.session_address = 0x01020304;
    s.session_ssrc = 5;
    s.quality = 0.25f;
    s.source_address = 6;
    LemzRadioState expected = radio;
    expected.set_caller_id("kept");
    expected.session_address = 0x01020304;
    expected.session_ssrc = 5;
    expected.quality = 0.25f;
    expected.source_address = 6;
    expected.source_ssrc = 0;
    m.DecodeASN(r.get_status().get_lemz(), s);
    EXPECT_EQ(fields(s), fields(expected));
}

TEST(LemzRadioASN, ReportStatusIsTheRadiosNotThePackets)
{
    Mapping m;
    LemzRadioState radio;
    radio.priority = 9;
    radio.squelch = 2;
    TERM::RtpRadioRequest r;
    m.EncodeASN(radio, vbradio::sample_state(GW_ADJUST_SQUELSHE), r);
    EXPECT_EQ(status_of(r).get_flags().get_prio().getValue(), 9);
    EXPECT_EQ(status_of(r).get_squelshe().getValue(), 2);
    EXPECT_EQ(r.get_request().get_lemz().get_params().get_gw_set_squelshe().get_squelshe().getValue(), 50);
}

TEST(LemzRadioASN, ModifierTextsThatDoNotParse)
{
    Mapping m;
    TERM::LemzRadioModifier mod;
    mod.get_addr().set_session_addr("not an address");
    auto& freq = mod.get_params().get_gw_set_freq().get_freq();
    freq.set_channel(4);
    freq.set_frequency("MHz");
    LemzRadioState s = vbradio::sample_state(WM_FLAG);
    m.DecodeASN(mod, s);
    EXPECT_EQ(s.command, int(GW_ADJUST_CHAN));
    EXPECT_EQ(s.source_address, 0u) << "nobody, not 255.255.255.255";
    EXPECT_EQ(s.channel_id, 4);
    EXPECT_EQ(s.frequency, 0.0f);
    EXPECT_EQ(s.priority, 3); // not carried by gw-set-freq

    TERM::LemzRadioModifier nothing; // no alternative selected
    m.DecodeASN(nothing, s);
    EXPECT_EQ(s.command, 0);
}

TEST(LemzRadioASN, EveryOracleReportDecodesToItself)
{
    std::vector<TERM::RtpRadioRequest> reports = vbradio::lemz_reports();
    EXPECT_EQ(reports.size(), 1u + 20u + 256u * 5u);
    for (auto const& r : reports) {
        std::vector<char> octets = vbradio::rtp_ext_signal(r);
        ASSERT_FALSE(octets.empty()) << r.asValueNotation();
        LGCP::Message back;
        ASSERT_TRUE(ASN1::CoderEnv(ASN1::CoderEnv::per_Aligned).decode(octets.data(), octets.data() + octets.size(), back, true));
        EXPECT_EQ(back.get_pdu().get_signal().get_rtpExt().compare(r), 0);
    }
}
