// LEMZ radio signalling packets: the small command (GW_*) and status (WM_*)
// packets that LEMZ radio equipment carries in the RTP header extension of
// the voice stream (RFC 3550, 5.3.1), as a plain record and its codec.
//
// Plain functions without state. Results: 0 or a length on success, a
// negative errno value on failure (-E2BIG, -EBADF, -ENOEXEC).
#pragma once

#include <netinet/in.h>

#include <cstdint>

// Packet types (byte 0 of the wire header).
enum : uint32_t {
    GW_FLAG = 1,
    GW_ADJUST_CHAN = 2,
    GW_FLAG_PTT = 3,
    GW_FLAG_BSS = 4,
    GW_FLAG_RV = 5,
    GW_FLAG_SH = 6,
    GW_FLAG_PW = 7,
    GW_FLAG_RS = 8,
    GW_SEL_CALL = 9,
    GW_SELECT_RC_CHAN = 10,
    GW_ADJUST_SQUELSHE = 11,
    GW_ADJUST_RTE = 12,
    GW_ADJUST_STANDBY = 13,
    WM_FLAG = 129,
    WM_TRANS = 130,
    WM_RADIO_QUALITY = 131,
    WM_CHAN = 132,
    WM_SEL_CALL_TRANS = 133,
    WM_SELECT_RC_CHAN = 134,
    WM_STANDBY = 135,
};

// Room of a caller id: up to 255 characters and a terminating zero.
const int sig_proto_callerid_size = 256;

struct sig_proto_gw_adjust_chan {
    uint32_t id;
    float freq;
};

struct sig_proto_gw_sel_call {
    uint8_t callerID_length;
    char callerID[sig_proto_callerid_size];
};

struct sig_proto_select_rc_chan {
    uint8_t interface;
    uint8_t channel;
};

struct sig_proto_gw_adjust_squelsh {
    uint8_t squelsh;
};

struct sig_proto_gw_adjust_rte {
    uint8_t rte;
};

struct sig_proto_gw_adjust_standby {
    uint8_t state;
};

struct sig_proto_wm_trans {
    in_addr session_addr; // as in a socket address: first octet first
    uint32_t ssrc;
};

struct sig_proto_wm_radio_quality {
    float radio_quality;
};

struct sig_proto_wm_chan {
    uint32_t id;
    float freq;
    uint8_t squelsh;
    uint8_t rte;
};

struct sig_proto_wm_sel_call_trans {
    in_addr session_addr;
    uint32_t ssrc;
    uint8_t callerID_length;
    char callerID[sig_proto_callerid_size];
};

struct sig_proto_wm_standby {
    uint8_t state;
    uint8_t group;
    uint8_t receiver_state;
};

// One packet. The two caller words belong to whoever holds the record (the
// radio control keeps the sender's address and SSRC there); the codec never
// touches them nor the spare word.
struct sig_proto {
    uint32_t caller[2];
    uint32_t type;
    uint32_t priority; // 4 bits on the wire
    uint32_t flag_t, flag_p, flag_r, flag_s, flag_b, flag_rv, flag_sh, flag_rs, flag_pw; // 1 bit each
    uint32_t flag_c; // 2 bits
    uint32_t status; // 9 bits
    uint32_t spare;
    union {
        sig_proto_gw_adjust_chan gw_adjust_chan;
        sig_proto_gw_sel_call gw_sel_call;
        sig_proto_select_rc_chan gw_select_rc_chan;
        sig_proto_gw_adjust_squelsh gw_adjust_squelsh;
        sig_proto_gw_adjust_rte gw_adjust_rte;
        sig_proto_gw_adjust_standby gw_adjust_standby;
        sig_proto_wm_trans wm_trans;
        sig_proto_wm_radio_quality wm_radio_quality;
        sig_proto_wm_chan wm_chan;
        sig_proto_wm_sel_call_trans wm_sel_call_trans;
        sig_proto_select_rc_chan wm_select_rc_chan;
        sig_proto_wm_standby wm_standby;
    } payload;
};
static_assert(sizeof(sig_proto) == 332, "sig_proto is a 332-byte record");

