#include <gtest/gtest.h>
#include "runtime/timer.h"
TEST(Smoke, Builds) { SUCCEED(); }
