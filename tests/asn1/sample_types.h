// Hand-written message classes in the form generated classes take: a
// constant descriptor per type and typed accessors. They follow the shapes of
// the control protocol's envelope so that known octet strings can be checked.
#pragma once

#include <boost/polymorphic_cast.hpp>

#include "asn1/asn1.h"

namespace Sample {

typedef ASN1::Constrained_INTEGER<ASN1::FixedConstraint, 0, 1023> SlotNumber;
typedef ASN1::Constrained_INTEGER<ASN1::FixedConstraint, 0, 127> DtmfDigit;
typedef ASN1::Constrained_INTEGER<ASN1::FixedConstraint, 1, 21> IvaNumber;

template <class T>
T& field_as(ASN1::SEQUENCE& seq, unsigned index)
{
    return *boost::polymorphic_downcast<T*>(seq.makeField(index));
}

template <class T>
T& selection_as(ASN1::CHOICE& choice)
{
    return *boost::polymorphic_downcast<T*>(choice.getSelection());
}

// ENUMERATED, extensible, values 0..12.
class ErrorCause : public ASN1::ENUMERATED {
public:
    enum NamedNumber {
        invalidParams, insufficientResources, invalidSlot, slotNotExists, unexpectedMsgType, internal,
        unsupported, reconnectionFail, disconnectFail, connectFail, busError, slotIdBusy, destroyInProgress
    };
    static const ASN1::EnumInfo theInfo;
    explicit ErrorCause(void const* info = &theInfo) : ENUMERATED(info) {}
    static ASN1::AbstractData* create(void const* info) { return new ErrorCause(info); }
};

// ENUMERATED with gaps: none, standby (8), active (16); not extensible.
class StandbyCommand : public ASN1::ENUMERATED {
public:
    enum NamedNumber { none = 0, standby = 8, active = 16 };
    static const ASN1::EnumInfo theInfo;
    explicit StandbyCommand(void const* info = &theInfo) : ENUMERATED(info) {}
    static ASN1::AbstractData* create(void const* info) { return new StandbyCommand(info); }
};

// ENUMERATED, not extensible: none, noise, silence.
class R1Code : public ASN1::ENUMERATED {
public:
    enum NamedNumber { none, noise, silence };
    static const ASN1::EnumInfo theInfo;
    explicit R1Code(void const* info = &theInfo) : ENUMERATED(info) {}
    static ASN1::AbstractData* create(void const* info) { return new R1Code(info); }
};

// CHOICE, not extensible: code INTEGER (1..21), ringoff NULL.
class IvaCode : public ASN1::CHOICE {
public:
    static const ASN1::ChoiceInfo theInfo;
    explicit IvaCode(void const* info = &theInfo) : CHOICE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new IvaCode(info); }
};

// SEQUENCE, extensible: freq INTEGER, presence BOOLEAN.
class TonePresence : public ASN1::SEQUENCE {
public:
    static const ASN1::SequenceInfo theInfo;
    explicit TonePresence(void const* info = &theInfo) : SEQUENCE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new TonePresence(info); }
};

// CHOICE, extensible: dtmf, r1, ced, cng, iva, tone-presence; extension
// addition dtmfDone NULL.
class TonecCode : public ASN1::CHOICE {
public:
    enum Choices { e_dtmf, e_r1, e_ced, e_cng, e_iva, e_tone_presence, e_dtmfDone };
    static const ASN1::ChoiceInfo theInfo;
    explicit TonecCode(void const* info = &theInfo) : CHOICE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new TonecCode(info); }
};

// SEQUENCE, not extensible: trunk INTEGER, mode ENUMERATED { slave, master }.
class TrunkCfg : public ASN1::SEQUENCE {
public:
    static const ASN1::SequenceInfo theInfo;
    explicit TrunkCfg(void const* info = &theInfo) : SEQUENCE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new TrunkCfg(info); }
    ASN1::INTEGER& get_trunk() { return field_as<ASN1::INTEGER>(*this, 0); }
    ASN1::ENUMERATED& get_mode() { return field_as<ASN1::ENUMERATED>(*this, 1); }
};

// CHOICE, extensible, 15 root alternatives (index 2 connect INTEGER (0..1023),
// 8 userData OCTET STRING, 10 trunkCfg, 12 ping NULL; the others NULL here).
class Command : public ASN1::CHOICE {
public:
    enum Choices {
        e_query, e_testBpc, e_connect, e_disconnect, e_create, e_destroy, e_activate, e_deactivate,
        e_userData, e_ioctl, e_trunkCfg, e_clockCfg, e_ping, e_display, e_protoLemz
    };
    static const ASN1::ChoiceInfo theInfo;
    explicit Command(void const* info = &theInfo) : CHOICE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new Command(info); }
};

// CHOICE, not extensible: success NULL, error ErrorCause.
class Response : public ASN1::CHOICE {
public:
    static const ASN1::ChoiceInfo theInfo;
    explicit Response(void const* info = &theInfo) : CHOICE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new Response(info); }
};

// CHOICE, extensible: tonec TonecCode, number IA5String, abort INTEGER,
// userData OCTET STRING.
class Signal : public ASN1::CHOICE {
public:
    static const ASN1::ChoiceInfo theInfo;
    explicit Signal(void const* info = &theInfo) : CHOICE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new Signal(info); }
};

