#include "tests/asn1/sample_types.h"

namespace Sample {

using ASN1::DataInfo;
using ASN1::MandatoryField;

namespace {

ASN1::NamedNumber const errorCauseNames[] = {
    {0, "invalidParams"}, {1, "insufficientResources"}, {2, "invalidSlot"}, {3, "slotNotExists"},
    {4, "unexpectedMsgType"}, {5, "internal"}, {6, "unsupported"}, {7, "reconnectionFail"},
    {8, "disconnectFail"}, {9, "connectFail"}, {10, "busError"}, {11, "slotIdBusy"}, {12, "destroyInProgress"},
};

ASN1::NamedNumber const standbyNames[] = {{0, "none"}, {8, "standby"}, {16, "active"}};
ASN1::NamedNumber const r1Names[] = {{0, "none"}, {1, "noise"}, {2, "silence"}};
ASN1::NamedNumber const trunkModeNames[] = {{0, "slave"}, {1, "master"}};

const ASN1::EnumInfo trunkModeInfo = {{&ASN1::ENUMERATED::create, 10}, false, 1, trunkModeNames, 2};

DataInfo const* const ivaInfos[] = {&IvaNumber::theInfo, &ASN1::Null::theInfo};
char const* const ivaNames[] = {"code", "ringoff"};

DataInfo const* const tonePresenceFields[] = {&ASN1::INTEGER::theInfo, &ASN1::BOOLEAN::theInfo};
unsigned const tonePresenceIds[] = {MandatoryField, MandatoryField};
char const* const tonePresenceNames[] = {"freq", "presence"};

DataInfo const* const tonecInfos[] = {&DtmfDigit::theInfo, &R1Code::theInfo,      &ASN1::Null::theInfo,
                                      &ASN1::Null::theInfo, &IvaCode::theInfo,    &TonePresence::theInfo,
                                      &ASN1::Null::theInfo};
char const* const tonecNames[] = {"dtmf", "r1", "ced", "cng", "iva", "tone-presence", "dtmfDone"};

DataInfo const* const trunkCfgFields[] = {&ASN1::INTEGER::theInfo, &trunkModeInfo};
unsigned const trunkCfgIds[] = {MandatoryField, MandatoryField};
char const* const trunkCfgNames[] = {"trunk", "mode"};

DataInfo const* const commandInfos[] = {
    &ASN1::Null::theInfo, &ASN1::Null::theInfo,         &SlotNumber::theInfo, &ASN1::Null::theInfo,
    &ASN1::Null::theInfo, &ASN1::Null::theInfo,         &ASN1::Null::theInfo, &ASN1::Null::theInfo,
    &ASN1::OCTET_STRING::theInfo, &ASN1::Null::theInfo, &TrunkCfg::theInfo,   &ASN1::Null::theInfo,
    &ASN1::Null::theInfo, &ASN1::Null::theInfo,         &ASN1::Null::theInfo};
char const* const commandNames[] = {"query",      "testBpc", "connect", "disconnect", "create",
                                    "destroy",    "activate", "deactivate", "userData", "ioctl",
                                    "trunkCfg",   "clockCfg", "ping",    "display",    "protoLemz"};

DataInfo const* const responseInfos[] = {&ASN1::Null::theInfo, &ErrorCause::theInfo};
char const* const responseNames[] = {"success", "error"};

DataInfo const* const signalInfos[] = {&TonecCode::theInfo, &ASN1::IA5String::theInfo, &ASN1::INTEGER::theInfo,
                                       &ASN1::OCTET_STRING::theInfo};
char const* const signalNames[] = {"tonec", "number", "abort", "userData"};

DataInfo const* const pduInfos[] = {&Command::theInfo, &Response::theInfo, &Signal::theInfo};
char const* const pduNames[] = {"command", "response", "signal"};

DataInfo const* const messageFields[] = {&ASN1::INTEGER64::theInfo, &SlotNumber::theInfo, &PDU::theInfo};
unsigned const messageIds[] = {0, 1, MandatoryField};
char const* const messageNames[] = {"seq", "slot", "pdu"};

typedef ASN1::Constrained_INTEGER<ASN1::FixedConstraint, 0, 255> Octet;
DataInfo const* const extendedFields[] = {&Octet::theInfo, &ASN1::BOOLEAN::theInfo, &ASN1::IA5String::theInfo,
                                          &ASN1::INTEGER::theInfo, &ASN1::OCTET_STRING::theInfo};
unsigned const extendedIds[] = {MandatoryField, 0, 1, 0, 0};
char const* const extendedNames[] = {"a", "b", "c", "d", "e"};

DataInfo const* const xyInfos[] = {&ASN1::Null::theInfo, &ASN1::INTEGER::theInfo};
char const* const xyNames[] = {"x", "y"};

DataInfo const* const exampleFields[] = {&ASN1::INTEGER::theInfo, &integerListInfo, &XY::theInfo};
unsigned const exampleIds[] = {MandatoryField, MandatoryField, MandatoryField};
char const* const exampleNames[] = {"a", "b", "c"};

typedef ASN1::Constrained_INTEGER<ASN1::FixedConstraint, 0, 0xFFFFFFFFu> Big;
typedef ASN1::Constrained_INTEGER<ASN1::FixedConstraint, -10, 10> Small;
const ASN1::StringInfo shortName = {{{&ASN1::AbstractString::create, 19}, ASN1::FixedConstraint, 1, 8},
                                    ASN1::PrintableString::theInfo.characterSet, 74, 7, 7, 8};
const ASN1::SequenceOfInfo modesInfo = {
    {{&ASN1::SEQUENCE_OF_Base::create, 17}, ASN1::Unconstrained, 0, ASN1::NoUpperLimit}, &StandbyCommand::theInfo};
const ASN1::ConstrainedInfo codeInfo = {{&ASN1::OCTET_STRING::create, 4}, ASN1::FixedConstraint, 2, 4};
DataInfo const* const kindsFields[] = {&Big::theInfo,      &Small::theInfo, &ASN1::OBJECT_IDENTIFIER::theInfo,
                                       &ASN1::BIT_STRING::theInfo, &ASN1::BMPString::theInfo,
                                       &ASN1::GeneralizedTime::theInfo, &shortName, &modesInfo, &codeInfo};
unsigned const kindsIds[] = {MandatoryField, MandatoryField, MandatoryField, MandatoryField, MandatoryField,
                             MandatoryField, 0, MandatoryField, MandatoryField};
char const* const kindsNames[] = {"big", "small", "oid", "bits", "wide", "time", "name", "modes", "code"};

DataInfo const* const targetInfos[] = {&ASN1::Null::theInfo, &SlotNumber::theInfo};
char const* const targetNames[] = {"none", "slot"};

DataInfo const* const carrierFields[] = {&Target::theInfo, &slotOpenInfo, &SlotNumber::theInfo};
unsigned const carrierIds[] = {MandatoryField, MandatoryField, 0};
char const* const carrierNames[] = {"target", "held", "slot"};

} // namespace

const ASN1::ChoiceInfo Target::theInfo = {{&Target::create, 0}, true, targetInfos, 1, 2, nullptr, targetNames};
const ASN1::TypeConstrainedOpenInfo slotOpenInfo = {{&ASN1::TypeConstrainedOpenData::create, 0}, &SlotNumber::theInfo};
const ASN1::SequenceInfo Carrier::theInfo = {
    {&Carrier::create, 16}, true, carrierFields, carrierIds, 2, 1, 0, nullptr, nullptr, carrierNames};

const ASN1::SequenceInfo Kinds::theInfo = {
    {&Kinds::create, 16}, false, kindsFields, kindsIds, 9, 0, 1, nullptr, nullptr, kindsNames};

const NamedType allTypes[] = {
    {"Message", &Message::theInfo}, {"Extended", &Extended::theInfo}, {"Example", &Example::theInfo},
    {"Kinds", &Kinds::theInfo},     {"TonecCode", &TonecCode::theInfo}, {"ErrorCause", &ErrorCause::theInfo},
    {"Carrier", &Carrier::theInfo},
};
const unsigned allTypeCount = sizeof allTypes / sizeof allTypes[0];

const ASN1::EnumInfo ErrorCause::theInfo = {{&ErrorCause::create, 10}, true, 12, errorCauseNames, 13};
const ASN1::EnumInfo StandbyCommand::theInfo = {{&StandbyCommand::create, 10}, false, 16, standbyNames, 3};
const ASN1::EnumInfo R1Code::theInfo = {{&R1Code::create, 10}, false, 2, r1Names, 3};

const ASN1::ChoiceInfo IvaCode::theInfo = {{&IvaCode::create, 0}, false, ivaInfos, 2, 2, nullptr, ivaNames};
const ASN1::SequenceInfo TonePresence::theInfo = {
    {&TonePresence::create, 16}, true, tonePresenceFields, tonePresenceIds, 2, 0, 0, nullptr, nullptr,
    tonePresenceNames};
const ASN1::ChoiceInfo TonecCode::theInfo = {{&TonecCode::create, 0}, true, tonecInfos, 6, 7, nullptr, tonecNames};
const ASN1::SequenceInfo TrunkCfg::theInfo = {
    {&TrunkCfg::create, 16}, false, trunkCfgFields, trunkCfgIds, 2, 0, 0, nullptr, nullptr, trunkCfgNames};
const ASN1::ChoiceInfo Command::theInfo = {{&Command::create, 0}, true, commandInfos, 15, 15, nullptr, commandNames};
const ASN1::ChoiceInfo Response::theInfo = {
    {&Response::create, 0}, false, responseInfos, 2, 2, nullptr, responseNames};
const ASN1::ChoiceInfo Signal::theInfo = {{&Signal::create, 0}, true, signalInfos, 4, 4, nullptr, signalNames};
const ASN1::ChoiceInfo PDU::theInfo = {{&PDU::create, 0}, false, pduInfos, 3, 3, nullptr, pduNames};
const ASN1::SequenceInfo Message::theInfo = {
    {&Message::create, 16}, false, messageFields, messageIds, 3, 0, 2, nullptr, nullptr, messageNames};
const ASN1::SequenceInfo Extended::theInfo = {
    {&Extended::create, 16}, true, extendedFields, extendedIds, 3, 2, 2, nullptr, nullptr, extendedNames};
const ASN1::SequenceInfo ExtendedRoot::theInfo = {
    {&ExtendedRoot::create, 16}, true, extendedFields, extendedIds, 3, 0, 2, nullptr, nullptr, extendedNames};

Message ping(bool withSeqAndSlot)
{
    Message msg;
    if (withSeqAndSlot) {
        msg.set_seq(1);
        msg.set_slot(5);
    }
    msg.get_pdu().select_command().select(Command::e_ping);
    return msg;
}

const ASN1::SequenceOfInfo integerListInfo = {
    {{&IntegerList::create, 16}, ASN1::Unconstrained, 0, ASN1::NoUpperLimit}, &ASN1::INTEGER::theInfo};
const ASN1::ChoiceInfo XY::theInfo = {{&XY::create, 0}, false, xyInfos, 2, 2, nullptr, xyNames};
const ASN1::SequenceInfo Example::theInfo = {
    {&Example::create, 16}, false, exampleFields, exampleIds, 3, 0, 0, nullptr, nullptr, exampleNames};

} // namespace Sample
