#include <gtest/gtest.h>

#include "tm_types/fixed.h"
#include "tm_types/currency.h"

using namespace tm_types;

TEST(Smoke, Compiles) { EXPECT_EQ(sat_add(kI64Max, 1), kI64Max); }
