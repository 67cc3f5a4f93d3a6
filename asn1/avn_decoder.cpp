#include "asn1/avn_decoder.h"

#include <cctype>
#include <climits>
#include <cstring>
#include <cwchar>
#include <sstream>

#include "asn1/choice.h"
#include "asn1/generalized_time.h"
#include "asn1/open_data.h"
#include "asn1/primitives.h"
#include "asn1/sequence.h"
#include "asn1/sequence_of.h"
#include "asn1/strings.h"

namespace ASN1 {

namespace {

bool is_space_or_newline(char c)
{
    return c == ' ' || c == '\n';
}

bool is_delimiter(int c)
{
    return c == ',' || c == '{' || c == '}';
}

// The text of the current locale as wide characters.
bool to_wide(std::string const& text, std::wstring& out)
{
    std::mbstate_t state = std::mbstate_t();
    out.clear();
    char const* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        wchar_t c = 0;
        std::size_t n = std::mbrtowc(&c, p, left, &state);
        if (n == static_cast<std::size_t>(-1) || n == static_cast<std::size_t>(-2))
            return false;
        if (n == 0)
            n = 1; // an embedded NUL
        out.push_back(c);
        p += n;
        left -= n;
    }
    return true;
}

// An unsigned decimal number that fits 32 bits, the whole text.
bool to_arc(std::string const& text, unsigned& arc)
{
    if (text.empty() || text.size() > 10)
        return false;
    unsigned long long value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + unsigned(c - '0');
    }
    arc = static_cast<unsigned>(value);
    return value <= UINT_MAX;
}

} // namespace

bool get_from_string(std::string const& text, unsigned base, std::vector<char>& octets, unsigned& count)
{
    std::string digits;
    for (char c : text) {
        if (!is_space_or_newline(c))
            digits.push_back(c);
    }
    count = static_cast<unsigned>(digits.size());
    unsigned group = base == 2 ? 8 : 2;
    digits.append((group - digits.size() % group) % group, '0');
    octets.clear();
    for (std::size_t i = 0; i < digits.size(); i += group) {
        unsigned value = 0;
        for (unsigned j = 0; j < group; ++j) {
            char c = digits[i + j];
            unsigned digit = std::isdigit(static_cast<unsigned char>(c)) ? unsigned(c - '0')
                             : std::isxdigit(static_cast<unsigned char>(c))
                                 ? unsigned(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10)
                                 : base;
            if (digit >= base)
                return false;
            value = value * base + digit;
        }
        octets.push_back(static_cast<char>(value));
    }
    return true;
}

int get_id(std::string const& name, char const* const* names, unsigned count)
{
    for (unsigned i = 0; names && i < count; ++i) {
        if (name == names[i])
            return int(i);
    }
    return -1;
}

// Lexical helpers

bool AVNDecoder::get_char(char& c)
{
    return static_cast<bool>(mIs >> c);
}

bool AVNDecoder::get_word(std::string& word)
{
    word.clear();
    mIs >> std::ws;
    int c = mIs.peek();
    if (c == std::char_traits<char>::eof())
        return false;
    if (is_delimiter(c)) {
        word.push_back(static_cast<char>(mIs.get()));
        return true;
    }
    while (c != std::char_traits<char>::eof() && !std::isspace(c) && !is_delimiter(c)) {
        word.push_back(static_cast<char>(mIs.get()));
        c = mIs.peek();
    }
    return true;
}

bool AVNDecoder::get_letters(std::string& word)
{
    word.clear();
    mIs >> std::ws;
    while (std::isalpha(mIs.peek()))
        word.push_back(static_cast<char>(mIs.get()));
    return !word.empty();
}

bool AVNDecoder::get_string(std::string& text)
{
    char c = 0;
    if (!get_char(c) || c != '"')
        return false;
    text.clear();
    while (mIs.get(c)) {
        if (c != '"') {
            text.push_back(c);
            continue;
        }
        if (mIs.peek() != '"')
            return true;
        text.push_back(static_cast<char>(mIs.get()));
    }
    return false; // no closing quote
}

