// The RTP factory on the simulated board: the session record it begins,
// the payloads it takes, the addresses and ports it refuses, the failing
// steps that must leave nothing open, and the codec resources it reports.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "media/rtp_session.h"
#include "tests/media/rtp_support.h"

using namespace vbtest;
using testing::ElementsAre;
using testing::HasSubstr;
using P = TERM::Payload;

namespace {

struct RtpFactoryTest : ::testing::Test, RtpWorld {
    uint16_t port = free_rtp_port();
};

TEST_F(RtpFactoryTest, TheSessionRecordCarriesEveryCreationField)
{
    LGCP::Command c = create_rtp(port);
    TERM::RtpParams& p = c.get_create().get_rtp().get_codecRTP();
    c.get_create().get_rtp().set_txPayload(P::ptG711_Ulaw);
    c.get_create().get_rtp().set_rxPayload(P::ptG729);
    p.set_pfactor(3);
    p.set_crate(7);
    p.set_vad(true);
    p.set_ssrc(0x01020304);
    p.set_ttl(5);
    p.set_qos_dscp(TERM::IpQoSDSCP::ef);
    EXPECT_THAT(command(c, 1), ElementsAre("slot=1 success", "slot=1 transmitter active : 2048", "slot=1 receiver active : 2048"));

    rtp_connection_params r = begun();
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&r);
    EXPECT_EQ(std::string(bytes, bytes + 4), std::string("\x7f\x00\x00\x01", 4));
    EXPECT_EQ(r.remote_port, port);
    EXPECT_EQ(r.local_addr, 0u); // no shost: any address, dhost's port
    EXPECT_EQ(r.local_port, port);
    EXPECT_EQ(r.rx_pt, 8);       // the G.729 override is ignored
    EXPECT_EQ(r.tx_pt, 0);       // the u-law override is taken
    EXPECT_EQ(r.packet_factor, 3);
    EXPECT_EQ(r.vad, 1);
    EXPECT_EQ(r.crate, 1);
    EXPECT_EQ(r.ssrc, 0x01020304u);
    EXPECT_EQ(r.ttl, 5u);
    EXPECT_EQ(r.tos, 184u);
    EXPECT_EQ(r.reserved0 | r.reserved1 | r.reserved2[0] | r.reserved2[1], 0u);
}

