// Packet buffers: copy on write, the fixed pool, byte order, bounds.
#include <gtest/gtest.h>

#include <sstream>

#include "runtime/packet.h"
#include "tests/runtime/packet_support.h"

using vbtest::bytes;
using vbtest::content;
using vbtest::make_packet;

namespace {

TEST(Packet, CopiesShareUntilOneChanges)
{
    Packet a = make_packet("AB", 4);
    Packet b = a;
    ASSERT_EQ(a.get(), b.get());
    EXPECT_EQ(a.get()->refcount, 2u);

    // Reads through const access stay on the shared buffer.
    const Packet& cb = b;
    EXPECT_EQ(cb[1], 'B');
    EXPECT_EQ(cb.text(), "41 42");
    EXPECT_EQ(a.get(), b.get());

    a.put('C');
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(content(a), "ABC");
    EXPECT_EQ(content(b), "AB");
    EXPECT_EQ(a.get()->refcount, 1u);
    EXPECT_EQ(b.get()->refcount, 1u);
    // The copy keeps the offsets: a header can still be pushed in front.
    EXPECT_EQ(a.get()->_headroom(), 4);
}

TEST(Packet, EveryChangeCopiesASharedBuffer)
{
    struct Case {
        const char* what;
        void (*change)(Packet&);
        const char* expect;
    };
    const Case cases[] = {
        {"pull", [](Packet& p) { EXPECT_EQ(p.pull(), 'x'); }, "yz"},
        {"pull16_b", [](Packet& p) { EXPECT_EQ(p.pull16_b(), 0x7879); }, "z"},
        {"push", [](Packet& p) { p.push('w'); }, "wxyz"},
        {"trim", [](Packet& p) { p.trim(2); }, "x"},
        {"index", [](Packet& p) { p[0] = 'X'; }, "Xyz"},
        {"reserve_head", [](Packet& p) { p.reserve_head(0); }, "xyz"},
    };
    for (const Case& c : cases) {
        Packet a = make_packet("xyz", 2);
        Packet b = a;
        c.change(a);
        EXPECT_EQ(content(a), c.expect) << c.what;
        EXPECT_EQ(content(b), "xyz") << c.what << " changed the other holder's view";
        EXPECT_NE(a.get(), b.get()) << c.what;
    }
}

TEST(Packet, PoolExhaustionThrowsAndRecoversInReleaseOrder)
{
    std::vector<Packet> held(Packet_pool::available());
    for (Packet& p : held)
        p.reserve_head(0);
    ASSERT_EQ(Packet_pool::available(), 0u);

    Packet extra;
    EXPECT_THROW(extra.reserve_head(0), std::bad_alloc);
    EXPECT_THROW(extra.reserve_tail(8), std::bad_alloc);
    EXPECT_TRUE(extra.null());

    // A copy on write that finds no buffer leaves both holders as they were.
    held[0].put('a');
    Packet shared = held[0];
    EXPECT_THROW(shared.put('b'), std::bad_alloc);
    EXPECT_EQ(shared.get(), held[0].get());
    EXPECT_EQ(content(shared), "a");
    EXPECT_EQ(held[0].get()->refcount, 2u);
    EXPECT_THROW(held[1].sub(0, 0), std::bad_alloc);
    shared.release();

    const _Packet* first = held[5].get();
    const _Packet* second = held[7].get();
    held[5].release();
    held[7].release();
    Packet x, y;
    x.reserve_head(0);
    y.reserve_head(0);
    EXPECT_EQ(x.get(), first);
    EXPECT_EQ(y.get(), second);
}

TEST(Packet, SixteenBitValuesInBothByteOrders)
{
    Packet p;
    p.reserve_head(2);
    p.put16_b(0x1234);
    p.put16(0x1234);
    p.push16_b(0xABCD);
    EXPECT_EQ(p.text(), "AB CD 12 34 34 12");
    EXPECT_EQ(p.pull16_b(), 0xABCD);
    EXPECT_EQ(p.pull16_b(), 0x1234);
    EXPECT_EQ(p.pull16_l(), 0x1234);
    EXPECT_EQ(p.length(), 0);

    // Missing bytes read as 0.
    Packet one = make_packet(bytes({0xAB}));
    EXPECT_EQ(one.pull16_b(), 0xAB00);
    one = make_packet(bytes({0xAB}));
    EXPECT_EQ(one.pull16_l(), 0x00AB);
    EXPECT_EQ(one.pull16_l(), 0);
    EXPECT_EQ(one.pull(), 0);
}

TEST(Packet, ReserveOnNullAndOnContent)
{
    Packet h;
    h.reserve_head(packet_max_size);
    EXPECT_EQ(h.get()->_headroom(), 65536);
    EXPECT_EQ(h.get()->_tailroom(), 0);

    Packet t;
    t.reserve_tail(10);
    EXPECT_EQ(t.get()->_tailroom(), 10);
    EXPECT_EQ(t.get()->_headroom(), 65526);

    // The window moves as a whole; the bytes themselves stay where they were.
    Packet p = make_packet("AB", 0);
    p.reserve_head(3);
    EXPECT_EQ(p.get()->_headroom(), 3);
    EXPECT_EQ(p.length(), 2);
    p.reserve_tail(3);
    EXPECT_EQ(content(p), "AB");
}

TEST(Packet, AssignmentToItselfKeepsTheBuffer)
{
    Packet p = make_packet("keep");
    const unsigned before = Packet_pool::available();
    Packet& alias = p;
    p = alias;
    EXPECT_EQ(Packet_pool::available(), before);
    EXPECT_EQ(p.get()->refcount, 1u);
    p = std::move(alias);
    EXPECT_EQ(content(p), "keep");
    // The buffer is still private: taking another one must not return it.
    Packet q;
    q.reserve_head(0);
    EXPECT_NE(q.get(), p.get());
}

TEST(Packet, TextSubAndAppend)
{
    EXPECT_EQ(make_packet(bytes({0x01, 0xAB})).text(), "01 AB");
    EXPECT_EQ(make_packet("").text(), "");
    EXPECT_EQ(Packet().text(), "(null)");

    Packet p = make_packet("header:payload", 6);
    Packet s = p.sub(7, 7);
    EXPECT_EQ(content(s), "payload");
    EXPECT_EQ(s.get()->_headroom(), 6 + 7);
    s[0] = 'P';
    EXPECT_EQ(content(p), "header:payload");
    EXPECT_EQ(content(p.sub(0, 14)), "");

    Packet a = make_packet("ab");
    a.put(a);
    EXPECT_EQ(content(a), "abab");
    a.put(Packet());
    EXPECT_EQ(content(a), "abab");
    Packet none;
    none.put(make_packet(""));
    EXPECT_TRUE(none.null());
}

TEST(Packet, CountedStrings)
{
    Packet p;
    p.reserve_head(0);
    p.put(std::string("hello"));
    p.put(std::string());
    EXPECT_EQ(p.text(), "05 68 65 6C 6C 6F 00");
    EXPECT_EQ(p.pull_string(), "hello");
    EXPECT_EQ(p.pull_string(), "");
    Packet short_one = make_packet(bytes({3, 'a'}));
    EXPECT_EQ(short_one.pull_string(), std::string("a\0\0", 3));
}

TEST(Packet, Dumps)
{
    std::ostringstream out;
    EXPECT_FALSE(Packet().dump(out));
    EXPECT_FALSE(Packet().dump_context(out));
    Packet p = make_packet(bytes({0x0A, 0xFF, 0x00}), 5);
    EXPECT_TRUE(p.dump(out));
    EXPECT_EQ(out.str(), "head=5, data=3, tail=65528");
    out.str("");
    EXPECT_TRUE(p.dump_context(out));
    EXPECT_EQ(out.str(), "dump: a ff 0");
    out.str("");
    EXPECT_TRUE(make_packet("").dump_context(out));
    EXPECT_EQ(out.str(), "");
}

// ------------------------------------------------------- broken contracts

TEST(PacketDeathTest, PutWithoutTailroomReportsTheSnapshot)
{
    Packet p;
    p.reserve_tail(1);
    p.put(0x5A);
    EXPECT_DEATH(p.put(1), "PACKET ASSERTION FAILED!\nlen<=_tailroom\\(\\)\nhead=65535, data=1, tail=0\ndump:\n 5a\n");
}

TEST(PacketDeathTest, AssertionTexts)
{
    Packet null;
    Packet p = make_packet("ab", 1);
    EXPECT_DEATH(null.pull(), "null packet\n\\(null\\)");
    EXPECT_DEATH(null.trim(0), "null packet");
    EXPECT_DEATH(p.push(1); p.push(2), "len<=_headroom\\(\\)");
    EXPECT_DEATH(p.trim(3), "len<=_length\\(\\)");
    EXPECT_DEATH(p[2], "index out of range");
    EXPECT_DEATH(p[-1], "index out of range");
    EXPECT_DEATH(p.sub(0, 3), "start<=_length\\(\\)");
    EXPECT_DEATH(p.sub(2, 1), "start\\+len<=_length\\(\\)");
    EXPECT_DEATH(null.reserve_head(65537), "length>packet_max_size");
    EXPECT_DEATH(null.reserve_tail(65537), "len>packet_max_size");
    EXPECT_DEATH(p.reserve_head(65534), "new_len>packet_max_size");
    EXPECT_DEATH(p.reserve_tail(2), "_tailroom\\(\\)\\+len <= packet_max_size");
    EXPECT_DEATH(null->tail, "SMART POINTER ASSERTION!");
}

TEST(PacketDeathTest, ReserveNeverMovesContentOutOfTheBuffer)
{
    // Headroom + n fits, but the content would end past the buffer.
    Packet p = make_packet(std::string(100, 'x'), 0);
    EXPECT_DEATH(p.reserve_head(65500), "new_len>packet_max_size");
    Packet q;
    q.reserve_tail(0);
    q.push(1);
    q.push(2);
    EXPECT_DEATH(q.reserve_tail(65535), "packet_max_size");
    EXPECT_EQ(q.get()->_headroom(), 65534);
}

TEST(PacketDeathTest, CheckNamesTheOperation)
{
    Packet p = make_packet("ab", 4);
    EXPECT_DEATH(
        {
            p->tail = p->data - 1;
            p.check("put");
        },
        "packet check fail\nafter \"put\" fdata>ftail\nterminate.");
    EXPECT_DEATH(Packet().check("trim"), "after \"trim\" packet is null");
}

} // namespace
