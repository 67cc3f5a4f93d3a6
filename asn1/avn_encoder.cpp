#include "asn1/avn_encoder.h"

#include <climits>
#include <cwchar>
#include <iomanip>
#include <sstream>
#include <string>

#include "asn1/choice.h"
#include "asn1/generalized_time.h"
#include "asn1/open_data.h"
#include "asn1/primitives.h"
#include "asn1/sequence.h"
#include "asn1/sequence_of.h"
#include "asn1/strings.h"

namespace ASN1 {

namespace {

// The text of a wide string in the current locale; false when a character
// has no multibyte form there.
bool to_multibyte(std::wstring const& text, std::string& out)
{
    std::mbstate_t state = std::mbstate_t();
    char buffer[MB_LEN_MAX];
    out.clear();
    out.reserve(text.size());
    for (wchar_t c : text) {
        std::size_t n = std::wcrtomb(buffer, c, &state);
        if (n == static_cast<std::size_t>(-1))
            return false;
        out.append(buffer, n);
    }
    return true;
}

// A quoted text; a quote inside is doubled (X.680 41.8) so that the text
// reads back.
void print_quoted(std::ostream& os, std::string const& text)
{
    os << '"';
    std::size_t from = 0;
    for (std::size_t q = text.find('"'); q != std::string::npos; q = text.find('"', from)) {
        os.write(text.data() + from, std::streamsize(q + 1 - from)) << '"';
        from = q + 1;
    }
    os.write(text.data() + from, std::streamsize(text.size() - from)) << '"';
}

} // namespace

void AVNEncoder::indent(int width)
{
    char fill = mOs.fill(' ');
    mOs << std::setw(width) << "";
    mOs.fill(fill);
}

bool AVNEncoder::printOctets(char const* data, std::size_t n)
{
    std::ios_base::fmtflags flags = mOs.flags();
    mOs << '\'';
    for (std::size_t i = 0; i < n && good(); ++i) {
        if (i > 0)
            mOs << ' ';
        mOs << std::hex << std::setw(2) << std::setfill('0') << unsigned(static_cast<unsigned char>(data[i]));
    }
    mOs.flags(flags);
    mOs.fill(' ');
    mOs << "'H";
    return good();
}

bool AVNEncoder::do_visit(Null const&)
{
    mOs << "NULL";
    return good();
}

bool AVNEncoder::do_visit(BOOLEAN const& value)
{
    mOs << (value.getValue() ? "TRUE" : "FALSE");
    return good();
}

bool AVNEncoder::do_visit(INTEGER const& value)
{
    if (value.isUnsigned())
        mOs << static_cast<unsigned>(value.getValue());
    else
        mOs << value.getValue();
    return good();
}

bool AVNEncoder::do_visit(INTEGER64 const& value)
{
    mOs << value.getValue();
    return good();
}

bool AVNEncoder::do_visit(IntegerWithNamedNumber const& value)
{
    std::string name;
    if (!value.getName(name))
        return do_visit(static_cast<INTEGER const&>(value));
    mOs << name;
    return good();
}

bool AVNEncoder::do_visit(ENUMERATED const& value)
{
    if (char const* name = value.getName())
        mOs << name;
    else
        mOs << value.getValue();
    return good();
}

bool AVNEncoder::do_visit(OBJECT_IDENTIFIER const& value)
{
    mOs << "{ ";
    for (unsigned arc : value.levels())
        mOs << arc << ' ';
    mOs << '}';
    return good();
}

bool AVNEncoder::do_visit(BIT_STRING const& value)
{
    mOs << '\'';
    for (unsigned i = 0; i < value.size(); ++i)
        mOs << (value.test(i) ? '1' : '0');
    mOs << "'B";
    return good();
}

bool AVNEncoder::do_visit(OCTET_STRING const& value)
{
    return printOctets(value.data(), value.size());
}

bool AVNEncoder::do_visit(AbstractString const& value)
{
    print_quoted(mOs, value);
    return good();
}

bool AVNEncoder::do_visit(BMPString const& value)
{
    std::string text;
    if (to_multibyte(value, text)) {
        print_quoted(mOs, text);
        return good();
    }
    // X.680 Quadruple form, for text the locale cannot show.
    mOs << '{';
    for (std::size_t i = 0; i < value.size(); ++i) {
        unsigned code = static_cast<unsigned>(value[i]);
        if (i > 0)
            mOs << ", ";
        mOs << "{ " << ((code >> 24) & 0xFF) << ", " << ((code >> 16) & 0xFF) << ", " << ((code >> 8) & 0xFF)
            << ", " << (code & 0xFF) << '}';
    }
    mOs << '}';
    return good();
}

bool AVNEncoder::do_visit(CHOICE const& value)
{
    AbstractData const* selected = value.getSelection();
    if (value.currentSelection() < 0 || !selected)
        return false;
    if (char const* name = value.getSelectionName())
        mOs << name;
    else
        mOs << value.currentSelection();
    mOs << " : ";
    return good() && selected->accept(*this);
}

bool AVNEncoder::do_visit(OpenData const& value)
{
    if (value.has_data())
        return value.get_data()->accept(*this);
    if (value.has_buf())
        return printOctets(value.get_buf()->data(), value.get_buf()->size());
    return false;
}

bool AVNEncoder::do_visit(GeneralizedTime const& value)
{
    mOs << '"' << value.get() << '"';
    return good();
}

bool AVNEncoder::do_visit(SEQUENCE_OF_Base const& value)
{
    mOs << "{\n";
    mIndent += 2;
    unsigned n = value.size();
    for (unsigned i = 0; i < n && good(); ++i) {
        indent(mIndent);
        if (!value.at(i).accept(*this))
            return false;
        if (i + 1 < n)
            mOs << ",\n";
    }
    mIndent -= 2;
    if (n > 0 && good())
        mOs << '\n';
    indent(mIndent);
    mOs << '}';
    return good();
}

bool AVNEncoder::preVisitExtensionRoots(SEQUENCE const&)
{
    mFieldPrinted.push_back(false);
    mOs << "{\n";
    return good();
}

bool AVNEncoder::printField(SEQUENCE const& seq, int index)
{
    if (mFieldPrinted.back())
        mOs << ",\n";
    indent(mIndent + 2);
    char const* name = seq.fieldName(unsigned(index));
    mOs << (name ? name : "") << ' ';
    mIndent += 2;
    AbstractData const* field = seq.getField(unsigned(index));
    if (!good() || !field || !field->accept(*this))
        return false;
    mIndent -= 2;
    mFieldPrinted.back() = true;
    return good();
}

bool AVNEncoder::visitExtensionRoot(SEQUENCE const& seq, int index)
{
    return printField(seq, index);
}

bool AVNEncoder::visitKnownExtension(SEQUENCE const& seq, int index)
{
    return printField(seq, index);
}

bool AVNEncoder::afterVisitSequence(SEQUENCE const&)
{
    if (mFieldPrinted.back())
        mOs << '\n';
    mFieldPrinted.pop_back();
    indent(mIndent);
    mOs << '}';
    return good();
}

// AbstractData's printing members live here, beside the printer.

std::ios_base::iostate AbstractData::print_on(std::ostream& os) const
{
    AVNEncoder encoder(os);
    return accept(encoder) ? std::ios_base::goodbit : std::ios_base::failbit;
}

std::string AbstractData::asValueNotation() const
{
    std::ostringstream os;
    print_on(os);
    return os.str();
}

std::ostream& operator<<(std::ostream& os, AbstractData const& value)
{
    if (!os.good())
        return os;
    return g_inserter(os, value);
}

} // namespace ASN1
