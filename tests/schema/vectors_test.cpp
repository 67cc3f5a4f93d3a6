// Known octets of the control protocol, both ways.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "server/schema/ACP.h"
#include "server/schema/LEMZGW.h"
#include "server/schema/LGCP.h"
#include "server/schema/TERM.h"
#include "tests/schema/random_value.h"

namespace {

using RandomValue::hex;
using RandomValue::unhex;

std::string encoded(ASN1::AbstractData const& value)
{
    std::vector<char> octets;
    EXPECT_TRUE(RandomValue::encode(value, octets)) << value.asValueNotation();
    return hex(octets);
}

// Decodes text into a fresh T and checks that it encodes back to the same.
template <class T>
T decoded(std::string const& text)
{
    T value;
    EXPECT_TRUE(RandomValue::decode(unhex(text), value)) << text;
    EXPECT_EQ(encoded(value), text);
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
    EXPECT_EQ(encoded(m), "c00101000518");

    LGCP::Message bare;
    bare.get_pdu().get_command().set_ping();
    EXPECT_EQ(encoded(bare), "0600");

    LGCP::Message in = decoded<LGCP::Message>("c00101000518");
    EXPECT_EQ(in.get_seq().getValue(), 1);
    EXPECT_EQ(in.get_slot().getValue(), 5u);
    EXPECT_TRUE(in.get_pdu().get_command().is_ping());
    LGCP::Message none = decoded<LGCP::Message>("0600");
    EXPECT_FALSE(none.has_seq());
    EXPECT_FALSE(none.has_slot());
}

TEST(SchemaVectors, DtmfDoneIsAnExtensionAddition)
{
    LGCP::TonecCode code;
    code.set_dtmfDone();
    EXPECT_EQ(encoded(code), "800100"); // extension bit, index 0, open type 00
    EXPECT_TRUE(decoded<LGCP::TonecCode>("800100").is_dtmfDone());

    // Root alternatives: extension bit 0 and the index in 0..5.
    LGCP::TonecCode dtmf;
    dtmf.set_dtmf(127);
    EXPECT_EQ(encoded(dtmf), "0fe0"); // 0 000 then 1111111, zero fill
}

TEST(SchemaVectors, SignalsAndResponses)
{
    // selcal, index 22, is a root alternative: extension bit 0, 22 in 5 bits.
    LGCP::Message m;
    m.set_slot(2);
    m.get_pdu().get_signal().get_selcal().set_in_progress(true);
    // 01 (slot only), slot in two aligned octets, then PDU 10, ext 0,
    // 10110, SelcalEvent ext 0, in-progress 1.
    EXPECT_EQ(encoded(m), "400002" "9640");

    // Response carries no extension bit; ErrorCause does.
    LGCP::Message r;
    r.set_seq(7);
    r.get_pdu().get_response().set_error(LGCP::ErrorCause::slotIdBusy);
    // 10, seq 01 07, PDU 01, success/error 1, ext 0, 11 = 1011 in 4 bits.
    EXPECT_EQ(encoded(r), "800107" "6b");
}

TEST(SchemaVectors, IoctlResponseHasNoExtensionBit)
{
    LGCP::IoctlResponse r;
    r.get_hdlcPackages(); // index 8 of 9: four bits 1000, no extension bit
    EXPECT_EQ(encoded(r), "8000");
    LGCP::IoctlResponse cause;
    cause.set_stopRecording(LGCP::StopRecordingCause::alreadyStopped);
    EXPECT_EQ(encoded(cause), "1c"); // 0001 then 11
}

TEST(SchemaVectors, EnumerationsTravelAsTheirValues)
{
    TERM::LemzRadioStatus status;
    status.set_squelshe(TERM::RadioSquelshe::percent_50); // 53 in 0..103: 7 bits
    status.set_rte(TERM::RadioRTE::j3e);
    status.set_standby_state_channel(TERM::RadioStandby::not_use);
    std::string text = encoded(status);
    TERM::LemzRadioStatus back = decoded<TERM::LemzRadioStatus>(text);
    EXPECT_EQ(back.get_squelshe().getValue(), 53);
    EXPECT_EQ(back.get_standby_state_channel().getValue(), TERM::RadioStandby::not_use);

    TERM::RtpParams rtp;
    rtp.set_qos_dscp(TERM::IpQoSDSCP::ef);
    TERM::RtpParams rtpBack = decoded<TERM::RtpParams>(encoded(rtp));
    EXPECT_EQ(rtpBack.get_qos_dscp().getValue(), 46);

    // A value outside the coded range cannot be sent.
    TERM::RadioCommandGWSetStandby bad;
    bad.get_state().setValue(-1);
    std::vector<char> octets;
    EXPECT_FALSE(RandomValue::encode(bad, octets));
}

TEST(SchemaVectors, TrunkStatusPreamble)
{
    ACP::TrunkStatus s;
    s.set_trunk(1);
    s.set_state(ACP::TrunkState::ais);
    s.set_type(ACP::TrunkType::bri);
    // Extension bit 0 and no presence bits; trunk 01 01 after alignment;
    // state 3 in 0..6; slips 01 00 after alignment ...
    EXPECT_EQ(encoded(s), "000101" "60" "0100" "0100" "0100" "0100" "0100" "00" "20");
    EXPECT_EQ(decoded<ACP::TrunkStatus>(encoded(s)).get_state().getValue(), ACP::TrunkState::ais);
}

TEST(SchemaVectors, LemzPacketHeaderAndPayload)
{
    LEMZGW::ProtoLemzPackets packets;
    EXPECT_EQ(encoded(packets), "0000"); // extension bit 0, empty list
    decoded<LEMZGW::ProtoLemzPackets>("0000");

    LEMZGW::ProtoLemzPacket p;
    p.set_msgID(LEMZGW::ProtoLemzMsgID::gw_keep_alive);
    p.get_payload().set_gw_get_id();
    std::string text = encoded(p);
    // ext 0; msgLength 01 00; msgSeqNum 01 00; msgID ext 0, 4098 = 0x1002
    // in two aligned octets; ...; payload ext 0, index 0 of 67 (7 bits).
    EXPECT_EQ(text, "000100" "0100" "001002" "00010000010000010000");
    LEMZGW::ProtoLemzPacket back = decoded<LEMZGW::ProtoLemzPacket>(text);
    EXPECT_EQ(back.get_msgID().getValue(), 4098);
    EXPECT_TRUE(back.get_payload().is_gw_get_id());
}

} // namespace
