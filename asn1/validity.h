// Constraint checks over a value tree, and a tracer that explains the first
// violation. The coders do not call them: received values are not checked.
#pragma once

#include <ostream>
#include <sstream>

#include "asn1/visitor.h"

namespace ASN1 {

class ConstrainedObject;

// Walks a value and stops at the first value outside its constraints.
// Strict: every value within its root; otherwise an extensible constraint
// lets a value beyond its root.
class ConstraintChecker : public ConstVisitor {
public:
    explicit ConstraintChecker(bool strict) : mStrict(strict) {}

    bool do_visit(Null const& value) override;
    bool do_visit(BOOLEAN const& value) override;
    bool do_visit(INTEGER const& value) override;
    bool do_visit(ENUMERATED const& value) override;
    bool do_visit(OBJECT_IDENTIFIER const& value) override;
    bool do_visit(BIT_STRING const& value) override;
    bool do_visit(OCTET_STRING const& value) override;
    bool do_visit(AbstractString const& value) override;
    bool do_visit(BMPString const& value) override;
    bool do_visit(CHOICE const& value) override;
    bool do_visit(OpenData const& value) override;
    bool do_visit(GeneralizedTime const& value) override;
    bool do_visit(SEQUENCE_OF_Base const& value) override;

    bool visitExtensionRoot(SEQUENCE const& seq, int index) override;
    bool visitKnownExtension(SEQUENCE const& seq, int index) override;

private:
    bool mStrict;
};

class ValidChecker : public ConstraintChecker {
public:
    ValidChecker() : ConstraintChecker(false) {}
};

class StrictlyValidChecker : public ConstraintChecker {
public:
    StrictlyValidChecker() : ConstraintChecker(true) {}
};

// Writes why a value is invalid: the path to the first violation (".field",
// "[element]") and what is wrong there.
class InvalidTracer : public ConstVisitor {
public:
    std::string text() const { return mOs.str(); }

    bool do_visit(Null const& value) override;
    bool do_visit(BOOLEAN const& value) override;
    bool do_visit(INTEGER const& value) override;
    bool do_visit(ENUMERATED const& value) override;
    bool do_visit(OBJECT_IDENTIFIER const& value) override;
    bool do_visit(BIT_STRING const& value) override;
    bool do_visit(OCTET_STRING const& value) override;
    bool do_visit(AbstractString const& value) override;
    bool do_visit(BMPString const& value) override;
    bool do_visit(CHOICE const& value) override;
    bool do_visit(OpenData const& value) override;
    bool do_visit(GeneralizedTime const& value) override;
    bool do_visit(SEQUENCE_OF_Base const& value) override;

    bool visitExtensionRoot(SEQUENCE const& seq, int index) override;
    bool visitKnownExtension(SEQUENCE const& seq, int index) override;

private:
    bool traceSize(char const* kind, ConstrainedObject const& value, unsigned size);
    bool traceField(SEQUENCE const& seq, int index);

    std::ostringstream mOs;
};

// True when value is valid; otherwise writes prefix, the explanation and a
// line end to os and returns false.
bool trace_invalid(std::ostream& os, char const* prefix, AbstractData const& value);

} // namespace ASN1
