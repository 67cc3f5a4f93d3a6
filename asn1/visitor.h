// Double dispatch over the value classes: a value's accept calls the
// overload for its own class. Decoders fill values through a Visitor;
// encoders, printers and checkers read them through a ConstVisitor.
#pragma once

#include <cstdint>

namespace ASN1 {

class AbstractData;
class Null;
class BOOLEAN;
template <typename Value>
class BasicInteger;
using INTEGER = BasicInteger<int>;
using INTEGER64 = BasicInteger<std::int64_t>;
class IntegerWithNamedNumber;
class ENUMERATED;
class OBJECT_IDENTIFIER;
class BIT_STRING;
class OCTET_STRING;
class AbstractString;
class BMPString;
class CHOICE;
class SEQUENCE;
class SEQUENCE_OF_Base;
class OpenData;
class TypeConstrainedOpenData;
class GeneralizedTime;

class Visitor {
public:
    // What a SEQUENCE hook tells the traversal.
    enum SeqVisitCode {
        VISIT_FAIL = 0,
        VISIT_STOP = 1,         // end the sequence successfully
        VISIT_NO_EXTENSION = 2,
        VISIT_CONTINUE = 3,
    };

    virtual ~Visitor() {}

    virtual bool do_visit(Null& value) = 0;
    virtual bool do_visit(BOOLEAN& value) = 0;
    virtual bool do_visit(INTEGER& value) = 0;
    virtual bool do_visit(IntegerWithNamedNumber& value);
    virtual bool do_visit(ENUMERATED& value) = 0;
    virtual bool do_visit(OBJECT_IDENTIFIER& value) = 0;
    virtual bool do_visit(OCTET_STRING& value) = 0;
    virtual bool do_visit(BIT_STRING& value) = 0;
    virtual bool do_visit(AbstractString& value) = 0;
    virtual bool do_visit(BMPString& value) = 0;
    virtual bool do_visit(CHOICE& value) = 0;
    virtual bool do_visit(SEQUENCE_OF_Base& value) = 0;
    virtual bool do_visit(OpenData& value) = 0;
    virtual bool do_revisit(OpenData& value) = 0;
    virtual bool do_visit(TypeConstrainedOpenData& value) = 0;
    virtual bool do_visit(GeneralizedTime& value) = 0;
    virtual bool do_visit(INTEGER64& value) = 0;

    virtual SeqVisitCode preVisitExtensionRoots(SEQUENCE& seq);
    virtual SeqVisitCode visitExtensionRoot(SEQUENCE& seq, int index, int optionalId);
    virtual SeqVisitCode preVisitExtensions(SEQUENCE& seq);
    virtual SeqVisitCode visitKnownExtension(SEQUENCE& seq, int index, int optionalId);
    virtual SeqVisitCode visitUnknownExtensions(SEQUENCE& seq);

    // Walks a SEQUENCE through the hooks above (walk_sequence).
    virtual bool visit(SEQUENCE& seq);
};

class ConstVisitor {
public:
    virtual ~ConstVisitor() {}

    virtual bool do_visit(AbstractData const& value);
    virtual bool do_visit(Null const& value);
    virtual bool do_visit(BOOLEAN const& value);
    virtual bool do_visit(INTEGER const& value);
    virtual bool do_visit(IntegerWithNamedNumber const& value);
    virtual bool do_visit(ENUMERATED const& value);
    virtual bool do_visit(OBJECT_IDENTIFIER const& value);
    virtual bool do_visit(BIT_STRING const& value);
    virtual bool do_visit(OCTET_STRING const& value);
    virtual bool do_visit(AbstractString const& value);
    virtual bool do_visit(BMPString const& value);
    virtual bool do_visit(CHOICE const& value);
    virtual bool do_visit(OpenData const& value);
    virtual bool do_visit(GeneralizedTime const& value);
    virtual bool do_visit(SEQUENCE_OF_Base const& value);
    virtual bool do_visit(INTEGER64 const& value);

    virtual bool preVisitExtensionRoots(SEQUENCE const& seq);
    virtual bool visitExtensionRoot(SEQUENCE const& seq, int index);
    virtual bool preVisitExtensions(SEQUENCE const& seq);
    virtual bool visitKnownExtension(SEQUENCE const& seq, int index);
    virtual bool afterVisitSequence(SEQUENCE const& seq);

    // Walks a SEQUENCE through the hooks above, present fields only
    // (walk_sequence).
    virtual bool visit(SEQUENCE const& seq);
};

} // namespace ASN1
