// The R2S header codec: header and feature layouts both ways, stepping over
// unknown features, truncated input, the feature limit, buffer edges and
// random input.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <random>

#include "radio/r2s_proto.h"
#include "tests/radio/radio_support.h"

using vbradio::hex;
using vbradio::Octets;
using vbradio::unhex;

namespace {

r2s_proto rx_header()
{
    r2s_proto r;
    r2s_proto_init(&r, 0);
    r2s_proto_set_rx_header(&r, 3, 1, 37, 0, 1, 0);
    return r;
}

r2s_proto tx_header()
{
    r2s_proto r;
    r2s_proto_init(&r, 0);
    r2s_proto_set_tx_header(&r, 1, 5, 0, 0);
    return r;
}

std::string packed(r2s_proto r, int size = 64)
{
    Octets buf(static_cast<size_t>(size));
    int n = r2s_proto_pack(&r, buf.data(), size);
    if (n < 0)
        return "error " + std::to_string(n);
    return hex(buf.data(), static_cast<size_t>(n));
}

int unpack(r2s_proto& r, uint32_t type, Octets const& wire)
{
    return type == R2S_TYPE_RX ? r2s_proto_unpack_rx(&r, wire.data(), int(wire.size()))
                               : r2s_proto_unpack_tx(&r, wire.data(), int(wire.size()));
}

bool same_feature(r2s_proto_additional const& a, r2s_proto_additional const& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

struct Feature {
    const char* name;
    uint32_t header;
    std::function<void(r2s_proto&)> add;
    const char* bytes; // after the two header octets
};

const Feature features[] = {
    {"RX SQI", R2S_TYPE_RX, [](r2s_proto& r) { r2s_proto_add_rx_sqi(&r, 20, 2); }, "11 A2"},
    {"RX RRC short", R2S_TYPE_RX,
     [](r2s_proto& r) {
         r2s_proto_rx_additional_rrc v = {1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0};
         r2s_proto_add_rx_rrc(&r, &v);
     },
     "31 A5"},
    {"RX RRC long", R2S_TYPE_RX,
     [](r2s_proto& r) {
         r2s_proto_rx_additional_rrc v = {1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 1, 0x12, 0x34};
         r2s_proto_add_rx_rrc(&r, &v);
     },
     "34 A5 C0 12 34"},
    {"RX MAM", R2S_TYPE_RX,
     [](r2s_proto& r) {
         r2s_proto_rx_additional_mam v = {1, 0x123456, 0, 0x7FFFFF, 0xABCD, 1, 0xFFFF};
         r2s_proto_add_rx_mam(&r, &v);
     },
     "4C 92 34 56 7F FF FF AB CD 00 01 FF FF"},
    {"TX time delay", R2S_TYPE_TX,
     [](r2s_proto& r) {
         r2s_proto_tx_additional_climax_time_delay v = {0x7B};
         r2s_proto_add_tx_time_delay(&r, &v);
     },
     "21 7B"},
    {"TX RRC", R2S_TYPE_TX,
     [](r2s_proto& r) {
         r2s_proto_tx_additional_rrc v = {1, 0, 0, 0, 0, 0, 0, 1};
         r2s_proto_add_tx_rrc(&r, &v);
     },
     "31 81"},
    {"TX RRM", R2S_TYPE_TX,
     [](r2s_proto& r) {
         r2s_proto_tx_additional_rrm v = {1, 0x000102};
         r2s_proto_add_tx_rrm(&r, &v);
     },
     "43 80 01 02"},
};

} // namespace

TEST(R2SHeader, RxHeaderWithoutFeatures)
{
    EXPECT_EQ(packed(rx_header()), "79 50 00 00");
    r2s_proto r;
    std::memset(&r, 0xCD, sizeof r);
    ASSERT_EQ(unpack(r, R2S_TYPE_RX, unhex("79 50 00 00")), 0);
    EXPECT_EQ(r.type, uint32_t(R2S_TYPE_RX));
    EXPECT_EQ(r.header.rx.ptt_type, 3u);
    EXPECT_EQ(r.header.rx.squ, 1u);
    EXPECT_EQ(r.header.rx.ptt_id, 37u);
    EXPECT_EQ(r.header.rx.pm, 0u);
    EXPECT_EQ(r.header.rx.ptts, 1u);
    EXPECT_EQ(r.header.rx.sct, 0u);
    EXPECT_EQ(r.count, 0u);
}

TEST(R2SHeader, TxHeaderIgnoresTheRxOnlyBits)
{
    EXPECT_EQ(packed(tx_header()), "21 40 00 00");
    r2s_proto r = rx_header();
    // SQU and SCT positions set: a TX header has no such fields.
    ASSERT_EQ(unpack(r, R2S_TYPE_TX, unhex("FF FE")), 0);
    EXPECT_EQ(r.type, uint32_t(R2S_TYPE_TX));
    EXPECT_EQ(r.header.tx.ptt_type, 7u);
    EXPECT_EQ(r.header.tx.ptt_id, 63u);
    EXPECT_EQ(r.header.tx.pm, 1u);
    EXPECT_EQ(r.header.tx.ptts, 1u);
    EXPECT_EQ(packed(r), "EF F0 00 00");
}

TEST(R2SHeader, EachFeatureLayoutBothWays)
{
    for (auto const& f : features) {
        SCOPED_TRACE(f.name);
        r2s_proto r = f.header == R2S_TYPE_RX ? rx_header() : tx_header();
        f.add(r);
        std::string head = f.header == R2S_TYPE_RX ? "79 51 " : "21 41 ";
        EXPECT_EQ(packed(r), head + f.bytes);

        r2s_proto back;
        r2s_proto_init(&back, 0);
        ASSERT_EQ(unpack(back, f.header, unhex(head + f.bytes)), 0);
        ASSERT_EQ(back.count, 1u);
        EXPECT_TRUE(same_feature(back.additionals[0], r.additionals[0]));
    }
}

TEST(R2SHeader, ValuesKeepTheirFieldWidth)
{
    r2s_proto r = rx_header();
    r2s_proto_add_rx_sqi(&r, 0x3F, 9); // 5 and 3 bits
    r2s_proto_rx_additional_mam mam = {3, 0xFFFFFF, 2, 0x800001, 0x1ABCD, 0, 0};
    r2s_proto_add_rx_mam(&r, &mam);
    EXPECT_EQ(packed(r), "79 51 11 F9 4C FF FF FF 00 00 01 AB CD 00 00 00 00");
}

TEST(R2SHeader, UnknownFeaturesAreSteppedOver)
{
    r2s_proto r;
    r2s_proto_init(&r, 0);
    // kind 5, then a time delay of the wrong length, then RRC.
    ASSERT_EQ(unpack(r, R2S_TYPE_TX, unhex("21 41 52 AA BB 22 AA BB 31 81")), 0);
    ASSERT_EQ(r.count, 1u);
    EXPECT_EQ(r.additionals[0].kind, uint32_t(R2S_TX_RRC));
    EXPECT_EQ(r.additionals[0].f[0], 1u);
    EXPECT_EQ(r.additionals[0].f[7], 1u);
    // The zero octets a driver pads with are empty features.
    ASSERT_EQ(unpack(r, R2S_TYPE_RX, unhex("79 51 11 A2 00 00")), 0);
    EXPECT_EQ(r.count, 1u);
    // An RX header takes no TX kinds, nor an RRC of length 2.
    ASSERT_EQ(unpack(r, R2S_TYPE_RX, unhex("79 51 21 7B 32 00 00 43 80 01 02")), 0);
    EXPECT_EQ(r.count, 0u);
}

TEST(R2SHeader, TruncatedInput)
{
    r2s_proto r = rx_header();
    EXPECT_EQ(unpack(r, R2S_TYPE_RX, unhex("79")), -EBADF);
    unsigned char none = 0;
    EXPECT_EQ(r2s_proto_unpack_tx(&r, &none, 0), -EBADF);
    EXPECT_EQ(r2s_proto_unpack_rx(&r, nullptr, 4), -E2BIG);
    EXPECT_EQ(r2s_proto_unpack_tx(nullptr, unhex("21 40").data(), 2), -E2BIG);

    // The MAM claims 12 octets where 2 remain: header and earlier features stay.
    r2s_proto_init(&r, 0);
    EXPECT_EQ(unpack(r, R2S_TYPE_RX, unhex("79 51 11 A2 31 A5 4C 00 00")), -EBADF);
    EXPECT_EQ(r.type, uint32_t(R2S_TYPE_RX));
    EXPECT_EQ(r.header.rx.ptt_id, 37u);
    ASSERT_EQ(r.count, 2u);
    EXPECT_EQ(r.additionals[0].kind, uint32_t(R2S_RX_SQI));
    EXPECT_EQ(r.additionals[1].kind, uint32_t(R2S_RX_RRC));
}

TEST(R2SHeader, SixteenFeaturesAtMost)
{
    r2s_proto r = rx_header();
    for (unsigned i = 0; i < 16; ++i)
        EXPECT_EQ(r2s_proto_add_rx_sqi(&r, i, i & 7), 0);
    EXPECT_EQ(r2s_proto_add_rx_sqi(&r, 31, 7), 0);
    EXPECT_EQ(r.count, 16u);
    EXPECT_EQ(r2s_proto_add_rx_sqi(&r, nullptr), 0);
    std::string wire = packed(r);
    EXPECT_EQ(unhex(wire).size(), 34u);

    // Seventeen on the wire: the first sixteen are taken.
    Octets seventeen = unhex(wire + " 11 FF");
    r2s_proto back;
    r2s_proto_init(&back, 0);
    ASSERT_EQ(unpack(back, R2S_TYPE_RX, seventeen), 0);
    ASSERT_EQ(back.count, 16u);
    for (unsigned i = 0; i < 16; ++i)
        EXPECT_EQ(back.additionals[i].f[0], i);

    // A count beyond the table is packed as sixteen.
    r.count = 1000;
    EXPECT_EQ(packed(r), wire);
}

TEST(R2SHeader, BufferEdges)
{
    r2s_proto plain = rx_header();
    EXPECT_EQ(packed(plain, 4), "79 50 00 00");
    EXPECT_EQ(packed(plain, 3), "error -9");
    EXPECT_EQ(packed(plain, 1), "error -9");

    r2s_proto r = rx_header();
    features[0].add(r);
    features[2].add(r);
    EXPECT_EQ(packed(r, 9), "79 51 11 A2 34 A5 C0 12 34");
    EXPECT_EQ(packed(r, 8), "error -9");
    // Two octets of features fit in a buffer smaller than a plain header.
    r2s_proto one = tx_header();
    features[4].add(one);
    EXPECT_EQ(packed(one, 4), "21 41 21 7B");
    EXPECT_EQ(packed(one, 3), "error -9");
}

TEST(R2SHeader, PackRefusals)
{
    r2s_proto r = rx_header();
    r2s_proto_rx_additional_rrc form2 = {};
    form2.f9 = 2;
    r2s_proto_add_rx_rrc(&r, &form2);
    EXPECT_EQ(packed(r), "error -" + std::to_string(ENOEXEC));

    // A feature of the other header kind is left out.
    r2s_proto rx = rx_header();
    features[4].add(rx);
    features[0].add(rx);
    EXPECT_EQ(packed(rx), "79 51 11 A2");

    unsigned char buf[8];
    r2s_proto none;
    r2s_proto_init(&none, R2S_TYPE_NONE);
    EXPECT_EQ(r2s_proto_pack(&none, buf, 8), -ENOEXEC);
    EXPECT_EQ(r2s_proto_pack(nullptr, buf, 8), -E2BIG);
    EXPECT_EQ(r2s_proto_pack_rx(&rx, nullptr, 8), 0);
    EXPECT_EQ(r2s_proto_pack_tx(nullptr, buf, 8), 0);
}

TEST(R2SHeader, CompareSource)
{
    r2s_proto a = tx_header(), b = tx_header();
    a.source_addr = b.source_addr = 0x0100007F;
    a.source_ssrc = b.source_ssrc = 42;
    b.header.tx.ptt_id = 9; // the header's contents do not count
    EXPECT_EQ(cmp_r2s_proto_source(&a, &b), 0);
    b.source_ssrc = 43;
    EXPECT_NE(cmp_r2s_proto_source(&a, &b), 0);
    b.source_ssrc = 42;
    b.source_addr = 0x0200007F;
    EXPECT_NE(cmp_r2s_proto_source(&a, &b), 0);
    b = rx_header();
    b.source_addr = a.source_addr;
    b.source_ssrc = a.source_ssrc;
    EXPECT_NE(cmp_r2s_proto_source(&a, &b), 0);
    EXPECT_EQ(cmp_r2s_proto_source(nullptr, &b), -1);
}

// Random input, each in a buffer of exactly its size; whatever unpacks
// packs to octets that unpack to the same header and features.
TEST(R2SHeader, RandomBuffersStayInBoundsAndRoundTrip)
{
    std::mt19937 rng(20240612);
    int taken = 0;
    for (int i = 0; i < 20000; ++i) {
        Octets buf(1 + rng() % 40);
        for (auto& b : buf)
            b = static_cast<uint8_t>(rng() % 3 ? rng() : (rng() % 5) << 4 | (rng() % 5));
        uint32_t type = rng() % 2 ? R2S_TYPE_RX : R2S_TYPE_TX;
        r2s_proto r;
        r2s_proto_init(&r, 0);
        int result = unpack(r, type, buf);
        ASSERT_TRUE(result == 0 || result == -EBADF);
        ASSERT_LE(r.count, 16u);
        if (result != 0)
            continue;
        ++taken;
        Octets out(256);
        int n = r2s_proto_pack(&r, out.data(), int(out.size()));
        ASSERT_GE(n, 2) << hex(buf);
        out.resize(size_t(n));
        r2s_proto again;
        r2s_proto_init(&again, 0);
        ASSERT_EQ(unpack(again, type, out), 0);
        ASSERT_EQ(std::memcmp(&again.header, &r.header, sizeof r.header), 0);
        ASSERT_EQ(again.count, r.count);
        for (unsigned k = 0; k < r.count; ++k)
            ASSERT_TRUE(same_feature(again.additionals[k], r.additionals[k])) << hex(buf);
    }
    EXPECT_GT(taken, 5000);
}
