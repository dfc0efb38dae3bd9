// Worked numbers that pin each money formula to its rounding: cost release on
// a close, fees, maintenance by bracket, funding and liquidation prices.
#include <gtest/gtest.h>

#include <vector>

#include "tm_core/cost.h"
#include "tm_margin/funding.h"
#include "tm_margin/position.h"

namespace tm_margin {
namespace {

const MarginTable kTable = MarginTable::example_btcusdt();

TEST(WorkedValues, CostReleaseTruncatesTheProfitTowardZero) {
  const struct {
    i128 cost;
    QtyLots held, closing;
    i128 proceeds;
    tm_core::cost::Closed want;
  } rows[] = {
      {3'020'000, 3, 1, 1'010'000, {2'013'333, 3'333}},   // long profit
      {3'020'000, 3, 3, 3'030'000, {0, 10'000}},          // the whole leg
      {3'020'000, -3, 1, 1'000'000, {2'013'334, 6'666}},  // short profit
      {1'000'001, 3, 1, 300'000, {666'668, -33'333}},     // long loss
      {1'000'001, -3, 1, 400'000, {666'667, -66'666}},    // short loss
  };
  for (const auto& r : rows) {
    EXPECT_EQ(tm_core::cost::close(r.cost, r.held, r.closing, r.proceeds), r.want)
        << static_cast<long long>(r.cost) << " " << r.held;
  }
}

TEST(WorkedValues, FeesMaintenanceAndFunding) {
  tm_types::Fill market{};
  market.price = 60000;
  market.qty = 2;
  market.taker = true;
  EXPECT_EQ(tm_core::cost::fill_fee(Contract{10000}, market, 0, 500'000), 600'000);
  EXPECT_EQ(tm_core::cost::fill_fee(Contract{10000}, market, 0, -500'000), -600'000);
  EXPECT_EQ(tm_core::cost::fee_at(500'000, 1'999), 0);
  EXPECT_EQ(kTable.maintenance(10000, 60000, 10), 24'000'000);
  EXPECT_EQ(kTable.maintenance(10000, 60000, -10), 24'000'000);
  EXPECT_EQ(kTable.maintenance(1, 5'000'000'000'000, 1), 20'000'000'000);  // row 1, inclusive
  EXPECT_EQ(kTable.maintenance(1, 5'000'000'000'001, 1), 20'000'000'000);  // row 2
  EXPECT_EQ(kTable.maintenance(1, 2'000'000'000'000'000, 1), 73'245'000'000'000);
  EXPECT_EQ(MarginTable({{tm_types::kI64Max, 1'000, 5}}).maintenance(1, 100, 1), 0);
  const MarginTable steps({{1000, 10'000'000, 0}, {tm_types::kI64Max, 20'000'000, 0}});
  EXPECT_EQ(steps.maintenance(1, 1000, 1), 10);  // a row covers its own maximum
  EXPECT_EQ(steps.maintenance(1, 1001, 1), 20);
  EXPECT_EQ(Contract{10000}.unrealized_from_cost(2'000'000, 90, -2), 200'000);
  EXPECT_EQ((FundingRate{7, 100'000, 60000}.settle(10000, 10)),
            (Settlement{7, -600'000, 100'000, 60000}));
  EXPECT_EQ((FundingRate{7, 100'000, 60000}.settle(10000, -10).amount), 600'000);
  EXPECT_EQ((FundingRate{7, 1, 999'999'999}.settle(1, 1).amount), 0);
  const FundingSchedule schedule({{3, 1, 1}, {5, 1, 1}, {7, 1, 1}, {10, 1, 1}, {12, 1, 1}});
  const auto between = schedule.between(5, 10);
  EXPECT_EQ(std::vector<FundingRate>(between.begin(), between.end()),
            (std::vector<FundingRate>{{7, 1, 1}, {10, 1, 1}}));
  EXPECT_TRUE(schedule.between(10, 10).empty());
}

TEST(WorkedValues, LiquidationPricesRoundAgainstTheHolder) {
  const auto ten = [](QtyLots qty, Cash balance = 100'000'000) {
    return MarginedPosition{i128{6'000'000'000}, Contract{10000}, 60000, qty, balance};
  };
  EXPECT_EQ(ten(10).liquidation_price_at(kTable, 60000), 59236);
  EXPECT_EQ(ten(-10).liquidation_price_at(kTable, 60000), 60757);
  EXPECT_EQ(ten(10).assess(kTable, 59236), Assessment(Liquidatable{23'600'000, 23'694'400}));
  EXPECT_EQ(ten(10).assess(kTable, 59237), Assessment(Healthy{1, 23'700'000, 23'694'800}));
  EXPECT_EQ(ten(10).assess(kTable, 60000), Assessment(Healthy{764, 100'000'000, 24'000'000}));
  EXPECT_EQ(ten(10, 24'000'000).assess(kTable, 60000),
            Assessment(Liquidatable{24'000'000, 24'000'000}));
  EXPECT_TRUE(ten(10, 24'000'000).is_liquidatable(kTable, 60000));
  EXPECT_FALSE(ten(10, 24'000'001).is_liquidatable(kTable, 60000));
  EXPECT_EQ(ten(10, 7'000'000'000).assess(kTable, 60000),
            Assessment(Healthy{std::nullopt, 7'000'000'000, 24'000'000}));
  EXPECT_EQ(ten(0).assess(kTable, 60000), Assessment(Flat{}));
  MarginedPosition no_cost = ten(10);
  no_cost.cost.reset();
  EXPECT_EQ(no_cost.liquidation_price_at(kTable, 60000), 59236);
}

// The 64-bit shortcut of a leg's value agrees with the saturating 128-bit
// product, also where one of its products overflows; broken inputs stop.
TEST(WorkedValues, EdgesSaturateAndBrokenInputsStop) {
  const std::int64_t edges[] = {0,
                                1,
                                -1,
                                3'037'000'499,
                                3'037'000'500,
                                tm_types::kI64Max,
                                60000,
                                tm_types::kI64Min,
                                tm_types::kI64Min + 1};
  for (const auto q : edges) {
    for (const auto p : edges) {
      for (const auto s : edges) {
        ASSERT_EQ(leg_value(q, p, s), tm_types::lots_value128(q, p, s))
            << q << " " << p << " " << s;
      }
    }
  }
  EXPECT_EQ(Contract{tm_types::kI64Max}.unrealized_from_cost(0, tm_types::kI64Max, -3),
            tm_types::kI64Min);
  EXPECT_THROW(MarginTable({}), tm_types::InvariantError);
  EXPECT_THROW((void)tm_core::cost::close(100, 0, 1, 100), tm_types::InvariantError);
  const FundingSchedule unordered({{10, 1, 1}, {3, 2, 1}, {10, 3, 1}});
  const auto due = unordered.between(0, 10);
  EXPECT_EQ(std::vector<FundingRate>(due.begin(), due.end()),
            (std::vector<FundingRate>{{3, 2, 1}, {10, 1, 1}, {10, 3, 1}}));
}

}  // namespace
}  // namespace tm_margin
