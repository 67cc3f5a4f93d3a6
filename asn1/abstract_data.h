// Base of every ASN.1 value and the allocation mixin of the value classes.
#pragma once

#include <cstddef>
#include <ios>
#include <iosfwd>
#include <new>
#include <string>

#include "asn1/descriptors.h"

namespace ASN1 {

class Visitor;
class ConstVisitor;

namespace detail {

// Class-level allocation of the value classes: freed objects of exactly
// sizeof(T) are kept on a short free list, so decoding a message into fresh
// values does not go to the heap once the process has warmed up. Objects of
// another size (a derived class that adds fields) use the global heap.
// Single-threaded, like the rest of the runtime.
class FreeList {
public:
    explicit FreeList(std::size_t blockSize) : mBlockSize(blockSize) {}
    void* take(std::size_t size)
    {
        if (size != mBlockSize || !mHead)
            return ::operator new(size);
        Block* block = mHead;
        unpoison(block);
        mHead = block->next;
        --mCount;
        return block;
    }
    void give(void* p, std::size_t size)
    {
        if (!p)
            return;
        if (size != mBlockSize || mCount >= MaxHeld) {
            ::operator delete(p);
            return;
        }
        Block* block = static_cast<Block*>(p);
        block->next = mHead;
        mHead = block;
        ++mCount;
        poison(block);
    }
    std::size_t held() const { return mCount; }

private:
    struct Block { Block* next; };
    enum { MaxHeld = 256 };
#if defined(__SANITIZE_ADDRESS__)
    // A held block is dead memory: the sanitizer reports any use of it past
    // the link word (which stays readable for the leak checker).
    void poison(Block* block) const;
    void unpoison(Block* block) const;
#else
    void poison(Block*) const {}
    void unpoison(Block*) const {}
#endif
    std::size_t mBlockSize;
    Block* mHead = nullptr;
    std::size_t mCount = 0;
};

template <class T>
class Allocator {
public:
    static void* operator new(std::size_t size) { return pool().take(size); }
    static void operator delete(void* p, std::size_t size) { pool().give(p, size); }
    static FreeList& pool()
    {
        // Never destroyed: values may be freed by other static destructors.
        static FreeList* list = new FreeList(sizeof(T));
        return *list;
    }
};

} // namespace detail

class AbstractData {
public:
    virtual ~AbstractData() {}

    DataInfo const* info() const { return mInfo; }
    unsigned getTag() const { return mInfo->tag; }

    // Negative, 0 or positive; the other value must be of the same type.
    int compare(AbstractData const& other) const { return do_compare(other); }
    AbstractData* clone() const { return do_clone(); }
    bool accept(Visitor& v) { return do_accept(v); }
    bool accept(ConstVisitor& v) const { return do_accept(v); }

    // The value in ASN.1 value notation; the text printed so far when
    // printing fails part way.
    std::string asValueNotation() const;
    // goodbit when printed, failbit otherwise; leaves the stream's state alone.
    std::ios_base::iostate print_on(std::ostream& os) const;
    // Reads the value from value notation; text after it is ignored. On
    // failure the value may be partly set.
    bool setFromValueNotation(std::string const& text);
    // goodbit when read, failbit otherwise; leaves the stream's state alone.
    std::ios_base::iostate get_from(std::istream& is);

    // Whether the value meets its type's constraints, beyond an extensible
    // root where the type allows it (isValid) or within every root.
    bool isValid() const;
    bool isStrictlyValid() const;

protected:
    explicit AbstractData(void const* info) : mInfo(static_cast<DataInfo const*>(info)) {}
    AbstractData(AbstractData const&) = default;
    // Assignment copies values between values of one type: the descriptor stays.
    AbstractData& operator=(AbstractData const&) { return *this; }

    virtual int do_compare(AbstractData const& other) const = 0;
    virtual AbstractData* do_clone() const = 0;
    virtual bool do_accept(Visitor& v) = 0;
    virtual bool do_accept(ConstVisitor& v) const = 0;

private:
    DataInfo const* mInfo;
};

// Builds a default value of T for a descriptor: the create word of
// descriptors whose class has a descriptor constructor.
template <class T>
AbstractData* create_value(void const* info)
{
    return new T(info);
}

// Builds the value that a descriptor describes (null for a null descriptor).
inline AbstractData* create_from(DataInfo const* info)
{
    return info && info->create ? info->create(info) : nullptr;
}

namespace detail {

// A copy of value of its most-derived class: built by the descriptor's create
// and then assigned, so a clone of a generated message is a generated message.
template <class T>
AbstractData* clone_value(T const& value)
{
    AbstractData* made = create_from(value.AbstractData::info());
    if (T* copy = dynamic_cast<T*>(made)) {
        *copy = value;
        return copy;
    }
    delete made;
    return new T(value);
}

// -1, 0 or 1 as a is below, equal to or above b: what do_compare returns.
template <class T>
int sign_of_difference(T a, T b)
{
    return (a > b) - (a < b);
}

} // namespace detail

} // namespace ASN1
