#include "asn1/sequence_of.h"

#include "asn1/visitor.h"

namespace ASN1 {

SEQUENCE_OF_Base::SEQUENCE_OF_Base(SEQUENCE_OF_Base const& other) : ConstrainedObject(other)
{
    mElements.reserve(other.mElements.size());
    for (AbstractData const* element : other.mElements)
        mElements.push_back(element->clone());
}

SEQUENCE_OF_Base& SEQUENCE_OF_Base::operator=(SEQUENCE_OF_Base const& other)
{
    Container copies;
    copies.reserve(other.mElements.size());
    for (AbstractData const* element : other.mElements)
        copies.push_back(element->clone());
    clear();
    mElements.swap(copies);
    return *this;
}

void SEQUENCE_OF_Base::clear()
{
    for (AbstractData* element : mElements)
        delete element;
    mElements.clear();
}

void SEQUENCE_OF_Base::resize(unsigned n)
{
    while (mElements.size() > n) {
        delete mElements.back();
        mElements.pop_back();
    }
    mElements.reserve(n);
    while (mElements.size() < n) {
        AbstractData* element = createElement();
        if (!element)
            return;
        mElements.push_back(element);
    }
}

void SEQUENCE_OF_Base::insert(iterator position, unsigned n, AbstractData const& x)
{
    Container copies;
    copies.reserve(n);
    for (unsigned i = 0; i < n; ++i)
        copies.push_back(x.clone());
    mElements.insert(position, copies.begin(), copies.end());
}

void SEQUENCE_OF_Base::insert(iterator position, const_iterator first, const_iterator last)
{
    Container copies;
    for (; first != last; ++first)
        copies.push_back((*first)->clone());
    mElements.insert(position, copies.begin(), copies.end());
}

SEQUENCE_OF_Base::iterator SEQUENCE_OF_Base::erase(iterator first, iterator last)
{
    for (iterator i = first; i != last; ++i)
        delete *i;
    return mElements.erase(first, last);
}

int SEQUENCE_OF_Base::do_compare(AbstractData const& other) const
{
    Container const& theirs = static_cast<SEQUENCE_OF_Base const&>(other).mElements;
    std::size_t n = std::min(mElements.size(), theirs.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (int r = mElements[i]->compare(*theirs[i]))
            return r;
    }
    return detail::sign_of_difference(mElements.size(), theirs.size());
}

AbstractData* SEQUENCE_OF_Base::do_clone() const { return detail::clone_value(*this); }
bool SEQUENCE_OF_Base::do_accept(Visitor& v) { return v.do_visit(*this); }
bool SEQUENCE_OF_Base::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

} // namespace ASN1
