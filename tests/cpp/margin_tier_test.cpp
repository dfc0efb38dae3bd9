// Contract valuation and the maintenance tiers of the built-in table, pinned at
// the row boundaries where an off-by-one would hide.
#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <vector>

#include "tm_margin/margin_table.h"
#include "tm_types/invariant.h"

namespace tm_margin {
namespace {

class ExampleTable : public ::testing::Test {
 protected:
  // A contract size of 1 and a price of 1 make the quantity the notional.
  Cash at_notional(QtyLots notional) const { return table.maintenance(1, 1, notional); }
  MarginTable table = MarginTable::example_btcusdt();
};

TEST_F(ExampleTable, TenLotsAtSixtyThousandUseTheFirstRow) {
  EXPECT_EQ(Contract{10000}.notional(60000, 10), 6'000'000'000);
  EXPECT_EQ(table.maintenance(10000, 60000, 10), 24'000'000);
  EXPECT_EQ(table.maintenance(10000, 60000, -10), 24'000'000);
  EXPECT_EQ(table.maintenance(10000, 60000, 0), 0);
}

TEST_F(ExampleTable, BoundaryBelongsToTheLowerRowAndOneUnitMoreToTheNext) {
  EXPECT_EQ(&table.row_for(5'000'000'000'000), &table.rows()[0]);
  EXPECT_EQ(&table.row_for(5'000'000'000'001), &table.rows()[1]);
  EXPECT_EQ(at_notional(5'000'000'000'000), 20'000'000'000);
  // 0.5 % of one unit more, minus the deduction: continuous to within truncation.
  EXPECT_EQ(at_notional(5'000'000'000'001), 20'000'000'000);
}

TEST_F(ExampleTable, DeductionsKeepMaintenanceContinuousAtEveryBoundary) {
  const auto& rows = table.rows();
  for (std::size_t i = 0; i + 1 < rows.size(); ++i) {
    const Cash n = rows[i].max_notional;
    EXPECT_EQ(apply_rate(n, rows[i].rate) - rows[i].deduction,
              apply_rate(n, rows[i + 1].rate) - rows[i + 1].deduction)
        << "boundary " << i;
  }
}

TEST_F(ExampleTable, LargeNotionalUsesTheLastRow) {
  EXPECT_EQ(at_notional(2'000'000'000'000'000), 73'245'000'000'000);
  EXPECT_EQ(&table.row_for(tm_types::kI64Max), &table.rows()[4]);
}

TEST(MarginTable, DeductionLargerThanTheMarginGivesZeroNotANegativeMargin) {
  MarginTable t({{tm_types::kI64Max, 1'000'000, 5'000}});
  EXPECT_EQ(t.maintenance(1, 1, 1'000'000), 0);  // 1,000 - 5,000 floors at 0
}

TEST(MarginTable, EmptyTableIsRefused) {
  try {
    MarginTable t({});
    FAIL() << "an empty table was accepted";
  } catch (const tm_types::InvariantError& e) {
    EXPECT_EQ(e.message(), "non-empty by construction");
  }
}

TEST(Contract, UnrealizedIsSignedByTheLegAndValuesClampInsteadOfWrapping) {
  const Contract c{10000};
  EXPECT_EQ(c.unrealized_from_cost(2'000'000, 90, -2), 200'000);
  EXPECT_EQ(c.unrealized_from_cost(2'000'000, 90, 2), -200'000);
  EXPECT_EQ(c.unrealized_from_cost(2'000'000, 90, 0), 0);
  const Contract huge{tm_types::kI64Max};
  EXPECT_EQ(huge.notional(tm_types::kI64Max, 3), tm_types::kI64Max);
  EXPECT_EQ(huge.unrealized_from_cost(0, tm_types::kI64Max, -3), tm_types::kI64Min);
}

// The 64-bit shortcut must give the 128-bit saturating value everywhere,
// including where one of the two products overflows 64 bits.
TEST(LegValue, AgreesWithTheSaturating128BitProduct) {
  std::mt19937_64 rng(7);
  const std::int64_t edges[] = {0,
                                1,
                                -1,
                                3'037'000'499,
                                3'037'000'500,
                                tm_types::kI64Max,
                                tm_types::kI64Min,
                                tm_types::kI64Min + 1,
                                10000,
                                60000};
  std::vector<std::int64_t> values(std::begin(edges), std::end(edges));
  for (int i = 0; i < 200; ++i) values.push_back(static_cast<std::int64_t>(rng() >> (rng() % 64)));
  for (int i = 0; i < 50; ++i) values.push_back(-static_cast<std::int64_t>(rng() >> (rng() % 64)));
  for (std::size_t i = 0; i < values.size(); ++i) {
    for (std::size_t j = 0; j < values.size(); j += 7) {
      for (std::size_t k = 0; k < values.size(); k += 13) {
        ASSERT_EQ(leg_value(values[i], values[j], values[k]),
                  tm_types::lots_value128(values[i], values[j], values[k]))
            << values[i] << " " << values[j] << " " << values[k];
      }
    }
  }
}

}  // namespace
}  // namespace tm_margin
