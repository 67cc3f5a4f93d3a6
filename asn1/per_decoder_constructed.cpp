// PER decoding of the constructed kinds: CHOICE, SEQUENCE, SEQUENCE OF and
// open types.
#include "asn1/per_decoder.h"

#include <cstdint>

#include "asn1/choice.h"
#include "asn1/open_data.h"
#include "asn1/sequence.h"
#include "asn1/sequence_of.h"

namespace ASN1 {

bool PERDecoder::decodeOpenLength(unsigned& count)
{
    // The octet-form length leaves the position aligned.
    return decodeLength(0, UnboundedLength, count) && count <= octetsLeft();
}

bool PERDecoder::decodeOpenContents(char const* first, char const* last, AbstractData& value)
{
    // Open-type contents are written with the aligned rules whichever
    // variant carries them, so they are read that way too.
    PERDecoder contents(first, last, mEnv, true);
    bool ok = value.accept(contents);
    // A stop inside replaces a value noted before; a value noted inside
    // counts only as the first.
    if (contents.mStopped || (contents.mOutcome.overran() && !mOutcome.overran())) {
        mOutcome = contents.mOutcome;
        mStopped = contents.mStopped;
        mUnplaced = contents.mUnplaced;
    }
    return ok;
}

bool PERDecoder::decodeConfined(unsigned count, AbstractData& value)
{
    char const* openEnd = getPosition() + count;
    bool ok = decodeOpenContents(getPosition(), openEnd, value);
    setPosition(openEnd);
    return ok;
}

bool PERDecoder::skipOctets(unsigned count)
{
    byteAlign();
    if (count > octetsLeft())
        return false;
    setPosition(getPosition() + count);
    return true;
}

bool PERDecoder::decodeChoiceExtension(CHOICE& value)
{
    // X.691 22: index of the extension alternative, then an open type.
    unsigned number = 0;
    unsigned count = 0;
    if (!decodeSmallUnsigned(number) || !decodeOpenLength(count))
        return false;
    std::uint64_t index = std::uint64_t(number) + value.numChoices();
    if (index >= value.totalChoices()) {
        // Unknown to this side: skipped, and not an error.
        value.setSelection(CHOICE::unknownSelection, nullptr);
        return skipOctets(count);
    }
    int id = static_cast<int>(index);
    if (!value.keepOrSelect(id))
        return skipOctets(count);
    bool ok = decodeConfined(count, *value.getSelection());
    place(value.info(), value.info()->selectionNames, unsigned(id));
    return ok;
}

bool PERDecoder::do_visit(CHOICE& value)
{
    if (atEnd())
        return false;
    if (value.extendable()) {
        bool extension = false;
        if (!decodeSingleBit(extension))
            return false;
        if (extension)
            return decodeChoiceExtension(value);
    }
    unsigned root = value.numChoices();
    unsigned index = 0;
    if (root == 0 || (root > 1 && !decodeOffset(root - 1, index)))
        return false;
    if (index >= root) {
        // Read whole, but no alternative to read it as.
        stopAt(DecodeBound::alternative, value.info());
        mOutcome.value = index;
        mOutcome.upper = root - 1;
        return false;
    }
    int id = static_cast<int>(index);
    if (!value.keepOrSelect(id))
        return false;
    bool ok = value.getSelection()->accept(*this);
    place(value.info(), value.info()->selectionNames, index);
    return ok;
}

bool PERDecoder::visit(SEQUENCE& seq)
{
    return walk_sequence(*this, seq);
}

Visitor::SeqVisitCode PERDecoder::preVisitExtensionRoots(SEQUENCE& seq)
{
    bool extension = false;
    if (seq.extendable() && !decodeSingleBit(extension))
        return VISIT_FAIL;
    unsigned optionals = seq.info()->numOptionals;
    BitMap& map = seq.optionalMap();
    map.resize(optionals);
    if (!decodeBitMap(map.bytes(), bits::octets(map.size()), optionals))
        return VISIT_FAIL;
    return extension ? VISIT_CONTINUE : VISIT_NO_EXTENSION;
}

Visitor::SeqVisitCode PERDecoder::visitExtensionRoot(SEQUENCE& seq, int index, int optionalId)
{
    if (optionalId >= 0 && !seq.hasOptionalField(unsigned(optionalId)))
        return VISIT_CONTINUE;
    AbstractData* field = seq.makeField(unsigned(index));
    bool ok = field && field->accept(*this);
    place(seq.info(), seq.info()->fieldNames, unsigned(index));
    return ok ? VISIT_CONTINUE : VISIT_FAIL;
}

Visitor::SeqVisitCode PERDecoder::preVisitExtensions(SEQUENCE& seq)
{
    unsigned m = 0;
    if (!decodeSmallUnsigned(m))
        return VISIT_FAIL;
    if (m >= MaximumArraySize)
        return stopAt(DecodeBound::extensions), VISIT_FAIL;
    BitMap& map = seq.extensionMap();
    map.resize(m + 1);
    return decodeBitMap(map.bytes(), bits::octets(map.size()), m + 1) ? VISIT_CONTINUE : VISIT_FAIL;
}

Visitor::SeqVisitCode PERDecoder::visitKnownExtension(SEQUENCE& seq, int index, int optionalId)
{
    if (!seq.hasOptionalField(unsigned(optionalId)))
        return VISIT_CONTINUE;
    unsigned count = 0;
    if (!decodeOpenLength(count))
        return VISIT_FAIL;
    AbstractData* field = seq.makeField(unsigned(index));
    if (!field)
        return skipOctets(count) ? VISIT_CONTINUE : VISIT_FAIL;
    bool ok = decodeConfined(count, *field);
    place(seq.info(), seq.info()->fieldNames, unsigned(index));
    return ok ? VISIT_CONTINUE : VISIT_FAIL;
}

Visitor::SeqVisitCode PERDecoder::visitUnknownExtensions(SEQUENCE& seq)
{
    BitMap const& map = seq.extensionMap();
    for (unsigned i = seq.info()->knownExtensions; i < map.size(); ++i) {
        unsigned count = 0;
        if (map.test(i) && (!decodeLength(0, UnboundedLength, count) || !skipOctets(count)))
            return VISIT_FAIL;
    }
    return VISIT_STOP;
}

bool PERDecoder::do_visit(SEQUENCE_OF_Base& value)
{
    unsigned n = 0;
    if (!decodeConstrainedLength(value, n))
        return false;
    if (n > MaximumArraySize)
        return stopAt(DecodeBound::elements);
    value.resize(n);
    if (value.size() != n)
        return false;
    for (SEQUENCE_OF_Base::iterator i = value.begin(); i != value.end(); ++i) {
        if (!(*i)->accept(*this)) {
            value.erase(i, value.end());
            return false;
        }
    }
    return true;
}

bool PERDecoder::do_visit(OpenData& value)
{
    unsigned count = 0;
    if (!decodeOpenLength(count) || !withinStringBound(count))
        return false;
    std::vector<char>& octets = value.make_buf();
    octets.assign(getPosition(), getPosition() + count);
    setPosition(getPosition() + count);
    return true;
}

bool PERDecoder::do_revisit(OpenData& value)
{
    if (!value.has_buf() || !value.has_data())
        return false;
    std::vector<char> const& octets = *value.get_buf();
    return decodeOpenContents(octets.data(), octets.data() + octets.size(), *value.get_data());
}

bool PERDecoder::do_visit(TypeConstrainedOpenData& value)
{
    if (!value.has_data())
        return do_visit(static_cast<OpenData&>(value));
    unsigned count = 0;
    return decodeOpenLength(count) && decodeConfined(count, *value.get_data());
}

} // namespace ASN1
