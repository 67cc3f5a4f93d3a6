// Packet ring queues, modulo-128 sequence numbers and intrusive rings.
#include <gtest/gtest.h>

#include "runtime/clean_queue.h"
#include "runtime/cyclic.h"
#include "runtime/cyclic_list.h"
#include "tests/runtime/packet_support.h"

using vbtest::content;
using vbtest::make_packet;

namespace {

typedef Cyclic<unsigned int, 127u> Seq;

TEST(CleanQueue, OrderOfPutAppendGetAndGetLast)
{
    CleanQueue<Packet, 7> q;
    Packet out;
    for (const char* s : {"A", "B", "C", "D", "E", "F", "G"})
        EXPECT_TRUE(q.put(make_packet(s)));
    EXPECT_FALSE(q.put(make_packet("x")));
    EXPECT_FALSE(q.append(make_packet("y")));
    ASSERT_TRUE(q.get(out));
    EXPECT_EQ(content(out), "A") << "a refused put drops nothing";
    q.clear();
    EXPECT_FALSE(q.get(&out) || q.get_last(&out) || q.preview(&out));

    q.put(make_packet("A"));
    q.put(make_packet("B"));
    q.append(make_packet("C"));
    ASSERT_TRUE(q.get_last(&out));
    EXPECT_EQ(content(out), "B");
    Packet peek;
    ASSERT_TRUE(q.preview(nullptr) && q.preview(&peek));
    EXPECT_EQ(peek.get()->refcount, 2u) << "a previewed packet stays queued, shared";
    ASSERT_TRUE(q.get(out));
    EXPECT_EQ(content(out), "C");
    ASSERT_TRUE(q.get(out));
    EXPECT_EQ(content(out), "A");
    EXPECT_TRUE(q.empty());
}

// Round the ring more than twice at every fill level: order is kept and
// every buffer comes back, also from clear().
template <unsigned N>
void wrap_round()
{
    const unsigned free_before = Packet_pool::available();
    CleanQueue<Packet, N> q;
    unsigned in = 0, out = 0;
    for (unsigned i = 0; i < 3 * N; ++i) {
        for (unsigned k = 0; k < 1 + i % 3 && q.count() < N; ++k)
            ASSERT_TRUE(q.put(make_packet(std::to_string(in++))));
        Packet p;
        ASSERT_TRUE(q.get(p));
        ASSERT_EQ(content(p), std::to_string(out++)) << "N=" << N;
    }
    EXPECT_EQ(Packet_pool::available(), free_before - q.count());
    EXPECT_EQ(PacketQuota::queued(), q.count());
    q.clear();
    EXPECT_EQ(Packet_pool::available(), free_before) << "clear() kept buffers, N=" << N;
}

TEST(CleanQueue, RingWrapsForEveryCapacity)
{
    wrap_round<7>();
    wrap_round<120>();
    wrap_round<135>();
    wrap_round<327>();
}

// Whatever a queue holds counts in the bound that all queues share, from
// every way in to every way out, a refused put included.
TEST(CleanQueue, EveryQueueCountsInTheSharedBound)
{
    const unsigned before = PacketQuota::queued();
    Packet out;
    {
        CleanQueue<Packet, 7> a;
        CleanQueue<Packet, 120> b;
        for (int i = 0; i < 8; ++i)
            a.put(make_packet("a"));
        b.put(make_packet("b"));
        b.append(make_packet("c"));
        EXPECT_EQ(PacketQuota::queued(), before + 9);
        a.get(out);
        a.get_last(&out);
        a.preview(&out);
        EXPECT_EQ(PacketQuota::queued(), before + 7);
        a.clear();
        EXPECT_EQ(PacketQuota::queued(), before + 2);

        PacketQuota::Held held[2];
        held[0] = out;
        held[0] = make_packet("again");
        held[1] = Packet();
        EXPECT_EQ(PacketQuota::queued(), before + 3) << "a held handle counts once, a null one not at all";
        held[0] = Packet();
        held[1] = out;
        EXPECT_TRUE(PacketQuota::room(PacketQuota::queue_limit - PacketQuota::queued()));
        EXPECT_FALSE(PacketQuota::room(PacketQuota::queue_limit - PacketQuota::queued() + 1));
    }
    EXPECT_EQ(PacketQuota::queued(), before) << "destroyed queues and handles let go of their count";
}

TEST(Cyclic, ArithmeticAndTheWindowAcrossTheWrap)
{
    Seq s(127), z, d(0);
    EXPECT_EQ(unsigned(Seq(200)), 72u);
    EXPECT_EQ(unsigned(++s), 0u);
    EXPECT_EQ(unsigned(z++), 0u);
    EXPECT_EQ(unsigned(--d), 127u);
    EXPECT_EQ(unsigned(Seq(5) - Seq(10)), 123u);
    EXPECT_EQ(unsigned(Seq(120) + Seq(10)), 2u);
    // a <= b <= c: b within [a, c] going up from a, modulo 128.
    for (unsigned b = 0; b < 128; ++b) {
        EXPECT_EQ(Seq(120) <= Seq(b) <= Seq(10), b >= 120 || b <= 10) << b;
        EXPECT_EQ(Seq(40) <= Seq(b) <= Seq(40), b == 40) << b;
    }
}

// Linked through a member node; virtual, like the receivers that use it.
struct Receiver {
    virtual ~Receiver() = default;
    int id = 0;
    Containers::CyclicList link;
};

TEST(CyclicList, RingOrderRemovalAndOwner)
{
    Containers::CyclicList anchor;
    Receiver r[4];
    for (int i = 0; i < 4; ++i) {
        r[i].id = i;
        r[i].link.InternalAddTail(anchor);
    }
    r[1].link.InternalRemove();
    std::vector<int> ids;
    for (auto it = anchor.begin(); it != anchor.end(); ++it)
        ids.push_back(Containers::offset(*it, &Receiver::link)->id);
    EXPECT_EQ(ids, (std::vector<int>{0, 2, 3}));
    EXPECT_EQ(anchor.prev, &r[3].link);
    Containers::CyclicList::InternalDel(&anchor, &anchor);
    EXPECT_TRUE(anchor.empty());
}

} // namespace
