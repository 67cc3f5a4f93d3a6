// Intrusive doubly linked lists: the loop's handlers, timers and child
// records link themselves, so attaching and arming allocate nothing.
#pragma once

#include <cstdint>

template <class T> class F_dual_list;

template <class T>
class F_dual_list_item {
public:
    T* next = nullptr;
    T* prev = nullptr;

    // The list that holds this element, or null: membership tests are O(1)
    // and a stale pointer is never followed to find it.
    const F_dual_list<T>* owner_list() const { return mList; }

private:
    friend class F_dual_list<T>;
    F_dual_list<T>* mList = nullptr;
};

template <class T>
class F_dual_list {
public:
    class iterator {
    public:
        explicit iterator(T* p = nullptr) : mP(p) {}
        T* operator*() const { return mP; }
        T* operator->() const { return mP; }
        iterator& operator++() { mP = mP->next; return *this; }
        bool operator==(const iterator& o) const { return mP == o.mP; }
        bool operator!=(const iterator& o) const { return mP != o.mP; }

    private:
        T* mP;
    };

    F_dual_list() = default;
    F_dual_list(const F_dual_list&) = delete;
    F_dual_list& operator=(const F_dual_list&) = delete;

    uint32_t size() const { return mCount; }
    bool empty() const { return mCount == 0; }
    T* head() const { return mHead; }
    T* tail() const { return mTail; }
    iterator begin() const { return iterator(mHead); }
    iterator end() const { return iterator(); }

    bool contains(const T* item) const { return item->mList == this; }

    void push_back(T* item) { insert_to_tail(item); }

    void insert_to_tail(T* item)
    {
        item->prev = mTail;
        item->next = nullptr;
        if (mTail)
            mTail->next = item;
        else
            mHead = item;
        mTail = item;
        link(item);
    }

    void insert_to_head(T* item)
    {
        item->next = mHead;
        item->prev = nullptr;
        if (mHead)
            mHead->prev = item;
        else
            mTail = item;
        mHead = item;
        link(item);
    }

    // Inserts item right after pos; a null pos inserts at the head.
    void insert_after(T* pos, T* item)
    {
        if (!pos) {
            insert_to_head(item);
            return;
        }
        item->prev = pos;
        item->next = pos->next;
        if (pos->next)
            pos->next->prev = item;
        else
            mTail = item;
        pos->next = item;
        link(item);
    }

    // Unlinks an element of this list.
    void remove(T* item)
    {
        if (item->prev)
            item->prev->next = item->next;
        else
            mHead = item->next;
        if (item->next)
            item->next->prev = item->prev;
        else
            mTail = item->prev;
        item->mList = nullptr;
        --mCount;
    }

    T* remove_from_head()
    {
        T* item = mHead;
        if (item)
            remove(item);
        return item;
    }

    // Exchanges the whole contents of the two lists.
    void merge(F_dual_list& other)
    {
        T* h = mHead;
        T* t = mTail;
        uint32_t c = mCount;
        mHead = other.mHead;
        mTail = other.mTail;
        mCount = other.mCount;
        other.mHead = h;
        other.mTail = t;
        other.mCount = c;
        for (T* p = mHead; p; p = p->next)
            p->mList = this;
        for (T* p = other.mHead; p; p = p->next)
            p->mList = &other;
    }

private:
    void link(T* item)
    {
        item->mList = this;
        ++mCount;
    }

    T* mHead = nullptr;
    T* mTail = nullptr;
    uint32_t mCount = 0;
};

// A list kept in ascending order by T::compare; equal elements stay in
// arrival order.
template <class T>
class F_sorted_list : public F_dual_list<T> {
public:
    uint32_t count() const { return this->size(); }

    // Walks from the tail: the common case (the latest expiry) costs one
    // comparison.
    void insert_to_tail_by_grown(T* item)
    {
        T* p = this->tail();
        while (p && p->compare(item) > 0)
            p = p->prev;
        this->insert_after(p, item);
    }
};
