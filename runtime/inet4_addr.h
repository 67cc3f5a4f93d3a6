// IPv4 socket address value: dotted-quad text with an optional ":port".
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace INet4 {

// The address of strict dotted-quad text: four decimal parts of 0..255,
// each without sign, blank or leading zero, and nothing else. The texts of
// the controller and of the configuration name addresses: inet_aton's
// shorthand ("10.1", hex, octal) would read a slip as some other host.
// True with the address in network byte order; false leaves it alone.
bool ParseDottedQuad(const char* text, size_t size, uint32_t& address);
bool ParseDottedQuad(const std::string& text, uint32_t& address);

// Laid out exactly as sockaddr_in (16 bytes, network byte order), so it can
// be handed straight to connect, bind and sendto through sa()/size().
class Addr {
public:
    Addr() { Reset(); }
    explicit Addr(const sockaddr_in& sin) : mSin(sin) {}

    // All zero, then the family AF_INET.
    void Reset();

    // "a.b.c.d" or "a.b.c.d:port", the address as ParseDottedQuad takes
    // it. Reports the port through port (-1 when the text has none, or when
    // it is not a decimal 0..65535, in which case nothing is stored). True
    // when the address part parsed.
    bool Assign(const char* text, int* port);
    bool Assign(const std::string& text, int* port);
    // A 32-bit address already in network byte order; port and family stay.
    void Assign(unsigned long address);

    // Address and port equal; the family is not compared.
    bool IsEqual(const Addr& other) const;

    void Put(std::ostream& out) const;
    std::string GetString() const;
    // The four address bytes in network order.
    std::vector<unsigned char> GetVector() const;

    const sockaddr* sa() const { return reinterpret_cast<const sockaddr*>(&mSin); }
    sockaddr* sa() { return reinterpret_cast<sockaddr*>(&mSin); }
    static socklen_t size() { return sizeof(sockaddr_in); }
    const sockaddr_in& sin() const { return mSin; }

private:
    sockaddr_in mSin;
};

static_assert(sizeof(Addr) == 16, "INet4::Addr must keep the sockaddr_in layout");

} // namespace INet4
