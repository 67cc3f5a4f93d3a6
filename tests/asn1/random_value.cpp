#include "tests/asn1/random_value.h"

#include <climits>

namespace asn1test {

using namespace ASN1;

void RandomFiller::fill(AbstractData& value, unsigned depth)
{
    if (auto* seq = dynamic_cast<SEQUENCE*>(&value)) {
        fill_sequence(*seq, depth);
    } else if (auto* choice = dynamic_cast<CHOICE*>(&value)) {
        choice->select(int(below(choice->totalChoices())));
        if (AbstractData* selected = choice->getSelection())
            fill(*selected, depth + 1);
    } else if (auto* list = dynamic_cast<SEQUENCE_OF_Base*>(&value)) {
        list->resize(size(*list, depth < 4 ? 4 : 2));
        for (unsigned i = 0; i < list->size(); ++i)
            fill(list->at(i), depth + 1);
    } else if (auto* e = dynamic_cast<ENUMERATED*>(&value)) {
        e->setValue(e->info()->names[below(e->info()->nameCount)].value);
    } else if (auto* i = dynamic_cast<INTEGER*>(&value)) {
        fill_integer(*i);
    } else if (auto* b = dynamic_cast<BOOLEAN*>(&value)) {
        b->setValue(below(2) == 0);
    } else if (auto* octets = dynamic_cast<OCTET_STRING*>(&value)) {
        octets->resize(size(*octets, 6));
        for (char& c : *octets)
            c = static_cast<char>(below(256));
    } else if (auto* text = dynamic_cast<AbstractString*>(&value)) {
        text->resize(size(*text, 8));
        StringInfo const* info = text->info();
        for (char& c : *text)
            c = info->characterSet[below(info->characterSetSize)];
    } else if (auto* wide = dynamic_cast<BMPString*>(&value)) {
        // Characters that the C locale can show, so the text reads back.
        wide->resize(size(*wide, 5));
        for (wchar_t& c : *wide)
            c = static_cast<wchar_t>(0x20 + below(0x5F));
    } else if (auto* bits = dynamic_cast<BIT_STRING*>(&value)) {
        bits->resize(size(*bits, 20));
        for (unsigned i = 0; i < bits->size(); ++i)
            bits->set(i, below(2) == 0);
    } else if (auto* oid = dynamic_cast<OBJECT_IDENTIFIER*>(&value)) {
        fill_oid(*oid);
    } else if (auto* time = dynamic_cast<GeneralizedTime*>(&value)) {
        fill_time(*time);
    }
}

void RandomFiller::fill_sequence(SEQUENCE& seq, unsigned depth)
{
    for (unsigned i = 0; i < seq.fieldCount(); ++i) {
        int id = seq.presenceId(i);
        if (id < 0) {
            fill(*seq.makeField(i), depth + 1);
        } else if (below(depth < 4 ? 2 : 4) == 0) {
            seq.includeOptionalField(unsigned(id), i);
            fill(*seq.getField(i), depth + 1);
        } else {
            seq.removeOptionalField(unsigned(id));
        }
    }
}

void RandomFiller::fill_integer(INTEGER& value)
{
    if (value.constraintType() != Unconstrained) {
        unsigned lower = static_cast<unsigned>(value.getLowerLimit());
        unsigned span = value.getUpperLimit() - lower;
        unsigned pick = below(4) == 0 ? 0 : below(3) == 0 ? span : span == UINT_MAX ? mRng() : below(span + 1);
        value.setValue(static_cast<int>(lower + pick));
        return;
    }
    static const int edges[] = {0, 1, -1, 127, 128, -128, -129, 32767, 32768, -32769, INT_MAX, INT_MIN};
    if (below(2) == 0)
        value.setValue(edges[below(sizeof edges / sizeof edges[0])]);
    else
        value.setValue(static_cast<int>(mRng()));
}

void RandomFiller::fill_time(GeneralizedTime& value)
{
    int offset = below(2) == 0 ? 0 : int(below(25)) * 60 - 720;
    GeneralizedTime made(1 + int(below(9999)), 1 + int(below(12)), 1 + int(below(28)), int(below(24)),
                         int(below(60)), int(below(60)), int(below(1000)), offset, below(2) == 0);
    value = made;
}

void RandomFiller::fill_oid(OBJECT_IDENTIFIER& value)
{
    value.clear();
    unsigned first = below(3);
    value.append(first);
    value.append(first < 2 ? below(40) : below(1000));
    for (unsigned n = below(5); n > 0; --n)
        value.append(below(2) == 0 ? below(128) : static_cast<unsigned>(mRng()));
}

unsigned RandomFiller::size(ConstrainedObject const& value, unsigned usual)
{
    unsigned lower = static_cast<unsigned>(value.getLowerLimit());
    if (value.constraintType() == FixedConstraint && value.getUpperLimit() - lower < 200)
        return lower + below(value.getUpperLimit() - lower + 1);
    // Now and then a size past one length octet.
    return lower + (below(16) == 0 ? 120 + below(20) : below(usual));
}

} // namespace asn1test
