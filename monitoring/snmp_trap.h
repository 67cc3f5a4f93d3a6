// SNMPv2c trap encoder: one SNMPv2-Trap-PDU (RFC 3416, section 4.2.6) in
// the BER of X.690, built into a fixed buffer of the session record.
//
// trap_init, trap_pack_begin, trap_pack_add for every variable binding,
// trap_pack_end; the buffer then holds `length` bytes of the message. Every
// function returns 0 on success and -1 on failure unless said otherwise;
// once an add has failed the message cannot be finished.
//
// The asn_build_* builders write at a position, lower *remaining by what
// they wrote and return the next position, or nullptr when the room does
// not suffice (or the position already was nullptr).
#pragma once

#include <cstddef>
#include <cstdint>

namespace SnmpTrap {

const size_t community_size = 28;
const size_t buffer_size = 2048;
// Longest object identifier taken, in arcs.
const uint32_t max_oid_arcs = 128;

// The BER tags of the value types a binding may carry.
enum : uint8_t {
    ASN_INTEGER = 0x02,
    ASN_BIT_STR = 0x03,
    ASN_OCTET_STR = 0x04,
    ASN_NULL = 0x05,
    ASN_OBJECT_ID = 0x06,
    ASN_SEQUENCE = 0x30,
    ASN_IPADDRESS = 0x40,
    ASN_COUNTER = 0x41,
    ASN_GAUGE = 0x42,
    ASN_TIMETICKS = 0x43,
    ASN_OPAQUE = 0x44,
    ASN_NSAP = 0x45,
    ASN_UINTEGER = 0x47,
    SNMP_MSG_TRAP2 = 0xA7,
};

struct TrapParameters {
    char community[community_size];
    uint16_t word;
    uint8_t byte;
};

struct TrapSession {
    enum State : uint32_t { initialised = 0, begun = 1, adding = 2, finished = 3 };

    uint32_t version = 0;
    uint32_t pdu_type = 0;
    // The seed before trap_init, the request id after it.
    uint32_t request_id = 0;
    uint32_t error_status = 0;
    uint32_t error_index = 0;
    // Text, NUL-terminated unless it fills all 28 bytes.
    char community[community_size] = {};
    uint16_t param_word = 0;
    uint8_t param_byte = 0;
    uint32_t state = initialised;
    uint8_t buffer[buffer_size] = {};
    uint32_t remaining = 0;
    uint32_t length = 0;
    uint8_t* message_content = nullptr;
    uint8_t* pdu_header = nullptr;
    uint8_t* pdu_content = nullptr;
    uint8_t* bindings_header = nullptr;
    uint8_t* bindings_content = nullptr;
    uint8_t* write = nullptr;
};

int snmp_session_seed(TrapSession* session, uint32_t seed);
int trap_init(TrapSession* session, const TrapParameters* parameters);
int trap_pack_begin(TrapSession* session);
// oid: oidLength arcs. INTEGER and the unsigned types take a 4-byte value
// in host order; OBJECT IDENTIFIER takes valueLength / 4 arcs.
int trap_pack_add(TrapSession* session, const uint32_t* oid, uint32_t oidLength, uint8_t type,
                  const void* value, uint32_t valueLength);
int trap_pack_end(TrapSession* session);

// Hundredths of a second since boot, modulo 2^32.
uint32_t get_uptime();
// Up to max arcs of dotted decimal text (its first 127 characters); the
// number stored, 0 when an argument is missing or a part is no number.
int parse_oid(uint32_t* arcs, int max, const char* text);

// True (fail) when pos is nullptr or fewer than needed bytes remain.
bool _asn_build_header_check(const uint8_t* pos, const uint32_t* remaining, uint32_t needed);
uint8_t* asn_build_length(uint8_t* pos, uint32_t* remaining, uint32_t length);
uint8_t* asn_build_header(uint8_t* pos, uint32_t* remaining, uint8_t type, uint32_t length);
// Always the four-byte form: type, 0x82, two length bytes.
uint8_t* asn_build_sequence(uint8_t* pos, uint32_t* remaining, uint8_t type, uint32_t length);
uint8_t* asn_build_int(uint8_t* pos, uint32_t* remaining, uint8_t type, int32_t value);
uint8_t* asn_build_unsigned_int(uint8_t* pos, uint32_t* remaining, uint8_t type, uint32_t value);
// A null value writes length zero bytes.
uint8_t* asn_build_string(uint8_t* pos, uint32_t* remaining, uint8_t type, const uint8_t* value,
                          uint32_t length);
// The first byte is the unused-bits count, so length 0 fails.
uint8_t* asn_build_bitstring(uint8_t* pos, uint32_t* remaining, uint8_t type, const uint8_t* value,
                             uint32_t length);
uint8_t* asn_build_null(uint8_t* pos, uint32_t* remaining, uint8_t type);
uint8_t* asn_build_objid(uint8_t* pos, uint32_t* remaining, uint8_t type, const uint32_t* oid,
                         uint32_t count);
uint8_t* snmp_build_var_op(uint8_t* pos, uint32_t* remaining, const uint32_t* oid, uint32_t oidLength,
                           uint8_t type, const void* value, uint32_t valueLength);

} // namespace SnmpTrap
