// ED-137 radio-to-gateway (R2S) signalling: the header and additional
// features that ED-137B carries in the RTP header extension (RFC 3550,
// 5.3.1) of a radio session, as a fixed record and its codec.
//
// Plain functions without state or allocation. Results: 0 or an octet count
// on success, a negative errno value on failure (-E2BIG, -EBADF, -ENOEXEC).
#pragma once

#include <cstdint>

// Header kinds.
enum : uint32_t {
    R2S_TYPE_NONE = 0,
    R2S_TYPE_TX = 1,
    R2S_TYPE_RX = 2,
};

// Feature kinds, per header kind.
enum : uint32_t {
    R2S_RX_SQI = 1,
    R2S_RX_RRC = 3,
    R2S_RX_MAM = 4,
    R2S_TX_CLIMAX_TIME_DELAY = 2,
    R2S_TX_RRC = 3,
    R2S_TX_RRM = 4,
};

const int r2s_proto_max_additionals = 16;
const int r2s_proto_additional_values = 13;

struct r2s_proto_rx_header {
    uint32_t ptt_type; // 3 bits
    uint32_t squ;      // 1 bit
    uint32_t ptt_id;   // 6 bits
    uint32_t pm;       // 1 bit
    uint32_t ptts;     // 1 bit
    uint32_t sct;      // 1 bit
};

struct r2s_proto_tx_header {
    uint32_t ptt_type;
    uint32_t ptt_id;
    uint32_t pm;
    uint32_t ptts;
    uint32_t unused[2];
};

// One feature: its kind, then the values f1..f13 as the kind's record
// orders them.
struct r2s_proto_additional {
    uint32_t kind;
    uint32_t f[r2s_proto_additional_values];
};

struct r2s_proto {
    uint32_t source_addr; // the sender, network order; set by the receiver
    uint32_t source_ssrc;
    uint32_t type;
    union {
        r2s_proto_rx_header rx;
        r2s_proto_tx_header tx;
    } header;
    uint32_t count;
    r2s_proto_additional additionals[r2s_proto_max_additionals];
};

// SQI: f1 quality index (5 bits), f2 method (3 bits).
struct r2s_proto_rx_additional_sqi {
    uint32_t f1, f2;
};
// RRC: f1..f8 one bit each; f9 form (0 short, 1 long); long form: f10 and
// f11 one bit each, f12 and f13 one octet each.
struct r2s_proto_rx_additional_rrc {
    uint32_t f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13;
};
// MAM: f1 (1 bit), f2 (23 bits), f3 (1 bit), f4 (23 bits), f5..f7 16 bits.
struct r2s_proto_rx_additional_mam {
    uint32_t f1, f2, f3, f4, f5, f6, f7;
};
struct r2s_proto_tx_additional_climax_time_delay {
    uint32_t f1; // one octet
};
struct r2s_proto_tx_additional_rrc {
    uint32_t f1, f2, f3, f4, f5, f6, f7, f8;
};
// RRM: f1 (1 bit), f2 (23 bits).
struct r2s_proto_tx_additional_rrm {
    uint32_t f1, f2;
};

int r2s_proto_init(r2s_proto* rec, unsigned long type);
int r2s_proto_set_type(r2s_proto* rec, unsigned long type);
int r2s_proto_set_tx_header(r2s_proto* rec, unsigned long ptt_type, unsigned long ptt_id, unsigned long pm,
                            unsigned long ptts);
int r2s_proto_set_rx_header(r2s_proto* rec, unsigned long ptt_type, unsigned long squ, unsigned long ptt_id,
                            unsigned long pm, unsigned long ptts, unsigned long sct);
int r2s_proto_reset_additionals(r2s_proto* rec);

// Each appends one feature; with 16 present or a null pointer nothing.
int r2s_proto_add_rx_sqi(r2s_proto* rec, r2s_proto_rx_additional_sqi const* v);
int r2s_proto_add_rx_sqi(r2s_proto* rec, unsigned long f1, unsigned long f2);
int r2s_proto_add_rx_rrc(r2s_proto* rec, r2s_proto_rx_additional_rrc const* v);
int r2s_proto_add_rx_mam(r2s_proto* rec, r2s_proto_rx_additional_mam const* v);
int r2s_proto_add_tx_time_delay(r2s_proto* rec, r2s_proto_tx_additional_climax_time_delay const* v);
int r2s_proto_add_tx_rrc(r2s_proto* rec, r2s_proto_tx_additional_rrc const* v);
int r2s_proto_add_tx_rrm(r2s_proto* rec, r2s_proto_tx_additional_rrm const* v);

// By the record's type: -E2BIG for a null record, -ENOEXEC for no type.
int r2s_proto_pack(r2s_proto* rec, unsigned char* buf, int size);
// Octets written; 0 for a null record or buffer; -EBADF when the header or
// a feature does not fit; -ENOEXEC for an RX RRC of neither form. Features
// of the other header kind are left out.
int r2s_proto_pack_rx(r2s_proto* rec, unsigned char* buf, int size);
int r2s_proto_pack_tx(r2s_proto* rec, unsigned char* buf, int size);
// 0; -E2BIG for a null record or buffer; -EBADF for fewer than 2 octets or
// a feature running past the end (what came before it is kept). Features
// of unknown kind or length are stepped over.
int r2s_proto_unpack_rx(r2s_proto* rec, unsigned char const* buf, int len);
int r2s_proto_unpack_tx(r2s_proto* rec, unsigned char const* buf, int len);

// 0 for the same header kind from the same sender; -1 when either is null.
int cmp_r2s_proto_source(r2s_proto* a, r2s_proto* b);