bool AVNDecoder::get_value_from(std::vector<char>& octets, unsigned& digits, bool& binary)
{
    char c = 0;
    if (!get_char(c) || c != '\'')
        return false;
    std::string text;
    if (!std::getline(mIs, text, '\'') || mIs.eof())
        return false;
    if (!get_char(c) || (c != 'B' && c != 'H'))
        return false;
    binary = c == 'B';
    return get_from_string(text, binary ? 2 : 16, octets, digits);
}

// Simple values

bool AVNDecoder::do_visit(Null&)
{
    std::string word;
    return get_letters(word) && word == "NULL";
}

bool AVNDecoder::do_visit(BOOLEAN& value)
{
    std::string word;
    if (!get_letters(word) || (word != "TRUE" && word != "FALSE"))
        return false;
    value.setValue(word == "TRUE");
    return true;
}

bool AVNDecoder::do_visit(INTEGER& value)
{
    long long number = 0;
    if (!(mIs >> number))
        return false;
    // The number must fit the 32 bits as the type reads them.
    if (value.isUnsigned() ? number < 0 || number > UINT_MAX : number < INT_MIN || number > INT_MAX)
        return false;
    value.setValue(static_cast<int>(static_cast<unsigned>(number)));
    return true;
}

bool AVNDecoder::do_visit(INTEGER64& value)
{
    long long number = 0;
    if (!(mIs >> number))
        return false;
    value.setValue(number);
    return true;
}

bool AVNDecoder::do_visit(IntegerWithNamedNumber& value)
{
    mIs >> std::ws;
    int c = mIs.peek();
    if (std::isdigit(c) || c == '-')
        return do_visit(static_cast<INTEGER&>(value));
    std::string name;
    return get_word(name) && value.setFromName(name);
}

bool AVNDecoder::do_visit(ENUMERATED& value)
{
    std::string name;
    return get_word(name) && value.setFromName(name);
}

bool AVNDecoder::do_visit(OBJECT_IDENTIFIER& value)
{
    char c = 0;
    std::string text;
    if (!get_char(c) || c != '{' || !std::getline(mIs, text, '}') || mIs.eof())
        return false;
    value.clear();
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        // A number, or a name with its number: iso(1).
        std::size_t open = word.find('(');
        if (open != std::string::npos) {
            if (open == 0 || word.back() != ')')
                return false;
            word = word.substr(open + 1, word.size() - open - 2);
        }
        unsigned arc = 0;
        if (!to_arc(word, arc))
            return false;
        value.append(arc);
    }
    // Arcs that no binary encoding can carry are not a value.
    return value.isWellFormed();
}

bool AVNDecoder::do_visit(OCTET_STRING& value)
{
    std::vector<char> octets;
    unsigned digits = 0;
    bool binary = false;
    if (!get_value_from(octets, digits, binary))
        return false;
    value.assign(octets.begin(), octets.end());
    return true;
}

bool AVNDecoder::do_visit(BIT_STRING& value)
{
    std::vector<char> octets;
    unsigned digits = 0;
    bool binary = false;
    if (!get_value_from(octets, digits, binary))
        return false;
    unsigned bits = binary ? digits : 4 * digits;
    value.resize(0);
    value.resize(bits);
    std::vector<char>& data = value.getData();
    std::copy(octets.begin(), octets.begin() + data.size(), data.begin());
    return true;
}

bool AVNDecoder::do_visit(AbstractString& value)
{
    std::string text;
    if (!get_string(text))
        return false;
    value.assign(text);
    return true;
}

bool AVNDecoder::do_visit(BMPString& value)
{
    std::string text;
    std::wstring wide;
    if (!get_string(text) || !to_wide(text, wide))
        return false;
    value.assign(wide);
    return true;
}

bool AVNDecoder::do_visit(GeneralizedTime& value)
{
    std::string text;
    return get_string(text) && text.find('\0') == std::string::npos && value.set(text.c_str());
}

