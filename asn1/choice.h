// CHOICE: one selected alternative, owned.
#pragma once

#include "asn1/abstract_data.h"

namespace ASN1 {

class CHOICE : public AbstractData, public detail::Allocator<CHOICE> {
public:
    enum {
        unselected = -1,
        unknownSelection = -2, // the decoder met an alternative this type does not know
    };

    explicit CHOICE(void const* info) : AbstractData(info) {}
    // Takes ownership of value.
    CHOICE(void const* info, int id, AbstractData* value) : AbstractData(info), mValue(value), mId(id) {}
    CHOICE(CHOICE const& other);
    CHOICE& operator=(CHOICE const& other);
    ~CHOICE() override;
    static AbstractData* create(void const* info) { return new CHOICE(info); }

    ChoiceInfo const* info() const { return static_cast<ChoiceInfo const*>(AbstractData::info()); }
    bool extendable() const { return info()->extendable; }
    unsigned numChoices() const { return info()->numChoices; }
    unsigned totalChoices() const { return info()->totalChoices; }

    int currentSelection() const { return mId; }
    AbstractData* getSelection() { return mValue; }
    AbstractData const* getSelection() const { return mValue; }
    // The alternative's name, or null.
    char const* getSelectionName() const;

    // A selection that this type allows, holding a valid value.
    bool isValid() const;
    bool isStrictlyValid() const;

    // Replaces the held value (deleted) by value (owned); returns value.
    AbstractData* setSelection(int id, AbstractData* value);
    // Builds the default value of the alternative with the stored id. An id
    // that no alternative of this type has leaves unknownSelection, no value
    // and false.
    bool createSelection();
    // Stores id, then createSelection().
    bool select(int id);
    // select(id), unless id already holds a value: decoders fill that value
    // again instead of building a new one.
    bool keepOrSelect(int id) { return (id == mId && mValue) || select(id); }
    // Selects and builds the alternative that travels under a BER tag
    // (number and identifier class bits), looking through an untagged CHOICE
    // in alternative 0. Only root alternatives are found through a tag table.
    bool setID(unsigned number, unsigned classBits);
    void swap(CHOICE& other);

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;

private:
    AbstractData* mValue = nullptr;
    int mId = unselected;
};

} // namespace ASN1
