// SEQUENCE: owned fields, optional-field and extension presence maps.
#pragma once

#include <vector>

#include "asn1/abstract_data.h"

namespace ASN1 {

// Bit i sits in byte i / 8 at mask 0x80 >> (i % 8), the order in which PER
// writes presence bits.
class BitMap {
public:
    unsigned size() const { return mCount; }
    // New bits are clear; bits beyond a smaller size are dropped.
    void resize(unsigned bits);
    // A bit beyond the size reads as clear.
    bool test(unsigned i) const { return i < mCount && (mBytes[i / 8] & (0x80 >> (i % 8))) != 0; }
    // i must be below size().
    void set(unsigned i, bool on = true);
    bool any() const;
    std::vector<char> const& bytes() const { return mBytes; }
    std::vector<char>& bytes() { return mBytes; }
    void swap(BitMap& other);

private:
    unsigned mCount = 0;
    std::vector<char> mBytes;
};

class SEQUENCE : public AbstractData, public detail::Allocator<SEQUENCE> {
public:
    // Creates the mandatory root fields and the default extension fields.
    explicit SEQUENCE(void const* info);
    SEQUENCE(SEQUENCE const& other);
    SEQUENCE& operator=(SEQUENCE const& other);
    ~SEQUENCE() override;
    static AbstractData* create(void const* info) { return new SEQUENCE(info); }
    // Exchanges everything but the descriptor.
    void swap(SEQUENCE& other);

    SequenceInfo const* info() const { return static_cast<SequenceInfo const*>(AbstractData::info()); }
    bool extendable() const { return info()->extendable; }

    // Presence ids: optional root fields 0..numOptionals-1, then one per
    // extension field in order.
    bool hasOptionalField(unsigned id) const;
    // Marks id present and creates field index when it does not exist yet.
    void includeOptionalField(unsigned id, unsigned index);
    // Clears the presence bit; the field object stays.
    void removeOptionalField(unsigned id);

    // Root fields, then known extension fields; null for one not created.
    unsigned fieldCount() const { return static_cast<unsigned>(mFields.size()); }
    AbstractData* getField(unsigned index) { return index < mFields.size() ? mFields[index] : nullptr; }
    AbstractData const* getField(unsigned index) const { return index < mFields.size() ? mFields[index] : nullptr; }
    // The field, created through its descriptor when missing (null when it
    // cannot be).
    AbstractData* makeField(unsigned index);
    // Presence id of a field, or -1 for a mandatory root field.
    int presenceId(unsigned index) const;
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

    std::vector<AbstractData*> mFields;
    BitMap mOptionals;
    BitMap mExtensions;
};

} // namespace ASN1