bool AVNDecoder::do_visit(OpenData&)
{
    return false; // the text does not tell the contained type
}

bool AVNDecoder::do_revisit(OpenData&)
{
    return false;
}

bool AVNDecoder::do_visit(TypeConstrainedOpenData& value)
{
    AbstractData* contained = value.get_data();
    return contained && contained->accept(*this);
}

// Constructed values

bool AVNDecoder::do_visit(CHOICE& value)
{
    std::string name;
    char colon = 0;
    if (!get_word(name) || !get_char(colon) || colon != ':')
        return false;
    int id = get_id(name, value.info()->selectionNames, value.totalChoices());
    if (id < 0)
        return false;
    if (!value.keepOrSelect(id))
        return false;
    return value.getSelection()->accept(*this);
}

bool AVNDecoder::do_visit(SEQUENCE_OF_Base& value)
{
    char c = 0;
    if (!get_char(c) || c != '{' || !get_char(c))
        return false;
    value.clear();
    if (c == '}')
        return true;
    mIs.putback(c);
    for (;;) {
        AbstractData* element = value.createElement();
        if (!element || !element->accept(*this) || !get_char(c)) {
            delete element;
            return false;
        }
        value.append(element);
        if (c == '}')
            return true;
        if (c != ',')
            return false;
    }
}

Visitor::SeqVisitCode AVNDecoder::preVisitExtensionRoots(SEQUENCE&)
{
    char c = 0;
    if (!get_char(c) || c != '{' || !get_char(c))
        return VISIT_FAIL;
    if (c == '}')
        return VISIT_STOP; // { } leaves the value as it was
    mIs.putback(c);
    std::string name;
    if (!get_word(name))
        return VISIT_FAIL;
    mNames.push_back(name);
    return VISIT_CONTINUE;
}

Visitor::SeqVisitCode AVNDecoder::visitField(SEQUENCE& seq, int index, int optionalId)
{
    char const* name = seq.fieldName(unsigned(index));
    if (!name || mNames.back() != name)
        return optionalId >= 0 ? VISIT_CONTINUE : VISIT_FAIL; // not given: absent
    if (optionalId >= 0)
        seq.includeOptionalField(unsigned(optionalId), unsigned(index));
    AbstractData* field = seq.getField(unsigned(index));
    char c = 0;
    if (!field || !field->accept(*this) || !get_char(c))
        return VISIT_FAIL;
    if (c == ',')
        return get_word(mNames.back()) ? VISIT_CONTINUE : VISIT_FAIL;
    if (c != '}')
        return VISIT_FAIL;
    mNames.pop_back();
    return VISIT_STOP;
}

Visitor::SeqVisitCode AVNDecoder::visitExtensionRoot(SEQUENCE& seq, int index, int optionalId)
{
    return visitField(seq, index, optionalId);
}

Visitor::SeqVisitCode AVNDecoder::visitKnownExtension(SEQUENCE& seq, int index, int optionalId)
{
    return visitField(seq, index, optionalId);
}

Visitor::SeqVisitCode AVNDecoder::visitUnknownExtensions(SEQUENCE&)
{
    // Every field was visited: only a comma before the brace may be left.
    if (mNames.back() != "}")
        return VISIT_FAIL;
    mNames.pop_back();
    return VISIT_STOP;
}

// AbstractData's reading members live here, beside the reader.

std::ios_base::iostate AbstractData::get_from(std::istream& is)
{
    AVNDecoder decoder(is);
    return accept(decoder) ? std::ios_base::goodbit : std::ios_base::failbit;
}

bool AbstractData::setFromValueNotation(std::string const& text)
{
    std::istringstream is(text);
    return get_from(is) == std::ios_base::goodbit;
}

std::istream& operator>>(std::istream& is, AbstractData& value)
{
    if (!is.good())
        return is;
    return g_extractor(is, value);
}

} // namespace ASN1
