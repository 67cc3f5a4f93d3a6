// Known octets of the control protocol, both ways.
#include <gtest/gtest.h>

#include <cstdint>

#include "server/schema/ACP.h"
#include "server/schema/LEMZGW.h"
#include "server/schema/LGCP.h"
#include "server/schema/TERM.h"
#include "tests/asn1/octets.h"

namespace {

using asn1test::codes_as;
using asn1test::encoded;

// Decodes hexText into a fresh T that encodes back to the same.
template <class T>
T decoded(std::string const& hexText)
{
    T value;
    EXPECT_TRUE(asn1test::decode(hexText, value)) << hexText;
    EXPECT_EQ(hexText, encoded(value));
    return value;
}

TEST(SchemaVectors, PingEnvelope)
{
    LGCP::Message m;
    m.set_seq(1);
    m.set_slot(5);
    m.get_pdu().get_command().set_ping();
    // Presence bits 11, seq as length 01 and 01, slot in two aligned octets,
    // PDU 00, command extension bit 0 and alternative 12 of 15 in 4 bits.
    EXPECT_TRUE(codes_as(m, "C0 01 01 00 05 18"));
    EXPECT_TRUE(decoded<LGCP::Message>("C0 01 01 00 05 18").get_pdu().get_command().is_ping());

    LGCP::Message bare;
    bare.get_pdu().get_command().set_ping();
    EXPECT_TRUE(codes_as(bare, "06 00"));

    // seq is held in 64 bits: 2^63 - 1 in eight octets; 2^63 takes nine.
    LGCP::Message wide;
    wide.set_seq(INT64_MAX);
    wide.get_pdu().get_command().set_ping();
    EXPECT_TRUE(codes_as(wide, "80 08 7F FF FF FF FF FF FF FF 18"));
    LGCP::Message longer;
    EXPECT_FALSE(asn1test::decode("80 09 00 80 00 00 00 00 00 00 00 18", longer));
}

TEST(SchemaVectors, ChoiceIndexesAndExtensionBits)
{
    LGCP::TonecCode code;
    code.set_dtmfDone();
    EXPECT_TRUE(codes_as(code, "80 01 00")); // extension bit, index 0, open type 00
    // Root alternatives: extension bit 0 and the index in 0..5.
    code.set_dtmf(127);
    EXPECT_TRUE(codes_as(code, "0F E0")); // 0 000 then 1111111, zero fill

    // selcal, index 22, is a root alternative: extension bit 0, 22 in 5 bits.
    // 01 (slot only), slot in two aligned octets, then PDU 10, ext 0,
    // 10110, SelcalEvent ext 0, in-progress 1.
    LGCP::Message m;
    m.set_slot(2);
    m.get_pdu().get_signal().get_selcal().set_in_progress(true);
    EXPECT_TRUE(codes_as(m, "40 00 02 96 40"));

    // Response carries no extension bit; ErrorCause does.
    // 10, seq 01 07, PDU 01, success/error 1, ext 0, 11 = 1011 in 4 bits.
    LGCP::Message r;
    r.set_seq(7);
    r.get_pdu().get_response().set_error(LGCP::ErrorCause::slotIdBusy);
    EXPECT_TRUE(codes_as(r, "80 01 07 6B"));

    // IoctlResponse has no extension bit: index 8 of 9 in four bits, 1000;
    // stopRecording 0001, then its cause 11.
    LGCP::IoctlResponse ioctl;
    ioctl.get_hdlcPackages();
    EXPECT_TRUE(codes_as(ioctl, "80 00"));
    ioctl.set_stopRecording(LGCP::StopRecordingCause::alreadyStopped);
    EXPECT_TRUE(codes_as(ioctl, "1C"));
}

TEST(SchemaVectors, EnumerationsTravelAsTheirValues)
{
    TERM::LemzRadioStatus status;
    status.set_squelshe(TERM::RadioSquelshe::percent_50); // 53 in 0..103: 7 bits
    status.set_rte(TERM::RadioRTE::j3e);
    status.set_standby_state_channel(TERM::RadioStandby::not_use);
    TERM::LemzRadioStatus back = decoded<TERM::LemzRadioStatus>(encoded(status));
    EXPECT_EQ(back.get_squelshe().getValue(), 53);
    EXPECT_EQ(back.get_standby_state_channel().getValue(), TERM::RadioStandby::not_use);

    TERM::RtpParams rtp;
    rtp.set_qos_dscp(TERM::IpQoSDSCP::ef);
    EXPECT_EQ(decoded<TERM::RtpParams>(encoded(rtp)).get_qos_dscp().getValue(), 46);

    // A value outside the coded range cannot be sent.
    TERM::RadioCommandGWSetStandby bad;
    bad.get_state().setValue(-1);
    EXPECT_EQ("failed", encoded(bad));
}

TEST(SchemaVectors, TrunkStatusAndLemzPacket)
{
    ACP::TrunkStatus s;
    s.set_trunk(1);
    s.set_state(ACP::TrunkState::ais);
    s.set_type(ACP::TrunkType::bri);
    // Extension bit 0 and no presence bits; trunk 01 01 after alignment;
    // state 3 in 0..6; slips 01 00 after alignment ...
    EXPECT_TRUE(codes_as(s, "00 01 01 60 01 00 01 00 01 00 01 00 01 00 00 20"));

    LEMZGW::ProtoLemzPackets packets;
    EXPECT_TRUE(codes_as(packets, "00 00")); // extension bit 0, empty list
    LEMZGW::ProtoLemzPacket p;
    p.set_msgID(LEMZGW::ProtoLemzMsgID::gw_keep_alive);
    p.get_payload().set_gw_get_id();
    // ext 0; msgLength 01 00; msgSeqNum 01 00; msgID ext 0, 4098 = 0x1002
    // in two aligned octets; ...; payload ext 0, index 0 of 67 (7 bits).
    EXPECT_TRUE(codes_as(p, "00 01 00 01 00 00 10 02 00 01 00 00 01 00 00 01 00 00"));
}

} // namespace
