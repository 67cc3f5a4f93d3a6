// Every test of this program must give back every packet buffer it took:
// a leak anywhere (a queue, a layer, a stack) fails the test that caused it.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include "runtime/packet.h"

namespace {

struct PoolFullAfterEveryTest : ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        EXPECT_EQ(Packet_pool::available(), Packet_pool::capacity()) << "packet buffers still taken after the test";
    }
};

const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new PoolFullAfterEveryTest);
    return true;
}();

TEST(PacketPool, BuffersNeverHandedOutCostNoMemory)
{
    ASSERT_TRUE(registered);
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

} // namespace
