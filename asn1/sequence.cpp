#include "asn1/sequence.h"

#include "asn1/visitor.h"

namespace ASN1 {

namespace detail {

namespace {

// Size classes of the pooled field arrays, in pointers.
const unsigned PooledClasses[] = {8, 16, 32, 64};

FreeList* pool_for(unsigned& n)
{
    static FreeList* pools[4] = {};
    for (unsigned c = 0; c < 4; ++c) {
        if (n <= PooledClasses[c]) {
            n = PooledClasses[c];
            if (!pools[c]) // never destroyed, like the value classes' lists
                pools[c] = new FreeList(n * sizeof(AbstractData*));
            return pools[c];
        }
    }
    return nullptr;
}

} // namespace

void FieldArray::assign_pooled(unsigned n)
{
    release();
    if (n > InlineFields) {
        unsigned rounded = n;
        std::size_t bytes = n * sizeof(AbstractData*);
        FreeList* pool = pool_for(rounded);
        mData = static_cast<AbstractData**>(pool ? pool->take(rounded * sizeof(AbstractData*))
                                                 : ::operator new(bytes));
    }
    std::fill(mData, mData + n, nullptr);
    mCount = n;
}

void FieldArray::release()
{
    if (mData != mInline) {
        unsigned rounded = mCount;
        if (FreeList* pool = pool_for(rounded))
            pool->give(mData, rounded * sizeof(AbstractData*));
        else
            ::operator delete(mData);
    }
    mData = mInline;
    mCount = 0;
}

void FieldArray::take(FieldArray& other)
{
    if (other.mData == other.mInline) {
        std::copy(other.mInline, other.mInline + other.mCount, mInline);
        mData = mInline;
    } else {
        mData = other.mData;
    }
    mCount = other.mCount;
    other.mData = other.mInline;
    other.mCount = 0;
}

void FieldArray::swap(FieldArray& other)
{
    FieldArray held;
    held.take(*this);
    take(other);
    other.take(held);
}

} // namespace detail

// SEQUENCE

const unsigned SEQUENCE::defaultTag[1] = {0};

SEQUENCE::SEQUENCE(void const* info) : AbstractData(info)
{
    SequenceInfo const* seq = this->info();
    mFields.assign(seq->numFields + seq->knownExtensions);
    mOptionals.resize(seq->numOptionals);
    for (unsigned i = 0; i < seq->numFields; ++i) {
        if (seq->fieldIds[i] == MandatoryField)
            mFields[i] = create_from(seq->fieldInfos[i]);
    }
    if (seq->defaultExtensions) {
        mExtensions.resize(seq->knownExtensions);
        for (unsigned j = 0; j < seq->knownExtensions; ++j) {
            if (seq->defaultExtensions[j / 8] & (0x80 >> (j % 8))) {
                mExtensions.set(j);
                mFields[seq->numFields + j] = create_from(seq->fieldInfos[seq->numFields + j]);
            }
        }
    }
}

SEQUENCE::SEQUENCE(SEQUENCE const& other)
    : AbstractData(other), mOptionals(other.mOptionals), mExtensions(other.mExtensions)
{
    mFields.assign(other.mFields.size());
    for (unsigned i = 0; i < mFields.size(); ++i) {
        if (other.mFields[i])
            mFields[i] = other.mFields[i]->clone();
    }
}

SEQUENCE& SEQUENCE::operator=(SEQUENCE const& other)
{
    SEQUENCE copy(other);
    swap(copy);
    return *this;
}

SEQUENCE::~SEQUENCE()
{
    deleteFields();
}

void SEQUENCE::deleteFields()
{
    for (AbstractData* field : mFields)
        delete field;
    mFields.assign(0);
}

void SEQUENCE::swap(SEQUENCE& other)
{
    mFields.swap(other.mFields);
    mOptionals.swap(other.mOptionals);
    mExtensions.swap(other.mExtensions);
}

void SEQUENCE::includeOptionalField(unsigned id, unsigned index)
{
    unsigned optionals = info()->numOptionals;
    if (id < optionals) {
        mOptionals.set(id);
    } else {
        unsigned bit = id - optionals;
        // Bits for additions that this type does not know would announce
        // fields that cannot be sent.
        if (bit >= info()->knownExtensions)
            return;
        if (mExtensions.size() <= bit)
            mExtensions.resize(bit + 1);
        mExtensions.set(bit);
    }
    makeField(index);
}

void SEQUENCE::removeOptionalField(unsigned id)
{
    unsigned optionals = info()->numOptionals;
    if (id < optionals)
        mOptionals.set(id, false);
    else if (id - optionals < mExtensions.size())
        mExtensions.set(id - optionals, false);
}

AbstractData* SEQUENCE::createField(unsigned index)
{
    return mFields[index] = create_from(info()->fieldInfos[index]);
}

char const* SEQUENCE::fieldName(unsigned index) const
{
    SequenceInfo const* seq = info();
    return seq->fieldNames && index < mFields.size() ? seq->fieldNames[index] : nullptr;
}

int SEQUENCE::do_compare(AbstractData const& other) const
{
    SEQUENCE const& theirs = static_cast<SEQUENCE const&>(other);
    for (unsigned i = 0; i < mFields.size(); ++i) {
        int id = presenceId(i);
        if (id >= 0) {
            int presence = int(hasOptionalField(id)) - int(theirs.hasOptionalField(id));
            if (presence != 0)
                return presence;
            if (!hasOptionalField(id))
                continue;
        }
        AbstractData const* a = mFields[i];
        AbstractData const* b = theirs.getField(i);
        int r = a && b ? a->compare(*b) : int(a != nullptr) - int(b != nullptr);
        if (r != 0)
            return r;
    }
    return 0;
}

AbstractData* SEQUENCE::do_clone() const { return detail::clone_value(*this); }
bool SEQUENCE::do_accept(Visitor& v) { return v.visit(*this); }
bool SEQUENCE::do_accept(ConstVisitor& v) const { return v.visit(*this); }

// Traversals

bool Visitor::visit(SEQUENCE& seq) { return walk_sequence(*this, seq); }
bool ConstVisitor::visit(SEQUENCE const& seq) { return walk_sequence(*this, seq); }

} // namespace ASN1
