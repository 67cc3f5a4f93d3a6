// The coder environment and the entry points that turn values into octets
// and back.
#pragma once

#include <algorithm>
#include <cstring>
#include <iterator>
#include <loki/AssocVector.h>
#include <string>
#include <vector>

#include "asn1/abstract_data.h"

namespace ASN1 {

class Module;

// Orders module names as C strings.
struct CStringLess {
    typedef char const* first_argument_type;
    typedef char const* second_argument_type;
    typedef bool result_type;
    bool operator()(char const* a, char const* b) const { return std::strcmp(a, b) < 0; }
};

class CoderEnv {
public:
    enum EncodingRules {
        avn = 0,           // value notation (text)
        ber = 1,
        per_Aligned = 2,   // every link of the gateway
        per_Unaligned = 3,
    };
    // Open types by module; nothing registers one, decoders never look.
    typedef Loki::AssocVector<char const*, Module*, CStringLess> ModuleRegistry;

    explicit CoderEnv(int rule = per_Aligned) : mEncodingRule(rule) {}

    int get_encodingRule() const { return mEncodingRule; }
    void set_encodingRule(int rule) { mEncodingRule = rule; }
    ModuleRegistry& modules() { return mModules; }

    // Writes the whole encoding to out, or nothing at all on failure.
    template <class OutputIterator>
    bool encode(AbstractData const& value, OutputIterator out)
    {
        // No encoder calls back into this, so one buffer a thread, kept
        // between calls, serves every call.
        thread_local std::vector<char> octets;
        if (!encodeOctets(value, octets))
            return false;
        std::copy(octets.begin(), octets.end(), out);
        return true;
    }
    // Appending to a vector: the encoder writes straight into it.
    bool encode(AbstractData const& value, std::back_insert_iterator<std::vector<char>> out);

    // The value in value notation, without a terminating NUL.
    template <class OutputIterator>
    bool encodeAVN(AbstractData const& value, OutputIterator out)
    {
        std::string text;
        if (!encodeText(value, text))
            return false;
        std::copy(text.begin(), text.end(), out);
        return true;
    }

    // The BER encoding (X.690, definite lengths).
    template <class OutputIterator>
    bool encodeBER(AbstractData const& value, OutputIterator out)
    {
        std::vector<char> octets;
        if (!encodeBEROctets(value, octets))
            return false;
        std::copy(octets.begin(), octets.end(), out);
        return true;
    }

    // Fills value, already built for the expected type, from [first, last).
    // Octets after the value are ignored. On failure the value is partly
    // filled and must be discarded.
    bool decode(char const* first, char const* last, AbstractData& value, bool withoutEnv);
    // What stopped the last decode (PER only): the decoder's bound, the
    // field and the value; bound none after a success or when the input
    // was at fault. A value past its range (range, enumeration) leaves the
    // rest of the value read whole.
    DecodeOutcome const& outcome() const { return mOutcome; }
    DecodeBound bound() const { return mOutcome.bound; }

    // The encoding under the current rule into octets (emptied first).
    bool encodeOctets(AbstractData const& value, std::vector<char>& octets);
    // The encoding appended to octets, which are left as they were on failure.
    bool appendOctets(AbstractData const& value, std::vector<char>& octets);

private:
    static bool encodeText(AbstractData const& value, std::string& text);
    static bool encodeBEROctets(AbstractData const& value, std::vector<char>& octets);

    int mEncodingRule;
    ModuleRegistry mModules;
    DecodeOutcome mOutcome;
};

template <class OutputIterator>
bool encode(AbstractData const& value, CoderEnv* env, OutputIterator out)
{
    return env->encode(value, out);
}

inline bool decode(char const* first, char const* last, CoderEnv* env, AbstractData& value, bool withoutEnv)
{
    return env->decode(first, last, value, withoutEnv);
}

} // namespace ASN1
