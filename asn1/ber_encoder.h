// Basic encoding rules (X.690) encoder, definite lengths only. Fields and
// alternatives are tagged by their descriptor's tag tables (by default
// context-specific by index); tagging a CHOICE or an open type is explicit.
#pragma once

#include <cstdint>
#include <vector>

#include "asn1/ber_rules.h"
#include "asn1/visitor.h"

namespace ASN1 {

class BEREncoder : public ConstVisitor {
public:
    explicit BEREncoder(std::vector<char>& out) : mOut(out) {}

    // Identifier and length octets of value under the pending tag (its own
    // tag unless a field or alternative set one); clears the pending tag.
    void encodeHeader(AbstractData const& value);

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
    bool do_visit(INTEGER64 const& value) override;
    bool do_visit(SEQUENCE_OF_Base const& value) override;

    bool preVisitExtensionRoots(SEQUENCE const& seq) override;
    bool visitExtensionRoot(SEQUENCE const& seq, int index) override;
    bool visitKnownExtension(SEQUENCE const& seq, int index) override;

private:
    unsigned takeTag(AbstractData const& value);
    void writeHeader(unsigned tag, bool constructed, unsigned length);
    bool writePrimitive(AbstractData const& value, char const* data, std::size_t n);
    bool writeInteger(AbstractData const& value, std::int64_t number);
    bool encodeTagged(AbstractData const& value, unsigned tag);
    bool encodeField(SEQUENCE const& seq, int index);

    std::vector<char>& mOut;
    unsigned mTag = ber::OwnTag;
};

// Counts the content octets that a header announces.
class DataLengthCounter : public ConstVisitor {
public:
    unsigned length() const { return mLength; }

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
    bool do_visit(INTEGER64 const& value) override;
    bool do_visit(SEQUENCE_OF_Base const& value) override;

    bool preVisitExtensionRoots(SEQUENCE const& seq) override;
    bool visitExtensionRoot(SEQUENCE const& seq, int index) override;
    bool visitKnownExtension(SEQUENCE const& seq, int index) override;

private:
    bool add(std::size_t n);

    unsigned mLength = 0;
};

// Whether a value's header carries the primitive form: false for SEQUENCE,
// SEQUENCE OF and SET OF, and for CHOICE and open types, whose own header is
// always an explicit tag around a complete encoding (X.690 8.14).
class PrimitiveChecker : public ConstVisitor {
public:
    bool do_visit(AbstractData const& value) override;
    bool do_visit(CHOICE const& value) override;
    bool do_visit(OpenData const& value) override;
    bool do_visit(SEQUENCE_OF_Base const& value) override;
    bool preVisitExtensionRoots(SEQUENCE const& seq) override;
};

// Content octets of a whole number in two's complement, 1 to 5 (X.690 8.3).
unsigned getIntegerDataLength(std::int64_t value);
// Content octets of the value's encoding.
unsigned getDataLength(AbstractData const& value);
// Octets of the value's whole encoding under tag (ber::OwnTag: its own).
unsigned getObjectLength(AbstractData const& value, unsigned tag);

} // namespace ASN1
