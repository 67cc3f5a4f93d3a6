// The LEMZ packet codec: wire header, payloads by type, setters, names.
#include "radio/sig_proto.h"

#include <cerrno>
#include <cstring>

namespace {

void put32(unsigned char* p, uint32_t v)
{
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

uint32_t get32(unsigned char const* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// IEEE single precision, sent as its bit pattern.
void put_float(unsigned char* p, float f)
{
    uint32_t v;
    std::memcpy(&v, &f, sizeof v);
    put32(p, v);
}

float get_float(unsigned char const* p)
{
    uint32_t v = get32(p);
    float f;
    std::memcpy(&f, &v, sizeof f);
    return f;
}

// The session address travels last octet first, the reverse of its order
// in a socket address.
void put_addr(unsigned char* p, in_addr a)
{
    unsigned char const* o = reinterpret_cast<unsigned char const*>(&a.s_addr);
    p[0] = o[3];
    p[1] = o[2];
    p[2] = o[1];
    p[3] = o[0];
}

in_addr get_addr(unsigned char const* p)
{
    in_addr a;
    unsigned char* o = reinterpret_cast<unsigned char*>(&a.s_addr);
    o[0] = p[3];
    o[1] = p[2];
    o[2] = p[1];
    o[3] = p[0];
    return a;
}

int round4(int n)
{
    return (n + 3) & ~3;
}

void put_header(sig_proto const& r, unsigned char* b)
{
    b[0] = static_cast<unsigned char>(r.type);
    b[1] = static_cast<unsigned char>(((r.priority & 0xF) << 4) | ((r.flag_t & 1) << 3) | ((r.flag_p & 1) << 2) |
                                      ((r.flag_r & 1) << 1) | (r.flag_s & 1));
    b[2] = static_cast<unsigned char>(((r.flag_b & 1) << 7) | ((r.flag_rv & 1) << 6) | ((r.flag_sh & 1) << 5) |
                                      ((r.flag_pw & 1) << 4) | ((r.status >> 5) & 0xF));
    b[3] = static_cast<unsigned char>(((r.status & 0x1F) << 3) | ((r.flag_c & 3) << 1) | (r.flag_rs & 1));
}

void get_header(unsigned char const* b, sig_proto& r)
{
    r.type = b[0];
    r.priority = b[1] >> 4;
    r.flag_t = (b[1] >> 3) & 1;
    r.flag_p = (b[1] >> 2) & 1;
    r.flag_r = (b[1] >> 1) & 1;
    r.flag_s = b[1] & 1;
    r.flag_b = (b[2] >> 7) & 1;
    r.flag_rv = (b[2] >> 6) & 1;
    r.flag_sh = (b[2] >> 5) & 1;
    r.flag_pw = (b[2] >> 4) & 1;
    r.status = ((b[2] & 0xFu) << 5) | (b[3] >> 3);
    r.flag_c = (b[3] >> 1) & 3;
    r.flag_rs = b[3] & 1;
}

// Octets of a packet of this type without a text; 0 for the two types with
// a text, -1 for a type that is not a LEMZ packet.
int fixed_length(uint32_t type)
{
    switch (type) {
    case GW_FLAG: case GW_FLAG_PTT: case GW_FLAG_BSS: case GW_FLAG_RV:
    case GW_FLAG_SH: case GW_FLAG_PW: case GW_FLAG_RS: case WM_FLAG:
        return 4;
    case GW_SELECT_RC_CHAN: case GW_ADJUST_SQUELSHE: case GW_ADJUST_RTE: case GW_ADJUST_STANDBY:
    case WM_RADIO_QUALITY: case WM_SELECT_RC_CHAN: case WM_STANDBY:
        return 8;
    case GW_ADJUST_CHAN: case WM_TRANS:
        return 12;
    case WM_CHAN:
        return 16;
    case GW_SEL_CALL: case WM_SEL_CALL_TRANS:
        return 0;
    default:
        return -1;
    }
}

// Octets before the text length of the two packets with a text.
int text_offset(uint32_t type)
{
    return type == GW_SEL_CALL ? 4 : 12;
}

void pack_text(unsigned char* at, uint8_t n, char const* text)
{
    at[0] = n;
    std::memcpy(at + 1, text, n);
}

// The payload of a packet of the table whose buffer has been checked.
void pack_payload(sig_proto const& r, unsigned char* p)
{
    auto const& v = r.payload;
    switch (r.type) {
    case GW_ADJUST_CHAN:
        put32(p, v.gw_adjust_chan.id);
        put_float(p + 4, v.gw_adjust_chan.freq);
        break;
    case GW_SEL_CALL:
        pack_text(p, v.gw_sel_call.callerID_length, v.gw_sel_call.callerID);
        break;
    case GW_SELECT_RC_CHAN:
    case WM_SELECT_RC_CHAN: // the two payloads share their layout
        p[0] = v.gw_select_rc_chan.interface;
        p[1] = v.gw_select_rc_chan.channel;
        break;
    case GW_ADJUST_SQUELSHE: p[0] = v.gw_adjust_squelsh.squelsh; break;
    case GW_ADJUST_RTE: p[0] = v.gw_adjust_rte.rte; break;
    case GW_ADJUST_STANDBY: p[0] = v.gw_adjust_standby.state; break;
    case WM_TRANS:
        put_addr(p, v.wm_trans.session_addr);
        put32(p + 4, v.wm_trans.ssrc);
        break;
    case WM_RADIO_QUALITY: put_float(p, v.wm_radio_quality.radio_quality); break;
    case WM_CHAN:
        put32(p, v.wm_chan.id);
        put_float(p + 4, v.wm_chan.freq);
        p[8] = v.wm_chan.squelsh;
        p[9] = v.wm_chan.rte;
        break;
    case WM_SEL_CALL_TRANS:
        put_addr(p, v.wm_sel_call_trans.session_addr);
        put32(p + 4, v.wm_sel_call_trans.ssrc);
        pack_text(p + 8, v.wm_sel_call_trans.callerID_length, v.wm_sel_call_trans.callerID);
        break;
    case WM_STANDBY:
        p[0] = v.wm_standby.state;
        p[1] = v.wm_standby.group;
        p[2] = v.wm_standby.receiver_state;
        break;
    default:
        break;
    }
}

// The text ends at its length, so that a record reused for a shorter text
// does not keep the tail of the longer one.
void unpack_text(unsigned char const* at, uint8_t& n, char* text)
{
    n = at[0];
    std::memcpy(text, at + 1, n);
    text[n] = '\0';
}

void unpack_payload(uint32_t type, unsigned char const* p, decltype(sig_proto::payload)& v)
{
    switch (type) {
    case GW_ADJUST_CHAN:
        v.gw_adjust_chan.id = get32(p);
        v.gw_adjust_chan.freq = get_float(p + 4);
        break;
    case GW_SEL_CALL:
        unpack_text(p, v.gw_sel_call.callerID_length, v.gw_sel_call.callerID);
        break;
    case GW_SELECT_RC_CHAN:
    case WM_SELECT_RC_CHAN:
        v.gw_select_rc_chan.interface = p[0];
        v.gw_select_rc_chan.channel = p[1];
        break;
    case GW_ADJUST_SQUELSHE: v.gw_adjust_squelsh.squelsh = p[0]; break;
    case GW_ADJUST_RTE: v.gw_adjust_rte.rte = p[0]; break;
    case GW_ADJUST_STANDBY: v.gw_adjust_standby.state = p[0]; break;
    case WM_TRANS:
        v.wm_trans.session_addr = get_addr(p);
        v.wm_trans.ssrc = get32(p + 4);
        break;
    case WM_RADIO_QUALITY: v.wm_radio_quality.radio_quality = get_float(p); break;
    case WM_CHAN:
        v.wm_chan.id = get32(p);
        v.wm_chan.freq = get_float(p + 4);
        v.wm_chan.squelsh = p[8];
        v.wm_chan.rte = p[9];
        break;
    case WM_SEL_CALL_TRANS:
        v.wm_sel_call_trans.session_addr = get_addr(p);
        v.wm_sel_call_trans.ssrc = get32(p + 4);
        unpack_text(p + 8, v.wm_sel_call_trans.callerID_length, v.wm_sel_call_trans.callerID);
        break;
    case WM_STANDBY:
        v.wm_standby.state = p[0];
        v.wm_standby.group = p[1];
        v.wm_standby.receiver_state = p[2];
        break;
    default:
        break;
    }
}

void set_text(uint8_t& length, char* text, char const* from, int n)
{
    std::memset(text, 0, sig_proto_callerid_size);
    if (!from) {
        length = 0;
        return;
    }
    int const cap = sig_proto_callerid_size - 1;
    int const count = n < 0 ? 0 : (n > cap ? cap : n);
    length = static_cast<uint8_t>(count);
    for (int i = 0; i < count && from[i]; ++i)
        text[i] = from[i];
}

} // namespace

int sig_proto_init(sig_proto* rec)
{
    if (rec)
        std::memset(rec, 0, sizeof *rec);
    return 0;
}

int sig_proto_pack(sig_proto* rec, unsigned char* buf, int size)
{
    if (!rec || !buf)
        return 0;
    if (size < 4)
        return -EBADF;
    std::memset(buf, 0, static_cast<size_t>(size));
    put_header(*rec, buf);
    int fixed = fixed_length(rec->type);
    if (fixed < 0)
        return 4; // not a LEMZ type: the header alone
    int length = fixed;
    int need = fixed;
    if (fixed == 0) {
        // The text packets ask for room beyond their padded length.
        bool gw = rec->type == GW_SEL_CALL;
        int n = gw ? rec->payload.gw_sel_call.callerID_length : rec->payload.wm_sel_call_trans.callerID_length;
        need = n + (gw ? 12 : 20);
        length = round4(text_offset(rec->type) + 1 + n);
    }
    if (size < need)
        return -EBADF;
    pack_payload(*rec, buf + 4);
    return length;
}

int sig_proto_unpack(sig_proto* rec, unsigned char* buf, int len)
{
    if (!rec || !buf)
        return -E2BIG;
    if (len < 4)
        return -EBADF;
    uint32_t type = buf[0];
    int need = fixed_length(type);
    if (need < 0) {
        rec->type = type;
        return -ENOEXEC;
    }
    if (need == 0) {
        int at = text_offset(type);
        if (len < at + 1)
            return -EBADF;
        need = at + 1 + buf[at];
    }
    if (len < need)
        return -EBADF;
    // Every length is checked: nothing below can fail half-way.
    unpack_payload(type, buf + 4, rec->payload);
    get_header(buf, *rec);
    return 0;
}

bool sig_proto_is_ptt_command(sig_proto* rec)
{
    if (!rec)
        return false;
    switch (rec->type) {
    case GW_FLAG: case GW_FLAG_PTT: case GW_SEL_CALL: case WM_FLAG: case WM_TRANS: case WM_SEL_CALL_TRANS:
        return true;
    default:
        return false;
    }
}

int cmp_sig_proto_header(sig_proto* a, sig_proto* b)
{
    if (!a || !b)
        return -1;
    if (int d = static_cast<int>(b->type - a->type))
        return d;
    if (int d = static_cast<int>(b->caller[1] - a->caller[1]))
        return d;
    return static_cast<int>(b->caller[0] - a->caller[0]);
}

const s_sig_proto_table_name sig_proto_packet_const_name[sig_proto_name_table_size] = {
    {GW_FLAG, "GW_FLAG"},
    {GW_ADJUST_CHAN, "GW_ADJUST_CHAN"},
    {GW_FLAG_PTT, "GW_FLAG_PTT"},
    {GW_FLAG_BSS, "GW_FLAG_BSS"},
    {GW_FLAG_RV, "GW_FLAG_RV"},
    {GW_FLAG_SH, "GW_FLAG_SH"},
    {GW_FLAG_PW, "GW_FLAG_PW"},
    {GW_FLAG_RS, "GW_FLAG_RS"},
    {GW_SEL_CALL, "GW_SEL_CALL"},
    {GW_SELECT_RC_CHAN, "GW_SELECT_RC_CHAN"},
    {GW_ADJUST_SQUELSHE, "GW_ADJUST_SQUELSHE"},
    {GW_ADJUST_RTE, "GW_ADJUST_RTE"},
    {GW_ADJUST_STANDBY, "GW_ADJUST_STANDBY"},
    {WM_FLAG, "WM_FLAG"},
    {WM_TRANS, "WM_TRANS"},
    {WM_RADIO_QUALITY, "WM_RADIO_QUALITY"},
    {WM_CHAN, "WM_CHAN"},
    {WM_SEL_CALL_TRANS, "WM_SEL_CALL_TRANS"},
    {WM_SELECT_RC_CHAN, "WM_SELECT_RC_CHAN"},
    {WM_STANDBY, "WM_STANDBY"},
    {-1, nullptr},
};

char const* sig_proto_find_name_by_id(s_sig_proto_table_name const* table, int id)
{
    if (!table)
        return nullptr;
    for (int i = 0; i < sig_proto_name_table_size && table[i].id != -1; ++i)
        if (table[i].id == id)
            return table[i].name;
    return nullptr;
}

int sig_proto_find_id_by_name(s_sig_proto_table_name const* table, char const* name)
{
    if (!table || !name)
        return -1;
    for (int i = 0; i < sig_proto_name_table_size && table[i].id != -1; ++i)
        if (table[i].name && std::strcmp(table[i].name, name) == 0)
            return table[i].id;
    return -1;
}

const uint32_t init_sig_proto_type[sig_proto_init_types] = {
    GW_FLAG, GW_FLAG_PTT, GW_FLAG_BSS, GW_FLAG_RV, GW_FLAG_SH, GW_FLAG_PW, GW_FLAG_RS, GW_ADJUST_CHAN, GW_SEL_CALL,
    GW_SELECT_RC_CHAN, GW_ADJUST_STANDBY, WM_FLAG, WM_TRANS, WM_CHAN, WM_RADIO_QUALITY, WM_SEL_CALL_TRANS, WM_STANDBY,
};

int init_sig_proto_queue(sig_proto_queue* queue)
{
    if (!queue)
        return 0;
    std::memset(queue, 0, sizeof *queue);
    for (int i = 0; i < sig_proto_queue_size; ++i)
        queue->records[i].type = i < sig_proto_init_types ? init_sig_proto_type[i] : 0xFFFFFFFFu;
    return 0;
}

bool is_little_endian()
{
    uint16_t const one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

int sig_proto_set_base(sig_proto* rec, int priority, int flag_t, int flag_p, int flag_r, int flag_s, int flag_b,
                       int flag_rv, int flag_sh, int flag_pw, int flag_rs, int flag_c, int status)
{
    if (!rec)
        return 0;
    struct {
        int value;
        uint32_t* field;
    } const fields[] = {
        {priority, &rec->priority}, {flag_t, &rec->flag_t},   {flag_p, &rec->flag_p},   {flag_r, &rec->flag_r},
        {flag_s, &rec->flag_s},     {flag_b, &rec->flag_b},   {flag_rv, &rec->flag_rv}, {flag_sh, &rec->flag_sh},
        {flag_pw, &rec->flag_pw},   {flag_rs, &rec->flag_rs}, {flag_c, &rec->flag_c},   {status, &rec->status},
    };
    for (auto const& f : fields)
        if (f.value >= 0)
            *f.field = static_cast<uint32_t>(f.value);
    return 0;
}

int sig_proto_set_ptt(sig_proto* rec, int p)
{
    if (rec && p >= 0)
        rec->flag_p = static_cast<uint32_t>(p);
    return 0;
}

int sig_proto_set_gw_adjust_standby(sig_proto* rec, uint8_t state)
{
    if (rec)
        rec->payload.gw_adjust_standby.state = state;
    return 0;
}

int sig_proto_set_gw_adjust_squelsh(sig_proto* rec, uint8_t squelsh)
{
    if (rec)
        rec->payload.gw_adjust_squelsh.squelsh = squelsh;
    return 0;
}

int sig_proto_set_gw_adjust_rte(sig_proto* rec, uint8_t rte)
{
    if (rec)
        rec->payload.gw_adjust_rte.rte = rte;
    return 0;
}

int sig_proto_set_gw_adjust_chan(sig_proto* rec, uint32_t id, float freq)
{
    if (rec)
        rec->payload.gw_adjust_chan = {id, freq};
    return 0;
}

int sig_proto_set_wm_chan(sig_proto* rec, uint32_t id, float freq, uint8_t squelsh, uint8_t rte)
{
    if (rec)
        rec->payload.wm_chan = {id, freq, squelsh, rte};
    return 0;
}

int sig_proto_set_gw_select_rc_chan(sig_proto* rec, uint8_t interface, uint8_t channel)
{
    if (rec)
        rec->payload.gw_select_rc_chan = {interface, channel};
    return 0;
}

int sig_proto_set_wm_select_rc_chan(sig_proto* rec, uint8_t interface, uint8_t channel)
{
    if (rec)
        rec->payload.wm_select_rc_chan = {interface, channel};
    return 0;
}

int sig_proto_set_wm_radio_quality(sig_proto* rec, float quality)
{
    if (rec)
        rec->payload.wm_radio_quality.radio_quality = quality;
    return 0;
}

int sig_proto_set_wm_standby(sig_proto* rec, uint8_t state, uint8_t group, uint8_t receiver_state)
{
    if (rec)
        rec->payload.wm_standby = {state, group, receiver_state};
    return 0;
}

int sig_proto_set_wm_transmite(sig_proto* rec, in_addr address, uint32_t ssrc)
{
    if (rec)
        rec->payload.wm_trans = {address, ssrc};
    return 0;
}

int sig_proto_set_gw_selcall(sig_proto* rec, char const* text, int n)
{
    if (rec)
        set_text(rec->payload.gw_sel_call.callerID_length, rec->payload.gw_sel_call.callerID, text, n);
    return 0;
}

int sig_proto_set_wm_selcall_transmite(sig_proto* rec, in_addr address, uint32_t ssrc, char const* text, int n)
{
    if (!rec)
        return 0;
    auto& v = rec->payload.wm_sel_call_trans;
    v.session_addr = address;
    v.ssrc = ssrc;
    set_text(v.callerID_length, v.callerID, text, n);
    return 0;
}
