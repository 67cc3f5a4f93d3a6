// BER encoding of the constructed kinds: CHOICE, SEQUENCE, SEQUENCE OF and
// open types, and their content lengths.
#include "asn1/ber_encoder.h"

#include "asn1/choice.h"
#include "asn1/open_data.h"
#include "asn1/sequence.h"
#include "asn1/sequence_of.h"

namespace ASN1 {

bool BEREncoder::encodeTagged(AbstractData const& value, unsigned tag)
{
    mTag = tag;
    return value.accept(*this);
}

bool BEREncoder::do_visit(CHOICE const& value)
{
    int id = value.currentSelection();
    AbstractData const* selected = value.getSelection();
    if (id < 0 || !selected)
        return false;
    // X.680 31.2.7: a tag on a CHOICE is explicit, around the alternative's
    // whole encoding, so its header is constructed.
    unsigned tag = takeTag(value);
    if (tag != 0)
        writeHeader(tag, true, getDataLength(value));
    // The alternative's tag replaces its type's own (implicit tagging).
    return encodeTagged(*selected, ber::alternative_tag(value.info(), unsigned(id)));
}

bool BEREncoder::do_visit(OpenData const& value)
{
    if (!value.has_data() && !value.has_buf())
        return false;
    // A tag on an open type is explicit too.
    unsigned tag = takeTag(value);
    if (tag != 0)
        writeHeader(tag, true, getDataLength(value));
    if (value.has_data())
        return encodeTagged(*value.get_data(), ber::OwnTag);
    // Octets never decoded go out as they came: a complete encoding.
    std::vector<char> const& octets = *value.get_buf();
    mOut.insert(mOut.end(), octets.begin(), octets.end());
    return true;
}

bool BEREncoder::do_visit(SEQUENCE_OF_Base const& value)
{
    encodeHeader(value);
    for (AbstractData const* element : value) {
        if (!element || !encodeTagged(*element, ber::OwnTag))
            return false;
    }
    return true;
}

bool BEREncoder::preVisitExtensionRoots(SEQUENCE const& seq)
{
    encodeHeader(seq);
    return true;
}

bool BEREncoder::encodeField(SEQUENCE const& seq, int index)
{
    AbstractData const* field = seq.getField(unsigned(index));
    return field && encodeTagged(*field, ber::field_tag(seq.info(), unsigned(index)));
}

bool BEREncoder::visitExtensionRoot(SEQUENCE const& seq, int index)
{
    return encodeField(seq, index);
}

bool BEREncoder::visitKnownExtension(SEQUENCE const& seq, int index)
{
    return encodeField(seq, index);
}

// DataLengthCounter: constructed values

bool DataLengthCounter::do_visit(CHOICE const& value)
{
    AbstractData const* selected = value.getSelection();
    if (value.currentSelection() < 0 || !selected)
        return true;
    return add(getObjectLength(*selected, ber::alternative_tag(value.info(), unsigned(value.currentSelection()))));
}

bool DataLengthCounter::do_visit(OpenData const& value)
{
    if (value.has_data())
        return add(getObjectLength(*value.get_data(), ber::OwnTag));
    return add(value.has_buf() ? value.get_buf()->size() : 0);
}

bool DataLengthCounter::do_visit(SEQUENCE_OF_Base const& value)
{
    for (AbstractData const* element : value) {
        if (element)
            add(getObjectLength(*element, ber::OwnTag));
    }
    return true;
}

bool DataLengthCounter::preVisitExtensionRoots(SEQUENCE const&)
{
    return true;
}

bool DataLengthCounter::visitExtensionRoot(SEQUENCE const& seq, int index)
{
    AbstractData const* field = seq.getField(unsigned(index));
    return !field || add(getObjectLength(*field, ber::field_tag(seq.info(), unsigned(index))));
}

bool DataLengthCounter::visitKnownExtension(SEQUENCE const& seq, int index)
{
    return visitExtensionRoot(seq, index);
}

} // namespace ASN1
