#include "asn1/primitives.h"

#include <algorithm>
#include <cstdint>
#include <type_traits>

#include "asn1/visitor.h"

namespace ASN1 {

const DataInfo Null::theInfo = {&Null::create, 5};
const DataInfo BOOLEAN::theInfo = {&BOOLEAN::create, 1};
const DataInfo OBJECT_IDENTIFIER::theInfo = {&OBJECT_IDENTIFIER::create, 6};
const ConstrainedInfo BIT_STRING::theInfo = {{&BIT_STRING::create, 3}, Unconstrained, 0, NoUpperLimit};
const ConstrainedInfo OCTET_STRING::theInfo = {{&OCTET_STRING::create, 4}, Unconstrained, 0, NoUpperLimit};

// Null

int Null::do_compare(AbstractData const&) const { return 0; }
AbstractData* Null::do_clone() const { return detail::clone_value(*this); }
bool Null::do_accept(Visitor& v) { return v.do_visit(*this); }
bool Null::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

// BOOLEAN

int BOOLEAN::do_compare(AbstractData const& other) const
{
    return int(mValue) - int(static_cast<BOOLEAN const&>(other).mValue);
}
AbstractData* BOOLEAN::do_clone() const { return detail::clone_value(*this); }
bool BOOLEAN::do_accept(Visitor& v) { return v.do_visit(*this); }
bool BOOLEAN::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

// INTEGER and INTEGER64

template <typename Value>
int BasicInteger<Value>::do_compare(AbstractData const& other) const
{
    using Unsigned = std::make_unsigned_t<Value>;
    Value theirs = static_cast<BasicInteger const&>(other).mValue;
    if (isUnsigned())
        return detail::sign_of_difference(static_cast<Unsigned>(mValue), static_cast<Unsigned>(theirs));
    return detail::sign_of_difference(mValue, theirs);
}
template <typename Value>
AbstractData* BasicInteger<Value>::do_clone() const
{
    return detail::clone_value(*this);
}
template <typename Value>
bool BasicInteger<Value>::do_accept(Visitor& v)
{
    return v.do_visit(*this);
}
template <typename Value>
bool BasicInteger<Value>::do_accept(ConstVisitor& v) const
{
    return v.do_visit(*this);
}

template class BasicInteger<int>;
template class BasicInteger<std::int64_t>;

// IntegerWithNamedNumber

bool IntegerWithNamedNumber::getName(std::string& name) const
{
    NamedNumber const* first = info()->namedNumbers;
    if (!first)
        return false;
    NamedNumber const* last = first + info()->namedNumberCount;
    NamedNumber const* found = std::lower_bound(
        first, last, getValue(), [](NamedNumber const& entry, int value) { return entry.value < value; });
    if (found == last || found->value != getValue())
        return false;
    name = found->name;
    return true;
}

bool IntegerWithNamedNumber::setFromName(std::string const& name)
{
    NamedNumber const* table = info()->namedNumbers;
    for (unsigned i = 0; table && i < info()->namedNumberCount; ++i) {
        if (name == table[i].name) {
            setValue(table[i].value);
            return true;
        }
    }
    return false;
}

bool IntegerWithNamedNumber::do_accept(Visitor& v) { return v.do_visit(*this); }
bool IntegerWithNamedNumber::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

// ENUMERATED

char const* ENUMERATED::getName() const
{
    NamedNumber const* table = info()->names;
    for (unsigned i = 0; table && i < info()->nameCount; ++i) {
        if (table[i].value == mValue)
            return table[i].name;
    }
    return nullptr;
}

bool ENUMERATED::setFromName(std::string const& name)
{
    NamedNumber const* table = info()->names;
    for (unsigned i = 0; table && i < info()->nameCount; ++i) {
        if (name == table[i].name) {
            mValue = table[i].value;
            return true;
        }
    }
    mValue = info()->maxEnumValue + 1;
    return false;
}

int ENUMERATED::do_compare(AbstractData const& other) const
{
    return detail::sign_of_difference(mValue, static_cast<ENUMERATED const&>(other).mValue);
}
AbstractData* ENUMERATED::do_clone() const { return detail::clone_value(*this); }
bool ENUMERATED::do_accept(Visitor& v) { return v.do_visit(*this); }
bool ENUMERATED::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

// OBJECT_IDENTIFIER

bool OBJECT_IDENTIFIER::isWellFormed() const
{
    return mArcs.size() >= 2 && mArcs[0] <= 2 && (mArcs[0] == 2 || mArcs[1] < 40);
}

bool OBJECT_IDENTIFIER::decodeCommon(char const* data, unsigned count)
{
    mArcs.clear();
    std::uint64_t sub = 0;
    bool pending = false;
    for (unsigned i = 0; i < count; ++i) {
        unsigned char octet = static_cast<unsigned char>(data[i]);
        sub = (sub << 7) | (octet & 0x7F);
        // The first subidentifier carries two arcs, so it may exceed 32 bits
        // by up to 80; the others are single 32-bit arcs.
        if (sub > 0xFFFFFFFFull + 80)
            return false;
        pending = (octet & 0x80) != 0;
        if (pending)
            continue;
        if (mArcs.empty()) {
            unsigned first = sub <= 39 ? 0 : sub <= 79 ? 1 : 2;
            std::uint64_t second = sub - 40 * first;
            if (second > 0xFFFFFFFFull)
                return false;
            mArcs.push_back(first);
            mArcs.push_back(static_cast<unsigned>(second));
        } else {
            if (sub > 0xFFFFFFFFull)
                return false;
            mArcs.push_back(static_cast<unsigned>(sub));
        }
        sub = 0;
    }
    return count > 0 && !pending;
}

bool OBJECT_IDENTIFIER::encodeCommon(std::vector<char>& out) const
{
    if (!isWellFormed())
        return false;
    for (std::size_t i = 1; i < mArcs.size(); ++i) {
        std::uint64_t sub = i == 1 ? std::uint64_t(mArcs[0]) * 40 + mArcs[1] : mArcs[i];
        int groups = 1;
        while (groups < 10 && (sub >> (7 * groups)) != 0)
            ++groups;
        for (int g = groups - 1; g >= 0; --g) {
            unsigned char octet = (sub >> (7 * g)) & 0x7F;
            out.push_back(static_cast<char>(g > 0 ? octet | 0x80 : octet));
        }
    }
    return true;
}

int OBJECT_IDENTIFIER::do_compare(AbstractData const& other) const
{
    std::vector<unsigned> const& theirs = static_cast<OBJECT_IDENTIFIER const&>(other).mArcs;
    std::size_t n = std::min(mArcs.size(), theirs.size());
    for (std::size_t i = 0; i < n; ++i) {
        if (mArcs[i] != theirs[i])
            return detail::sign_of_difference(mArcs[i], theirs[i]);
    }
    return detail::sign_of_difference(mArcs.size(), theirs.size());
}
AbstractData* OBJECT_IDENTIFIER::do_clone() const { return detail::clone_value(*this); }
bool OBJECT_IDENTIFIER::do_accept(Visitor& v) { return v.do_visit(*this); }
bool OBJECT_IDENTIFIER::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

// BIT_STRING

void BIT_STRING::resize(unsigned count)
{
    mBytes.resize(bits::octets(count), 0);
    bits::clear_tail(mBytes.data(), count);
    mCount = count;
}

int BIT_STRING::do_compare(AbstractData const& other) const
{
    std::vector<char> const& mine = getData();
    std::vector<char> const& theirs = static_cast<BIT_STRING const&>(other).getData();
    std::size_t n = std::min(mine.size(), theirs.size());
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char a = static_cast<unsigned char>(mine[i]);
        unsigned char b = static_cast<unsigned char>(theirs[i]);
        if (a != b) {
            // The side holding the most significant differing bit is greater.
            unsigned char diff = a ^ b;
            unsigned char top = 0x80;
            while (!(diff & top))
                top >>= 1;
            return (a & top) ? 1 : -1;
        }
    }
    return detail::sign_of_difference(size(), static_cast<BIT_STRING const&>(other).size());
}
AbstractData* BIT_STRING::do_clone() const { return detail::clone_value(*this); }
bool BIT_STRING::do_accept(Visitor& v) { return v.do_visit(*this); }
bool BIT_STRING::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

// OCTET_STRING

int OCTET_STRING::do_compare(AbstractData const& other) const
{
    OCTET_STRING const& theirs = static_cast<OCTET_STRING const&>(other);
    return lexicographic_compare_bytes(data(), data() + size(), theirs.data(), theirs.data() + theirs.size());
}
AbstractData* OCTET_STRING::do_clone() const { return detail::clone_value(*this); }
bool OCTET_STRING::do_accept(Visitor& v) { return v.do_visit(*this); }
bool OCTET_STRING::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

} // namespace ASN1
