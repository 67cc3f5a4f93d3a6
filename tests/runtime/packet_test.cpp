// Packet buffers: copy on write, the fixed pool, byte order, bounds.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include "runtime/packet.h"
#include "tests/runtime/packet_support.h"

using vbtest::bytes;
using vbtest::content;
using vbtest::make_packet;

namespace {

TEST(PacketPool, BuffersNeverHandedOutCostNoMemory)
{
    EXPECT_EQ(Packet_pool::capacity(), 1024u);
    Packet p;
    p.reserve_tail(1);
    p.put(1);
    // Past the blocks handed out so far (and a 2 MiB margin for a huge
    // page), no page of the pool may be resident.
    const uintptr_t page = sysconf(_SC_PAGESIZE);
    const uintptr_t base = reinterpret_cast<uintptr_t>(Packet_pool::storage());
    const uintptr_t end = (base + Packet_pool::storage_size()) & ~(page - 1);
    const uintptr_t from = (base + Packet_pool::touched() * (Packet_pool::storage_size() / 1024) + (2u << 20)) & ~(page - 1);
    if (from >= end)
        GTEST_SKIP() << "this process has already used most of the pool";
    std::vector<unsigned char> pages((end - from) / page);
    ASSERT_EQ(mincore(reinterpret_cast<void*>(from), end - from, pages.data()), 0);
    for (size_t i = 0; i < pages.size(); ++i)
        ASSERT_EQ(pages[i] & 1, 0) << "page " << i << " of the unused part is resident";
}

TEST(Packet, EveryChangeCopiesASharedBufferAndReadsDoNot)
{
    const struct {
        const char* what;
        void (*change)(Packet&);
        const char* expect;
    } cases[] = {
        {"put", [](Packet& p) { p.put('!'); }, "xyz!"},
        {"pull", [](Packet& p) { EXPECT_EQ(p.pull(), 'x'); }, "yz"},
        {"pull16_b", [](Packet& p) { EXPECT_EQ(p.pull16_b(), 0x7879); }, "z"},
        {"push", [](Packet& p) { p.push('w'); }, "wxyz"},
        {"trim", [](Packet& p) { p.trim(2); }, "x"},
        {"index", [](Packet& p) { p[0] = 'X'; }, "Xyz"},
    };
    for (const auto& c : cases) {
        Packet a = make_packet("xyz", 2);
        Packet b = a;
        const Packet& cb = b;
        EXPECT_EQ(cb[1], 'y');
        EXPECT_EQ(cb.text(), "78 79 7A");
        ASSERT_EQ(a.get(), b.get()) << c.what;
        c.change(a);
        EXPECT_EQ(content(a), c.expect) << c.what;
        EXPECT_EQ(content(b), "xyz") << c.what << " changed the other holder's view";
        EXPECT_EQ(a.get()->refcount + b.get()->refcount, 2u) << c.what;
        EXPECT_EQ(b.get()->_headroom(), 2) << "a copy keeps the offsets";
    }
}

TEST(Packet, PoolExhaustionThrowsAndRecoversInReleaseOrder)
{
    vbtest::PoolDrain drain;
    Packet extra;
    EXPECT_THROW(extra.reserve_head(0), std::bad_alloc);
    EXPECT_TRUE(extra.null());
    // A copy on write that finds no buffer leaves both holders as they were.
    drain.held[0].put('a');
    Packet shared = drain.held[0];
    EXPECT_THROW(shared.put('b'), std::bad_alloc);
    EXPECT_EQ(shared.get(), drain.held[0].get());
    EXPECT_EQ(content(shared), "a");
    EXPECT_THROW(shared.sub(0, 0), std::bad_alloc);

    const _Packet* first = drain.held[5].get();
    const _Packet* second = drain.held[7].get();
    drain.held[5].release();
    drain.held[7].release();
    PacketQuota::ReserveAccess access;
    Packet x = make_packet(""), y = make_packet("");
    EXPECT_EQ(x.get(), first);
    EXPECT_EQ(y.get(), second);
}

// The last buffers go only to the controller link's own allocations, and
// what a copy on write takes counts the same.
TEST(Packet, TheReserveGoesOnlyToThoseAllowedIt)
{
    std::vector<Packet> held;
    while (Packet_pool::available() > PacketQuota::reserve)
        held.push_back(make_packet("a"));
    EXPECT_THROW(make_packet(""), std::bad_alloc);
    Packet shared = held[0];
    EXPECT_THROW(shared.put('b'), std::bad_alloc);
    {
        PacketQuota::ReserveAccess closed(false);
        EXPECT_THROW(make_packet(""), std::bad_alloc);
    }
    {
        PacketQuota::ReserveAccess open;
        PacketQuota::ReserveAccess nested;
        shared.put('b');
        held.push_back(make_packet(""));
    }
    EXPECT_EQ(Packet_pool::available(), PacketQuota::reserve - 2);
    EXPECT_THROW(make_packet(""), std::bad_alloc) << "the access ends with its scope";
    held.resize(held.size() - 3);
    EXPECT_NO_THROW(make_packet(""));
}

TEST(Packet, SixteenBitValuesInBothByteOrders)
{
    Packet p = make_packet("", 2);
    p.put16_b(0x1234);
    p.put16(0x1234);
    p.push16_b(0xABCD);
    EXPECT_EQ(p.text(), "AB CD 12 34 34 12");
    EXPECT_EQ(p.pull16_b(), 0xABCD);
    EXPECT_EQ(p.pull16_b(), 0x1234);
    EXPECT_EQ(p.pull16_l(), 0x1234);
    // Missing bytes read as 0.
    EXPECT_EQ(make_packet(bytes({0xAB})).pull16_b(), 0xAB00);
    EXPECT_EQ(make_packet(bytes({0xAB})).pull16_l(), 0x00AB);
    EXPECT_EQ(p.pull16_l(), 0);
    EXPECT_EQ(make_packet(bytes({3, 'a'})).pull_string(), std::string("a\0\0", 3));
}

TEST(Packet, AssignmentToItselfKeepsTheBuffer)
{
    Packet p = make_packet("keep");
    const unsigned free_before = Packet_pool::available();
    Packet& alias = p;
    p = alias;
    p = std::move(alias);
    EXPECT_EQ(p.get()->refcount, 1u);
    EXPECT_EQ(Packet_pool::available(), free_before) << "the buffer went back to the pool while in use";
    EXPECT_EQ(content(p), "keep");
}

TEST(Packet, SubIsPrivateAndAppendMayReadItself)
{
    Packet p = make_packet("header:payload", 6);
    Packet s = p.sub(7, 7);
    EXPECT_EQ(content(s), "payload");
    EXPECT_EQ(s.get()->_headroom(), 6 + 7);
    s[0] = 'P';
    EXPECT_EQ(content(p), "header:payload");

    Packet a = make_packet("ab");
    a.put(a);
    a.put(Packet());
    a.put(std::string("hi"));
    EXPECT_EQ(content(a), "abab\x02hi");
}

TEST(PacketDeathTest, BrokenContractsReportAndTerminate)
{
    Packet null;
    Packet p = make_packet("ab", 1);
    Packet full;
    full.reserve_tail(1);
    full.put(0x5A);
    EXPECT_DEATH(full.put(1), "PACKET ASSERTION FAILED!\nlen<=_tailroom\\(\\)\nhead=65535, data=1, tail=0\ndump:\n 5a\n");
    EXPECT_DEATH(null.pull(), "null packet\n\\(null\\)");
    EXPECT_DEATH(p.push(1); p.push(2), "len<=_headroom\\(\\)");
    EXPECT_DEATH(p.trim(3), "len<=_length\\(\\)");
    EXPECT_DEATH(p[2], "index out of range");
    EXPECT_DEATH(p.sub(2, 1), "start\\+len<=_length\\(\\)");
    EXPECT_DEATH(null.reserve_head(65537), "length>packet_max_size");
    EXPECT_DEATH(null->tail, "SMART POINTER ASSERTION!");
    EXPECT_DEATH(Packet().check("trim"), "packet check fail\nafter \"trim\" packet is null\nterminate.");
}

TEST(PacketDeathTest, ReserveNeverMovesContentOutOfTheBuffer)
{
    // Headroom + n fits, but the content would end past the buffer.
    Packet p = make_packet(std::string(100, 'x'), 0);
    EXPECT_DEATH(p.reserve_head(65500), "new_len>packet_max_size");
    Packet q;
    q.reserve_tail(0);
    q.push16_b(1);
    EXPECT_DEATH(q.reserve_tail(65535), "_tailroom\\(\\)\\+len <= packet_max_size");
    p.reserve_head(3);
    q.reserve_tail(2);
    EXPECT_EQ(p.get()->_headroom() + q.get()->_tailroom(), 5);
}

} // namespace