TEST_F(RtpFactoryTest, ShostGivesTheLocalSideAndNoQosLeavesTosUnset)
{
    uint16_t local = free_rtp_port();
    UdpPeer rtcp(uint16_t(port + 1));
    LGCP::Command c = create_rtp(port);
    c.get_create().get_rtp().get_codecRTP().include_shost().set_iaddr("127.0.0.1");
    c.get_create().get_rtp().get_codecRTP().include_shost().set_port(local);
    ASSERT_THAT(command(c, 1), testing::Contains("slot=1 success"));
    rtp_connection_params r = begun();
    EXPECT_EQ(r.local_addr, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(r.local_port, local);
    EXPECT_EQ(r.tos, 0xFFFFFFFFu);
    EXPECT_EQ(r.ttl, 0u);
    // The RTCP socket sits on the local RTP port + 1.
    UdpPeer taken(uint16_t(local + 1));
    EXPECT_NE(taken.port(), local + 1);
    // The source description, with the session's random SSRC, reached the
    // remote RTP port + 1.
    ASSERT_TRUE(run_real([&] { return rtcp.ready(); }));
    std::string sdes = rtcp.take();
    EXPECT_EQ(uint8_t(sdes[1]), 202);
    EXPECT_EQ(word_at(sdes, 4), r.ssrc);
    EXPECT_THAT(sdes, HasSubstr("Tolvane Veridane"));
}

TEST(TranslateCodec, PayloadTypesAndOverrides)
{
    struct Row {
        P::NamedNumber payload, override_;
        uint16_t pt;
    } rows[] = {
        {P::ptG711_Alaw, P::ptG711_Alaw, 8},     {P::ptG711_Ulaw, P::ptG711_Ulaw, 0},
        {P::ptG723, P::ptG723, 4},               {P::ptG729, P::ptG729, 18},
        {P::ptG711mcc_Alaw, P::ptG711mcc_Alaw, 136}, {P::ptG711mcc_Ulaw, P::ptG711mcc_Ulaw, 128},
        {P::ptG728, P::ptG728, 15},              {P::ptG722, P::ptG722, 9},
        {P::ptG711_Alaw, P::ptG711_Ulaw, 0},     {P::ptG729, P::ptG711_Alaw, 8},
        {P::ptG711_Alaw, P::ptG729, 8},          {P::ptT38_UDP_TL, P::ptT38_UDP_TL, 0},
    };
    for (const Row& r : rows)
        EXPECT_EQ(translateCodec(r.payload, r.override_), r.pt) << r.payload << " " << r.override_;
}

TEST_F(RtpFactoryTest, EightPayloadsMakeASlotOthersAreRefused)
{
    int n = 1;
    for (P::NamedNumber pl : {P::ptG711_Alaw, P::ptG711_Ulaw, P::ptG723, P::ptG729, P::ptG711mcc_Alaw,
                              P::ptG711mcc_Ulaw, P::ptG728, P::ptG722}) {
        EXPECT_THAT(command(create_rtp(free_rtp_port(), pl), n), testing::Contains(testing::EndsWith("success")))
            << pl;
        ++n;
    }
    for (P::NamedNumber pl : {P::ptT38_UDP_TL, P::ptR2S, P::reserv_1}) {
        log.clear();
        EXPECT_THAT(command(create_rtp(port, pl), 20), ElementsAre("slot=20 error insufficientResources"));
        EXPECT_THAT(log.str(), HasSubstr("rtp do not created: payload "));
    }
    EXPECT_EQ(engine().sessions(), 8u);
}

TEST_F(RtpFactoryTest, ARadioPartIsLeftToOtherFactoriesWithoutAWord)
{
    LGCP::Command c = create_rtp(port);
    c.get_create().get_rtp().get_codecRTP().get_radio();
    c.get_create().get_rtp().get_codecRTP().include_radio();
    log.clear();
    EXPECT_EQ(factory_.INewSlot(c.get_create()), nullptr);
    EXPECT_EQ(log.str(), "");
    EXPECT_EQ(engine().sessions(), 0u);
}

// Text that is no address would send RTP and RTCP to 255.255.255.255, and
// port 65535 would put RTCP on port 0.
TEST_F(RtpFactoryTest, RefusesNonAddressesAndTheLastPort)
{
    struct Row {
        const char* dhost;
        unsigned dport;
        const char* shost; // null: none
        unsigned sport;
        bool made;
    } rows[] = {
        {"1.2.3", port, nullptr, 0, false},
        {"gateway", port, nullptr, 0, false},
        {"", port, nullptr, 0, false},
        {"127.0.0.1", port, "127.0.0.1.", port, false},
        {"127.0.0.1", 65535, nullptr, 0, false},
        {"127.0.0.1", port, "127.0.0.1", 65535, false},
        {"127.0.0.1", 65535, "127.0.0.1", port, false},
        {"255.255.255.255", port, nullptr, 0, true},
    };
    // The tone and DSP devices, opened at first use, stay open.
    tonec().configureDTMF(0, LGCP::DTMFParams()), dsproc().configureSD(0);
    int before = fds();
    for (const Row& r : rows) {
        LGCP::Command c = create_rtp(uint16_t(r.dport));
        c.get_create().get_rtp().get_codecRTP().get_dhost().set_iaddr(r.dhost);
        if (r.shost) {
            c.get_create().get_rtp().get_codecRTP().include_shost().set_iaddr(r.shost);
            c.get_create().get_rtp().get_codecRTP().include_shost().set_port(r.sport);
        }
        log.clear();
        Texts t = command(c, 3);
        EXPECT_EQ(t.at(0), r.made ? "slot=3 success" : "slot=3 error insufficientResources") << r.dhost;
        if (!r.made) {
            EXPECT_THAT(log.str(), HasSubstr("rtp do not created: ")) << r.dhost;
        }
    }
    destroy(3);
    EXPECT_EQ(fds(), before);
}

// Each failing step gives no slot and leaves no descriptor and no session.
TEST_F(RtpFactoryTest, AFailingStepLeavesNothingOpen)
{
    int before = fds();
    // blockers: the test's own sockets that hold a port.
    auto refused = [&](const char* what, int blockers = 0) {
        EXPECT_THAT(command(create_rtp(port), 1), ElementsAre("slot=1 error insufficientResources")) << what;
        EXPECT_EQ(engine().sessions(), 0u) << what;
        EXPECT_EQ(fds(), before + blockers) << what;
    };
    {
        UdpPeer rtcpBusy(uint16_t(port + 1));
        refused("RTCP port busy", 1);
        EXPECT_THAT(log.str(), HasSubstr("can not bind socket"));
    }
    sim.board.fail(Device::Rtp::kDevice, SimBoard::Op::open, ENODEV);
    refused("open");
    {
        UdpPeer rtpBusy(port);
        refused("begin", 1);
        EXPECT_THAT(err.str(), HasSubstr("begin session fail"));
    }
    engine().set_channels(0);
    refused("add channel");
    EXPECT_THAT(err.str(), HasSubstr("add channel fail"));
    engine().set_channels(SimBoard::RtpEngine::kDefaultChannels);
    EXPECT_THAT(command(create_rtp(port), 1), testing::Contains("slot=1 success"));
}

TEST_F(RtpFactoryTest, EchoSuppressorSwitchesTheCancellerAsAsked)
{
    for (bool canceller : {true, false}) {
        sim.board.clear_log();
        LGCP::Command c = create_rtp(free_rtp_port());
        c.get_create().get_rtp().get_codecRTP().get_echo().set_suppressor(true);
        c.get_create().get_rtp().get_codecRTP().get_echo().set_canceller(canceller);
        c.get_create().get_rtp().get_codecRTP().include_echo();
        command(c, 1);
        uint32_t channel = uint32_t(rtp(1)->channel());
        EXPECT_EQ(dtmf().timeslot(channel).lms, canceller);
        auto off = sim.board.ioctls(Device::Dtmf::kDevice, Device::Dtmf::CHANNEL_LMS_OFF);
        EXPECT_EQ(off.size(), canceller ? 0u : 1u);
        destroy(1);
    }
}

// Each mask's count, as the header shows them; none without the device.
TEST_F(RtpFactoryTest, QueryReportsTheCountsOfEachMask)
{
    auto counts = [](LGCP::Resources const& r) {
        return std::vector<int>{int(r.get_rtp_g729().getValue()), int(r.get_rtp_g723().getValue()),
                                int(r.get_rtp_g722().getValue()), int(r.get_rtp_g711().getValue()),
                                int(r.get_rtp_g711mcc().getValue()), int(r.get_universal().getValue())};
    };
    voice().set_count(Device::Voice::kG729, 3);
    voice().set_count(Device::Voice::kUniversal, 0);
    LGCP::Resources r;
    factory_.Query(r);
    EXPECT_EQ(counts(r), (std::vector<int>{3, 8, 4, 32, 16, 0}));
    std::ostringstream header;
    factory_.PutHeader(header);
    EXPECT_EQ(header.str(), "rtp[3,8,4,32,0]: ");

    RtpFactory f;
    sim.board.fail(Device::Voice::kDevice, SimBoard::Op::open, ENOENT);
    f.Query(r);
    EXPECT_EQ(counts(r), std::vector<int>(6, 0));
    EXPECT_THAT(err.str(), HasSubstr("rtp[0,0,0,0,0]: device \"/dev/voice\" open fail: No such file or directory"));
}

} // namespace
