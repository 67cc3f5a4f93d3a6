// Packed encoding rules (X.691) encoder, ALIGNED or UNALIGNED variant, with
// the protocol's own conventions (ENUMERATED coded by value, short octet
// strings unaligned).
#pragma once

#include <cstdint>
#include <vector>

#include "asn1/descriptors.h"
#include "asn1/per_bits.h"
#include "asn1/visitor.h"

namespace ASN1 {

class ConstrainedObject;

class PEREncoder final : public ConstVisitor, public BitOutput {
public:
    explicit PEREncoder(std::vector<char>& out, bool aligned = true) : BitOutput(out), mAligned(aligned) {}

    bool aligned() const { return mAligned; }

    // Constrained whole number value in lower..upper (X.691 10.5).
    bool encodeUnsigned(unsigned value, unsigned lower, unsigned upper)
    {
        // X.691 10.5.7.1: a range below 256 is a bit-field of its width in
        // either variant (the offset compares for signed bounds too).
        unsigned span = upper - lower;
        if (span >= 255 || value - lower > span)
            return encodeWideUnsigned(value, lower, upper);
        encodeMultiBit(value - lower, CountBits(span + 1));
        return true;
    }
    // Length determinant (X.691 10.9); upper = UnboundedLength for none.
    bool encodeLength(unsigned length, unsigned lower, unsigned upper);
    // Normally small non-negative whole number (X.691 10.6).
    void encodeSmallUnsigned(unsigned n);
    // Writes the extension bit of an extensible constraint. True when value
    // takes the unconstrained form.
    bool encodeConstraint(ConstrainedObject const& object, unsigned value);
    bool encodeConstrainedLength(ConstrainedObject const& object, unsigned length);
    // An open type: the value's own ALIGNED encoding, preceded by its length.
    bool encodeAnyType(AbstractData const* value);

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
    bool do_visit(INTEGER64 const& value) override;

    // The walk with this encoder's hooks called directly.
    bool visit(SEQUENCE const& seq) override;
    bool preVisitExtensionRoots(SEQUENCE const& seq) override;
    bool visitExtensionRoot(SEQUENCE const& seq, int index) override;
    bool preVisitExtensions(SEQUENCE const& seq) override;
    bool visitKnownExtension(SEQUENCE const& seq, int index) override;

private:
    // Ranges of 256 values and more, and values outside the range (false).
    bool encodeWideUnsigned(unsigned value, unsigned lower, unsigned upper);
    // X.691 10.8: the low octets of a two's complement number, preceded by
    // their count.
    bool encodeWholeNumber(std::uint64_t bits, unsigned octets);
    bool encodeOpenOctets(char const* data, unsigned n);
    // A character code in bits bits; false when it does not fit.
    bool encodeCharacter(unsigned code, unsigned bits);

    bool mAligned;
};

} // namespace ASN1
