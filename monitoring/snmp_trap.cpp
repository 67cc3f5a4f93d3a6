#include "monitoring/snmp_trap.h"

#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace SnmpTrap {

namespace {

const char kDefaultCommunity[] = "wabnil";
const uint32_t kMessageVersion = 1; // SNMPv2c
const uint32_t kLongLength = 0x82;   // X.690 8.1.3.5: two length octets follow

uint8_t* put_byte(uint8_t* pos, uint32_t* remaining, uint8_t b)
{
    *pos = b;
    --*remaining;
    return pos + 1;
}

// Bytes of the shortest base-128 form of one subidentifier (X.690 8.19.2).
unsigned subid_size(uint32_t v)
{
    if (v < 0x80)
        return 1;
    if (v < 0x4000)
        return 2;
    if (v < 0x200000)
        return 3;
    if (v < 0x10000000)
        return 4;
    return 5;
}

uint8_t* put_subid(uint8_t* pos, uint32_t* remaining, uint32_t v)
{
    for (unsigned i = subid_size(v); i > 1; --i)
        pos = put_byte(pos, remaining, static_cast<uint8_t>(0x80 | (v >> (7 * (i - 1)))));
    return put_byte(pos, remaining, static_cast<uint8_t>(v & 0x7F));
}

// The subidentifiers of X.690 8.19.4: the first two arcs share one. False
// for arcs that no identifier can hold.
bool first_subid(const uint32_t* oid, uint32_t count, uint32_t& first)
{
    if (count == 0) {
        first = 0;
        return true;
    }
    if (oid[0] > 2)
        return false;
    uint32_t second = count > 1 ? oid[1] : 0;
    if (oid[0] < 2 && second > 39)
        return false;
    if (second > UINT32_MAX - 40 * oid[0])
        return false;
    first = 40 * oid[0] + second;
    return true;
}

bool is_unsigned_type(uint8_t type)
{
    return type == ASN_COUNTER || type == ASN_GAUGE || type == ASN_TIMETICKS || type == ASN_UINTEGER;
}

uint8_t* build_value(uint8_t* pos, uint32_t* remaining, uint8_t type, const void* value, uint32_t length)
{
    const uint8_t* bytes = static_cast<const uint8_t*>(value);
    if (type == ASN_INTEGER || is_unsigned_type(type)) {
        // A shorter value would be read past its end.
        if (length != 4 || !value)
            return nullptr;
        uint32_t v;
        std::memcpy(&v, value, 4);
        if (type == ASN_INTEGER)
            return asn_build_int(pos, remaining, type, static_cast<int32_t>(v));
        return asn_build_unsigned_int(pos, remaining, type, v);
    }
    switch (type) {
    case ASN_BIT_STR:
        return asn_build_bitstring(pos, remaining, type, bytes, length);
    case ASN_OCTET_STR:
    case ASN_IPADDRESS:
    case ASN_OPAQUE:
    case ASN_NSAP:
        return asn_build_string(pos, remaining, type, bytes, length);
    case ASN_NULL:
        return asn_build_null(pos, remaining, type);
    case ASN_OBJECT_ID: {
        if (length % 4 != 0 || (length > 0 && !value))
            return nullptr;
        uint32_t arcs[max_oid_arcs + 1];
        uint32_t count = length / 4;
        if (count > max_oid_arcs)
            return nullptr;
        if (count > 0)
            std::memcpy(arcs, value, length); // the value need not be aligned
        return asn_build_objid(pos, remaining, type, arcs, count);
    }
    default:
        return nullptr;
    }
}

} // namespace

bool _asn_build_header_check(const uint8_t* pos, const uint32_t* remaining, uint32_t needed)
{
    return !pos || *remaining < needed;
}

uint8_t* asn_build_length(uint8_t* pos, uint32_t* remaining, uint32_t length)
{
    if (length > 0xFFFF)
        return nullptr;
    if (length < 0x80) {
        if (_asn_build_header_check(pos, remaining, 1))
            return nullptr;
        return put_byte(pos, remaining, static_cast<uint8_t>(length));
    }
    if (length <= 0xFF) {
        if (_asn_build_header_check(pos, remaining, 2))
            return nullptr;
        pos = put_byte(pos, remaining, 0x81);
        return put_byte(pos, remaining, static_cast<uint8_t>(length));
    }
    if (_asn_build_header_check(pos, remaining, 3))
        return nullptr;
    pos = put_byte(pos, remaining, kLongLength);
    pos = put_byte(pos, remaining, static_cast<uint8_t>(length >> 8));
    return put_byte(pos, remaining, static_cast<uint8_t>(length));
}

uint8_t* asn_build_header(uint8_t* pos, uint32_t* remaining, uint8_t type, uint32_t length)
{
    if (_asn_build_header_check(pos, remaining, 1))
        return nullptr;
    return asn_build_length(put_byte(pos, remaining, type), remaining, length);
}