// CHOICE, not extensible: command, response, signal.
class PDU : public ASN1::CHOICE {
public:
    enum Choices { e_command, e_response, e_signal };
    static const ASN1::ChoiceInfo theInfo;
    explicit PDU(void const* info = &theInfo) : CHOICE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new PDU(info); }
    Command& select_command()
    {
        select(e_command);
        return selection_as<Command>(*this);
    }
};

// SEQUENCE, not extensible: seq INTEGER OPTIONAL (held in 64 bits), slot
// INTEGER (0..1023) OPTIONAL, pdu PDU.
class Message : public ASN1::SEQUENCE {
public:
    enum OptionalFields { e_seq, e_slot };
    static const ASN1::SequenceInfo theInfo;
    explicit Message(void const* info = &theInfo) : SEQUENCE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new Message(info); }

    ASN1::INTEGER64& get_seq() { return field_as<ASN1::INTEGER64>(*this, 0); }
    SlotNumber& get_slot() { return field_as<SlotNumber>(*this, 1); }
    PDU& get_pdu() { return field_as<PDU>(*this, 2); }
    void set_seq(std::int64_t seq)
    {
        includeOptionalField(e_seq, 0);
        get_seq().setValue(seq);
    }
    void set_slot(unsigned slot)
    {
        includeOptionalField(e_slot, 1);
        get_slot() = slot;
    }
};

// The envelope's ping command, with seq 1 and slot 5 or without either.
Message ping(bool withSeqAndSlot);

// SEQUENCE, extensible: a INTEGER (0..255), b BOOLEAN OPTIONAL, c IA5String
// OPTIONAL; extension additions d INTEGER, e OCTET STRING.
class Extended : public ASN1::SEQUENCE {
public:
    enum OptionalFields { e_b, e_c, e_d, e_e };
    enum Fields { f_a, f_b, f_c, f_d, f_e };
    static const ASN1::SequenceInfo theInfo;
    explicit Extended(void const* info = &theInfo) : SEQUENCE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new Extended(info); }
};

// The same type as seen by an older peer: no extension additions known.
class ExtendedRoot : public ASN1::SEQUENCE {
public:
    static const ASN1::SequenceInfo theInfo;
    explicit ExtendedRoot(void const* info = &theInfo) : SEQUENCE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new ExtendedRoot(info); }
};

// SEQUENCE OF INTEGER (unconstrained count).
typedef ASN1::SEQUENCE_OF<ASN1::INTEGER> IntegerList;
extern const ASN1::SequenceOfInfo integerListInfo;

// CHOICE, not extensible: x NULL, y INTEGER.
class XY : public ASN1::CHOICE {
public:
    enum Choices { e_x, e_y };
    static const ASN1::ChoiceInfo theInfo;
    explicit XY(void const* info = &theInfo) : CHOICE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new XY(info); }
};

// SEQUENCE, not extensible: a INTEGER, b SEQUENCE OF INTEGER, c XY.
class Example : public ASN1::SEQUENCE {
public:
    static const ASN1::SequenceInfo theInfo;
    explicit Example(void const* info = &theInfo) : SEQUENCE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new Example(info); }
    ASN1::INTEGER& get_a() { return field_as<ASN1::INTEGER>(*this, 0); }
    IntegerList& get_b() { return field_as<IntegerList>(*this, 1); }
    XY& get_c() { return field_as<XY>(*this, 2); }
};

// SEQUENCE, not extensible, one field of each kind the others lack: big
// INTEGER (0..4294967295), small INTEGER (-10..10), oid OBJECT IDENTIFIER,
// bits BIT STRING, wide BMPString, time GeneralizedTime, name
// PrintableString (SIZE (1..8)) OPTIONAL, modes SET OF StandbyCommand, code
// OCTET STRING (SIZE (2..4)).
class Kinds : public ASN1::SEQUENCE {
public:
    static const ASN1::SequenceInfo theInfo;
    explicit Kinds(void const* info = &theInfo) : SEQUENCE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new Kinds(info); }
};

// CHOICE, extensible: none NULL; extension alternative slot INTEGER
// (0..1023).
class Target : public ASN1::CHOICE {
public:
    enum Choices { e_none, e_slot };
    static const ASN1::ChoiceInfo theInfo;
    explicit Target(void const* info = &theInfo) : CHOICE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new Target(info); }
};

// An open type that carries INTEGER (0..1023).
extern const ASN1::TypeConstrainedOpenInfo slotOpenInfo;

// SEQUENCE, extensible: target Target, held open type of INTEGER (0..1023);
// extension addition slot INTEGER (0..1023). Every open type here holds a
// number whose aligned and unaligned forms differ.
class Carrier : public ASN1::SEQUENCE {
public:
    enum OptionalFields { e_slot };
    enum Fields { f_target, f_held, f_slot };
    static const ASN1::SequenceInfo theInfo;
    explicit Carrier(void const* info = &theInfo) : SEQUENCE(info) {}
    static ASN1::AbstractData* create(void const* info) { return new Carrier(info); }
    Target& get_target() { return field_as<Target>(*this, f_target); }
    SlotNumber& get_held()
    {
        return *boost::polymorphic_downcast<SlotNumber*>(field_as<ASN1::OpenData>(*this, f_held).get_data());
    }
    void set_slot(unsigned slot)
    {
        includeOptionalField(e_slot, f_slot);
        field_as<SlotNumber>(*this, f_slot) = slot;
    }
};

// Every sample type that is a whole message of its own, by name.
struct NamedType {
    char const* name;
    ASN1::DataInfo const* info;
};
extern const NamedType allTypes[];
extern const unsigned allTypeCount;

} // namespace Sample
