#include "asn1/validity.h"

#include "asn1/choice.h"
#include "asn1/generalized_time.h"
#include "asn1/open_data.h"
#include "asn1/primitives.h"
#include "asn1/sequence.h"
#include "asn1/sequence_of.h"
#include "asn1/strings.h"

namespace ASN1 {

namespace {

bool above_lower(ConstrainedObject const& value, unsigned size)
{
    return static_cast<long long>(size) >= value.getLowerLimit();
}

// Size bounds of a string or a list; an extensible constraint lets the size
// grow past its upper bound unless the check is strict.
bool size_valid(ConstrainedObject const& value, unsigned size, bool strict)
{
    return above_lower(value, size) && ((!strict && value.extendable()) || size <= value.getUpperLimit());
}

bool string_valid(AbstractString const& value, bool strict)
{
    StringInfo const* info = value.info();
    if (!size_valid(value, static_cast<unsigned>(value.size()), strict))
        return false;
    return info->characterSetSize == 0 ||
           value.find_first_not_of(info->characterSet, 0, info->characterSetSize) == std::string::npos;
}

bool bmp_valid(BMPString const& value, bool strict)
{
    return size_valid(value, static_cast<unsigned>(value.size()), strict) && value.first_illegal_at() == value.size();
}

bool choice_valid(CHOICE const& value, bool strict)
{
    int id = value.currentSelection();
    AbstractData const* selected = value.getSelection();
    if (id < 0 || !selected)
        return false;
    if (unsigned(id) >= value.numChoices() && (strict || !value.extendable()))
        return false;
    return strict ? selected->isStrictlyValid() : selected->isValid();
}

bool list_valid(SEQUENCE_OF_Base const& value, bool strict)
{
    if (!size_valid(value, value.size(), strict))
        return false;
    for (AbstractData const* element : value) {
        if (!element || !(strict ? element->isStrictlyValid() : element->isValid()))
            return false;
    }
    return true;
}

bool open_valid(OpenData const& value, bool strict)
{
    if (value.has_data())
        return strict ? value.get_data()->isStrictlyValid() : value.get_data()->isValid();
    return value.has_buf();
}

} // namespace

// Per-class checks

template <>
bool INTEGER::isStrictValid() const
{
    int lower = getLowerLimit();
    if (lower >= 0) {
        unsigned v = static_cast<unsigned>(getValue());
        return v >= static_cast<unsigned>(lower) && v <= getUpperLimit();
    }
    return getValue() >= lower && getValue() <= static_cast<int>(getUpperLimit());
}

bool ENUMERATED::isStrictlyValid() const
{
    if (mValue < 0 || mValue > getMaximum())
        return false;
    return !info()->names || getName() != nullptr;
}

bool AbstractString::isValid() const { return string_valid(*this, false); }
bool AbstractString::isStrictlyValid() const { return string_valid(*this, true); }

bool BMPString::legalCharacter(wchar_t c) const
{
    unsigned long code = static_cast<unsigned long>(c);
    return code >= info()->firstChar && code <= info()->lastChar;
}

std::size_t BMPString::first_illegal_at() const
{
    std::size_t i = 0;
    while (i < size() && legalCharacter((*this)[i]))
        ++i;
    return i;
}

bool BMPString::isValid() const { return bmp_valid(*this, false); }
bool BMPString::isStrictlyValid() const { return bmp_valid(*this, true); }

bool GeneralizedTime::isStrictlyValid() const
{
    return mYear >= 1 && mMonth >= 1 && mMonth <= 12 && mDay >= 1 && mDay <= 31 && mHour >= 0 && mHour <= 24 &&
           mMinute >= 0 && mMinute <= 59 && mSecond >= 0 && mSecond <= 59 && mOffset >= -720 && mOffset <= 720;
}

bool CHOICE::isValid() const { return choice_valid(*this, false); }
bool CHOICE::isStrictlyValid() const { return choice_valid(*this, true); }
bool SEQUENCE_OF_Base::isValid() const { return list_valid(*this, false); }
bool SEQUENCE_OF_Base::isStrictlyValid() const { return list_valid(*this, true); }
bool OpenData::isValid() const { return open_valid(*this, false); }
bool OpenData::isStrictlyValid() const { return open_valid(*this, true); }

bool AbstractData::isValid() const
{
    ValidChecker checker;
    return accept(checker);
}

bool AbstractData::isStrictlyValid() const
{
    StrictlyValidChecker checker;
    return accept(checker);
}

// ConstraintChecker

bool ConstraintChecker::do_visit(Null const&) { return true; }
bool ConstraintChecker::do_visit(BOOLEAN const&) { return true; }

bool ConstraintChecker::do_visit(INTEGER const& value)
{
    return value.isStrictValid() || (!mStrict && value.extendable());
}

bool ConstraintChecker::do_visit(ENUMERATED const& value)
{
    return value.isStrictlyValid() || (!mStrict && value.extendable() && value.getValue() > value.getMaximum());
}

bool ConstraintChecker::do_visit(OBJECT_IDENTIFIER const& value) { return value.isWellFormed(); }

bool ConstraintChecker::do_visit(BIT_STRING const& value) { return size_valid(value, value.size(), mStrict); }

bool ConstraintChecker::do_visit(OCTET_STRING const& value)
{
    return size_valid(value, static_cast<unsigned>(value.size()), mStrict);
}

bool ConstraintChecker::do_visit(AbstractString const& value) { return string_valid(value, mStrict); }
bool ConstraintChecker::do_visit(BMPString const& value) { return bmp_valid(value, mStrict); }
bool ConstraintChecker::do_visit(CHOICE const& value) { return choice_valid(value, mStrict); }
bool ConstraintChecker::do_visit(OpenData const& value) { return open_valid(value, mStrict); }
bool ConstraintChecker::do_visit(GeneralizedTime const& value) { return value.isStrictlyValid(); }
bool ConstraintChecker::do_visit(SEQUENCE_OF_Base const& value) { return list_valid(value, mStrict); }

bool ConstraintChecker::visitExtensionRoot(SEQUENCE const& seq, int index)
{
    AbstractData const* field = seq.getField(unsigned(index));
    return field && field->accept(*this);
}

bool ConstraintChecker::visitKnownExtension(SEQUENCE const& seq, int index)
{
    return visitExtensionRoot(seq, index);
}

// InvalidTracer

bool InvalidTracer::do_visit(Null const&) { return true; }
bool InvalidTracer::do_visit(BOOLEAN const&) { return true; }

bool InvalidTracer::do_visit(INTEGER const& value)
{
    if (value.isStrictValid())
        return true;
    int lower = value.getLowerLimit();
    bool below = lower >= 0 ? static_cast<unsigned>(value.getValue()) < static_cast<unsigned>(lower)
                            : value.getValue() < lower;
    // Beyond the root of an extensible range: allowed, nothing to say.
    if (!below && value.extendable())
        return true;
    mOs << " The INTEGER value ";
    if (lower >= 0)
        mOs << static_cast<unsigned>(value.getValue());
    else
        mOs << value.getValue();
    if (below) {
        mOs << " is smaller than lower bound " << lower;
        return false;
    }
    mOs << " is greater than upper bound " << value.getUpperLimit();
    return false;
}

bool InvalidTracer::do_visit(ENUMERATED const& value)
{
    if (value.isStrictlyValid())
        return true;
    mOs << " This ENUMERATED has invalid value " << value.getValue();
    return false;
}

bool InvalidTracer::do_visit(OBJECT_IDENTIFIER const& value)
{
    if (value.isWellFormed())
        return true;
    if (value.size() == 0)
        mOs << " This OBJECT IDENTIFIER is not assigned";
    else
        mOs << " This OBJECT IDENTIFIER cannot be encoded";
    return false;
}

bool InvalidTracer::traceSize(char const* kind, ConstrainedObject const& value, unsigned size)
{
    if (!above_lower(value, size)) {
        mOs << " This " << kind << " has size " << size << " smaller than its lower bound " << value.getLowerLimit();
        return false;
    }
    if (value.constraintType() == FixedConstraint && size > value.getUpperLimit()) {
        mOs << " This " << kind << " has size " << size << " greater than its upper bound " << value.getUpperLimit();
        return false;
    }
    return true;
}

bool InvalidTracer::do_visit(BIT_STRING const& value) { return traceSize("BIT STRING", value, value.size()); }

bool InvalidTracer::do_visit(OCTET_STRING const& value)
{
    return traceSize("OCTET STRING", value, static_cast<unsigned>(value.size()));
}

bool InvalidTracer::do_visit(AbstractString const& value)
{
    if (!traceSize("AbstractString", value, static_cast<unsigned>(value.size())))
        return false;
    StringInfo const* info = value.info();
    std::size_t at = info->characterSetSize == 0
                         ? std::string::npos
                         : value.find_first_not_of(info->characterSet, 0, info->characterSetSize);
    if (at == std::string::npos)
        return true;
    mOs << " The character '" << value[at] << "' is not valid for the string";
    return false;
}

bool InvalidTracer::do_visit(BMPString const& value)
{
    if (!traceSize("BMPString", value, static_cast<unsigned>(value.size())))
        return false;
    std::size_t at = value.first_illegal_at();
    if (at == value.size())
        return true;
    mOs << " The character '" << static_cast<unsigned long>(value[at]) << "' is not valid for the string";
    return false;
}

bool InvalidTracer::do_visit(CHOICE const& value)
{
    int id = value.currentSelection();
    if (id == CHOICE::unselected || (id >= 0 && !value.getSelection())) {
        mOs << " This CHOICE is not selected";
        return false;
    }
    if (id < 0) {
        mOs << " This selection is not understood by this decoder";
        return false;
    }
    char const* name = value.getSelectionName();
    mOs << '.' << (name ? name : "");
    return value.getSelection()->accept(*this);
}

bool InvalidTracer::do_visit(OpenData const& value)
{
    if (value.has_data())
        return value.get_data()->accept(*this);
    if (value.has_buf())
        return true;
    mOs << " This Open Type does not contain any valid data";
    return false;
}

bool InvalidTracer::do_visit(GeneralizedTime const& value)
{
    if (value.isStrictlyValid())
        return true;
    mOs << " This GeneralizedTime is not valid";
    return false;
}

bool InvalidTracer::do_visit(SEQUENCE_OF_Base const& value)
{
    if (!traceSize("SEQUENCE OF", value, value.size()))
        return false;
    for (unsigned i = 0; i < value.size(); ++i) {
        InvalidTracer element;
        if (!value.at(i).accept(element)) {
            mOs << '[' << i << ']' << element.text();
            return false;
        }
    }
    return true;
}

bool InvalidTracer::traceField(SEQUENCE const& seq, int index)
{
    AbstractData const* field = seq.getField(unsigned(index));
    InvalidTracer inner;
    if (field && field->accept(inner))
        return true;
    char const* name = seq.fieldName(unsigned(index));
    mOs << '.' << (name ? name : "") << inner.text();
    return false;
}

bool InvalidTracer::visitExtensionRoot(SEQUENCE const& seq, int index) { return traceField(seq, index); }
bool InvalidTracer::visitKnownExtension(SEQUENCE const& seq, int index) { return traceField(seq, index); }

bool trace_invalid(std::ostream& os, char const* prefix, AbstractData const& value)
{
    InvalidTracer tracer;
    if (value.accept(tracer))
        return true;
    os << prefix << tracer.text() << std::endl;
    return false;
}

} // namespace ASN1
