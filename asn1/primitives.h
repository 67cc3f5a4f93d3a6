// Simple value classes: NULL, BOOLEAN, INTEGER and its constrained and named
// forms, ENUMERATED, OBJECT IDENTIFIER, BIT STRING and OCTET STRING.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "asn1/abstract_data.h"
#include "asn1/bit_map.h"

namespace ASN1 {

class Null : public AbstractData, public detail::Allocator<Null> {
public:
    static const DataInfo theInfo;
    explicit Null(void const* info = &theInfo) : AbstractData(info) {}
    static AbstractData* create(void const* info) { return new Null(info); }

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;
};

class BOOLEAN : public AbstractData, public detail::Allocator<BOOLEAN> {
public:
    static const DataInfo theInfo;
    explicit BOOLEAN(void const* info = &theInfo) : AbstractData(info) {}
    explicit BOOLEAN(bool value, void const* info = &theInfo) : AbstractData(info), mValue(value) {}
    static AbstractData* create(void const* info) { return new BOOLEAN(info); }

    bool getValue() const { return mValue; }
    void setValue(bool value) { mValue = value; }
    operator bool() const { return mValue; }
    BOOLEAN& operator=(bool value) { mValue = value; return *this; }

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    bool mValue = false;
};

// A value whose descriptor carries a constraint (on the value or the size).
class ConstrainedObject : public AbstractData {
public:
    ConstrainedInfo const* info() const { return static_cast<ConstrainedInfo const*>(AbstractData::info()); }
    ConstraintType constraintType() const { return info()->type; }
    int getLowerLimit() const { return info()->lowerLimit; }
    unsigned getUpperLimit() const { return info()->upperLimit; }
    bool extendable() const { return info()->type == ExtendableConstraint; }

protected:
    explicit ConstrainedObject(void const* info) : AbstractData(info) {}
};

// An INTEGER held in Value: INTEGER keeps 32 bits and its limits (four
// octets at most on the wire); INTEGER64 is an unconstrained INTEGER in 64
// bits, so that any whole number that fits a signed 64-bit integer travels,
// in up to eight octets. Two types, so that the coders keep a slot for each.
template <typename Value>
class BasicInteger : public ConstrainedObject, public detail::Allocator<BasicInteger<Value>> {
public:
    static const ConstrainedInfo theInfo;
    explicit BasicInteger(void const* info = &theInfo) : ConstrainedObject(info) {}
    explicit BasicInteger(Value value, void const* info = &theInfo) : ConstrainedObject(info), mValue(value) {}
    static AbstractData* create(void const* info) { return new BasicInteger(info); }

    Value getValue() const { return mValue; }
    // No range check: the checks are offered separately.
    void setValue(Value value) { mValue = value; }
    BasicInteger& operator=(Value value)
    {
        mValue = value;
        return *this;
    }
    // Whether the stored bits read as an unsigned number: a constrained type
    // whose lower bound is 0 or more.
    bool isUnsigned() const { return constraintType() != Unconstrained && getLowerLimit() >= 0; }
    // Within lowerLimit..upperLimit, compared as unsigned numbers when the
    // lower bound is 0 or more. The 32-bit form only: the 64-bit one has no
    // limits.
    bool isStrictValid() const;

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    Value mValue = 0;
};

template <typename Value>
const ConstrainedInfo BasicInteger<Value>::theInfo = {
    {&BasicInteger<Value>::create, 2}, Unconstrained, 0, NoUpperLimit};

using INTEGER = BasicInteger<int>;
using INTEGER64 = BasicInteger<std::int64_t>;

template <>
bool INTEGER::isStrictValid() const;

class IntegerWithNamedNumber : public INTEGER {
public:
    explicit IntegerWithNamedNumber(void const* info) : INTEGER(info) {}
    IntegerWithNamedNumber(int value, void const* info) : INTEGER(value, info) {}
    static AbstractData* create(void const* info) { return new IntegerWithNamedNumber(info); }

    IntegerWithNamedNumberInfo const* info() const
    {
        return static_cast<IntegerWithNamedNumberInfo const*>(AbstractData::info());
    }
    // The name of the stored value, if it has one.
    bool getName(std::string& name) const;
    // Stores the value of the first entry with this name.
    bool setFromName(std::string const& name);

protected:
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;
};

// INTEGER (lower..upper) with its own descriptor. The stored 32 bits read as
// unsigned, so 0..4294967295 is usable.
template <ConstraintType type, int lower, unsigned upper>
class Constrained_INTEGER : public INTEGER {
public:
    static const ConstrainedInfo theInfo;
    explicit Constrained_INTEGER(void const* info = &theInfo) : INTEGER(info) {}
    explicit Constrained_INTEGER(unsigned value, void const* info = &theInfo)
        : INTEGER(static_cast<int>(value), info) {}
    static AbstractData* create(void const* info) { return new Constrained_INTEGER(info); }

