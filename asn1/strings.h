// Restricted character strings and BMPString.
#pragma once

#include <string>

#include "asn1/primitives.h"

namespace ASN1 {

// Every restricted string kind; the descriptor tells which.
class AbstractString : public ConstrainedObject,
                       public std::string,
                       public detail::Allocator<AbstractString> {
public:
    explicit AbstractString(void const* info) : ConstrainedObject(info) {}
    AbstractString(void const* info, std::string const& text) : ConstrainedObject(info), std::string(text) {}
    AbstractString(void const* info, char const* text) : ConstrainedObject(info), std::string(text) {}
    static AbstractData* create(void const* info) { return new AbstractString(info); }

    StringInfo const* info() const { return static_cast<StringInfo const*>(AbstractData::info()); }
    // Values compare as values; std::string::compare stays reachable by name.
    using AbstractData::compare;
    // Size within the bounds (beyond the upper one when extensible) and every
    // character in the permitted set.
    bool isValid() const;
    bool isStrictlyValid() const;
    AbstractString& operator=(std::string const& text)
    {
        assign(text);
        return *this;
    }
    AbstractString& operator=(char const* text)
    {
        assign(text);
        return *this;
    }

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;
};

class IA5String : public AbstractString {
public:
    static const StringInfo theInfo;
    explicit IA5String(void const* info = &theInfo) : AbstractString(info) {}
    explicit IA5String(std::string const& text, void const* info = &theInfo) : AbstractString(info, text) {}
    explicit IA5String(char const* text, void const* info = &theInfo) : AbstractString(info, text) {}
    static AbstractData* create(void const* info) { return new IA5String(info); }

    using AbstractString::operator=;
};

// The other kinds exist only as descriptors of AbstractString values.
struct NumericString { static const StringInfo theInfo; };
struct PrintableString { static const StringInfo theInfo; };
struct VisibleString { static const StringInfo theInfo; };
struct GeneralString { static const StringInfo theInfo; };

class BMPString : public ConstrainedObject, public std::wstring {
public:
    static const BMPStringInfo theInfo;
    explicit BMPString(void const* info = &theInfo) : ConstrainedObject(info) {}
    explicit BMPString(std::wstring const& text, void const* info = &theInfo)
        : ConstrainedObject(info), std::wstring(text) {}
    explicit BMPString(wchar_t const* text, void const* info = &theInfo)
        : ConstrainedObject(info), std::wstring(text) {}
    static AbstractData* create(void const* info) { return new BMPString(info); }

    BMPStringInfo const* info() const { return static_cast<BMPStringInfo const*>(AbstractData::info()); }
    using AbstractData::compare;
    bool legalCharacter(wchar_t c) const;
    // Index of the first character outside the permitted codes, or size().
    std::size_t first_illegal_at() const;
    bool isValid() const;
    bool isStrictlyValid() const;
    BMPString& operator=(std::wstring const& text)
    {
        assign(text);
        return *this;
    }

protected:
    int do_compare(AbstractData const& other) const override;
    AbstractData* do_clone() const override;
    bool do_accept(Visitor& v) override;
    bool do_accept(ConstVisitor& v) const override;
};

} // namespace ASN1
