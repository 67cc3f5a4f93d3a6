// SEQUENCE: owned fields, optional-field and extension presence maps.
#pragma once

#include <algorithm>

#include "asn1/abstract_data.h"
#include "asn1/bit_map.h"
#include "asn1/visitor.h"

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

// The walks of a SEQUENCE through a visitor's hooks. Visitor and
// ConstVisitor use them as they are; a final coder instantiates them for
// itself, so that its hooks are called directly.
template <class V>
bool walk_sequence(V& v, SEQUENCE& seq)
{
    SequenceInfo const* info = seq.info();
    Visitor::SeqVisitCode first = v.preVisitExtensionRoots(seq);
    if (first < Visitor::VISIT_NO_EXTENSION)
        return first != Visitor::VISIT_FAIL;
    for (unsigned i = 0; i < info->numFields; ++i) {
        Visitor::SeqVisitCode r = v.visitExtensionRoot(seq, int(i), seq.presenceId(i));
        if (r < Visitor::VISIT_NO_EXTENSION)
            return r != Visitor::VISIT_FAIL;
    }
    if (first != Visitor::VISIT_CONTINUE)
        return true;
    Visitor::SeqVisitCode r = v.preVisitExtensions(seq);
    if (r != Visitor::VISIT_CONTINUE)
        return r != Visitor::VISIT_FAIL;
    for (unsigned i = info->numFields; i < seq.fieldCount(); ++i) {
        r = v.visitKnownExtension(seq, int(i), seq.presenceId(i));
        if (r != Visitor::VISIT_CONTINUE)
            return r != Visitor::VISIT_FAIL;
    }
    return v.visitUnknownExtensions(seq) != Visitor::VISIT_FAIL;
}

// Present fields only.
template <class V>
bool walk_sequence(V& v, SEQUENCE const& seq)
{
    SequenceInfo const* info = seq.info();
    if (!v.preVisitExtensionRoots(seq))
        return false;
    for (unsigned i = 0; i < info->numFields; ++i) {
        int id = seq.presenceId(i);
        if (id >= 0 && !seq.hasOptionalField(unsigned(id)))
            continue;
        if (!v.visitExtensionRoot(seq, int(i)))
            return false;
    }
    if (seq.extensionMap().size() == 0)
        return v.afterVisitSequence(seq);
    if (!v.preVisitExtensions(seq))
        return false;
    for (unsigned i = info->numFields; i < seq.fieldCount(); ++i) {
        if (seq.hasOptionalField(unsigned(seq.presenceId(i))) && !v.visitKnownExtension(seq, int(i)))
            return false;
    }
    return v.afterVisitSequence(seq);
}

} // namespace ASN1
