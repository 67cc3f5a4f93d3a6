// Spot checks of the generated descriptors and accessors: one wrong word in
// a descriptor shifts every later bit on the wire.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "server/schema/ACP.h"
#include "server/schema/HSP.h"
#include "server/schema/LEMZGW.h"
#include "server/schema/LGCP.h"
#include "server/schema/MON.h"
#include "server/schema/TERM.h"

namespace {

struct ChoiceShape {
    char const* name;
    ASN1::ChoiceInfo const& info;
    unsigned root;
    unsigned total;
    bool extendable;
};

TEST(SchemaDescriptors, ChoiceAlternativesAndExtensionMarkers)
{
    const ChoiceShape shapes[] = {
        {"LGCP::PDU", LGCP::PDU::theInfo, 3, 3, false},
        {"LGCP::Command", LGCP::Command::theInfo, 15, 15, true},
        {"LGCP::Response", LGCP::Response::theInfo, 2, 2, false},
        {"LGCP::Signal", LGCP::Signal::theInfo, 23, 23, true},
        {"LGCP::CreateParams", LGCP::CreateParams::theInfo, 20, 20, true},
        {"LGCP::IoctlParams", LGCP::IoctlParams::theInfo, 38, 38, true},
        {"LGCP::IoctlResponse", LGCP::IoctlResponse::theInfo, 9, 9, false},
        {"LGCP::TonecCode", LGCP::TonecCode::theInfo, 6, 7, true},
        {"LEMZGW::ProtoLemzPacketPayload", LEMZGW::ProtoLemzPacketPayload::theInfo, 67, 67, true},
        {"TERM::LemzRadioModifierParams", TERM::LemzRadioModifierParams::theInfo, 20, 20, true},
        {"MON::Command", MON::Command::theInfo, 4, 4, true},
        {"MON::CommonResponse", MON::CommonResponse::theInfo, 2, 2, false},
    };
    for (ChoiceShape const& s : shapes) {
        EXPECT_EQ(s.info.numChoices, s.root) << s.name;
        EXPECT_EQ(s.info.totalChoices, s.total) << s.name;
        EXPECT_EQ(s.info.extendable, s.extendable) << s.name;
    }
    EXPECT_STREQ(LGCP::TonecCode::theInfo.selectionNames[LGCP::TonecCode::e_dtmfDone], "dtmfDone");
    EXPECT_EQ(LGCP::TonecCode::e_dtmfDone, 6);
    EXPECT_EQ(LGCP::Signal::e_selcal, 22);
    EXPECT_EQ(LGCP::Command::e_ping, 12);
    EXPECT_EQ(LGCP::CreateParams::e_usb_tdm, 19);
    EXPECT_STREQ(LGCP::CreateParams::theInfo.selectionNames[LGCP::CreateParams::e_usb_tdm], "usb-tdm");
    EXPECT_EQ(LGCP::Signal::theInfo.selectionInfos[LGCP::Signal::e_trunkStatus], &ACP::TrunkStatus::theInfo);
}

struct SequenceShape {
    char const* name;
    ASN1::SequenceInfo const& info;
    unsigned fields;
    unsigned optionals;
    bool extendable;
};

TEST(SchemaDescriptors, SequenceFieldsAndOptionalCounts)
{
    const SequenceShape shapes[] = {
        {"LGCP::Message", LGCP::Message::theInfo, 3, 2, false},
        {"LGCP::Resources", LGCP::Resources::theInfo, 19, 1, true},
        {"ACP::TrunkStatus", ACP::TrunkStatus::theInfo, 10, 0, true},
        {"ACP::IsdnLinkInfo", ACP::IsdnLinkInfo::theInfo, 29, 0, false},
        {"TERM::RtpParams", TERM::RtpParams::theInfo, 14, 12, true},
        {"TERM::ED137RadioResponse", TERM::ED137RadioResponse::theInfo, 17, 14, true},
        {"TERM::ModemParams", TERM::ModemParams::theInfo, 8, 6, true},
        {"LEMZGW::ProtoLemzPacket", LEMZGW::ProtoLemzPacket::theInfo, 11, 0, true},
        {"MON::Message", MON::Message::theInfo, 1, 0, false},
        {"MON::SnmpSetCommands", MON::SnmpSetCommands::theInfo, 1, 0, true},
    };
    for (SequenceShape const& s : shapes) {
        EXPECT_EQ(s.info.numFields, s.fields) << s.name;
        EXPECT_EQ(s.info.numOptionals, s.optionals) << s.name;
        EXPECT_EQ(s.info.extendable, s.extendable) << s.name;
    }
    // Optional indexes count the optional fields only, in field order.
    ASN1::SequenceInfo const& rtp = TERM::RtpParams::theInfo;
    EXPECT_EQ(rtp.fieldIds[0], ASN1::MandatoryField);
    EXPECT_EQ(rtp.fieldIds[1], ASN1::MandatoryField);
    EXPECT_EQ(rtp.fieldIds[2], 0u);
    EXPECT_EQ(rtp.fieldIds[13], 11u);
    EXPECT_STREQ(rtp.fieldNames[13], "qos-dscp");
    EXPECT_EQ(LGCP::Resources::theInfo.fieldIds[2], 0u);
    EXPECT_EQ(LGCP::Resources::theInfo.fieldIds[3], ASN1::MandatoryField);
}

TEST(SchemaDescriptors, ConstrainedNumbersListsAndStrings)
{
    auto const* slot = static_cast<ASN1::ConstrainedInfo const*>(LGCP::Message::theInfo.fieldInfos[1]);
    EXPECT_EQ(slot->type, ASN1::FixedConstraint);
    EXPECT_EQ(slot->upperLimit, 1023u);
    auto const* fid = static_cast<ASN1::ConstrainedInfo const*>(TERM::ED137RadioResponse::theInfo.fieldInfos[9]);
    EXPECT_EQ(fid->lowerLimit, 112000);
    EXPECT_EQ(fid->upperLimit, 399975u);
    auto const* ssrc = static_cast<ASN1::ConstrainedInfo const*>(TERM::RtpParams::theInfo.fieldInfos[11]);
    EXPECT_EQ(ssrc->upperLimit, 4294967295u);
    // EchoParams bus and channel are not constrained, TrunkParams' are.
    EXPECT_EQ(LGCP::EchoParams::theInfo.fieldInfos[0], &ASN1::INTEGER::theInfo);
    EXPECT_NE(LGCP::TrunkParams::theInfo.fieldInfos[0], &ASN1::INTEGER::theInfo);

    auto const* dname = static_cast<ASN1::StringInfo const*>(TERM::RtpParams::theInfo.fieldInfos[3]);
    EXPECT_EQ(dname->tag, 22u);
    EXPECT_EQ(dname->lowerLimit, 1);
    EXPECT_EQ(dname->upperLimit, 64u);

    auto const* mixer = static_cast<ASN1::SequenceOfInfo const*>(LGCP::Resources::theInfo.fieldInfos[8]);
    EXPECT_EQ(mixer->type, ASN1::Unconstrained);
    EXPECT_EQ(mixer->itemInfo, &LGCP::MixerResources_subtype::theInfo);
    EXPECT_NE(mixer->create, nullptr); // constant, usable before any start-up
    auto const* tonec = static_cast<ASN1::SequenceOfInfo const*>(
        LGCP::IoctlParams::theInfo.selectionInfos[LGCP::IoctlParams::e_activateTonec]);
    EXPECT_EQ(tonec->tag, 17u); // the one SET OF
    EXPECT_EQ(tonec->itemInfo, &LGCP::TonecMask::theInfo);
}

TEST(SchemaDescriptors, EnumerationsCarryTheirValues)
{
    EXPECT_EQ(LGCP::ErrorCause::theInfo.maxEnumValue, 12);
    EXPECT_TRUE(LGCP::ErrorCause::theInfo.extendable);
    EXPECT_EQ(LGCP::ErrorCause::destroyInProgress, 12);
    EXPECT_EQ(TERM::IpQoSDSCP::theInfo.maxEnumValue, 56);
    EXPECT_EQ(TERM::IpQoSDSCP::ef, 46);
    EXPECT_EQ(TERM::IpQoSDSCP::count, 23);
    EXPECT_EQ(TERM::RadioSquelshe::percent_50, 53);
    EXPECT_EQ(TERM::RadioSquelshe::theInfo.maxEnumValue, 103);
    EXPECT_EQ(LEMZGW::ProtoLemzMsgID::gw_keep_alive, 4098);
    EXPECT_EQ(LEMZGW::ProtoLemzMsgID::theInfo.maxEnumValue, 13056);
    EXPECT_EQ(LEMZGW::ProtoLemzAnalogGainIDV1::min, LEMZGW::ProtoLemzAnalogGainIDV1::rtx1);
    EXPECT_EQ(TERM::RadioStandby::not_use, 1);
    EXPECT_EQ(TERM::RadioStandby::theInfo.maxEnumValue, 1);

    // Names table: every item in the order given, the value explicit, and
    // the value in the text where it does not follow on.
    ASN1::EnumInfo const& standby = HSP::StandbyCommand::theInfo;
    ASSERT_EQ(standby.nameCount, 3u);
    EXPECT_EQ(standby.maxEnumValue, 16);
    EXPECT_EQ(standby.names[1].value, 8);
    EXPECT_STREQ(standby.names[1].name, "standby=8");
    EXPECT_STREQ(standby.names[2].name, "active=16");
    ASN1::EnumInfo const& msg = LEMZGW::ProtoLemzMsgID::theInfo;
    EXPECT_STREQ(msg.names[0].name, "gw-get-id=4097");
    EXPECT_STREQ(msg.names[1].name, "gw-keep-alive");
    EXPECT_EQ(msg.names[1].value, 4098);

    HSP::StandbyCommand value;
    value = HSP::StandbyCommand::standby;
    EXPECT_STREQ(value.getName(), "standby=8");
    LEMZGW::ProtoLemzAnalogGainIDV1 gain(LEMZGW::ProtoLemzAnalogGainIDV1::min);
    EXPECT_STREQ(gain.getName(), "rtx1"); // a shared value prints as its first name
}

TEST(SchemaAccessors, OptionalFieldsAreMarkedBySettersOnly)
{
    LGCP::Message m;
    // An absent field reads as its default without being created.
    LGCP::Message const& cm = m;
    EXPECT_EQ(cm.get_slot().getValue(), 0u);
    EXPECT_EQ(m.getField(1), nullptr);
    EXPECT_FALSE(m.has_slot());

    m.set_slot(1023);
    EXPECT_TRUE(m.hasOptionalField(LGCP::Message::e_slot));
    EXPECT_EQ(cm.get_slot().getValue(), 1023u);
    m.remove_slot();
    EXPECT_FALSE(m.has_slot());

    m.get_seq().setValue(9); // get_ alone leaves the field absent
    EXPECT_FALSE(m.has_seq());
    m.include_seq();
    EXPECT_EQ(cm.get_seq().getValue(), 9);

    TERM::RtpParams rtp;
    rtp.include_jitter().set_start(40);
    rtp.set_qos_dscp(TERM::IpQoSDSCP::af41);
    EXPECT_TRUE(rtp.has_jitter());
    EXPECT_EQ(rtp.get_jitter().get_start().getValue(), 40);
    EXPECT_EQ(rtp.get_qos_dscp().getValue(), 34);
    EXPECT_FALSE(rtp.has_radio());
}

TEST(SchemaAccessors, ChoicesSelectOnWrite)
{
    LGCP::Message m;
    LGCP::PDU const& pdu = m.get_pdu();
    EXPECT_EQ(pdu.currentSelection(), ASN1::CHOICE::unselected);
    // Reading an alternative that is not selected selects nothing.
    EXPECT_EQ(pdu.get_command().currentSelection(), ASN1::CHOICE::unselected);
    EXPECT_EQ(pdu.currentSelection(), ASN1::CHOICE::unselected);

    m.get_pdu().get_command().set_ping();
    EXPECT_TRUE(pdu.is_command());
    EXPECT_TRUE(pdu.get_command().is_ping());
    m.get_pdu().get_command().set_connect(17);
    EXPECT_EQ(pdu.get_command().get_connect().getValue(), 17u);
    EXPECT_FALSE(pdu.get_command().is_ping());

    LGCP::Response r;
    r.set_error(LGCP::ErrorCause::slotIdBusy);
    EXPECT_EQ(r.currentSelection(), LGCP::Response::e_error);
    EXPECT_EQ(r.get_error().getValue(), LGCP::ErrorCause::slotIdBusy);
    r.set_success();
    EXPECT_TRUE(r.is_success());
}

TEST(SchemaAccessors, CopiesAndAssignmentKeepTheirOwnValues)
{
    LGCP::Resources a;
    LGCP::MixerResources_subtype mixer;
    mixer.set_unit(3);
    a.get_mixer().push_back(mixer);
    a.get_echoBus().push_back(ASN1::INTEGER(5));
    LGCP::Resources b(a);
    EXPECT_EQ(b.compare(a), 0);
    b.get_mixer()[0].set_unit(4);
    EXPECT_EQ(a.get_mixer()[0].get_unit().getValue(), 3);
    a = b;
    EXPECT_EQ(a.get_mixer()[0].get_unit().getValue(), 4);
    EXPECT_EQ(a.get_echoBus()[0].getValue(), 5);
}

} // namespace
