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
    // What stopped the decode: a bound, or a value read past its range.
    // A value read whole past its range does not stop it, so that the rest
    // of the message is known: the first such value is told unless a bound
    // stops the decode after it. Told only where a decode fails or a value
    // overran: a sound message pays nothing.
    DecodeOutcome const& outcome() const { return mOutcome; }
    DecodeBound bound() const { return mOutcome.bound; }
    // Whether the decode that failed stopped at a bound.
    bool stopped() const { return mStopped; }

    // The building blocks of X.691 10; each fails on short input and on a
    // value outside its bounds.
    bool decodeUnsigned(unsigned lower, unsigned upper, unsigned& value)
    {
        unsigned offset = 0;
        if (!decodeOffset(upper - lower, offset) || offset > upper - lower)
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
    // A constrained whole number's offset from its lower bound as coded,
    // which may lie past span: the caller judges it.
    bool decodeOffset(unsigned span, unsigned& offset)
    {
        // X.691 10.5.7.1: a range below 256 is a bit-field of its width.
        if (span >= 255)
            return decodeWideOffset(span, offset);
        offset = 0;
        return span == 0 || (!atEnd() && decodeMultiBit(CountBits(span + 1), offset));
    }
    bool decodeWideOffset(unsigned span, unsigned& offset);
    // A value of type read whole past lower..upper: told when it is the
    // first, and the decode goes on.
    void noteOverrun(DecodeBound bound, DataInfo const* type, std::int64_t value, std::int64_t lower,
                     std::int64_t upper);
    // Names the field of the outcome, still unnamed, as the field or
    // alternative index of holder (a SEQUENCE or a CHOICE).
    void place(DataInfo const* holder, char const* const* names, unsigned index)
    {
        if (mUnplaced)
            placeOutcome(holder, names, index);
    }
    void placeOutcome(DataInfo const* holder, char const* const* names, unsigned index);
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
    bool stopAt(DecodeBound bound, DataInfo const* type = nullptr)
    {
        mOutcome = DecodeOutcome();
        mOutcome.bound = bound;
        mOutcome.type = type;
        mStopped = mUnplaced = true;
        return false;
    }
    bool withinStringBound(unsigned n) { return n <= MaximumStringSize || stopAt(DecodeBound::length); }

    CoderEnv* mEnv;
    bool mAligned;
    DecodeOutcome mOutcome;
    bool mStopped = false;
    bool mUnplaced = false; // the outcome's field is not named yet
};

} // namespace ASN1
