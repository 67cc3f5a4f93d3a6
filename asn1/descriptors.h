// Constant type descriptors. Each value points at the descriptor of its type
// and reads everything type-dependent (bounds, fields, alternatives, names)
// from it, so generated message classes are plain constant tables.
#pragma once

#include <cstdint>

namespace ASN1 {

class AbstractData;
struct DataInfo;

// First word of every descriptor: builds a default value of the most-derived
// class for that descriptor, owned by the caller.
typedef AbstractData* (*CreateFun)(void const* info);

enum ConstraintType : unsigned {
    Unconstrained = 0,
    PartiallyConstrained = 1,
    FixedConstraint = 2,
    ExtendableConstraint = 3,
};

// Decoder limits, also enforced by the encoder so that nothing is sent that
// the other side would refuse.
enum : unsigned {
    MaximumStringSize = 16384, // characters, bits or octets of a string
    MaximumArraySize = 128,    // elements of a list, bits of an extension map
};

// Which of the decoder's own bounds stopped a decode that failed: the
// message may be sound, only longer than this side reads, or read whole
// with a value its type does not allow (range, enumeration, alternative).
// none: the input itself was at fault.
enum class DecodeBound : unsigned char {
    none,
    elements,    // a SEQUENCE OF past MaximumArraySize
    length,      // a string past MaximumStringSize, or any length in the
                 // fragmented form (16384 or more)
    extensions,  // an extension map past MaximumArraySize bits
    integer32,   // an INTEGER of more than 4 octets
    integer64,   // an INTEGER of more than 8 octets in a 64-bit field
    range,       // a constrained INTEGER above its upper bound
    enumeration, // an ENUMERATED root value above the type's largest
    alternative, // a CHOICE root index past its alternatives
};
// The bound in a few words, for a log line.
char const* describe(DecodeBound bound);

// What stopped a decode and where. A field takes whole bits or octets, so
// it can carry more than its values (slot 1500 in the two octets of
// 0..1023, a fourth alternative in the two bits of three): such a value is
// told with the range it passed. The field is the SEQUENCE field or CHOICE
// alternative that holds the value (holder null: the outermost value).
struct DecodeOutcome {
    DecodeBound bound = DecodeBound::none;
    DataInfo const* type = nullptr;   // the value's own type, where known
    DataInfo const* holder = nullptr; // its SEQUENCE or CHOICE
    unsigned field = 0;               // its index there
    char const* name = "";            // the field's name, "" when unnamed
    std::int64_t value = 0;           // range, enumeration, alternative:
    std::int64_t lower = 0;           // the value as coded, and the range
    std::int64_t upper = 0;           // that it passed
    // Whether the value was read whole, past its range.
    bool overran() const { return bound >= DecodeBound::range; }
};

// upperLimit of a type without an upper bound.
const unsigned NoUpperLimit = 0xFFFFFFFFu;
// upper bound passed to the length coders for an unbounded length.
const unsigned UnboundedLength = 0x7FFFFFFFu;
// fieldIds entry of a mandatory root field.
const unsigned MandatoryField = 0xFFFFFFFFu;

// A BER tag word: the class bits of the identifier octet (0x00 universal,
// 0x40 application, 0x80 context-specific, 0xC0 private) in bits 16..23, the
// tag number in bits 0..15. Descriptors carry universal tag numbers; 0 means
// no tag of its own (an untagged CHOICE or open type).

// Plain kinds: Null, BOOLEAN, OBJECT_IDENTIFIER, GeneralizedTime, OpenData.
struct DataInfo {
    CreateFun create;
    unsigned tag; // universal tag number
};

// INTEGER and its constrained instances, BIT_STRING, OCTET_STRING,
// SEQUENCE_OF; for strings and lists the bounds apply to the size.
struct ConstrainedInfo : DataInfo {
    ConstraintType type;
    int lowerLimit;
    unsigned upperLimit;
};

// A {value, name} entry of a named-number or enumeration table.
struct NamedNumber {
    int value;
    char const* name;
};

// Entries sorted by value.
struct IntegerWithNamedNumberInfo : ConstrainedInfo {
    NamedNumber const* namedNumbers;
    unsigned namedNumberCount;
};

// Restricted character strings; characterSet lists the permitted characters
// in canonical order.
struct StringInfo : ConstrainedInfo {
    char const* characterSet;
    unsigned characterSetSize;
    unsigned canonicalCharSize;
    unsigned unalignedCharSize;
    unsigned alignedCharSize; // bits per character
};

struct BMPStringInfo : ConstrainedInfo {
    unsigned firstChar;
    unsigned lastChar;
    unsigned unalignedCharSize;
    unsigned alignedCharSize;
};

// The names are {value, name} pairs because enumeration values may have gaps
// and two names may share a value; lookup by value takes the first entry.
struct EnumInfo : DataInfo {
    bool extendable;
    int maxEnumValue; // largest root value; coded in 0..maxEnumValue
    NamedNumber const* names;
    unsigned nameCount;
};

struct ChoiceInfo : DataInfo {
    bool extendable;
    DataInfo const* const* selectionInfos; // root, then known extension alternatives
    unsigned numChoices;                   // root alternatives
    unsigned totalChoices;                 // root plus known extension alternatives
    unsigned const* selectionTags;         // BER tag words; null: alternative i is tagged [i]
    char const* const* selectionNames;
};

struct SequenceInfo : DataInfo {
    bool extendable;
    DataInfo const* const* fieldInfos; // root fields, then known extension fields
    unsigned const* fieldIds;          // per root field: optional index or MandatoryField
    unsigned numFields;                // root fields
    unsigned knownExtensions;
    unsigned numOptionals;             // optional root fields
    unsigned char const* defaultExtensions; // extension fields present in a new value, or null
    unsigned const* fieldTags;         // BER tag words; null: field i is tagged [i];
                                       // SEQUENCE::defaultTag: each keeps its type's tag
    char const* const* fieldNames;
};

// SEQUENCE OF and SET OF; the bounds constrain the element count.
struct SequenceOfInfo : ConstrainedInfo {
    DataInfo const* itemInfo;
};

// An open type constrained to one type.
struct TypeConstrainedOpenInfo : DataInfo {
    DataInfo const* typeInfo; // may be null
};

// Number of bits needed for the values 0..n-1; n = 0 stands for 2^32.
inline unsigned CountBits(unsigned n)
{
    return n == 0 ? 32 : n == 1 ? 0 : 32 - unsigned(__builtin_clz(n - 1));
}

// Unsigned byte comparison: first difference decides, else the shorter range
// is smaller.
int lexicographic_compare_bytes(char const* first1, char const* last1,
                                char const* first2, char const* last2);

} // namespace ASN1