    unsigned getValue() const { return static_cast<unsigned>(INTEGER::getValue()); }
    Constrained_INTEGER& operator=(unsigned value)
    {
        setValue(static_cast<int>(value));
        return *this;
    }
};

template <ConstraintType type, int lower, unsigned upper>
const ConstrainedInfo Constrained_INTEGER<type, lower, upper>::theInfo = {
    {&Constrained_INTEGER<type, lower, upper>::create, 2}, type, lower, upper};

class ENUMERATED : public AbstractData, public detail::Allocator<ENUMERATED> {
public:
    explicit ENUMERATED(void const* info) : AbstractData(info) {}
    ENUMERATED(int value, void const* info) : AbstractData(info), mValue(value) {}
    ENUMERATED(ENUMERATED const&) = default;
    // Copies the value only; the descriptor stays.
    ENUMERATED& operator=(ENUMERATED const& other)
    {
        mValue = other.mValue;
        return *this;
    }
    static AbstractData* create(void const* info) { return new ENUMERATED(info); }

    EnumInfo const* info() const { return static_cast<EnumInfo const*>(AbstractData::info()); }
    // The enumeration value itself, not a position among the names.
    int asInt() const { return mValue; }
    int getValue() const { return mValue; }
    void setValue(int value) { mValue = value; }
    int getMaximum() const { return info()->maxEnumValue; }
    bool extendable() const { return info()->extendable; }
    // A named value of the root: in 0..getMaximum() and in the names table
    // (no name and a negative value cannot be sent).
    bool isStrictlyValid() const;

    // The name of the value, or null when it has none.
    char const* getName() const;
    // Stores the value of the first entry with this name. Without a match
    // the value becomes getMaximum() + 1 and the result is false.
    bool setFromName(std::string const& name);

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    int mValue = 0;
};

class OBJECT_IDENTIFIER : public AbstractData, public detail::Allocator<OBJECT_IDENTIFIER> {
public:
    static const DataInfo theInfo;
    explicit OBJECT_IDENTIFIER(void const* info = &theInfo) : AbstractData(info) {}
    static AbstractData* create(void const* info) { return new OBJECT_IDENTIFIER(info); }

    std::vector<unsigned> const& levels() const { return mArcs; }
    unsigned size() const { return static_cast<unsigned>(mArcs.size()); }
    unsigned operator[](unsigned i) const { return mArcs[i]; }
    void append(unsigned arc) { mArcs.push_back(arc); }
    void clear() { mArcs.clear(); }

    // X.690 carries the first two arcs as one subidentifier: an identifier
    // has at least two arcs, the first 0, 1 or 2, and under 0 and 1 a second
    // arc below 40. Any other arcs would come back as different ones.
    bool isWellFormed() const;

    // X.690 contents octets. decodeCommon replaces the arcs; false when the
    // octets are empty or end inside a subidentifier.
    bool decodeCommon(char const* data, unsigned count);
    // Appends the contents octets; false, appending nothing, unless the
    // identifier is well formed.
    bool encodeCommon(std::vector<char>& out) const;

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    std::vector<unsigned> mArcs;
};

// Bit 0 is the most significant bit of octet 0.
class BIT_STRING : public ConstrainedObject, public detail::Allocator<BIT_STRING> {
public:
    static const ConstrainedInfo theInfo;
    explicit BIT_STRING(void const* info = &theInfo) : ConstrainedObject(info) {}
    static AbstractData* create(void const* info) { return new BIT_STRING(info); }

    unsigned size() const { return mCount; }
    // Keeps the first bits; new bits are 0.
    void resize(unsigned count);
    // A bit beyond the size reads as clear.
    bool test(unsigned i) const { return i < mCount && bits::test(mBytes.data(), i); }
    // i must be below size().
    void set(unsigned i, bool on = true) { bits::set(mBytes.data(), i, on); }
    // ceil(size() / 8) octets.
    std::vector<char> const& getData() const { return mBytes; }
    std::vector<char>& getData() { return mBytes; }

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    unsigned mCount = 0;
    std::vector<char> mBytes;
};

class OCTET_STRING : public ConstrainedObject,
                     public std::vector<char>,
                     public detail::Allocator<OCTET_STRING> {
public:
    static const ConstrainedInfo theInfo;
    explicit OCTET_STRING(void const* info = &theInfo) : ConstrainedObject(info) {}
    OCTET_STRING(unsigned n, char fill, void const* info = &theInfo)
        : ConstrainedObject(info), std::vector<char>(n, fill) {}
    explicit OCTET_STRING(std::vector<char> const& octets, void const* info = &theInfo)
        : ConstrainedObject(info), std::vector<char>(octets) {}
    static AbstractData* create(void const* info) { return new OCTET_STRING(info); }

    OCTET_STRING& operator=(std::vector<char> const& octets)
    {
        std::vector<char>::operator=(octets);
        return *this;
    }
    OCTET_STRING& operator=(std::string const& octets)
    {
        assign(octets.begin(), octets.end());
        return *this;
    }
    operator std::string() const { return std::string(begin(), end()); }

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;
};

} // namespace ASN1
