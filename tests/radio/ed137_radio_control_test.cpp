// The ED-137 gateway control on the simulated extension driver, in virtual
// time: headers to the channel (SQI layout, resending by frame timing, the
// keep-alive's kind), reports from it (runs, repetitions, the access rule),
// the source filter, and the supervision's timings, also across the wrap
// of the clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "radio/ed137_radio_slots.h"
#include "tests/radio/address_forms.h"
#include "tests/radio/ed137_messages.h"
#include "tests/radio/radio_support.h"
#include "tests/radio/radio_world.h"

using namespace vbradio;
using namespace Device::RtpExt;
using RTPSignalling::ED137RadioParams;
using RTPSignalling::ED137RadioState;
using testing::ElementsAre;

namespace {

std::string wire(const char* text)
{
    Octets o = unhex(text);
    return std::string(o.begin(), o.end());
}

struct ED137Control : ::testing::Test, RadioWorld {
    Fd rtp = rtp_session();
    std::unique_ptr<ED137> gw;

    ED137Control() { start(ED137RadioParams()); }
    void start(ED137RadioParams const& params, uint16_t pfactor = 2)
    {
        gw.reset();
        init = ED137InitParams(params, pfactor);
        gw = control<ED137>(rtp);
        gw->SetParams(params);
        gw->SetTimerInterval(params.keepalive_period * params.keepalive_multiplier / 2);
    }
    // The payloads written since the last look.
    std::vector<std::string> written()
    {
        std::vector<std::string> out;
        for (std::string const& w : session().written)
            out.push_back(hex(reinterpret_cast<uint8_t const*>(w.data()), w.size()));
        session().written.clear();
        return out;
    }
    // The sender and PTT-id of each report.
    std::vector<std::string> reported()
    {
        std::vector<std::string> out;
        for (auto const& r : reports.requests) {
            TERM::ED137RadioModifier const& m = r.get_request().get_ed_137();
            out.push_back(m.get_addr().get_session_addr() + "/" +
                          std::to_string(m.get_params().get_tx().get_header().get_ptt_id().getValue()));
        }
        return out;
    }
    // A TX header as the voice side sends it.
    static std::string tx(unsigned ptt_id) { return std::string{char(0x20 | ptt_id >> 2), char((ptt_id & 3) << 6), 0, 0}; }
};

TEST(ED137InitRecord, FrameTimingWords)
{
    struct Row {
        uint32_t period, sigtime;
        uint16_t pfactor;
        uint32_t frames, words4;
    } rows[] = {
        {200, 1, 0, 10, 1}, {200, 1, 2, 10, 1}, {200, 3, 2, 30, 3}, {20, 1, 3, 0, 1}, {1000, 50, 1, 5000, 50},
        {200, 0, 2, 10, 1},
    };
    for (Row const& r : rows) {
        ED137RadioParams p;
        p.keepalive_period = r.period, p.sigtime = r.sigtime;
        rtp_ext_init_params i = ED137InitParams(p, r.pfactor);
        EXPECT_EQ(i.etype, 0x0167);
        EXPECT_THAT(i.w, ElementsAre(1u, 123u, r.frames, r.words4)) << r.period << " " << r.sigtime << " " << r.pfactor;
    }
}

TEST_F(ED137Control, StatusesGoOutAsRxHeadersWithTheQualityInTheHighBits)
{
    EXPECT_THAT(sim.board.ioctls(kDevice, RTP_EXT_INIT).back().in, ElementsAre(0x0167u, 1u, 123u, 10u, 1u));
    EXPECT_TRUE(gw->SendASNToChan(ed137_status({TERM::ED137RadioPTT::ptt_off, true, 37})));
    EXPECT_THAT(written(), ElementsAre("19 40 00 00"));
    // Quality 31 by C/N: 11 FA; an unchanged status is not sent again.
    gw->SendASNToChan(ed137_status({TERM::ED137RadioPTT::ptt_off, true, 37, 31}));
    gw->SendASNToChan(ed137_status({TERM::ED137RadioPTT::ptt_off, true, 37, 31}));
    EXPECT_THAT(written(), ElementsAre("19 41 11 FA"));
    EXPECT_EQ(gw->radio_state().bss_quality, 31u);
    EXPECT_EQ(gw->radio_state().bss_method, 2u);
    EXPECT_FALSE(gw->SendASNToChan(lemz_status(false)));
    EXPECT_TRUE(gw->GetSQU());

    // The same on the way in: 11 A2 is quality 20 by C/N.
    r2s_proto p;
    r2s_proto_init(&p, 0);
    ASSERT_EQ(r2s_proto_unpack_rx(&p, unhex("79 51 11 A2").data(), 4), 0);
    ED137RadioState s;
    EXPECT_EQ(RTPSignalling::ED137RadioControl::DecodeProto(p, s), 0);
    EXPECT_EQ(s.flags, 0x1003u);
    EXPECT_EQ(s.bss_quality, 20u);
    EXPECT_EQ(s.bss_method, 2u);
    p.type = R2S_TYPE_NONE;
    EXPECT_EQ(RTPSignalling::ED137RadioControl::DecodeProto(p, s), -1);
}

TEST_F(ED137Control, WithoutFrameTimingEveryStatusIsSentAgain)
{
    ED137RadioParams fast;
    fast.keepalive_period = 20;
    start(fast, 3);
    EXPECT_THAT(sim.board.ioctls(kDevice, RTP_EXT_INIT).back().in, ElementsAre(0x0167u, 1u, 123u, 0u, 1u));
    gw->SendASNToChan(ed137_status());
    gw->SendASNToChan(ed137_status());
    EXPECT_THAT(written(), ElementsAre("00 00 00 00", "00 00 00 00"));
}

TEST_F(ED137Control, OfEachRunFromOneSenderTheLastIsReportedAndRepeatsOncePerInterval)
{
    for (unsigned id : {1, 2, 3})
        queue(tx(id), "10.0.0.1");
    queue(wire("20"), "10.0.0.3"); // too short: dropped
    for (unsigned id : {4, 5})
        queue(tx(id), "10.0.0.2");
    gw->wake();
    EXPECT_THAT(reported(), ElementsAre("10.0.0.1/3", "10.0.0.2/5"));
    EXPECT_EQ(gw->counters().unpack_error, -EBADF);
    EXPECT_EQ(gw->channel_state().source_address, ip("10.0.0.2"));

    reports.requests.clear();
    advance(500);
    queue(tx(5), "10.0.0.2");
    gw->wake();
    EXPECT_THAT(reported(), ElementsAre());
    advance(600);
    queue(tx(5), "10.0.0.2");
    gw->wake();
    EXPECT_THAT(reported(), ElementsAre("10.0.0.2/5"));
    // The report carries the radio's status, with its SQI always.
    EXPECT_TRUE(reports.requests[0].get_status().get_ed_137().has_sqi());
}

TEST_F(ED137Control, OnlyARadioThatTransmitsTakesTheVoiceSidesHeaders)
{
    struct Row {
        uint32_t type, txrxmode;
        bool reported;
    } rows[] = {{2, 2, true}, {3, 0, true}, {4, 2, true}, {1, 2, false}, {0, 2, false}, {2, 1, false}};
    for (Row const& r : rows) {
        ED137RadioParams p;
        p.type = r.type, p.txrxmode = r.txrxmode;
        start(p);
        reports.requests.clear();
        queue(tx(9), "10.0.0.1");
        gw->wake();
        EXPECT_EQ(reports.requests.size(), r.reported ? 1u : 0u) << r.type << " " << r.txrxmode;
    }
}

TEST_F(ED137Control, APttCommandFiltersForItsSessionOnly)
{
    gw->SendASNToChan(ed137_status({TERM::ED137RadioPTT::normal_ptt_on}));
    EXPECT_TRUE(sim.board.ioctls(kDevice, RTP_EXT_SET_FILTER).empty());
    gw->SendASNToChan(ed137_modifier(true, {TERM::ED137RadioPTT::normal_ptt_on, false, 2}, "10.0.0.9"));
    ASSERT_EQ(sim.board.ioctls(kDevice, RTP_EXT_SET_FILTER).size(), 1u);
    EXPECT_EQ(session().filter, ip("10.0.0.9"));
    gw->SendASNToChan(ed137_modifier(true, {TERM::ED137RadioPTT::ptt_off}, "10.0.0.9"));
    EXPECT_FALSE(session().filtering);
}

// A session-addr that does not parse refuses the command whole, with a
// line each: nothing goes out, the states and the filter stay, so a
// stranger's voice is still kept out while the holder keeps the radio.
// 0.0.0.0 still names nobody.
TEST_F(ED137Control, ACommandWhoseSessionAddressDoesNotParseChangesNothing)
{
    gw->SendASNToChan(ed137_status());
    written();
    for (bool held : {false, true}) {
        SCOPED_TRACE(held);
        if (held) {
            ASSERT_TRUE(gw->SendASNToChan(ed137_modifier(true, {TERM::ED137RadioPTT::normal_ptt_on}, "10.0.0.9")));
        }
        written();
        ED137RadioState before = gw->radio_state();
        err.clear();
        for (std::string const& form : unparsable_addresses())
            for (auto ptt : {TERM::ED137RadioPTT::normal_ptt_on, TERM::ED137RadioPTT::ptt_off})
                EXPECT_FALSE(gw->SendASNToChan(ed137_modifier(true, {ptt}, form))) << form;
        EXPECT_TRUE(gw->radio_state().IsEqual(before));
        EXPECT_THAT(written(), ElementsAre());
        EXPECT_EQ(session().filtering, held);
        EXPECT_EQ(session().filter, held ? ip("10.0.0.9") : 0u);
        EXPECT_EQ(requests(RTP_EXT_SET_FILTER), held ? 1u : 0u);
        EXPECT_EQ(requests(RTP_EXT_RESET_FILTER), 0u);
        EXPECT_EQ(held, !session().admits(ip("10.0.0.7")));
        std::string said = err.str();
        EXPECT_EQ(size_t(std::count(said.begin(), said.end(), '\n')), 2 * unparsable_addresses().size());
        EXPECT_TRUE(printable_lines(said)) << said;
        EXPECT_THAT(said, testing::HasSubstr("session-addr \"10.0.0.09\" is no IPv4 address, command refused\n"));
    }
    EXPECT_TRUE(gw->SendASNToChan(ed137_modifier(true, {TERM::ED137RadioPTT::normal_ptt_on}, "0.0.0.0")));
    EXPECT_FALSE(session().filtering);
    EXPECT_EQ(gw->radio_state().ptt, 1u);
}

TEST_F(ED137Control, KeepAlivesStayRxHeadersAfterATxCommand)
{
    gw->SetTimerEnable(true);
    gw->SendASNToChan(ed137_modifier(false, {TERM::ED137RadioPTT::normal_ptt_on, true, 5}));
    EXPECT_THAT(written(), ElementsAre("21 40 00 00"));
    for (int tick = 0; tick < 3; ++tick) {
        advance(1000);
        EXPECT_THAT(written(), ElementsAre("31 40 00 00")) << tick;
    }
    EXPECT_TRUE(gw->radio_state().is_rx());
}

// Ticks every second; the partner is reported lost from the first tick
// at least 2000 ms after the last header (or the start), on every tick,
// until a header arrives. Also across the wrap of the 32-bit clock.
TEST_F(ED137Control, SupervisionAndKeepAliveTimings)
{
    for (uint64_t start_ms : {uint64_t(1000), (uint64_t(1) << 32) - 2500}) {
        SCOPED_TRACE(start_ms);
        clock.set_ms(start_ms);
        start(ED137RadioParams());
        reports.aborts.clear();
        gw->SetTimerEnable(true);
        gw->SendASNToChan(ed137_status());
        written();
        std::vector<size_t> aborts, keepalives;
        for (int tick = 1; tick <= 8; ++tick) {
            advance(1000);
            aborts.push_back(reports.aborts.size());
            keepalives.push_back(written().size());
            if (tick == 4) {
                queue(tx(1), "10.0.0.1");
                gw->wake();
            }
        }
        EXPECT_THAT(aborts, ElementsAre(0u, 1u, 2u, 3u, 3u, 4u, 5u, 6u));
        EXPECT_THAT(keepalives, ElementsAre(1u, 1u, 1u, 1u, 1u, 1u, 1u, 1u));
        EXPECT_THAT(reports.aborts, testing::Each(151));
    }
}

TEST_F(ED137Control, AStatusBetweenTicksDelaysTheKeepAlive)
{
    uint32_t t0 = Mux::milliseconds();
    gw->SendASNToChan(ed137_status());
    written();
    advance(300);
    gw->SendASNToChan(ed137_status({TERM::ED137RadioPTT::ptt_off, true}));
    written();
    EXPECT_EQ(gw->ProcessRadioStatus(t0 + 1000, 1000), 310u);
    EXPECT_THAT(written(), ElementsAre());
    EXPECT_EQ(gw->ProcessRadioStatus(t0 + 1310, 1000), 1000u);
    EXPECT_THAT(written(), ElementsAre("10 00 00 00"));
}

} // namespace
