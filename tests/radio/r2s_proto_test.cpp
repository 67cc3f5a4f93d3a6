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

r2s_proto header_of(uint32_t type)
{
    r2s_proto r;
    r2s_proto_init(&r, 0);
    if (type == R2S_TYPE_RX)
        r2s_proto_set_rx_header(&r, 3, 1, 37, 0, 1, 0);
    else
        r2s_proto_set_tx_header(&r, 1, 5, 0, 0);
    return r;
}

std::string packed(r2s_proto r, int size = 64)
{
    Octets buf(static_cast<size_t>(size));
    int n = r2s_proto_pack(&r, buf.data(), size);
    return n < 0 ? "error " + std::to_string(n) : hex(buf.data(), static_cast<size_t>(n));
}

int unpack(r2s_proto& r, uint32_t type, Octets const& wire)
{
    return (type == R2S_TYPE_RX ? r2s_proto_unpack_rx : r2s_proto_unpack_tx)(&r, wire.data(), int(wire.size()));
}

bool same_feature(r2s_proto_additional const& a, r2s_proto_additional const& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

r2s_proto_rx_additional_rrc rrc_short = {1, 0, 1, 0, 0, 1, 0, 1, 0, 0, 0, 0, 0};
r2s_proto_rx_additional_rrc rrc_long = {1, 0, 1, 0, 0, 1, 0, 1, 1, 1, 1, 0x12, 0x34};
r2s_proto_rx_additional_mam mam = {1, 0x123456, 0, 0x7FFFFF, 0xABCD, 1, 0xFFFF};
r2s_proto_tx_additional_climax_time_delay delay = {0x7B};
r2s_proto_tx_additional_rrc tx_rrc = {1, 0, 0, 0, 0, 0, 0, 1};
r2s_proto_tx_additional_rrm rrm = {1, 0x000102};

struct Feature {
    uint32_t header;
    std::function<void(r2s_proto&)> add;
    const char* bytes; // after the two header octets
} const features[] = {
    {R2S_TYPE_RX, [](r2s_proto& r) { r2s_proto_add_rx_sqi(&r, 20, 2); }, "11 A2"},
    {R2S_TYPE_RX, [](r2s_proto& r) { r2s_proto_add_rx_rrc(&r, &rrc_short); }, "31 A5"},
    {R2S_TYPE_RX, [](r2s_proto& r) { r2s_proto_add_rx_rrc(&r, &rrc_long); }, "34 A5 C0 12 34"},
    {R2S_TYPE_RX, [](r2s_proto& r) { r2s_proto_add_rx_mam(&r, &mam); }, "4C 92 34 56 7F FF FF AB CD 00 01 FF FF"},
    {R2S_TYPE_TX, [](r2s_proto& r) { r2s_proto_add_tx_time_delay(&r, &delay); }, "21 7B"},
    {R2S_TYPE_TX, [](r2s_proto& r) { r2s_proto_add_tx_rrc(&r, &tx_rrc); }, "31 81"},
    {R2S_TYPE_TX, [](r2s_proto& r) { r2s_proto_add_tx_rrm(&r, &rrm); }, "43 80 01 02"},
};

} // namespace

TEST(R2SHeader, HeadersBothWays)
{
    EXPECT_EQ(packed(header_of(R2S_TYPE_RX)), "79 50 00 00");
    r2s_proto r;
    std::memset(&r, 0xCD, sizeof r);
    ASSERT_EQ(unpack(r, R2S_TYPE_RX, unhex("79 50 00 00")), 0);
    r2s_proto_rx_header const& h = r.header.rx;
    EXPECT_EQ(r.type, uint32_t(R2S_TYPE_RX));
    EXPECT_EQ(hex(Octets{uint8_t(h.ptt_type), uint8_t(h.squ), uint8_t(h.ptt_id), uint8_t(h.pm), uint8_t(h.ptts),
                         uint8_t(h.sct), uint8_t(r.count)}),
              "03 01 25 00 01 00 00");

    EXPECT_EQ(packed(header_of(R2S_TYPE_TX)), "21 40 00 00");
    // A TX header has no SQU and no SCT: their bits are ignored.
    ASSERT_EQ(unpack(r, R2S_TYPE_TX, unhex("FF FE")), 0);
    EXPECT_EQ(r.type, uint32_t(R2S_TYPE_TX));
    EXPECT_EQ(r.header.tx.ptt_id, 63u);
    EXPECT_EQ(packed(r), "EF F0 00 00");
}

