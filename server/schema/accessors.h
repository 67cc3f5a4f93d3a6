// Typed access to the fields and alternatives of the generated message
// classes. Reading never fails: an absent optional field or an alternative
// that is not selected reads as a default value.
#pragma once

#include <boost/polymorphic_cast.hpp>

#include "asn1/asn1.h"

namespace SchemaAccess {

// Field index, created when the value does not hold it yet (its presence
// bit is left alone).
template <class T>
T& field_of(ASN1::SEQUENCE& seq, unsigned index)
{
    return *boost::polymorphic_downcast<T*>(seq.makeField(index));
}

// A mandatory field: every value holds it from construction on.
template <class T>
T const& field_of(ASN1::SEQUENCE const& seq, unsigned index)
{
    return *boost::polymorphic_downcast<T const*>(seq.getField(index));
}

// An optional field, or absent when the value does not hold it.
template <class T>
T const& field_or(ASN1::SEQUENCE const& seq, unsigned index, T const& absent)
{
    ASN1::AbstractData const* f = seq.getField(index);
    return f ? *boost::polymorphic_downcast<T const*>(f) : absent;
}

// Alternative id, selected with a default value unless it is selected.
template <class T>
T& selected_as(ASN1::CHOICE& choice, int id)
{
    if (choice.currentSelection() != id || !choice.getSelection())
        choice.select(id);
    return *boost::polymorphic_downcast<T*>(choice.getSelection());
}

// Alternative id when it is selected, else absent.
template <class T>
T const& selection_or(ASN1::CHOICE const& choice, int id, T const& absent)
{
    ASN1::AbstractData const* v = choice.getSelection();
    return choice.currentSelection() == id && v ? *boost::polymorphic_downcast<T const*>(v) : absent;
}

} // namespace SchemaAccess
