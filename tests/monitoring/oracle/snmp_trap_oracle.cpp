// Our side of the trap check with an SNMP manager and a protocol analyser:
//   snmp_trap_oracle port        prints a UDP port free on 127.0.0.1
//   snmp_trap_oracle send PORT   sends the sample traps to 127.0.0.1:PORT
//   snmp_trap_oracle hex         prints them as a text2pcap hex dump
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "monitoring/snmp_trap.h"

using namespace SnmpTrap;

namespace {

typedef std::vector<uint32_t> Oid;

struct Trap {
    TrapSession session;

    Trap(uint32_t seed, const char* community, uint32_t uptime, const Oid& trapOid)
    {
        snmp_session_seed(&session, seed);
        TrapParameters params{};
        // The field is fixed-size and need not end in NUL: all 28 bytes may be used.
        std::memcpy(params.community, community, std::min(std::strlen(community), size_t(community_size)));
        trap_init(&session, &params);
        ok = trap_pack_begin(&session) == 0;
        add({1, 3, 6, 1, 2, 1, 1, 3, 0}, ASN_TIMETICKS, &uptime, 4);
        add({1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0}, ASN_OBJECT_ID, trapOid.data(),
            static_cast<uint32_t>(trapOid.size() * 4));
    }
    void add(const Oid& oid, uint8_t type, const void* value, uint32_t length)
    {
        ok = ok && trap_pack_add(&session, oid.data(), static_cast<uint32_t>(oid.size()), type, value, length) == 0;
    }
    void add32(const Oid& oid, uint8_t type, uint32_t value) { add(oid, type, &value, 4); }
    bool end() { return ok && trap_pack_end(&session) == 0; }
    bool ok;
};

Oid item(uint32_t n)
{
    return {1, 3, 6, 1, 4, 1, 99999, 1, n, 0};
}

// Every value type an SNMP manager knows, at the edges of its form.
std::vector<std::vector<uint8_t>> samples()
{
    std::vector<std::vector<uint8_t>> out;
    Trap a(0, "public", 12345, {1, 3, 6, 1, 4, 1, 99999, 0, 1});
    a.add32(item(1), ASN_INTEGER, static_cast<uint32_t>(-1));
    a.add32(item(2), ASN_INTEGER, 128);
    a.add(item(3), ASN_OCTET_STR, "voxbridge", 9);
    a.add(item(4), ASN_NULL, nullptr, 0);
    const Oid value = {1, 3, 6, 1, 4, 1, 99999, 200, 4294967295u};
    a.add(item(5), ASN_OBJECT_ID, value.data(), static_cast<uint32_t>(value.size() * 4));
    const uint8_t ip[] = {10, 1, 2, 3};
    a.add(item(6), ASN_IPADDRESS, ip, 4);
    a.add32(item(7), ASN_COUNTER, 0xFFFFFFFF);
    a.add32(item(8), ASN_GAUGE, 0x80000000);
    a.add32(item(9), ASN_TIMETICKS, 4294967295u);
    a.add(item(10), ASN_OPAQUE, "\x01\x02\x03", 3);
    a.add32(item(11), ASN_UINTEGER, 4294967295u);
    if (a.end())
        out.emplace_back(a.session.buffer, a.session.buffer + a.session.length);

    // A community filling its 28 bytes, and strings of the two long
    // length forms.
    Trap b(7, "abcdefghijklmnopqrstuvwxyz01", 0, {1, 3, 6, 1, 4, 1, 99999, 0, 2});
    b.add(item(12), ASN_OCTET_STR, std::string(200, 'm').data(), 200);
    b.add(item(13), ASN_OCTET_STR, std::string(300, 'n').data(), 300);
    b.add32(item(14), ASN_INTEGER, static_cast<uint32_t>(INT32_MIN));
    if (b.end())
        out.emplace_back(b.session.buffer, b.session.buffer + b.session.length);
    return out;
}

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int free_port()
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t n = sizeof(a);
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), n) != 0 || ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n))
        return 1;
    std::printf("%d\n", ntohs(a.sin_port));
    ::close(s);
    return 0;
}

int send(int port, const std::vector<std::vector<uint8_t>>& traps)
{
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = loopback(port);
    for (const auto& t : traps)
        if (::sendto(s, t.data(), t.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to)) !=
            static_cast<ssize_t>(t.size()))
            return 1;
    ::close(s);
    return 0;
}

void dump(const std::vector<std::vector<uint8_t>>& traps)
{
    for (const auto& t : traps) {
        // text2pcap: an offset, then the bytes; offset 0 starts a packet.
        for (size_t i = 0; i < t.size(); ++i) {
            if (i % 16 == 0)
                std::printf("%s%06zx ", i ? "\n" : "", i);
            std::printf(" %02x", t[i]);
        }
        std::printf("\n");
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::vector<uint8_t>> traps = samples();
    if (traps.size() != 2) {
        std::fprintf(stderr, "the encoder refused a sample trap\n");
        return 1;
    }
    if (argc == 2 && std::strcmp(argv[1], "port") == 0)
        return free_port();
    if (argc == 3 && std::strcmp(argv[1], "send") == 0)
        return send(std::atoi(argv[2]), traps);
    if (argc == 2 && std::strcmp(argv[1], "hex") == 0) {
        dump(traps);
        return 0;
    }
    std::fprintf(stderr, "usage: snmp_trap_oracle port | send PORT | hex\n");
    return 2;
}
