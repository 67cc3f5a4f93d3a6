#include "asn1/visitor.h"

#include "asn1/primitives.h"
#include "asn1/strings.h"
#include "asn1/choice.h"
#include "asn1/sequence.h"
#include "asn1/sequence_of.h"
#include "asn1/open_data.h"
#include "asn1/generalized_time.h"

namespace ASN1 {

bool Visitor::do_visit(IntegerWithNamedNumber& value) { return do_visit(static_cast<INTEGER&>(value)); }

Visitor::SeqVisitCode Visitor::preVisitExtensionRoots(SEQUENCE&) { return VISIT_CONTINUE; }
Visitor::SeqVisitCode Visitor::visitExtensionRoot(SEQUENCE&, int, int) { return VISIT_FAIL; }
Visitor::SeqVisitCode Visitor::preVisitExtensions(SEQUENCE&) { return VISIT_CONTINUE; }
Visitor::SeqVisitCode Visitor::visitKnownExtension(SEQUENCE&, int, int) { return VISIT_FAIL; }
Visitor::SeqVisitCode Visitor::visitUnknownExtensions(SEQUENCE&) { return VISIT_STOP; }

bool ConstVisitor::do_visit(AbstractData const&) { return true; }
bool ConstVisitor::do_visit(Null const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(BOOLEAN const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(INTEGER const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(IntegerWithNamedNumber const& v) { return do_visit(static_cast<INTEGER const&>(v)); }
bool ConstVisitor::do_visit(ENUMERATED const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(OBJECT_IDENTIFIER const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(BIT_STRING const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(OCTET_STRING const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(AbstractString const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(BMPString const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(CHOICE const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(OpenData const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(GeneralizedTime const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(SEQUENCE_OF_Base const& v) { return do_visit(static_cast<AbstractData const&>(v)); }
bool ConstVisitor::do_visit(INTEGER64 const& v) { return do_visit(static_cast<AbstractData const&>(v)); }

bool ConstVisitor::preVisitExtensionRoots(SEQUENCE const& seq) { return do_visit(static_cast<AbstractData const&>(seq)); }
bool ConstVisitor::visitExtensionRoot(SEQUENCE const&, int) { return false; }
bool ConstVisitor::preVisitExtensions(SEQUENCE const&) { return true; }
bool ConstVisitor::visitKnownExtension(SEQUENCE const&, int) { return false; }
bool ConstVisitor::afterVisitSequence(SEQUENCE const&) { return true; }

} // namespace ASN1
