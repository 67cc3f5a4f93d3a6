#include "asn1/choice.h"

#include <algorithm>
#include <utility>

#include "asn1/visitor.h"

namespace ASN1 {

CHOICE::CHOICE(CHOICE const& other)
    : AbstractData(other), mValue(other.mValue ? other.mValue->clone() : nullptr), mId(other.mId)
{
}

CHOICE& CHOICE::operator=(CHOICE const& other)
{
    AbstractData* copy = other.mValue ? other.mValue->clone() : nullptr;
    delete mValue;
    mValue = copy;
    mId = other.mId;
    return *this;
}

CHOICE::~CHOICE()
{
    delete mValue;
}

char const* CHOICE::getSelectionName() const
{
    ChoiceInfo const* choice = info();
    if (mId < 0 || unsigned(mId) >= choice->totalChoices || !choice->selectionNames)
        return nullptr;
    return choice->selectionNames[mId];
}

AbstractData* CHOICE::setSelection(int id, AbstractData* value)
{
    if (value != mValue)
        delete mValue;
    mValue = value;
    mId = id;
    return value;
}

bool CHOICE::createSelection()
{
    ChoiceInfo const* choice = info();
    AbstractData* made = nullptr;
    if (mId >= 0 && unsigned(mId) < choice->totalChoices && choice->selectionInfos)
        made = create_from(choice->selectionInfos[mId]);
    delete mValue;
    mValue = made;
    if (!made)
        mId = unknownSelection;
    return made != nullptr;
}

bool CHOICE::select(int id)
{
    mId = id;
    return createSelection();
}

bool CHOICE::setID(unsigned number, unsigned classBits)
{
    ChoiceInfo const* choice = info();
    unsigned key = (classBits << 16) + number;
    unsigned const* tags = choice->selectionTags;
    if (!tags) {
        // Alternative i travels as [i].
        return classBits == 0x80 && number < choice->totalChoices && select(int(number));
    }
    unsigned const* last = tags + choice->numChoices;
    unsigned const* found = std::lower_bound(tags, last, key);
    if (found != last && *found == key)
        return select(int(found - tags));
    if (choice->numChoices == 0 || tags[0] != 0 || !select(0))
        return false;
    // Alternative 0 is an untagged CHOICE: the tag may be one of its own.
    CHOICE* inner = dynamic_cast<CHOICE*>(mValue);
    if (inner && inner->setID(number, classBits))
        return true;
    setSelection(unknownSelection, nullptr);
    return false;
}

void CHOICE::swap(CHOICE& other)
{
    std::swap(mValue, other.mValue);
    std::swap(mId, other.mId);
}

int CHOICE::do_compare(AbstractData const& other) const
{
    CHOICE const& theirs = static_cast<CHOICE const&>(other);
    if (mId >= 0 && mId == theirs.mId) {
        if (mValue && theirs.mValue)
            return mValue->compare(*theirs.mValue);
        return int(mValue != nullptr) - int(theirs.mValue != nullptr);
    }
    return detail::sign_of_difference(mId, theirs.mId);
}

AbstractData* CHOICE::do_clone() const { return detail::clone_value(*this); }
bool CHOICE::do_accept(Visitor& v) { return v.do_visit(*this); }
bool CHOICE::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

} // namespace ASN1
