// Decisions that the BER encoder and decoder must take alike: the tags of
// fields and alternatives, and how INTEGER values read as numbers.
#pragma once

#include <cstdint>

#include "asn1/choice.h"
#include "asn1/primitives.h"
#include "asn1/sequence.h"

namespace ASN1 {
namespace ber {

// Pending tag of a value that is coded under its own descriptor tag.
const unsigned OwnTag = 0xFFFFFFFFu;
const unsigned ConstructedBit = 0x20;

inline unsigned context_tag(unsigned index) { return 0x800000u + index; }
inline unsigned tag_class(unsigned tag) { return (tag >> 16) & 0xC0; }
inline unsigned tag_number(unsigned tag) { return tag & 0xFFFF; }

// The tag under which field index of a SEQUENCE travels.
inline unsigned field_tag(SequenceInfo const* info, unsigned index)
{
    if (!info->fieldTags)
        return context_tag(index);
    if (info->fieldTags == SEQUENCE::defaultTag)
        return info->fieldInfos[index] ? info->fieldInfos[index]->tag : 0;
    return info->fieldTags[index];
}

inline unsigned alternative_tag(ChoiceInfo const* info, unsigned index)
{
    return info->selectionTags ? info->selectionTags[index] : context_tag(index);
}

// The tag word a value travels under: the pending tag, or its own when the
// pending tag asks for it or is 0 (an untagged field or alternative).
inline unsigned resolve(unsigned pending, AbstractData const& value)
{
    return pending == OwnTag || pending == 0 ? value.getTag() : pending;
}

// The number an INTEGER holds: the stored 32 bits read as unsigned for a
// type whose lower bound is 0 or more, so 0..4294967295 stays positive.
inline std::int64_t integer_value(INTEGER const& value)
{
    if (value.isUnsigned())
        return static_cast<unsigned>(value.getValue());
    return value.getValue();
}

} // namespace ber
} // namespace ASN1
