// The R2S header codec: two header octets, then either two zero octets or
// the additional features, each one octet of kind << 4 | length followed by
// its value octets (ED-137B, R2S signalling in the RTP header extension).
#include "radio/r2s_proto.h"

#include <cerrno>
#include <cstring>

namespace {

// Longest feature: the octet of kind and length and 12 value octets.
const int longest_feature = 13;

uint32_t u32(unsigned long v)
{
    return static_cast<uint32_t>(v);
}

unsigned char octet(uint32_t v)
{
    return static_cast<unsigned char>(v & 0xFF);
}

// f1 in bit 7 down to f8 in bit 0.
unsigned char flag_octet(uint32_t const* f)
{
    unsigned v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 1) | (f[i] & 1);
    return static_cast<unsigned char>(v);
}

void flags_from(unsigned char v, uint32_t* f)
{
    for (int i = 0; i < 8; ++i)
        f[i] = (v >> (7 - i)) & 1;
}

// A one-bit field and a 23-bit field in three octets.
void put_bit_and_23(unsigned char* p, uint32_t bit, uint32_t value)
{
    p[0] = static_cast<unsigned char>(((bit & 1) << 7) | ((value >> 16) & 0x7F));
    p[1] = octet(value >> 8);
    p[2] = octet(value);
}

void get_bit_and_23(unsigned char const* p, uint32_t& bit, uint32_t& value)
{
    bit = p[0] >> 7;
    value = (uint32_t(p[0] & 0x7F) << 16) | (uint32_t(p[1]) << 8) | p[2];
}

void put16(unsigned char* p, uint32_t v)
{
    p[0] = octet(v >> 8);
    p[1] = octet(v);
}

uint32_t get16(unsigned char const* p)
{
    return (uint32_t(p[0]) << 8) | p[1];
}

// The octets of one RX feature into out: their number, 0 for a kind that
// an RX header does not carry, -ENOEXEC for an RRC of neither form.
int rx_feature(r2s_proto_additional const& a, unsigned char* out)
{
    uint32_t const* f = a.f;
    switch (a.kind) {
    case R2S_RX_SQI:
        out[0] = 0x11;
        out[1] = static_cast<unsigned char>(((f[0] & 0x1F) << 3) | (f[1] & 7));
        return 2;
    case R2S_RX_RRC:
        if (f[8] > 1)
            return -ENOEXEC;
        out[1] = flag_octet(f);
        if (f[8] == 0) {
            out[0] = 0x31;
            return 2;
        }
        out[0] = 0x34;
        out[2] = static_cast<unsigned char>(((f[9] & 1) << 7) | ((f[10] & 1) << 6));
        out[3] = octet(f[11]);
        out[4] = octet(f[12]);
        return 5;
    case R2S_RX_MAM:
        out[0] = 0x4C;
        put_bit_and_23(out + 1, f[0], f[1]);
        put_bit_and_23(out + 4, f[2], f[3]);
        put16(out + 7, f[4]);
        put16(out + 9, f[5]);
        put16(out + 11, f[6]);
        return 13;
    default:
        return 0;
    }
}

int tx_feature(r2s_proto_additional const& a, unsigned char* out)
{
    uint32_t const* f = a.f;
    switch (a.kind) {
    case R2S_TX_CLIMAX_TIME_DELAY:
        out[0] = 0x21;
        out[1] = octet(f[0]);
        return 2;
    case R2S_TX_RRC:
        out[0] = 0x31;
        out[1] = flag_octet(f);
        return 2;
    case R2S_TX_RRM:
        out[0] = 0x43;
        put_bit_and_23(out + 1, f[0], f[1]);
        return 4;
    default:
        return 0;
    }
}

// Stores a feature of a combination of kind and length that an RX header
// carries; false for any other.
bool rx_values(uint32_t kind, int len, unsigned char const* v, r2s_proto_additional& a)
{
    uint32_t* f = a.f;
    if (kind == R2S_RX_SQI && len == 1) {
        f[0] = v[0] >> 3;
        f[1] = v[0] & 7;
    } else if (kind == R2S_RX_RRC && (len == 1 || len == 4)) {
        flags_from(v[0], f);
        f[8] = len == 4;
        if (len == 4) {
            f[9] = v[1] >> 7;
            f[10] = (v[1] >> 6) & 1;
            f[11] = v[2];
            f[12] = v[3];
        }
    } else if (kind == R2S_RX_MAM && len == 12) {
        get_bit_and_23(v, f[0], f[1]);
        get_bit_and_23(v + 3, f[2], f[3]);
        f[4] = get16(v + 6);
        f[5] = get16(v + 8);
        f[6] = get16(v + 10);
    } else {
        return false;
    }
    a.kind = kind;
    return true;
}

