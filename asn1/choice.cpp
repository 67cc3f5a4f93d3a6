#include "asn1/choice.h"

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
    return (mId > theirs.mId) - (mId < theirs.mId);
}

AbstractData* CHOICE::do_clone() const { return detail::clone_value(*this); }
bool CHOICE::do_accept(Visitor& v) { return v.do_visit(*this); }
bool CHOICE::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

} // namespace ASN1