uint8_t* asn_build_sequence(uint8_t* pos, uint32_t* remaining, uint8_t type, uint32_t length)
{
    if (_asn_build_header_check(pos, remaining, 4) || length > 0xFFFF)
        return nullptr;
    pos = put_byte(pos, remaining, type);
    pos = put_byte(pos, remaining, kLongLength);
    pos = put_byte(pos, remaining, static_cast<uint8_t>(length >> 8));
    return put_byte(pos, remaining, static_cast<uint8_t>(length));
}

uint8_t* asn_build_int(uint8_t* pos, uint32_t* remaining, uint8_t type, int32_t value)
{
    // X.690 8.3.2: drop a leading byte while it and the next byte's top
    // bit are all zeros or all ones.
    uint32_t v = static_cast<uint32_t>(value);
    unsigned size = 4;
    while (size > 1) {
        uint32_t top9 = (v >> (8 * size - 9)) & 0x1FF;
        if (top9 != 0 && top9 != 0x1FF)
            break;
        --size;
    }
    pos = asn_build_header(pos, remaining, type, size);
    if (_asn_build_header_check(pos, remaining, size))
        return nullptr;
    for (unsigned i = size; i > 0; --i)
        pos = put_byte(pos, remaining, static_cast<uint8_t>(v >> (8 * (i - 1))));
    return pos;
}

uint8_t* asn_build_unsigned_int(uint8_t* pos, uint32_t* remaining, uint8_t type, uint32_t value)
{
    unsigned size = 4;
    while (size > 1 && (value >> (8 * (size - 1))) == 0)
        --size;
    // A set top bit would read as negative: a 0x00 goes in front.
    bool pad = (value >> (8 * size - 1)) & 1;
    pos = asn_build_header(pos, remaining, type, size + pad);
    if (_asn_build_header_check(pos, remaining, size + pad))
        return nullptr;
    if (pad)
        pos = put_byte(pos, remaining, 0);
    for (unsigned i = size; i > 0; --i)
        pos = put_byte(pos, remaining, static_cast<uint8_t>(value >> (8 * (i - 1))));
    return pos;
}

uint8_t* asn_build_string(uint8_t* pos, uint32_t* remaining, uint8_t type, const uint8_t* value,
                          uint32_t length)
{
    pos = asn_build_header(pos, remaining, type, length);
    if (_asn_build_header_check(pos, remaining, length))
        return nullptr;
    if (value)
        std::memcpy(pos, value, length);
    else
        std::memset(pos, 0, length);
    *remaining -= length;
    return pos + length;
}

uint8_t* asn_build_bitstring(uint8_t* pos, uint32_t* remaining, uint8_t type, const uint8_t* value,
                             uint32_t length)
{
    if (length == 0)
        return nullptr;
    return asn_build_string(pos, remaining, type, value, length);
}

uint8_t* asn_build_null(uint8_t* pos, uint32_t* remaining, uint8_t type)
{
    return asn_build_header(pos, remaining, type, 0);
}

uint8_t* asn_build_objid(uint8_t* pos, uint32_t* remaining, uint8_t type, const uint32_t* oid,
                         uint32_t count)
{
    uint32_t first;
    if (count > max_oid_arcs || (count > 0 && !oid) || !first_subid(oid, count, first))
        return nullptr;
    uint32_t size = subid_size(first);
    for (uint32_t i = 2; i < count; ++i)
        size += subid_size(oid[i]);
    pos = asn_build_header(pos, remaining, type, size);
    if (_asn_build_header_check(pos, remaining, size))
        return nullptr;
    pos = put_subid(pos, remaining, first);
    for (uint32_t i = 2; i < count; ++i)
        pos = put_subid(pos, remaining, oid[i]);
    return pos;
}

uint8_t* snmp_build_var_op(uint8_t* pos, uint32_t* remaining, const uint32_t* oid, uint32_t oidLength,
                           uint8_t type, const void* value, uint32_t valueLength)
{
    // The binding's SEQUENCE header is filled in once its length is known.
    if (_asn_build_header_check(pos, remaining, 4))
        return nullptr;
    uint8_t* header = pos;
    uint32_t afterHeader = *remaining - 4;
    uint8_t* end = asn_build_objid(pos + 4, &afterHeader, ASN_OBJECT_ID, oid, oidLength);
    end = build_value(end, &afterHeader, type, value, valueLength);
    if (!end)
        return nullptr;
    asn_build_sequence(header, remaining, ASN_SEQUENCE, static_cast<uint32_t>(end - header - 4));
    *remaining = afterHeader;
    return end;
}

int snmp_session_seed(TrapSession* session, uint32_t seed)
{
    if (session)
        session->request_id = seed;
    return 0;
}

