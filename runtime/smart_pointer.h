// Intrusive reference-counted handles.
#pragma once

#include <cstdint>

// A null handle was dereferenced: reports on the log stream and ends the
// process. Shared by every Smart_pointer, packets included.
[[noreturn]] void SmartPtrAssertion();

// The counting every handle shares, on an object that carries its own
// `refcount` (created at 0). The last handle to let go hands the object to
// Free.
template <class T, void (*Free)(T*)>
class Counted_handle {
public:
    Counted_handle(const Counted_handle& o) : mP(o.mP) { take(); }
    Counted_handle(Counted_handle&& o) noexcept : mP(o.mP) { o.mP = nullptr; }
    ~Counted_handle() { release(); }

    Counted_handle& operator=(const Counted_handle& o) { return assign(o.mP); }
    Counted_handle& operator=(Counted_handle&& o) noexcept
    {
        if (this != &o) {
            release();
            mP = o.mP;
            o.mP = nullptr;
        }
        return *this;
    }

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
            Free(p);
    }

protected:
    Counted_handle() = default;
    explicit Counted_handle(T* p) : mP(p) { take(); }

    // Takes the new object before letting go of the old one, so assigning
    // a handle to itself never frees what it holds.
    Counted_handle& assign(T* p)
    {
        if (p)
            ++p->refcount;
        release();
        mP = p;
        return *this;
    }

    T* mP = nullptr;

private:
    void take()
    {
        if (mP)
            ++mP->refcount;
    }
};

template <class T>
void delete_counted(T* p)
{
    delete p;
}

// Handle on a heap object: the last handle deletes it through its virtual
// destructor.
template <class T>
class Smart_pointer : public Counted_handle<T, &delete_counted<T>> {
    using Base = Counted_handle<T, &delete_counted<T>>;

public:
    Smart_pointer() = default;
    Smart_pointer(T* p) : Base(p) {}

    Smart_pointer& operator=(T* p)
    {
        Base::assign(p);
        return *this;
    }

    T* operator->() const
    {
        if (!this->mP)
            SmartPtrAssertion();
        return this->mP;
    }
    T& operator*() const { return *operator->(); }
    T* get() const { return this->mP; }
};
