// PER encoding of the constructed kinds: CHOICE, SEQUENCE, SEQUENCE OF and
// open types.
#include "asn1/per_encoder.h"

#include <algorithm>

#include "asn1/choice.h"
#include "asn1/open_data.h"
#include "asn1/sequence.h"
#include "asn1/sequence_of.h"

namespace ASN1 {

namespace {

// Extension bits that announce a field this type knows; bits of additions
// that a decoder met but could not keep are not sent again.
unsigned sendable_extension_bits(SEQUENCE const& seq)
{
    return std::min(seq.extensionMap().size(), seq.info()->knownExtensions);
}

bool any_extension_present(SEQUENCE const& seq)
{
    unsigned n = sendable_extension_bits(seq);
    for (unsigned i = 0; i < n; ++i) {
        if (seq.extensionMap().test(i))
            return true;
    }
    return false;
}

} // namespace

bool PEREncoder::do_visit(CHOICE const& value)
{
    int id = value.currentSelection();
    AbstractData const* selected = value.getSelection();
    if (id < 0 || !selected)
        return false;
    unsigned index = static_cast<unsigned>(id);
    unsigned root = value.numChoices();
    if (value.extendable()) {
        // X.691 22: extension alternatives travel as open types.
        bool extension = index >= root;
        encodeSingleBit(extension);
        if (extension) {
            encodeSmallUnsigned(index - root);
            return encodeAnyType(selected);
        }
    }
    if (index >= root)
        return false;
    if (root > 1 && !encodeUnsigned(index, 0, root - 1))
        return false;
    return selected->accept(*this);
}

bool PEREncoder::visit(SEQUENCE const& seq)
{
    return walk_sequence(*this, seq);
}

bool PEREncoder::preVisitExtensionRoots(SEQUENCE const& seq)
{
    // X.691 18.1 and 18.2: extension bit, then the presence bit-map.
    if (seq.extendable())
        encodeSingleBit(any_extension_present(seq));
    BitMap const& optionals = seq.optionalMap();
    encodeBitMap(optionals.bytes(), bits::octets(optionals.size()), seq.info()->numOptionals);
    return true;
}

bool PEREncoder::visitExtensionRoot(SEQUENCE const& seq, int index)
{
    AbstractData const* field = seq.getField(static_cast<unsigned>(index));
    return field && field->accept(*this);
}

bool PEREncoder::preVisitExtensions(SEQUENCE const& seq)
{
    if (!seq.extendable() || !any_extension_present(seq))
        return true;
    // X.691 18.8: bit-map length as a normally small number, then the bits.
    unsigned n = sendable_extension_bits(seq);
    if (n > MaximumArraySize)
        return false;
    encodeSmallUnsigned(n - 1);
    encodeBitMap(seq.extensionMap().bytes(), bits::octets(seq.extensionMap().size()), n);
    return true;
}

bool PEREncoder::visitKnownExtension(SEQUENCE const& seq, int index)
{
    AbstractData const* field = seq.getField(static_cast<unsigned>(index));
    return field && encodeAnyType(field);
}

bool PEREncoder::do_visit(SEQUENCE_OF_Base const& value)
{
    unsigned n = value.size();
    if (n > MaximumArraySize || !encodeConstrainedLength(value, n))
        return false;
    for (AbstractData const* element : value) {
        if (!element || !element->accept(*this))
            return false;
    }
    return true;
}

bool PEREncoder::do_visit(OpenData const& value)
{
    if (value.has_data())
        return encodeAnyType(value.get_data());
    // Octets received but never decoded go out as they came.
    if (value.has_buf())
        return encodeOpenOctets(value.get_buf()->data(), static_cast<unsigned>(value.get_buf()->size()));
    return encodeAnyType(nullptr);
}

} // namespace ASN1
