// BER decoding of the constructed kinds: CHOICE, SEQUENCE, SEQUENCE OF and
// open types.
#include "asn1/ber_decoder.h"

#include "asn1/choice.h"
#include "asn1/open_data.h"
#include "asn1/sequence.h"
#include "asn1/sequence_of.h"

namespace ASN1 {

bool BERDecoder::decodeWithin(AbstractData& value, unsigned tag, char const* end)
{
    char const* outer = mEnd;
    mEnd = end;
    mTag = tag;
    bool ok = value.accept(*this);
    mEnd = outer;
    mCursor = end;
    return ok;
}

bool BERDecoder::decodeChoicePreamle(CHOICE& value, char const*& end)
{
    char const* start = mCursor;
    char const* outer = mEnd;
    unsigned expected = takeTag(value);
    unsigned tag = 0;
    bool primitive = false;
    unsigned length = 0;
    if (expected != 0) {
        // The explicit tag around the alternative (X.690 8.14).
        if (!decodeHeader(tag, primitive, length) || tag != expected || primitive)
            return false;
        mEnd = mCursor + length;
    }
    char const* alternative = mCursor;
    bool ok = decodeHeader(tag, primitive, length);
    end = expected != 0 ? mEnd : mCursor + length;
    mCursor = alternative;
    mEnd = outer;
    if (ok && value.setID(ber::tag_number(tag), ber::tag_class(tag)))
        return true;
    mCursor = start;
    return false;
}

bool BERDecoder::do_visit(CHOICE& value)
{
    char const* end = nullptr;
    if (!decodeChoicePreamle(value, end))
        return false;
    AbstractData* selected = value.getSelection();
    return selected && decodeWithin(*selected, ber::alternative_tag(value.info(), unsigned(value.currentSelection())), end);
}

bool BERDecoder::do_visit(SEQUENCE_OF_Base& value)
{
    unsigned length = 0;
    if (!decodeHeader(value, length))
        return false;
    value.clear();
    char const* end = mCursor + length;
    char const* outer = mEnd;
    mEnd = end;
    bool ok = true;
    while (ok && mCursor < end) {
        AbstractData* element = value.createElement();
        char const* before = mCursor;
        ok = element && element->accept(*this) && mCursor > before;
        if (ok)
            value.append(element);
        else
            delete element;
    }
    mEnd = outer;
    mCursor = end;
    return ok;
}

Visitor::SeqVisitCode BERDecoder::preVisitExtensionRoots(SEQUENCE& seq)
{
    unsigned length = 0;
    if (!decodeHeader(seq, length))
        return VISIT_FAIL;
    // The fields are read within the content; the end of the input is put
    // back once they are.
    mEnds.push_back(mEnd);
    mEnd = mCursor + length;
    return VISIT_CONTINUE;
}

Visitor::SeqVisitCode BERDecoder::decodeField(SEQUENCE& seq, int index, int optionalId)
{
    bool optional = optionalId >= 0;
    SeqVisitCode absent = optional ? VISIT_CONTINUE : VISIT_FAIL;
    if (mCursor == mEnd)
        return absent;
    Mark before = mark();
    unsigned tag = ber::field_tag(seq.info(), unsigned(index));
    unsigned found = 0;
    bool primitive = false;
    unsigned length = 0;
    if (!decodeHeader(found, primitive, length))
        return VISIT_FAIL;
    mCursor = before.cursor;
    // Another tag: the field is not there (a mandatory one must be).
    if (tag != 0 && found != tag)
        return absent;
    if (optional)
        seq.includeOptionalField(unsigned(optionalId), unsigned(index));
    AbstractData* field = seq.makeField(unsigned(index));
    if (!field)
        return absent;
    mTag = tag;
    if (field->accept(*this))
        return VISIT_CONTINUE;
    if (optional && tag == 0) {
        // An untagged field whose alternatives do not match: absent.
        seq.removeOptionalField(unsigned(optionalId));
        restore(before);
        return VISIT_CONTINUE;
    }
    return VISIT_FAIL;
}

Visitor::SeqVisitCode BERDecoder::visitExtensionRoot(SEQUENCE& seq, int index, int optionalId)
{
    return decodeField(seq, index, optionalId);
}

Visitor::SeqVisitCode BERDecoder::visitKnownExtension(SEQUENCE& seq, int index, int optionalId)
{
    return decodeField(seq, index, optionalId);
}

Visitor::SeqVisitCode BERDecoder::visitUnknownExtensions(SEQUENCE&)
{
    // Additions this type does not know, and anything else left, are skipped.
    mCursor = mEnd;
    mEnd = mEnds.back();
    mEnds.pop_back();
    return VISIT_STOP;
}

bool BERDecoder::decodeOpenHeader(OpenData& value, char const*& start, char const*& end)
{
    unsigned tag = takeTag(value);
    unsigned found = 0;
    bool primitive = false;
    unsigned length = 0;
    if (tag != 0) {
        // The explicit tag around the contained encoding.
        if (!decodeHeader(found, primitive, length) || found != tag || primitive)
            return false;
        start = mCursor;
        end = mCursor + length;
        return true;
    }
    start = mCursor;
    if (!decodeHeader(found, primitive, length))
        return false;
    end = mCursor + length;
    mCursor = start;
    return true;
}

bool BERDecoder::do_visit(OpenData& value)
{
    char const* start = nullptr;
    char const* end = nullptr;
    if (!decodeOpenHeader(value, start, end))
        return false;
    // The complete encoding of the contained value, read later by do_revisit.
    value.make_buf().assign(start, end);
    mCursor = end;
    return true;
}

bool BERDecoder::do_revisit(OpenData& value)
{
    if (!value.has_buf() || !value.has_data())
        return false;
    std::vector<char> const& octets = *value.get_buf();
    BERDecoder inner(octets.data(), octets.data() + octets.size(), mEnv);
    return value.get_data()->accept(inner);
}

bool BERDecoder::do_visit(TypeConstrainedOpenData& value)
{
    if (!value.has_data())
        return do_visit(static_cast<OpenData&>(value));
    char const* start = nullptr;
    char const* end = nullptr;
    return decodeOpenHeader(value, start, end) && decodeWithin(*value.get_data(), ber::OwnTag, end);
}

} // namespace ASN1
