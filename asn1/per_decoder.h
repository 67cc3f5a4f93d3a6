// Packed encoding rules (X.691) decoder: reads the forms that PEREncoder
// writes into an already constructed value. Input from the network is
// untrusted: every read is bounded by the input, and an open type's contents
// are bounded by its stated length.
#pragma once

#include <cstdint>

#include "asn1/descriptors.h"
#include "asn1/per_bits.h"
#include "asn1/visitor.h"

namespace ASN1 {

class CoderEnv;
class ConstrainedObject;

class PERDecoder final : public Visitor, public BitInput {
public:
    PERDecoder(char const* first, char const* last, CoderEnv* env, bool aligned = true)
        : BitInput(first, last), mEnv(env), mAligned(aligned) {}

    bool aligned() const { return mAligned; }
    CoderEnv* getEnv() const { return mEnv; }
    // The bound that stopped a failed decode; none when the input was at
    // fault. Set only where a decode fails: a sound message pays nothing.
    DecodeBound bound() const { return mBound; }

    // The building blocks of X.691 10; each fails on short input and on a
    // value outside its bounds.
    bool decodeUnsigned(unsigned lower, unsigned upper, unsigned& value)
    {
        // X.691 10.5.7.1: a range below 256 is a bit-field of its width.
        unsigned span = upper - lower;
        if (span >= 255)
            return decodeWideUnsigned(lower, upper, value);
        unsigned offset = 0;
        if (span > 0 && (atEnd() || !decodeMultiBit(CountBits(span + 1), offset) || offset > span))
            return false;
        value = lower + offset;
        return true;
    }
    bool decodeLength(unsigned lower, unsigned upper, unsigned& length);
    bool decodeSmallUnsigned(unsigned& n);
    bool decodeConstrainedLength(ConstrainedObject const& object, unsigned& length);

    bool do_visit(Null& value) override;
    bool do_visit(BOOLEAN& value) override;
    bool do_visit(INTEGER& value) override;
    bool do_visit(ENUMERATED& value) override;
    bool do_visit(OBJECT_IDENTIFIER& value) override;
    bool do_visit(OCTET_STRING& value) override;
    bool do_visit(BIT_STRING& value) override;
    bool do_visit(AbstractString& value) override;
    bool do_visit(BMPString& value) override;
    bool do_visit(CHOICE& value) override;
    bool do_visit(SEQUENCE_OF_Base& value) override;
    bool do_visit(OpenData& value) override;
    bool do_revisit(OpenData& value) override;
    bool do_visit(TypeConstrainedOpenData& value) override;
    bool do_visit(GeneralizedTime& value) override;
    bool do_visit(INTEGER64& value) override;

    // The walk with this decoder's hooks called directly.
    bool visit(SEQUENCE& seq) override;
    SeqVisitCode preVisitExtensionRoots(SEQUENCE& seq) override;
    SeqVisitCode visitExtensionRoot(SEQUENCE& seq, int index, int optionalId) override;
    SeqVisitCode preVisitExtensions(SEQUENCE& seq) override;
    SeqVisitCode visitKnownExtension(SEQUENCE& seq, int index, int optionalId) override;
    SeqVisitCode visitUnknownExtensions(SEQUENCE& seq) override;

private:
    bool decodeWideUnsigned(unsigned lower, unsigned upper, unsigned& value);
    // An unconstrained whole number of at most maxOctets octets (8 or less),
    // sign-extended.
    bool decodeWholeNumber(unsigned maxOctets, std::int64_t& value);
    // Reads an open type's length; fails when its octets run past the input.
    bool decodeOpenLength(unsigned& count);
    // Decodes an open type's contents, held in [first, last), into value.
    bool decodeOpenContents(char const* first, char const* last, AbstractData& value);
    // Decodes value from exactly the next count octets, then moves past them.
    bool decodeConfined(unsigned count, AbstractData& value);
    bool skipOctets(unsigned count);
    // A string's character count; fails over the string limit or when the
    // characters cannot fit the rest of the input.
    bool decodeCharacterCount(ConstrainedObject const& value, unsigned bits, unsigned& n);
    bool decodeChoiceExtension(CHOICE& value);
    // Fails the decode at one of the decoder's own bounds.
    bool stopAt(DecodeBound bound)
    {
        mBound = bound;
        return false;
    }
    bool withinStringBound(unsigned n) { return n <= MaximumStringSize || stopAt(DecodeBound::length); }

    CoderEnv* mEnv;
    bool mAligned;
    DecodeBound mBound = DecodeBound::none;
};

} // namespace ASN1
