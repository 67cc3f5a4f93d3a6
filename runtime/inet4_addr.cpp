#include "runtime/inet4_addr.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <ostream>

namespace INet4 {

namespace {

// A port is one to five decimal digits worth at most 65535; anything else
// (sign, blanks, trailing text, overflow) would otherwise wrap silently
// into some other port.
bool parsePort(const char* text, size_t len, int& port)
{
    if (len == 0 || len > 5)
        return false;
    long value = 0;
    for (size_t i = 0; i < len; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    if (value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

} // namespace

bool ParseDottedQuad(const char* text, size_t size, uint32_t& address)
{
    uint32_t value = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && (at >= size || text[at++] != '.'))
            return false;
        size_t begin = at;
        unsigned number = 0;
        while (at < size && at - begin < 3 && text[at] >= '0' && text[at] <= '9')
            number = number * 10 + unsigned(text[at++] - '0');
        size_t digits = at - begin;
        if (digits == 0 || number > 255 || (digits > 1 && text[begin] == '0'))
            return false;
        value = value << 8 | number;
    }
    if (at != size)
        return false;
    address = htonl(value);
    return true;
}

bool ParseDottedQuad(const std::string& text, uint32_t& address)
{
    return ParseDottedQuad(text.data(), text.size(), address);
}

void Addr::Reset()
{
    std::memset(&mSin, 0, sizeof(mSin));
    mSin.sin_family = AF_INET;
}

bool Addr::Assign(const char* text, int* port)
{
    if (port)
        *port = -1;
    if (!text)
        return false;
    const char* colon = std::strchr(text, ':');
    size_t addrLen = colon ? static_cast<size_t>(colon - text) : std::strlen(text);
    if (colon) {
        int value = 0;
        if (!parsePort(colon + 1, std::strlen(colon + 1), value))
            return false;
        mSin.sin_port = htons(static_cast<uint16_t>(value));
        if (port)
            *port = value;
    }
    uint32_t parsed;
    if (!ParseDottedQuad(text, addrLen, parsed))
        return false;
    mSin.sin_addr.s_addr = parsed;
    return true;
}

bool Addr::Assign(const std::string& text, int* port)
{
    // An embedded NUL would make the C form see a different text.
    if (text.find('\0') != std::string::npos) {
        if (port)
            *port = -1;
        return false;
    }
    return Assign(text.c_str(), port);
}

void Addr::Assign(unsigned long address)
{
    mSin.sin_addr.s_addr = static_cast<in_addr_t>(address);
}

bool Addr::IsEqual(const Addr& other) const
{
    return mSin.sin_addr.s_addr == other.mSin.sin_addr.s_addr && mSin.sin_port == other.mSin.sin_port;
}

void Addr::Put(std::ostream& out) const
{
    out << GetString();
}

std::string Addr::GetString() const
{
    char address[INET_ADDRSTRLEN] = "";
    ::inet_ntop(AF_INET, &mSin.sin_addr, address, sizeof(address));
    char text[INET_ADDRSTRLEN + 8];
    std::snprintf(text, sizeof(text), "%s:%d", address, static_cast<int>(ntohs(mSin.sin_port)));
    return text;
}

std::vector<unsigned char> Addr::GetVector() const
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&mSin.sin_addr.s_addr);
    return std::vector<unsigned char>(bytes, bytes + 4);
}

} // namespace INet4
