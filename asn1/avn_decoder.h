// ASN.1 value notation reader: the text that AVNEncoder prints, read back
// into an already constructed value (operator>>, setFromValueNotation and
// coding rule 0 of CoderEnv).
#pragma once

#include <istream>
#include <string>
#include <vector>

#include "asn1/avn_encoder.h"
#include "asn1/visitor.h"

namespace ASN1 {

class AVNDecoder : public Visitor {
public:
    explicit AVNDecoder(std::istream& is) : mIs(is) {}

    bool do_visit(Null& value) override;
    bool do_visit(BOOLEAN& value) override;
    bool do_visit(INTEGER& value) override;
    bool do_visit(IntegerWithNamedNumber& value) override;
    bool do_visit(ENUMERATED& value) override;
    bool do_visit(OBJECT_IDENTIFIER& value) override;
    bool do_visit(OCTET_STRING& value) override;
    bool do_visit(BIT_STRING& value) override;
    bool do_visit(AbstractString& value) override;
    bool do_visit(BMPString& value) override;
    bool do_visit(CHOICE& value) override;
    bool do_visit(SEQUENCE_OF_Base& value) override;
    bool do_visit(OpenData& value) override;
    bool do_revisit(OpenData& value) override;
    bool do_visit(TypeConstrainedOpenData& value) override;
    bool do_visit(GeneralizedTime& value) override;
    bool do_visit(INTEGER64& value) override;

    SeqVisitCode preVisitExtensionRoots(SEQUENCE& seq) override;
    SeqVisitCode visitExtensionRoot(SEQUENCE& seq, int index, int optionalId) override;
    SeqVisitCode visitKnownExtension(SEQUENCE& seq, int index, int optionalId) override;
    SeqVisitCode visitUnknownExtensions(SEQUENCE& seq) override;

private:
    // The next non-blank character.
    bool get_char(char& c);
    // A name: the characters up to white space, ',', '{' or '}'; one of those
    // three alone when it comes first.
    bool get_word(std::string& word);
    // A double-quoted text; two quotes in a row stand for one (X.680 41.8).
    bool get_string(std::string& text);
    // A quoted bit ('...'B) or hexadecimal ('...'H) string: its octets and
    // the number of digits given.
    bool get_value_from(std::vector<char>& octets, unsigned& digits, bool& binary);
    bool get_letters(std::string& word);
    SeqVisitCode visitField(SEQUENCE& seq, int index, int optionalId);

    std::istream& mIs;
    // Per SEQUENCE being read: the name of the field the text presents next.
    std::vector<std::string> mNames;
};

// Index of the first of count names equal to name, or -1.
int get_id(std::string const& name, char const* const* names, unsigned count);

// Converts quoted bit or hexadecimal digits (blanks and newlines ignored) to
// octets, the last group padded with zeros; false on a digit not of the base.
bool get_from_string(std::string const& digits, unsigned base, std::vector<char>& octets, unsigned& count);

template <class charT, class traits, class T>
class ExtractorWrapper : public IOWrapper<charT, traits> {
public:
    ExtractorWrapper(std::basic_istream<charT, traits>& is, T& value) : mIs(is), mValue(value) {}
    std::ios_base::iostate do_real_io() override
    {
        typename std::basic_istream<charT, traits>::sentry ok(mIs);
        if (!ok)
            return std::ios_base::goodbit; // the sentry has marked the stream
        return mValue.get_from(mIs);
    }

private:
    std::basic_istream<charT, traits>& mIs;
    T& mValue;
};

template <class charT, class traits, class T>
std::basic_istream<charT, traits>& g_extractor(std::basic_istream<charT, traits>& is, T& value)
{
    if (!is.good())
        return is;
    ExtractorWrapper<charT, traits, T> wrapper(is, value);
    wrapper.do_it(is);
    return is;
}

// Reads value in value notation; a failure sets failbit on is.
std::istream& operator>>(std::istream& is, AbstractData& value);

} // namespace ASN1
