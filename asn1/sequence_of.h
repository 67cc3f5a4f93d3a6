// SEQUENCE OF and SET OF: a list of owned elements of one type.
#pragma once

#include <boost/polymorphic_cast.hpp>
#include <iterator>
#include <vector>

#include "asn1/primitives.h"

namespace ASN1 {

class SEQUENCE_OF_Base : public ConstrainedObject, public detail::Allocator<SEQUENCE_OF_Base> {
public:
    typedef std::vector<AbstractData*> Container;
    typedef Container::iterator iterator;
    typedef Container::const_iterator const_iterator;

    explicit SEQUENCE_OF_Base(void const* info) : ConstrainedObject(info) {}
    SEQUENCE_OF_Base(SEQUENCE_OF_Base const& other);
    SEQUENCE_OF_Base& operator=(SEQUENCE_OF_Base const& other);
    ~SEQUENCE_OF_Base() override { clear(); }
    static AbstractData* create(void const* info) { return new SEQUENCE_OF_Base(info); }

    SequenceOfInfo const* info() const { return static_cast<SequenceOfInfo const*>(AbstractData::info()); }

    unsigned size() const { return static_cast<unsigned>(mElements.size()); }
    bool empty() const { return mElements.empty(); }
    iterator begin() { return mElements.begin(); }
    iterator end() { return mElements.end(); }
    const_iterator begin() const { return mElements.begin(); }
    const_iterator end() const { return mElements.end(); }
    AbstractData& at(unsigned i) { return *mElements[i]; }
    AbstractData const& at(unsigned i) const { return *mElements[i]; }

    // The element count within the bounds, every element valid.
    bool isValid() const;
    bool isStrictlyValid() const;

    void clear();
    // Growing appends default elements; shrinking deletes the tail.
    void resize(unsigned n);
    // Inserts n clones of x before position.
    void insert(iterator position, unsigned n, AbstractData const& x);
    // Inserts clones of [first, last) before position.
    void insert(iterator position, const_iterator first, const_iterator last);
    iterator erase(iterator first, iterator last);
    // Appends an element, taking ownership.
    void append(AbstractData* element) { mElements.push_back(element); }
    // A default element, owned by the caller (null without an element type).
    AbstractData* createElement() const { return create_from(info()->itemInfo); }

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    Container mElements;
};

struct EmptyConstraint {};

namespace detail {

// Iterator over the elements of a list as T.
template <class T, class BaseIterator>
class TypedIterator {
public:
    typedef std::forward_iterator_tag iterator_category;
    typedef T value_type;
    typedef std::ptrdiff_t difference_type;
    typedef T* pointer;
    typedef T& reference;

    TypedIterator() : mPos() {}
    explicit TypedIterator(BaseIterator pos) : mPos(pos) {}
    T& operator*() const { return *boost::polymorphic_downcast<T*>(*mPos); }
    T* operator->() const { return boost::polymorphic_downcast<T*>(*mPos); }
    TypedIterator& operator++()
    {
        ++mPos;
        return *this;
    }
    TypedIterator operator++(int)
    {
        TypedIterator old(*this);
        ++mPos;
        return old;
    }
    bool operator==(TypedIterator const& other) const { return mPos == other.mPos; }
    bool operator!=(TypedIterator const& other) const { return mPos != other.mPos; }
    BaseIterator base() const { return mPos; }

private:
    BaseIterator mPos;
};

} // namespace detail

// Typed access to a list of T; the layout is that of SEQUENCE_OF_Base.
template <class T, class Constraint = EmptyConstraint>
class SEQUENCE_OF : public SEQUENCE_OF_Base {
public:
    typedef detail::TypedIterator<T, SEQUENCE_OF_Base::iterator> iterator;
    typedef detail::TypedIterator<T const, SEQUENCE_OF_Base::const_iterator> const_iterator;

    explicit SEQUENCE_OF(void const* info) : SEQUENCE_OF_Base(info) {}
    static AbstractData* create(void const* info) { return new SEQUENCE_OF(info); }

    iterator begin() { return iterator(SEQUENCE_OF_Base::begin()); }
    iterator end() { return iterator(SEQUENCE_OF_Base::end()); }
    const_iterator begin() const { return const_iterator(SEQUENCE_OF_Base::begin()); }
    const_iterator end() const { return const_iterator(SEQUENCE_OF_Base::end()); }
    T const& operator[](unsigned i) const { return *boost::polymorphic_downcast<T const*>(&at(i)); }
    T& operator[](unsigned i) { return *boost::polymorphic_downcast<T*>(&at(i)); }

    void push_back(T const& x) { append(x.clone()); }
    // Deletes the element; returns the position of the next one.
    iterator erase(iterator position)
    {
        SEQUENCE_OF_Base::iterator p = position.base();
        return iterator(SEQUENCE_OF_Base::erase(p, p + 1));
    }
};

// The same for SET OF; only the descriptor's tag differs.
template <class T, class Constraint = EmptyConstraint>
class SET_OF : public SEQUENCE_OF<T, Constraint> {
public:
    explicit SET_OF(void const* info) : SEQUENCE_OF<T, Constraint>(info) {}
    static AbstractData* create(void const* info) { return new SET_OF(info); }
};

} // namespace ASN1