bool tx_values(uint32_t kind, int len, unsigned char const* v, r2s_proto_additional& a)
{
    uint32_t* f = a.f;
    if (kind == R2S_TX_CLIMAX_TIME_DELAY && len == 1)
        f[0] = v[0];
    else if (kind == R2S_TX_RRC && len == 1)
        flags_from(v[0], f);
    else if (kind == R2S_TX_RRM && len == 3)
        get_bit_and_23(v, f[0], f[1]);
    else
        return false;
    a.kind = kind;
    return true;
}

using FeatureOctets = int (*)(r2s_proto_additional const&, unsigned char*);
using FeatureValues = bool (*)(uint32_t, int, unsigned char const*, r2s_proto_additional&);

int pack(r2s_proto const& r, unsigned char first, unsigned char second, FeatureOctets feature, unsigned char* buf,
         int size)
{
    if (size < 2)
        return -EBADF;
    std::memset(buf, 0, static_cast<size_t>(size));
    buf[0] = first;
    buf[1] = static_cast<unsigned char>(second | (r.count != 0 ? 1 : 0));
    if (r.count == 0)
        return size < 4 ? -EBADF : 4;
    int at = 2;
    unsigned count = r.count < unsigned(r2s_proto_max_additionals) ? r.count : r2s_proto_max_additionals;
    for (unsigned i = 0; i < count; ++i) {
        unsigned char octets[longest_feature];
        int n = feature(r.additionals[i], octets);
        if (n < 0)
            return n;
        if (n == 0)
            continue; // a kind of the other header
        if (size - at < n)
            return -EBADF;
        std::memcpy(buf + at, octets, static_cast<size_t>(n));
        at += n;
    }
    return at;
}

int unpack(r2s_proto& r, unsigned char const* buf, int len, FeatureValues values)
{
    if (!(buf[1] & 1)) {
        r.count = 0;
        return 0;
    }
    int at = 2;
    unsigned stored = 0;
    int result = 0;
    while (stored < unsigned(r2s_proto_max_additionals) && at < len) {
        uint32_t kind = buf[at] >> 4;
        int flen = buf[at] & 0xF;
        if (len - at - 1 < flen) {
            result = -EBADF;
            break;
        }
        r2s_proto_additional a = {};
        if (values(kind, flen, buf + at + 1, a))
            r.additionals[stored++] = a;
        at += 1 + flen;
    }
    r.count = stored;
    return result;
}

// The feature records are runs of 32-bit words in the order f1, f2, ...
template <class Record>
int add(r2s_proto* rec, Record const* record, uint32_t kind)
{
    static_assert(sizeof(Record) <= sizeof(r2s_proto_additional::f), "at most 13 values");
    if (!rec || !record || rec->count >= unsigned(r2s_proto_max_additionals))
        return 0;
    r2s_proto_additional& a = rec->additionals[rec->count++];
    a = {};
    a.kind = kind;
    std::memcpy(a.f, record, sizeof(Record));
    return 0;
}

} // namespace

int r2s_proto_init(r2s_proto* rec, unsigned long type)
{
    if (rec) {
        std::memset(rec, 0, sizeof *rec);
        rec->type = u32(type);
    }
    return 0;
}

int r2s_proto_set_type(r2s_proto* rec, unsigned long type)
{
    if (rec)
        rec->type = u32(type);
    return 0;
}

int r2s_proto_set_tx_header(r2s_proto* rec, unsigned long ptt_type, unsigned long ptt_id, unsigned long pm,
                            unsigned long ptts)
{
    if (rec) {
        rec->type = R2S_TYPE_TX;
        rec->header.tx = {u32(ptt_type), u32(ptt_id), u32(pm), u32(ptts), {0, 0}};
    }
    return 0;
}

int r2s_proto_set_rx_header(r2s_proto* rec, unsigned long ptt_type, unsigned long squ, unsigned long ptt_id,
                            unsigned long pm, unsigned long ptts, unsigned long sct)
{
    if (rec) {
        rec->type = R2S_TYPE_RX;
        rec->header.rx = {u32(ptt_type), u32(squ), u32(ptt_id), u32(pm), u32(ptts), u32(sct)};
    }
    return 0;
}

int r2s_proto_reset_additionals(r2s_proto* rec)
{
    if (rec)
        rec->count = 0;
    return 0;
}

int r2s_proto_add_rx_sqi(r2s_proto* rec, r2s_proto_rx_additional_sqi const* v)
{
    return add(rec, v, R2S_RX_SQI);
}

