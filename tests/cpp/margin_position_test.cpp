// Liquidation prices and assessments of one margined position, on both sides of
// the boundary where equity meets maintenance.
#include <gtest/gtest.h>

#include "tm_margin/position.h"

namespace tm_margin {
namespace {

class TenLots : public ::testing::Test {
 protected:
  MarginedPosition position(QtyLots qty) const {
    return MarginedPosition{i128{6'000'000'000}, Contract{10000}, 60000, qty, 100'000'000};
  }
  MarginTable table = MarginTable::example_btcusdt();
};

TEST_F(TenLots, LiquidationPriceRoundsAgainstTheHolder) {
  EXPECT_EQ(position(10).liquidation_price_at(table, 60000), 59236);   // long: down
  EXPECT_EQ(position(-10).liquidation_price_at(table, 60000), 60757);  // short: up
  EXPECT_TRUE(position(-10).is_liquidatable(table, 60757));
  EXPECT_FALSE(position(-10).is_liquidatable(table, 60756));
}

TEST_F(TenLots, LiquidatableAtTheLiquidationPriceAndHealthyOneTickAbove) {
  EXPECT_EQ(position(10).assess(table, 59236), Assessment(Liquidatable{23'600'000, 23'694'400}));
  EXPECT_TRUE(position(10).is_liquidatable(table, 59236));
  const auto above = position(10).assess(table, 59237);
  ASSERT_TRUE(std::holds_alternative<Healthy>(above));
  EXPECT_EQ(std::get<Healthy>(above).equity, 23'700'000);
  EXPECT_EQ(std::get<Healthy>(above).maintenance, 23'694'800);
  EXPECT_FALSE(position(10).is_liquidatable(table, 59237));
}

TEST_F(TenLots, HealthyAtEntryWithDistance764) {
  EXPECT_EQ(position(10).assess(table, 60000), Assessment(Healthy{764, 100'000'000, 24'000'000}));
}

TEST_F(TenLots, WithoutACostTheEntryGivesTheSameAnswer) {
  MarginedPosition p = position(10);
  p.cost.reset();
  EXPECT_EQ(p.liquidation_price_at(table, 60000), 59236);
  EXPECT_EQ(p.assess(table, 59236), position(10).assess(table, 59236));
}

TEST_F(TenLots, EquityExactlyAtMaintenanceIsLiquidatable) {
  // At 60000 maintenance is 24,000,000; a balance of 24,000,000 meets it exactly.
  MarginedPosition p = position(10);
  p.balance = 24'000'000;
  EXPECT_EQ(p.assess(table, 60000), Assessment(Liquidatable{24'000'000, 24'000'000}));
  p.balance = 24'000'001;
  EXPECT_FALSE(p.is_liquidatable(table, 60000));
}

TEST_F(TenLots, LongBackedByMoreThanItsCostHasNoLiquidationPrice) {
  MarginedPosition p = position(10);
  p.balance = 7'000'000'000;
  EXPECT_EQ(p.liquidation_price_at(table, 60000), std::nullopt);
  EXPECT_EQ(p.assess(table, 60000), Assessment(Healthy{std::nullopt, 7'000'000'000, 24'000'000}));
}

TEST_F(TenLots, FlatPositionIsNeverLiquidatable) {
  EXPECT_EQ(position(0).assess(table, 60000), Assessment(Flat{}));
  EXPECT_FALSE(position(0).is_liquidatable(table, 1));
  EXPECT_EQ(position(0).liquidation_price_at(table, 60000), std::nullopt);
}

}  // namespace
}  // namespace tm_margin
