// Every test of this program must give back every packet buffer it took:
// a leak anywhere (a queue, a layer, a stack) shows up as a failure of the
// test that caused it.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include "runtime/packet.h"

namespace {

class PoolFullAfterEveryTest : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override
    {
        EXPECT_EQ(Packet_pool::available(), Packet_pool::capacity()) << "packet buffers still taken after the test";
    }
};

const bool registered = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new PoolFullAfterEveryTest);
    return true;
}();

// Pages of [begin, end) that are resident.
size_t resident_pages(const uint8_t* begin, const uint8_t* end)
{
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t a = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
    uintptr_t b = reinterpret_cast<uintptr_t>(end) & ~(page - 1);
    if (b <= a)
        return 0;
    std::vector<unsigned char> v((b - a) / page);
    if (mincore(reinterpret_cast<void*>(a), b - a, v.data()) != 0)
        return SIZE_MAX;
    size_t n = 0;
    for (unsigned char c : v)
        n += c & 1;
    return n;
}

TEST(PacketPool, BuffersNeverHandedOutCostNoMemory)
{
    ASSERT_TRUE(registered);
    const uint8_t* base = static_cast<const uint8_t*>(Packet_pool::storage());
    const size_t block = Packet_pool::storage_size() / Packet_pool::capacity();
    {
        Packet a, b;
        a.reserve_head(0);
        b.reserve_tail(10);
        b.put(1);
    }
    // Blocks past the ones handed out so far were never written; leave a
    // 2 MiB margin for a transparent huge page around the last one.
    const size_t used = Packet_pool::touched() * block + (2u << 20);
    if (used >= Packet_pool::storage_size())
        GTEST_SKIP() << "this process has already used most of the pool";
    EXPECT_EQ(resident_pages(base + used, base + Packet_pool::storage_size()), 0u);
    EXPECT_EQ(Packet_pool::capacity(), 1024u);
    EXPECT_GE(block, size_t(packet_max_size));
}

} // namespace
