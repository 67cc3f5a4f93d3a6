// SEQUENCE: owned fields, optional-field and extension presence maps.
#pragma once

#include <vector>

#include "asn1/abstract_data.h"
#include "asn1/bit_map.h"

namespace ASN1 {

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
