// ASN.1 value notation printer: how every message reaches a trace or a log
// line (operator<<), and coding rule 0 of CoderEnv.
#pragma once

#include <ios>
#include <new>
#include <ostream>
#include <vector>

#include "asn1/visitor.h"

namespace ASN1 {

class AVNEncoder : public ConstVisitor {
public:
    explicit AVNEncoder(std::ostream& os) : mOs(os) {}

    bool do_visit(Null const& value) override;
    bool do_visit(BOOLEAN const& value) override;
    bool do_visit(INTEGER const& value) override;
    bool do_visit(IntegerWithNamedNumber const& value) override;
    bool do_visit(ENUMERATED const& value) override;
    bool do_visit(OBJECT_IDENTIFIER const& value) override;
    bool do_visit(BIT_STRING const& value) override;
    bool do_visit(OCTET_STRING const& value) override;
    bool do_visit(AbstractString const& value) override;
    bool do_visit(BMPString const& value) override;
    bool do_visit(CHOICE const& value) override;
    bool do_visit(OpenData const& value) override;
    bool do_visit(GeneralizedTime const& value) override;
    bool do_visit(INTEGER64 const& value) override;
    bool do_visit(SEQUENCE_OF_Base const& value) override;

    bool preVisitExtensionRoots(SEQUENCE const& seq) override;
    bool visitExtensionRoot(SEQUENCE const& seq, int index) override;
    bool visitKnownExtension(SEQUENCE const& seq, int index) override;
    bool afterVisitSequence(SEQUENCE const& seq) override;

private:
    bool good() const { return mOs.good(); }
    void indent(int width);
    bool printOctets(char const* data, std::size_t n);
    bool printField(SEQUENCE const& seq, int index);

    std::ostream& mOs;
    int mIndent = 0;
    // One entry per SEQUENCE being printed: whether a field was printed.
    std::vector<bool> mFieldPrinted;
};

// Runs one formatted I/O operation and turns its result and exceptions into
// the stream's state, honouring the stream's exception mask.
template <class charT, class traits>
class IOWrapper {
public:
    virtual ~IOWrapper() {}
    virtual std::ios_base::iostate do_real_io() = 0;

    void do_it(std::basic_ios<charT, traits>& ios)
    {
        typedef std::ios_base base;
        base::iostate state = base::goodbit;
        try {
            state = do_real_io();
        } catch (std::bad_alloc&) {
            state |= base::badbit;
            base::iostate mask = ios.exceptions();
            if ((mask & base::failbit) && !(mask & base::badbit)) {
                ios.setstate(state);
            } else if (mask & base::badbit) {
                try {
                    ios.setstate(state);
                } catch (base::failure&) {
                }
                throw;
            }
        } catch (...) {
            state |= base::failbit;
            base::iostate mask = ios.exceptions();
            if ((mask & base::badbit) && (state & base::badbit)) {
                ios.setstate(state);
            } else if (mask & base::failbit) {
                try {
                    ios.setstate(state);
                } catch (base::failure&) {
                }
                throw;
            }
        }
        if (state != base::goodbit)
            ios.setstate(state);
    }
};

template <class charT, class traits, class T>
class InserterWrapper : public IOWrapper<charT, traits> {
public:
    InserterWrapper(std::basic_ostream<charT, traits>& os, T const& value) : mOs(os), mValue(value) {}
    std::ios_base::iostate do_real_io() override
    {
        typename std::basic_ostream<charT, traits>::sentry ok(mOs);
        if (!ok)
            return std::ios_base::goodbit;
        return mValue.print_on(mOs);
    }

private:
    std::basic_ostream<charT, traits>& mOs;
    T const& mValue;
};

template <class charT, class traits, class T>
std::basic_ostream<charT, traits>& g_inserter(std::basic_ostream<charT, traits>& os, T const& value)
{
    if (!os.good())
        return os;
    InserterWrapper<charT, traits, T> wrapper(os, value);
    wrapper.do_it(os);
    return os;
}

// Prints value in value notation; a failure sets failbit on os.
std::ostream& operator<<(std::ostream& os, AbstractData const& value);

} // namespace ASN1
