#include "asn1/strings.h"

#include "asn1/visitor.h"

namespace ASN1 {

namespace {

// The characters First .. First + Count - 1 in code order.
template <int First, int Count>
struct CharRange {
    char chars[Count];
    constexpr CharRange() : chars()
    {
        for (int i = 0; i < Count; ++i)
            chars[i] = static_cast<char>(First + i);
    }
};

constexpr CharRange<0, 128> ia5Chars;
constexpr CharRange<0x20, 95> visibleChars;
constexpr CharRange<0, 256> generalChars;

constexpr char numericChars[] = " 0123456789";
constexpr char printableChars[] =
    " '()+,-./0123456789:=?ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";

} // namespace

const StringInfo IA5String::theInfo = {
    {{&IA5String::create, 22}, Unconstrained, 0, NoUpperLimit}, ia5Chars.chars, 128, 7, 7, 8};
const StringInfo NumericString::theInfo = {
    {{&AbstractString::create, 18}, Unconstrained, 0, NoUpperLimit}, numericChars, 11, 4, 4, 4};
const StringInfo PrintableString::theInfo = {
    {{&AbstractString::create, 19}, Unconstrained, 0, NoUpperLimit}, printableChars, 74, 7, 7, 8};
const StringInfo VisibleString::theInfo = {
    {{&AbstractString::create, 26}, Unconstrained, 0, NoUpperLimit}, visibleChars.chars, 95, 7, 7, 8};
const StringInfo GeneralString::theInfo = {
    {{&AbstractString::create, 27}, Unconstrained, 0, NoUpperLimit}, generalChars.chars, 256, 8, 8, 8};
const BMPStringInfo BMPString::theInfo = {
    {{&BMPString::create, 30}, Unconstrained, 0, NoUpperLimit}, 0, 0xFFFF, 16, 16};

int AbstractString::do_compare(AbstractData const& other) const
{
    // Unsigned bytes over the shorter length, then the shorter is smaller.
    return detail::sign_of_difference(std::string::compare(static_cast<AbstractString const&>(other)), 0);
}
AbstractData* AbstractString::do_clone() const { return detail::clone_value(*this); }
bool AbstractString::do_accept(Visitor& v) { return v.do_visit(*this); }
bool AbstractString::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

int BMPString::do_compare(AbstractData const& other) const
{
    return detail::sign_of_difference(std::wstring::compare(static_cast<BMPString const&>(other)), 0);
}
AbstractData* BMPString::do_clone() const { return detail::clone_value(*this); }
bool BMPString::do_accept(Visitor& v) { return v.do_visit(*this); }
bool BMPString::do_accept(ConstVisitor& v) const { return v.do_visit(*this); }

} // namespace ASN1