int trap_init(TrapSession* session, const TrapParameters* parameters)
{
    if (!session)
        return 0;
    session->version = kMessageVersion;
    session->pdu_type = SNMP_MSG_TRAP2;
    session->request_id = ((session->request_id * 850009u + 991873u) & 0x7FFFFFFFu) | 1u;
    session->error_status = 0;
    session->error_index = 0;
    std::memset(session->community, 0, community_size);
    session->param_word = 0;
    session->param_byte = 0;
    if (parameters) {
        std::memcpy(session->community, parameters->community, community_size);
        session->param_word = parameters->word;
        session->param_byte = parameters->byte;
    } else {
        std::memcpy(session->community, kDefaultCommunity, sizeof(kDefaultCommunity));
    }
    std::memset(session->buffer, 0, buffer_size);
    session->remaining = buffer_size;
    session->length = 0;
    session->state = TrapSession::initialised;
    session->message_content = session->pdu_header = session->pdu_content = nullptr;
    session->bindings_header = session->bindings_content = nullptr;
    session->write = session->buffer;
    return 0;
}

int trap_pack_begin(TrapSession* session)
{
    if (!session || session->state != TrapSession::initialised)
        return -1;
    session->state = TrapSession::begun;
    TrapSession& s = *session;
    uint8_t* p = asn_build_sequence(s.write, &s.remaining, ASN_SEQUENCE, 0);
    s.message_content = p;
    p = asn_build_int(p, &s.remaining, ASN_INTEGER, static_cast<int32_t>(s.version));
    // A community filling all 28 bytes has no NUL.
    p = asn_build_string(p, &s.remaining, ASN_OCTET_STR, reinterpret_cast<const uint8_t*>(s.community),
                         static_cast<uint32_t>(strnlen(s.community, community_size)));
    s.pdu_header = p;
    p = asn_build_sequence(p, &s.remaining, static_cast<uint8_t>(s.pdu_type), 0);
    s.pdu_content = p;
    p = asn_build_int(p, &s.remaining, ASN_INTEGER, static_cast<int32_t>(s.request_id));
    p = asn_build_int(p, &s.remaining, ASN_INTEGER, static_cast<int32_t>(s.error_status));
    p = asn_build_int(p, &s.remaining, ASN_INTEGER, static_cast<int32_t>(s.error_index));
    s.bindings_header = p;
    p = asn_build_sequence(p, &s.remaining, ASN_SEQUENCE, 0);
    s.bindings_content = p;
    s.write = p;
    return p ? 0 : -1;
}

int trap_pack_add(TrapSession* session, const uint32_t* oid, uint32_t oidLength, uint8_t type,
                  const void* value, uint32_t valueLength)
{
    if (!session || (session->state != TrapSession::begun && session->state != TrapSession::adding) ||
        !session->write)
        return -1;
    session->write = snmp_build_var_op(session->write, &session->remaining, oid, oidLength, type, value,
                                       valueLength);
    if (!session->write)
        return -1;
    session->state = TrapSession::adding;
    return 0;
}

int trap_pack_end(TrapSession* session)
{
    if (!session || (session->state != TrapSession::begun && session->state != TrapSession::adding))
        return -1;
    TrapSession& s = *session;
    if (!s.write || !s.message_content || !s.pdu_header || !s.pdu_content || !s.bindings_header ||
        !s.bindings_content)
        return -1;
    uint32_t room = 4;
    asn_build_sequence(s.bindings_header, &room, ASN_SEQUENCE, static_cast<uint32_t>(s.write - s.bindings_content));
    room = 4;
    asn_build_sequence(s.pdu_header, &room, static_cast<uint8_t>(s.pdu_type),
                       static_cast<uint32_t>(s.write - s.pdu_content));
    room = 4;
    asn_build_sequence(s.buffer, &room, ASN_SEQUENCE, static_cast<uint32_t>(s.write - s.message_content));
    s.length = static_cast<uint32_t>(s.write - s.buffer);
    s.state = TrapSession::finished;
    return 0;
}

uint32_t get_uptime()
{
    // The clock behind sysinfo's uptime, read once: whole seconds and their
    // fraction from the same instant, and no steps of the wall clock.
    timespec now{};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    uint64_t ticks = static_cast<uint64_t>(now.tv_sec) * 100u + static_cast<uint64_t>(now.tv_nsec) / 10000000u;
    return static_cast<uint32_t>(ticks);
}

int parse_oid(uint32_t* arcs, int max, const char* text)
{
    if (!arcs || !text || max <= 0)
        return 0;
    char copy[128];
    std::strncpy(copy, text, sizeof(copy) - 1);
    copy[sizeof(copy) - 1] = '\0';
    int count = 0;
    char* save = nullptr;
    for (char* part = strtok_r(copy, ".", &save); part && count < max; part = strtok_r(nullptr, ".", &save)) {
        // Only plain decimal digits that fit in 32 bits; strtoul alone would
        // take signs, blanks and wrapped values.
        if (std::strspn(part, "0123456789") != std::strlen(part))
            return 0;
        errno = 0;
        unsigned long v = std::strtoul(part, nullptr, 10);
        if (errno != 0 || v > UINT32_MAX)
            return 0;
        arcs[count++] = static_cast<uint32_t>(v);
    }
    return count;
}

} // namespace SnmpTrap