int sig_proto_init(sig_proto* rec);
// Packet length, -EBADF when size is below 4 or the payload does not fit,
// 0 for a null record or buffer. The whole buffer is cleared first.
int sig_proto_pack(sig_proto* rec, unsigned char* buf, int size);
// 0; -E2BIG for a null record or buffer; -EBADF when len is short (the
// record is unchanged); -ENOEXEC for an unknown type (only the type is set).
int sig_proto_unpack(sig_proto* rec, unsigned char* buf, int len);
bool sig_proto_is_ptt_command(sig_proto* rec);
// Same kind of packet from the same sender: 0. -1 when either is null.
int cmp_sig_proto_header(sig_proto* a, sig_proto* b);
int cmp_sig_proto(sig_proto* a, sig_proto* b);
int cmp_sig_proto_flags(sig_proto* a, sig_proto* b);

// Printer modes, combined as bits.
enum : int {
    SIG_PROTO_PRINT_TYPE_NUMBER = 1,
    SIG_PROTO_PRINT_TYPE_NAME = 2,
    SIG_PROTO_PRINT_FLAGS_ONLY = 4,
};
// Writes the record as text; its length, or 0 when an argument is null,
// size is below 1 or the type has no printer. Cut to size - 1 characters.
int sprintf_sig_proto(char* out, long size, sig_proto* rec, int mode);

struct s_sig_proto_table_name {
    int32_t id;
    char const* name;
};
const int sig_proto_name_table_size = 128;
// Names of the packet types; an entry with id -1 ends it.
extern const s_sig_proto_table_name sig_proto_packet_const_name[sig_proto_name_table_size];
char const* sig_proto_find_name_by_id(s_sig_proto_table_name const* table, int id);
int sig_proto_find_id_by_name(s_sig_proto_table_name const* table, char const* name);

// A queue: 32 records, then 32 words.
const int sig_proto_queue_size = 32;
struct sig_proto_queue {
    sig_proto records[sig_proto_queue_size];
    uint32_t words[sig_proto_queue_size];
};
const int sig_proto_init_types = 17;
extern const uint32_t init_sig_proto_type[sig_proto_init_types];
// Clears the queue and gives record i the i-th type of init_sig_proto_type
// (0xFFFFFFFF past them).
int init_sig_proto_queue(sig_proto_queue* queue);

bool is_little_endian();

// Setters: each does nothing for a null record and returns 0. A negative
// argument of the two header setters leaves that field alone.
int sig_proto_set_base(sig_proto* rec, int priority, int flag_t, int flag_p, int flag_r, int flag_s, int flag_b,
                       int flag_rv, int flag_sh, int flag_pw, int flag_rs, int flag_c, int status);
int sig_proto_set_ptt(sig_proto* rec, int p);
int sig_proto_set_gw_adjust_standby(sig_proto* rec, uint8_t state);
int sig_proto_set_gw_adjust_squelsh(sig_proto* rec, uint8_t squelsh);
int sig_proto_set_gw_adjust_rte(sig_proto* rec, uint8_t rte);
int sig_proto_set_gw_adjust_chan(sig_proto* rec, uint32_t id, float freq);
int sig_proto_set_wm_chan(sig_proto* rec, uint32_t id, float freq, uint8_t squelsh, uint8_t rte);
int sig_proto_set_gw_select_rc_chan(sig_proto* rec, uint8_t interface, uint8_t channel);
int sig_proto_set_wm_select_rc_chan(sig_proto* rec, uint8_t interface, uint8_t channel);
int sig_proto_set_wm_radio_quality(sig_proto* rec, float quality);
int sig_proto_set_wm_standby(sig_proto* rec, uint8_t state, uint8_t group, uint8_t receiver_state);
int sig_proto_set_wm_transmite(sig_proto* rec, in_addr address, uint32_t ssrc);
// Up to 255 characters of text (fewer when it ends sooner); n, capped at
// 255, is the length. A null text stores length 0 and an empty text.
int sig_proto_set_gw_selcall(sig_proto* rec, char const* text, int n);
int sig_proto_set_wm_selcall_transmite(sig_proto* rec, in_addr address, uint32_t ssrc, char const* text, int n);
