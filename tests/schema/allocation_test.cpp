// The control path's small messages decode into fresh values and encode into
// a kept buffer without touching the heap once the value classes' free lists
// are warm. Heap use is counted by replacing the global allocation functions
// of this test program.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "server/schema/LGCP.h"

namespace {

std::size_t allocations = 0;

} // namespace

void* operator new(std::size_t size)
{
    ++allocations;
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct SmallMessage {
    char const* name;
    std::function<void(LGCP::Message&)> fill;
};

const std::vector<SmallMessage> smallMessages = {
    {"ping", [](LGCP::Message& m) {
         m.set_seq(7);
         m.get_pdu().get_command().set_ping();
     }},
    {"create of a trunk slot", [](LGCP::Message& m) {
         m.set_seq(100000);
         m.set_slot(700);
         LGCP::TrunkParams& trunk = m.get_pdu().get_command().get_create().get_trunk();
         trunk.set_trunk(3);
         trunk.set_timeslot(31);
     }},
    {"success", [](LGCP::Message& m) {
         m.set_seq(100000);
         m.set_slot(700);
         m.get_pdu().get_response().set_success();
     }},
    {"error", [](LGCP::Message& m) {
         m.set_seq(-1);
         m.set_slot(1023);
         m.get_pdu().get_response().set_error(LGCP::ErrorCause::slotIdBusy);
     }},
    // Five fields: more than a value holds in itself.
    {"bus test", [](LGCP::Message& m) {
         m.set_seq(9);
         LGCP::BpcTestParams& test = m.get_pdu().get_command().get_testBpc();
         test.set_bus(15);
         test.set_seed(-70000);
         test.get_mode().set_read();
         test.set_timeslot_start(127);
         test.set_timeslot_length(1);
     }},
};

// Heap allocations of one decode into a fresh value; the value must read
// back as the original.
std::size_t allocations_to_decode(std::vector<char> const& octets, LGCP::Message const& original)
{
    ASN1::CoderEnv env;
    std::size_t before = allocations;
    bool same = false;
    {
        LGCP::Message msg;
        same = ASN1::decode(octets.data(), octets.data() + octets.size(), &env, msg, true) &&
               msg.compare(original) == 0;
    }
    std::size_t used = allocations - before;
    return same ? used : ~std::size_t(0);
}

TEST(SchemaAllocations, SmallMessagesDecodeWithoutTheHeapOnceWarm)
{
    for (SmallMessage const& small : smallMessages) {
        LGCP::Message original;
        small.fill(original);
        std::vector<char> octets;
        ASN1::CoderEnv env;
        ASSERT_TRUE(ASN1::encode(original, &env, std::back_inserter(octets))) << small.name;
        allocations_to_decode(octets, original); // warms the free lists
        for (int round = 0; round < 3; ++round)
            EXPECT_EQ(0u, allocations_to_decode(octets, original)) << small.name << " round " << round;
    }
}

TEST(SchemaAllocations, EncodingAppendsToTheCallersVectorWithoutATemporary)
{
    std::vector<char> out;
    out.reserve(512);
    for (SmallMessage const& small : smallMessages) {
        LGCP::Message msg;
        small.fill(msg);
        ASN1::CoderEnv env;
        std::vector<char> alone;
        ASSERT_TRUE(env.encodeOctets(msg, alone)) << small.name;

        std::size_t start = out.size();
        std::size_t before = allocations;
        ASSERT_TRUE(ASN1::encode(msg, &env, std::back_inserter(out))) << small.name;
        EXPECT_EQ(0u, allocations - before) << small.name;
        EXPECT_EQ(alone, std::vector<char>(out.begin() + static_cast<std::ptrdiff_t>(start), out.end()))
            << small.name;
    }
    // A failing encode leaves what the vector held.
    std::vector<char> held = out;
    LGCP::Message unselected;
    unselected.set_seq(1);
    ASN1::CoderEnv env;
    EXPECT_FALSE(ASN1::encode(unselected, &env, std::back_inserter(out)));
    EXPECT_EQ(held, out);
}

} // namespace
