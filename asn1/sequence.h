// SEQUENCE: owned fields, optional-field and extension presence maps.
#pragma once

#include <algorithm>

#include "asn1/abstract_data.h"
#include "asn1/bit_map.h"

namespace ASN1 {

namespace detail {

// The field pointers of a SEQUENCE. Most types have a few fields, held in
// the value itself; longer arrays come from free lists by size class, so
// neither costs a heap allocation once the process has warmed up.
class FieldArray {
public:
    FieldArray() = default;
    FieldArray(FieldArray const&) = delete;
    FieldArray& operator=(FieldArray const&) = delete;
    ~FieldArray() { release(); }

    // n null pointers; whatever was held before is forgotten, not deleted.
    void assign(unsigned n)
    {
        if (mData != mInline || n > InlineFields)
            return assign_pooled(n);
        std::fill(mInline, mInline + n, nullptr);
        mCount = n;
    }
    unsigned size() const { return mCount; }
    AbstractData*& operator[](unsigned i) { return mData[i]; }
    AbstractData* operator[](unsigned i) const { return mData[i]; }
    AbstractData* const* begin() const { return mData; }
    AbstractData* const* end() const { return mData + mCount; }
    void swap(FieldArray& other);

private:
    enum : unsigned { InlineFields = 4 };
    void assign_pooled(unsigned n);
    void release();
    // Moves other's pointers here (this one empty), leaving other empty.
    void take(FieldArray& other);

    AbstractData** mData = mInline;
    unsigned mCount = 0;
    AbstractData* mInline[InlineFields];
};

} // namespace detail

class SEQUENCE : public AbstractData, public detail::Allocator<SEQUENCE> {
public:
    // Creates the mandatory root fields and the default extension fields.
    explicit SEQUENCE(void const* info);
    SEQUENCE(SEQUENCE const& other);
    SEQUENCE& operator=(SEQUENCE const& other);
    ~SEQUENCE() override;
    static AbstractData* create(void const* info) { return new SEQUENCE(info); }
    // A fieldTags table pointing here: every field keeps its own type's tag.
    static const unsigned defaultTag[1];
    // Exchanges everything but the descriptor.
    void swap(SEQUENCE& other);

    SequenceInfo const* info() const { return static_cast<SequenceInfo const*>(AbstractData::info()); }
    bool extendable() const { return info()->extendable; }

    // Presence ids: optional root fields 0..numOptionals-1, then one per
    // extension field in order.
    bool hasOptionalField(unsigned id) const
    {
        unsigned optionals = info()->numOptionals;
        return id < optionals ? mOptionals.test(id) : mExtensions.test(id - optionals);
    }
    // Marks id present and creates field index when it does not exist yet.
    void includeOptionalField(unsigned id, unsigned index);
    // Clears the presence bit; the field object stays.
    void removeOptionalField(unsigned id);

    // Root fields, then known extension fields; null for one not created.
    unsigned fieldCount() const { return mFields.size(); }
    AbstractData* getField(unsigned index) { return index < mFields.size() ? mFields[index] : nullptr; }
    AbstractData const* getField(unsigned index) const { return index < mFields.size() ? mFields[index] : nullptr; }
    // The field, created through its descriptor when missing (null when it
    // cannot be).
    AbstractData* makeField(unsigned index)
    {
        if (index >= mFields.size())
            return nullptr;
        return mFields[index] ? mFields[index] : createField(index);
    }
    // Presence id of a field, or -1 for a mandatory root field.
    int presenceId(unsigned index) const
    {
        SequenceInfo const* seq = info();
        if (index < seq->numFields)
            return seq->fieldIds[index] == MandatoryField ? -1 : int(seq->fieldIds[index]);
        return int(seq->numOptionals + (index - seq->numFields));
    }
    char const* fieldName(unsigned index) const;

    BitMap& optionalMap() { return mOptionals; }
    BitMap const& optionalMap() const { return mOptionals; }
    BitMap& extensionMap() { return mExtensions; }
    BitMap const& extensionMap() const { return mExtensions; }

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    void deleteFields();
    AbstractData* createField(unsigned index);

    detail::FieldArray mFields;
    BitMap mOptionals;
    BitMap mExtensions;
};

} // namespace ASN1
