// Sequence numbers that count modulo Max + 1 (Max + 1 a power of two),
// such as the 7-bit send and receive counters of the link protocols.
#pragma once

template <class T, T Max>
class Cyclic {
public:
    static_assert((Max & (Max + 1)) == 0, "the modulus must be a power of two");

    // a <= b <= c: whether b lies in the window that starts at a and runs
    // upwards, modulo Max + 1, to c inclusive.
    class LessEqPair {
    public:
        LessEqPair(T a, T b) : mA(a), mB(b) {}
        bool operator<=(Cyclic c) const { return ((T(c) - mA) & Max) >= ((mB - mA) & Max); }

    private:
        T mA;
        T mB;
    };

    Cyclic() = default;
    Cyclic(T v) : mValue(v & Max) {}
    operator T() const { return mValue; }

    Cyclic& operator++()
    {
        mValue = (mValue + 1) & Max;
        return *this;
    }
    Cyclic operator++(int)
    {
        Cyclic old = *this;
        ++*this;
        return old;
    }
    Cyclic& operator--()
    {
        mValue = (mValue - 1) & Max;
        return *this;
    }

    friend Cyclic operator+(Cyclic a, Cyclic b) { return Cyclic(a.mValue + b.mValue); }
    friend Cyclic operator-(Cyclic a, Cyclic b) { return Cyclic(a.mValue - b.mValue); }
    friend LessEqPair operator<=(Cyclic a, Cyclic b) { return LessEqPair(a.mValue, b.mValue); }

private:
    T mValue = 0;
};
