// Hex text helpers of the ASN.1 tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "asn1/asn1.h"

namespace asn1test {

// "C0 01 FF"
inline std::string hex(std::vector<char> const& octets)
{
    std::string text;
    char buffer[4];
    for (std::size_t i = 0; i < octets.size(); ++i) {
        std::snprintf(buffer, sizeof buffer, i ? " %02X" : "%02X", unsigned(static_cast<unsigned char>(octets[i])));
        text += buffer;
    }
    return text;
}

inline std::vector<char> octets(std::string const& text)
{
    std::vector<char> result;
    for (std::size_t i = 0; i + 1 < text.size();) {
        if (text[i] == ' ') {
            ++i;
            continue;
        }
        result.push_back(static_cast<char>(std::stoul(text.substr(i, 2), nullptr, 16)));
        i += 2;
    }
    return result;
}

// The encoding as hex text, or "failed".
inline std::string encoded(ASN1::AbstractData const& value, int rule = ASN1::CoderEnv::per_Aligned)
{
    ASN1::CoderEnv env(rule);
    std::vector<char> out;
    if (!ASN1::encode(value, &env, std::back_inserter(out)))
        return "failed";
    return hex(out);
}

inline bool decode(std::vector<char> const& input, ASN1::AbstractData& value,
                   int rule = ASN1::CoderEnv::per_Aligned)
{
    ASN1::CoderEnv env(rule);
    return ASN1::decode(input.data(), input.data() + input.size(), &env, value, true);
}

inline bool decode(std::string const& hexText, ASN1::AbstractData& value, int rule = ASN1::CoderEnv::per_Aligned)
{
    return decode(octets(hexText), value, rule);
}

// value encodes to hexText, and hexText decodes to an equal value.
inline ::testing::AssertionResult codes_as(ASN1::AbstractData const& value, std::string const& hexText,
                                           int rule = ASN1::CoderEnv::per_Aligned)
{
    std::string text = encoded(value, rule);
    if (text != hexText)
        return ::testing::AssertionFailure() << "encodes to " << text << ", not " << hexText;
    std::unique_ptr<ASN1::AbstractData> back(ASN1::create_from(value.info()));
    if (!decode(hexText, *back, rule))
        return ::testing::AssertionFailure() << hexText << " does not decode";
    if (back->compare(value) != 0)
        return ::testing::AssertionFailure() << hexText << " decodes to " << back->asValueNotation();
    return ::testing::AssertionSuccess();
}

} // namespace asn1test