int r2s_proto_add_rx_sqi(r2s_proto* rec, unsigned long f1, unsigned long f2)
{
    r2s_proto_rx_additional_sqi v = {u32(f1), u32(f2)};
    return r2s_proto_add_rx_sqi(rec, &v);
}

int r2s_proto_add_rx_rrc(r2s_proto* rec, r2s_proto_rx_additional_rrc const* v)
{
    return add(rec, v, R2S_RX_RRC);
}

int r2s_proto_add_rx_mam(r2s_proto* rec, r2s_proto_rx_additional_mam const* v)
{
    return add(rec, v, R2S_RX_MAM);
}

int r2s_proto_add_tx_time_delay(r2s_proto* rec, r2s_proto_tx_additional_climax_time_delay const* v)
{
    return add(rec, v, R2S_TX_CLIMAX_TIME_DELAY);
}

int r2s_proto_add_tx_rrc(r2s_proto* rec, r2s_proto_tx_additional_rrc const* v)
{
    return add(rec, v, R2S_TX_RRC);
}

int r2s_proto_add_tx_rrm(r2s_proto* rec, r2s_proto_tx_additional_rrm const* v)
{
    return add(rec, v, R2S_TX_RRM);
}

int r2s_proto_pack(r2s_proto* rec, unsigned char* buf, int size)
{
    if (!rec)
        return -E2BIG;
    if (rec->type == R2S_TYPE_TX)
        return r2s_proto_pack_tx(rec, buf, size);
    if (rec->type == R2S_TYPE_RX)
        return r2s_proto_pack_rx(rec, buf, size);
    return -ENOEXEC;
}

int r2s_proto_pack_rx(r2s_proto* rec, unsigned char* buf, int size)
{
    if (!rec || !buf)
        return 0;
    r2s_proto_rx_header const& h = rec->header.rx;
    unsigned char first = static_cast<unsigned char>(((h.ptt_type & 7) << 5) | ((h.squ & 1) << 4) |
                                                     ((h.ptt_id >> 2) & 0xF));
    unsigned char second = static_cast<unsigned char>(((h.ptt_id & 3) << 6) | ((h.pm & 1) << 5) |
                                                      ((h.ptts & 1) << 4) | ((h.sct & 1) << 3));
    return pack(*rec, first, second, rx_feature, buf, size);
}

int r2s_proto_pack_tx(r2s_proto* rec, unsigned char* buf, int size)
{
    if (!rec || !buf)
        return 0;
    r2s_proto_tx_header const& h = rec->header.tx;
    unsigned char first = static_cast<unsigned char>(((h.ptt_type & 7) << 5) | ((h.ptt_id >> 2) & 0xF));
    unsigned char second = static_cast<unsigned char>(((h.ptt_id & 3) << 6) | ((h.pm & 1) << 5) |
                                                      ((h.ptts & 1) << 4));
    return pack(*rec, first, second, tx_feature, buf, size);
}

int r2s_proto_unpack_rx(r2s_proto* rec, unsigned char const* buf, int len)
{
    if (!rec || !buf)
        return -E2BIG;
    if (len < 2)
        return -EBADF;
    rec->type = R2S_TYPE_RX;
    rec->header.rx = {uint32_t(buf[0] >> 5),        uint32_t((buf[0] >> 4) & 1), uint32_t(((buf[0] & 0xF) << 2) | (buf[1] >> 6)),
                      uint32_t((buf[1] >> 5) & 1), uint32_t((buf[1] >> 4) & 1), uint32_t((buf[1] >> 3) & 1)};
    return unpack(*rec, buf, len, rx_values);
}

int r2s_proto_unpack_tx(r2s_proto* rec, unsigned char const* buf, int len)
{
    if (!rec || !buf)
        return -E2BIG;
    if (len < 2)
        return -EBADF;
    rec->type = R2S_TYPE_TX;
    rec->header.tx = {uint32_t(buf[0] >> 5), uint32_t(((buf[0] & 0xF) << 2) | (buf[1] >> 6)),
                      uint32_t((buf[1] >> 5) & 1), uint32_t((buf[1] >> 4) & 1), {0, 0}};
    return unpack(*rec, buf, len, tx_values);
}

int cmp_r2s_proto_source(r2s_proto* a, r2s_proto* b)
{
    if (!a || !b)
        return -1;
    if (int d = static_cast<int>(a->type - b->type))
        return d;
    if (int d = static_cast<int>(a->source_ssrc - b->source_ssrc))
        return d;
    return static_cast<int>(a->source_addr - b->source_addr);
}