TEST(R2SHeader, EachFeatureLayoutBothWays)
{
    for (auto const& f : features) {
        SCOPED_TRACE(f.bytes);
        r2s_proto r = header_of(f.header);
        f.add(r);
        std::string wire = std::string(f.header == R2S_TYPE_RX ? "79 51 " : "21 41 ") + f.bytes;
        EXPECT_EQ(packed(r), wire);
        r2s_proto back = header_of(R2S_TYPE_NONE);
        ASSERT_EQ(unpack(back, f.header, unhex(wire)), 0);
        ASSERT_EQ(back.count, 1u);
        EXPECT_TRUE(same_feature(back.additionals[0], r.additionals[0]));
    }
    // Values wider than their field keep its low bits.
    r2s_proto r = header_of(R2S_TYPE_RX);
    r2s_proto_add_rx_sqi(&r, 0x3F, 9);
    r2s_proto_rx_additional_mam wide = {3, 0xFFFFFF, 2, 0x800001, 0x1ABCD, 0, 0};
    r2s_proto_add_rx_mam(&r, &wide);
    EXPECT_EQ(packed(r), "79 51 11 F9 4C FF FF FF 00 00 01 AB CD 00 00 00 00");
}

TEST(R2SHeader, UnknownFeaturesAreSteppedOverAndTruncationKeepsTheStart)
{
    r2s_proto r = header_of(R2S_TYPE_NONE);
    // kind 5, then a time delay of the wrong length, then RRC.
    ASSERT_EQ(unpack(r, R2S_TYPE_TX, unhex("21 41 52 AA BB 22 AA BB 31 81")), 0);
    ASSERT_EQ(r.count, 1u);
    EXPECT_EQ(r.additionals[0].kind, uint32_t(R2S_TX_RRC));
    EXPECT_EQ(r.additionals[0].f[0] + r.additionals[0].f[7], 2u);
    // Pad octets are empty features; an RX header takes no TX kinds.
    ASSERT_EQ(unpack(r, R2S_TYPE_RX, unhex("79 51 11 A2 00 00 21 7B 32 00 00 43 80 01 02")), 0);
    EXPECT_EQ(r.count, 1u);

    unsigned char one = 0x79;
    EXPECT_EQ(r2s_proto_unpack_rx(&r, &one, 1), -EBADF);
    EXPECT_EQ(r2s_proto_unpack_tx(&r, &one, 0), -EBADF);
    EXPECT_EQ(r2s_proto_unpack_rx(&r, nullptr, 4), -E2BIG);
    // The MAM claims 12 octets where 2 remain: header and earlier features stay.
    r2s_proto_init(&r, 0);
    EXPECT_EQ(unpack(r, R2S_TYPE_RX, unhex("79 51 11 A2 31 A5 4C 00 00")), -EBADF);
    EXPECT_EQ(r.header.rx.ptt_id, 37u);
    ASSERT_EQ(r.count, 2u);
    EXPECT_EQ(r.additionals[1].kind, uint32_t(R2S_RX_RRC));
}

TEST(R2SHeader, SixteenFeaturesAtMost)
{
    r2s_proto r = header_of(R2S_TYPE_RX);
    for (unsigned i = 0; i < 17; ++i)
        EXPECT_EQ(r2s_proto_add_rx_sqi(&r, i, i & 7), 0);
    EXPECT_EQ(r.count, 16u);
    std::string wire = packed(r);
    EXPECT_EQ(unhex(wire).size(), 34u);
    r.count = 1000; // packed as sixteen
    EXPECT_EQ(packed(r), wire);

    r2s_proto back = header_of(R2S_TYPE_NONE);
    ASSERT_EQ(unpack(back, R2S_TYPE_RX, unhex(wire + " 11 FF")), 0);
    ASSERT_EQ(back.count, 16u);
    EXPECT_EQ(back.additionals[15].f[0], 15u);
}

