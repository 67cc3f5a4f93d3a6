// Intrusive circular doubly linked lists: the node is a member of the
// object it links, and a list is a ring through one anchor node.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Containers {

class CyclicList {
public:
    class TIterator {
    public:
        explicit TIterator(CyclicList* node = nullptr) : mNode(node) {}
        TIterator& operator++()
        {
            mNode = mNode->next;
            return *this;
        }
        CyclicList* operator*() const { return mNode; }
        bool operator==(const TIterator& o) const { return mNode == o.mNode; }
        bool operator!=(const TIterator& o) const { return mNode != o.mNode; }

    private:
        CyclicList* mNode;
    };

    // A node starts (and an empty list is) a ring of itself.
    CyclicList() { InternalInit(); }
    CyclicList(const CyclicList&) = delete;
    CyclicList& operator=(const CyclicList&) = delete;

    void InternalInit() { next = prev = this; }
    // Links prev and next to each other, unlinking what lay between.
    static void InternalDel(CyclicList* p, CyclicList* n)
    {
        n->prev = p;
        p->next = n;
    }
    // Links this node in front of the anchor: at the end of its ring.
    void InternalAddTail(CyclicList& anchor)
    {
        InternalInit();
        next = &anchor;
        prev = anchor.prev;
        prev->next = this;
        anchor.prev = this;
    }
    // Unlinks this node from its ring; the node keeps its own links.
    void InternalRemove() { InternalDel(prev, next); }

    bool empty() const { return next == this; }
    // Iteration over an anchor's ring: from anchor.next until the anchor.
    TIterator begin() { return TIterator(next); }
    TIterator end() { return TIterator(this); }

    CyclicList* next;
    CyclicList* prev;
};

// The object of type T that holds node as its member.
template <class T>
T* offset(CyclicList* node, CyclicList T::*member)
{
    // The member's position, computed on an address that is never read.
    alignas(T) static const unsigned char probe[sizeof(T)] = {};
    const T* t = reinterpret_cast<const T*>(probe);
    std::ptrdiff_t pos = reinterpret_cast<const unsigned char*>(&(t->*member)) - probe;
    return reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(node) - pos);
}

} // namespace Containers
