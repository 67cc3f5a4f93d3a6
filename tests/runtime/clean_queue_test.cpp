// Packet ring queues, modulo-128 sequence numbers and intrusive rings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/clean_queue.h"
#include "runtime/cyclic.h"
#include "runtime/cyclic_list.h"
#include "tests/runtime/packet_support.h"

using vbtest::content;
using vbtest::make_packet;

namespace {

typedef Cyclic<unsigned int, 127u> Seq;

TEST(CleanQueue, FullQueueRefusesWithoutDropping)
{
    CleanQueue<Packet, 7> q;
    EXPECT_EQ(q.size(), 7u);
    for (int i = 0; i < 7; ++i)
        EXPECT_TRUE(q.put(make_packet(std::string(1, char('a' + i)))));
    EXPECT_FALSE(q.put(make_packet("x")));
    EXPECT_FALSE(q.append(make_packet("y")));
    EXPECT_EQ(q.count(), 7u);
    Packet out;
    ASSERT_TRUE(q.get(out));
    EXPECT_EQ(content(out), "a");
}

TEST(CleanQueue, AppendGetLastAndPreview)
{
    CleanQueue<Packet, 7> q;
    q.put(make_packet("A"));
    q.put(make_packet("B"));
    q.append(make_packet("C"));
    Packet out;
    std::string order;
    while (q.get(&out))
        order += content(out);
    EXPECT_EQ(order, "CAB");
    EXPECT_TRUE(q.empty());
    EXPECT_FALSE(q.get(out));
    EXPECT_FALSE(q.get_last(&out));
    EXPECT_FALSE(q.preview(&out));

    q.put(make_packet("A"));
    q.put(make_packet("B"));
    ASSERT_TRUE(q.get_last(&out));
    EXPECT_EQ(content(out), "B");
    Packet peek;
    EXPECT_TRUE(q.preview(nullptr));
    ASSERT_TRUE(q.preview(&peek));
    EXPECT_EQ(q.count(), 1u);
    EXPECT_EQ(peek.get()->refcount, 2u) << "the previewed packet stays queued, shared";
    ASSERT_TRUE(q.get(out));
    EXPECT_EQ(out.get(), peek.get());
}

// Every capacity the links use, driven round the ring more than twice with
// the queue at every fill level: order is kept and no buffer is kept back.
template <unsigned N>
void wrap_round(unsigned cycles)
{
    CleanQueue<Packet, N> q;
    unsigned next_in = 0, next_out = 0;
    const unsigned free_before = Packet_pool::available();
    for (unsigned i = 0; i < cycles * N; ++i) {
        unsigned burst = 1 + i % 3;
        for (unsigned k = 0; k < burst && q.count() < N; ++k)
            ASSERT_TRUE(q.put(make_packet(std::to_string(next_in++))));
        Packet out;
        ASSERT_TRUE(q.get(out));
        ASSERT_EQ(content(out), std::to_string(next_out++)) << "N=" << N;
        if (i % 5 == 0 && q.get(out)) {
            ASSERT_EQ(content(out), std::to_string(next_out++));
        }
    }
    EXPECT_EQ(Packet_pool::available(), free_before - q.count());
}

TEST(CleanQueue, RingWrapsInOrderForEveryCapacity)
{
    wrap_round<7>(3);
    wrap_round<120>(3);
    wrap_round<135>(3);
    wrap_round<327>(3);
}

TEST(CleanQueue, ClearAndDestructionGiveBuffersBack)
{
    const unsigned free_before = Packet_pool::available();
    {
        CleanQueue<Packet, 7> q;
        q.put(make_packet("A"));
        q.put(make_packet("B"));
        q.clear();
        EXPECT_TRUE(q.empty());
        EXPECT_EQ(Packet_pool::available(), free_before) << "clear() kept its buffers";
        q.put(make_packet("C"));
        Packet out;
        ASSERT_TRUE(q.get(out));
        EXPECT_EQ(content(out), "C");
        q.put(make_packet("D"));
    }
    EXPECT_EQ(Packet_pool::available(), free_before);
}

TEST(Cyclic, ArithmeticModulo128)
{
    EXPECT_EQ(unsigned(Seq(200)), 72u);
    Seq s(127);
    EXPECT_EQ(unsigned(++s), 0u);
    Seq z;
    EXPECT_EQ(unsigned(z++), 0u);
    EXPECT_EQ(unsigned(z), 1u);
    Seq d(0);
    EXPECT_EQ(unsigned(--d), 127u);
    EXPECT_EQ(unsigned(Seq(5) - Seq(10)), 123u);
    EXPECT_EQ(unsigned(Seq(120) + Seq(10)), 2u);
}

TEST(Cyclic, WindowAcrossTheWrap)
{
    // a <= b <= c: b within [a, c] going up from a, modulo 128.
    EXPECT_TRUE(Seq(120) <= Seq(3) <= Seq(10));
    EXPECT_TRUE(Seq(120) <= Seq(127) <= Seq(10));
    EXPECT_TRUE(Seq(120) <= Seq(0) <= Seq(10));
    EXPECT_TRUE(Seq(120) <= Seq(10) <= Seq(10));
    EXPECT_FALSE(Seq(120) <= Seq(11) <= Seq(10));
    EXPECT_FALSE(Seq(120) <= Seq(119) <= Seq(10));
    for (unsigned b = 0; b < 128; ++b)
        EXPECT_EQ(Seq(40) <= Seq(b) <= Seq(40), b == 40) << b;
}

// An object linked into a ring through a member node; virtual, like the
// receivers that use it.
struct Receiver {
    virtual ~Receiver() = default;
    int id = 0;
    Containers::CyclicList link;
};

TEST(CyclicList, RingOrderRemovalAndOwner)
{
    Containers::CyclicList anchor;
    EXPECT_TRUE(anchor.empty());
    Receiver r[4];
    for (int i = 0; i < 4; ++i) {
        r[i].id = i;
        r[i].link.InternalAddTail(anchor);
    }
    r[1].link.InternalRemove();
    std::vector<int> ids;
    for (Containers::CyclicList::TIterator it = anchor.begin(); it != anchor.end(); ++it)
        ids.push_back(Containers::offset(*it, &Receiver::link)->id);
    EXPECT_EQ(ids, (std::vector<int>{0, 2, 3}));
    EXPECT_EQ(anchor.prev, &r[3].link);
    EXPECT_EQ(r[3].link.next, &anchor);

    Containers::CyclicList::InternalDel(&anchor, &anchor);
    EXPECT_TRUE(anchor.empty());
}

} // namespace