TEST(R2SHeader, BufferEdgesAndRefusals)
{
    EXPECT_EQ(packed(header_of(R2S_TYPE_RX), 4), "79 50 00 00");
    EXPECT_EQ(packed(header_of(R2S_TYPE_RX), 3), "error -9");
    EXPECT_EQ(packed(header_of(R2S_TYPE_RX), 1), "error -9");
    r2s_proto r = header_of(R2S_TYPE_RX);
    features[0].add(r);
    features[2].add(r);
    EXPECT_EQ(packed(r, 9), "79 51 11 A2 34 A5 C0 12 34");
    EXPECT_EQ(packed(r, 8), "error -9");
    r2s_proto one = header_of(R2S_TYPE_TX);
    features[4].add(one);
    EXPECT_EQ(packed(one, 4), "21 41 21 7B");
    EXPECT_EQ(packed(one, 3), "error -9");

    r2s_proto_rx_additional_rrc form2 = {};
    form2.f9 = 2;
    r2s_proto_add_rx_rrc(&r, &form2);
    EXPECT_EQ(packed(r), "error -" + std::to_string(ENOEXEC));
    r2s_proto rx = header_of(R2S_TYPE_RX); // a TX kind is left out
    features[4].add(rx);
    EXPECT_EQ(packed(rx), "79 51");
    rx.type = R2S_TYPE_NONE;
    EXPECT_EQ(packed(rx), "error -" + std::to_string(ENOEXEC));
    EXPECT_EQ(r2s_proto_pack(nullptr, nullptr, 8), -E2BIG);
    EXPECT_EQ(r2s_proto_pack_tx(&one, nullptr, 8), 0);
}

TEST(R2SHeader, SameSourceMeansKindSsrcAndAddress)
{
    r2s_proto a = header_of(R2S_TYPE_TX), b = a, c = a;
    a.source_ssrc = b.source_ssrc = 42;
    b.header.tx.ptt_id = 9;
    EXPECT_EQ(cmp_r2s_proto_source(&a, &b), 0);
    EXPECT_NE(cmp_r2s_proto_source(&a, &c), 0);
    c = b;
    c.source_addr = 1;
    EXPECT_NE(cmp_r2s_proto_source(&a, &c), 0);
    c = header_of(R2S_TYPE_RX);
    c.source_ssrc = 42;
    EXPECT_NE(cmp_r2s_proto_source(&a, &c), 0);
    EXPECT_EQ(cmp_r2s_proto_source(nullptr, &b), -1);
}

// Random input in buffers of exactly its size; whatever unpacks packs to
// octets that unpack to the same header and features.
TEST(R2SHeader, RandomBuffersStayInBoundsAndRoundTrip)
{
    std::mt19937 rng(20240612);
    int taken = 0;
    for (int i = 0; i < 20000; ++i) {
        Octets buf(1 + rng() % 40);
        for (auto& b : buf)
            b = static_cast<uint8_t>(rng() % 3 ? rng() : (rng() % 5) << 4 | (rng() % 5));
        uint32_t type = rng() % 2 ? R2S_TYPE_RX : R2S_TYPE_TX;
        r2s_proto r = header_of(R2S_TYPE_NONE), again = r;
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
        ASSERT_EQ(unpack(again, type, out), 0);
        ASSERT_EQ(std::memcmp(&again.header, &r.header, sizeof r.header), 0);
        ASSERT_EQ(again.count, r.count);
        for (unsigned k = 0; k < r.count; ++k)
            ASSERT_TRUE(same_feature(again.additionals[k], r.additionals[k])) << hex(buf);
    }
    EXPECT_GT(taken, 5000);
}
