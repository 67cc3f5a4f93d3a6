// Basic encoding rules (X.690) decoder: reads the definite-length forms that
// BEREncoder writes into an already constructed value. Input is untrusted:
// every length is bounded by the enclosing content, which in turn is bounded
// by the input.
#pragma once

#include <vector>

#include "asn1/ber_rules.h"
#include "asn1/visitor.h"

namespace ASN1 {

class CoderEnv;

class BERDecoder : public Visitor {
public:
    BERDecoder(char const* first, char const* last, CoderEnv* env) : mCursor(first), mEnd(last), mEnv(env) {}

    char const* getPosition() const { return mCursor; }
    CoderEnv* getEnv() const { return mEnv; }

    // Identifier and length octets at the cursor, which moves past them. The
    // tag word carries the class bits and the number; the indefinite form
    // and a length running past the readable input fail.
    bool decodeHeader(unsigned& tag, bool& primitive, unsigned& length);
    // A header whose tag and form are those value travels under (its own, or
    // the tag its field or alternative gives); the cursor stays on failure.
    bool decodeHeader(AbstractData& value, unsigned& length);
    // Copies up to n octets; returns the count copied.
    unsigned decodeBlock(char* destination, unsigned n);
    // Selects the alternative that the next header announces; end is where
    // the CHOICE's encoding ends.
    bool decodeChoicePreamle(CHOICE& value, char const*& end);

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

    SeqVisitCode preVisitExtensionRoots(SEQUENCE& seq) override;
    SeqVisitCode visitExtensionRoot(SEQUENCE& seq, int index, int optionalId) override;
    SeqVisitCode visitKnownExtension(SEQUENCE& seq, int index, int optionalId) override;
    SeqVisitCode visitUnknownExtensions(SEQUENCE& seq) override;

private:
    // Where decoding stands, to go back to after an absent untagged field.
    struct Mark {
        char const* cursor;
        char const* end;
        std::size_t depth;
    };
    Mark mark() const { return Mark{mCursor, mEnd, mEnds.size()}; }
    void restore(Mark const& m);

    unsigned takeTag(AbstractData const& value);
    // The content of a primitive value: its header, then length octets.
    bool decodeContent(AbstractData& value, char const*& content, unsigned& length);
    bool decodeSigned(AbstractData& value, long long& number);
    // Reads value, tagged tag, from the input up to end; the cursor ends there.
    bool decodeWithin(AbstractData& value, unsigned tag, char const* end);
    // The explicit tag around an open type, if it has one; start and end of
    // the encoding inside.
    bool decodeOpenHeader(OpenData& value, char const*& start, char const*& end);
    SeqVisitCode decodeField(SEQUENCE& seq, int index, int optionalId);

    char const* mCursor;
    char const* mEnd;           // end of the readable input: the enclosing content
    std::vector<char const*> mEnds; // outer ends of the SEQUENCEs being read
    CoderEnv* mEnv;
    unsigned mTag = ber::OwnTag; // the tag the next header must carry
};

} // namespace ASN1
