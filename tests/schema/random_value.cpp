#include "tests/schema/random_value.h"

#include <climits>
#include <cstdint>
#include <cstdio>

namespace RandomValue {

namespace {

// Lists and optional fields thin out with depth, so that the deep radio and
// LEMZ gateway types stay small.
const unsigned DeepLevel = 6;

} // namespace

void Filler::fill(ASN1::AbstractData& value, unsigned depth)
{
    if (auto* seq = dynamic_cast<ASN1::SEQUENCE*>(&value))
        fill_sequence(*seq, depth);
    else if (auto* choice = dynamic_cast<ASN1::CHOICE*>(&value))
        fill_choice(*choice, static_cast<int>(below(choice->totalChoices())), depth);
    else if (auto* list = dynamic_cast<ASN1::SEQUENCE_OF_Base*>(&value))
        fill_list(*list, depth);
    else if (auto* e = dynamic_cast<ASN1::ENUMERATED*>(&value))
        e->setValue(e->info()->names[below(e->info()->nameCount)].value);
    else if (auto* i = dynamic_cast<ASN1::INTEGER*>(&value))
        fill_integer(*i);
    else if (auto* wide = dynamic_cast<ASN1::INTEGER64*>(&value))
        fill_integer64(*wide);
    else if (auto* b = dynamic_cast<ASN1::BOOLEAN*>(&value))
        b->setValue(coin());
    else if (auto* octets = dynamic_cast<ASN1::OCTET_STRING*>(&value)) {
        octets->resize(length(*octets, 6));
        for (char& c : *octets)
            c = static_cast<char>(below(256));
    } else if (auto* text = dynamic_cast<ASN1::AbstractString*>(&value)) {
        text->resize(length(*text, 8));
        ASN1::StringInfo const* info = text->info();
        for (char& c : *text)
            c = info->characterSet[below(info->characterSetSize)];
    } else {
        fill_other(value);
    }
}

void Filler::fill_other(ASN1::AbstractData& value)
{
    if (auto* wide = dynamic_cast<ASN1::BMPString*>(&value)) {
        // Characters that the C locale can show, so the text reads back.
        wide->resize(length(*wide, 5));
        for (wchar_t& c : *wide)
            c = static_cast<wchar_t>(0x20 + below(0x5F));
    } else if (auto* bits = dynamic_cast<ASN1::BIT_STRING*>(&value)) {
        bits->resize(length(*bits, 20));
        for (unsigned i = 0; i < bits->size(); ++i)
            bits->set(i, coin());
    } else if (auto* oid = dynamic_cast<ASN1::OBJECT_IDENTIFIER*>(&value)) {
        oid->clear();
        unsigned first = below(3);
        oid->append(first);
        oid->append(first < 2 ? below(40) : below(1000));
        for (unsigned n = below(5); n > 0; --n)
            oid->append(coin() ? below(128) : static_cast<unsigned>(mRng()));
    } else if (auto* open = dynamic_cast<ASN1::OpenData*>(&value)) {
        if (ASN1::AbstractData* held = open->get_data())
            fill(*held);
    } else if (auto* time = dynamic_cast<ASN1::GeneralizedTime*>(&value)) {
        int offset = coin() ? 0 : int(below(25)) * 60 - 720;
        *time = ASN1::GeneralizedTime(1 + int(below(9999)), 1 + int(below(12)), 1 + int(below(28)), int(below(24)),
                                      int(below(60)), int(below(60)), int(below(1000)), offset, coin());
    }
}

void Filler::fill_choice(ASN1::CHOICE& choice, int id, unsigned depth)
{
    choice.select(id);
    if (ASN1::AbstractData* selected = choice.getSelection())
        fill(*selected, depth + 1);
}

void Filler::fill_sequence(ASN1::SEQUENCE& seq, unsigned depth)
{
    // Root fields, then known extension additions (optional by nature).
    for (unsigned i = 0; i < seq.fieldCount(); ++i) {
        int id = seq.presenceId(i);
        if (id < 0) {
            fill(*seq.makeField(i), depth + 1);
        } else if (depth < DeepLevel ? coin() : below(4) == 0) {
            seq.includeOptionalField(static_cast<unsigned>(id), i);
            fill(*seq.getField(i), depth + 1);
        } else {
            seq.removeOptionalField(static_cast<unsigned>(id));
        }
    }
}

void Filler::fill_list(ASN1::SEQUENCE_OF_Base& list, unsigned depth)
{
    list.resize(below(depth < DeepLevel ? 4 : 2));
    for (unsigned i = 0; i < list.size(); ++i)
        fill(list.at(i), depth + 1);
}

void Filler::fill_integer(ASN1::INTEGER& value)
{
    if (value.constraintType() == ASN1::FixedConstraint) {
        unsigned lower = static_cast<unsigned>(value.getLowerLimit());
        unsigned span = value.getUpperLimit() - lower; // range size - 1, 32-bit
        unsigned pick;
        switch (below(4)) {
        case 0: pick = 0; break;
        case 1: pick = span; break;
        default: pick = span == UINT_MAX ? static_cast<unsigned>(mRng()) : below(span + 1); break;
        }
        value.setValue(static_cast<int>(lower + pick));
        return;
    }
    // Unconstrained: one to four octets, both signs, and the extremes.
    static const int edges[] = {0, 1, -1, 127, 128, -128, -129, 32767, 32768, -32769, INT_MAX, INT_MIN};
    switch (below(3)) {
    case 0: value.setValue(edges[below(sizeof(edges) / sizeof(edges[0]))]); break;
    case 1: value.setValue(static_cast<int>(below(256)) - 128); break;
    default: value.setValue(static_cast<int>(mRng())); break;
    }
}

void Filler::fill_integer64(ASN1::INTEGER64& value)
{
    // One to eight octets, both signs, and the extremes of each width.
    static const std::int64_t edges[] = {0, -1, INT_MAX, INT_MIN, std::int64_t(INT_MAX) + 1, std::int64_t(INT_MIN) - 1,
                                         std::int64_t(UINT_MAX), std::int64_t(1) << 40, INT64_MAX, INT64_MIN};
    switch (below(3)) {
    case 0: value.setValue(edges[below(sizeof(edges) / sizeof(edges[0]))]); break;
    case 1: value.setValue(static_cast<int>(mRng())); break;
    default: {
        // A random width: the top bits of a random 64-bit number.
        std::uint64_t high = mRng();
        std::uint64_t low = mRng();
        value.setValue(static_cast<std::int64_t>(high << 32 | low) >> (8 * below(8)));
        break;
    }
    }
}

unsigned Filler::length(ASN1::ConstrainedObject const& object, unsigned usual)
{
    if (object.constraintType() == ASN1::FixedConstraint) {
        unsigned lower = static_cast<unsigned>(object.getLowerLimit());
        return lower + below(object.getUpperLimit() - lower + 1);
    }
    // Now and then a length in the two-octet form.
    return below(16) == 0 ? 120 + below(20) : below(usual);
}

std::string hex(std::vector<char> const& octets)
{
    std::string text;
    char buf[3];
    for (char c : octets) {
        std::snprintf(buf, sizeof buf, "%02x", static_cast<unsigned char>(c));
        text += buf;
    }
    return text;
}

std::vector<char> unhex(std::string const& text)
{
    std::vector<char> octets;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        octets.push_back(static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return octets;
}

bool encode(ASN1::AbstractData const& value, std::vector<char>& octets)
{
    ASN1::CoderEnv env(ASN1::CoderEnv::per_Aligned);
    return env.encodeOctets(value, octets);
}

bool decode(std::vector<char> const& octets, ASN1::AbstractData& value)
{
    ASN1::CoderEnv env(ASN1::CoderEnv::per_Aligned);
    char const* first = octets.data();
    return ASN1::decode(first, first + octets.size(), &env, value, true);
}

} // namespace RandomValue
