// The list of slot kinds that the stale-slot table covers is the program's
// own: every factory it builds has its rows, and no row names a factory
// that is not built.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "main/factories.h"
#include "server/slots/slot_factory.h"
#include "tests/e2e/slot_kinds.h"

namespace {

TEST(SlotKinds, EveryFactoryOfTheProgramHasItsRows)
{
    BuildFactories();
    std::set<std::string> built, listed;
    for (SlotFactory* f = firstFactory; f; f = f->next())
        built.insert(f->GetName());
    for (const vbtest::SlotKind& k : vbtest::slot_kinds())
        listed.insert(k.factory);
    EXPECT_EQ(built, listed);
}

} // namespace
