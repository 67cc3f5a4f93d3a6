// Intrusive reference-counted handles.
#pragma once

#include <cstdint>

// A null handle was dereferenced: reports on the log stream and ends the
// process. Shared by every Smart_pointer, packets included.
[[noreturn]] void SmartPtrAssertion();

// Handle on an object that carries its own `refcount` (created at 0). The
// last handle to let go deletes the object through its virtual destructor.
template <class T>
class Smart_pointer {
public:
    Smart_pointer() = default;
    Smart_pointer(T* p) : mP(p) { take(); }
    Smart_pointer(const Smart_pointer& o) : mP(o.mP) { take(); }
    Smart_pointer(Smart_pointer&& o) noexcept : mP(o.mP) { o.mP = nullptr; }
    ~Smart_pointer() { release(); }

    Smart_pointer& operator=(const Smart_pointer& o) { return assign(o.mP); }
    Smart_pointer& operator=(T* p) { return assign(p); }
    Smart_pointer& operator=(Smart_pointer&& o) noexcept
    {
        if (this != &o) {
            release();
            mP = o.mP;
            o.mP = nullptr;
        }
        return *this;
    }

    T* operator->() const
    {
        if (!mP)
            SmartPtrAssertion();
        return mP;
    }
    T& operator*() const { return *operator->(); }
    T* get() const { return mP; }
    explicit operator bool() const { return mP != nullptr; }

    void release()
    {
        T* p = mP;
        mP = nullptr;
        if (!p)
            return;
        if (p->refcount > 0)
            --p->refcount;
        if (p->refcount == 0)
            delete p;
    }

private:
    void take()
    {
        if (mP)
            ++mP->refcount;
    }
    // Takes the new object before letting go of the old one, so assigning
    // a handle to itself never frees what it holds.
    Smart_pointer& assign(T* p)
    {
        if (p)
            ++p->refcount;
        release();
        mP = p;
        return *this;
    }

    T* mP = nullptr;
};
