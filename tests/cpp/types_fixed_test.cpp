// Money arithmetic at the edges of its ranges, and the ordering of Balances.
#include <gtest/gtest.h>

#include "tm_types/currency.h"
#include "tm_types/fixed.h"

namespace tm_types {
namespace {

TEST(SaturatingCash, SumsPinAtBothLimits) {
  EXPECT_EQ(sat_add(kI64Max, 1), kI64Max);
  EXPECT_EQ(sat_add(kI64Min, -1), kI64Min);
  EXPECT_EQ(sat_add(kI64Max, kI64Min), -1);
  EXPECT_EQ(sat_sub(kI64Min, 1), kI64Min);
  EXPECT_EQ(sat_sub(kI64Max, -1), kI64Max);
  EXPECT_EQ(sat_sub(0, kI64Min), kI64Max);
}

TEST(SaturatingCash, NegationAndAbsoluteValueOfTheSmallestGiveTheLargest) {
  EXPECT_EQ(sat_neg(kI64Min), kI64Max);
  EXPECT_EQ(sat_neg(kI64Max), kI64Min + 1);
  EXPECT_EQ(sat_abs(kI64Min), kI64Max);
  EXPECT_EQ(sat_abs(-5), 5);
  EXPECT_EQ(sat_neg128(kI128Min), kI128Max);
}

TEST(ExactProducts, FitIn128BitsAndClampTo64) {
  // 2^63-1 squared still fits in 128 bits exactly.
  const i128 square = sat_mul128(kI64Max, kI64Max);
  EXPECT_EQ(square / kI64Max, kI64Max);
  EXPECT_EQ(clamp64(square), kI64Max);
  EXPECT_EQ(clamp64(-square), kI64Min);
  EXPECT_EQ(clamp64(static_cast<i128>(kI64Min)), kI64Min);
}

TEST(ExactProducts, OverflowOf128BitsPinsWithTheSignOfTheTrueProduct) {
  EXPECT_EQ(lots_value128(kI64Max, kI64Max, kI64Max), kI128Max);
  EXPECT_EQ(lots_value128(kI64Min, kI64Max, -kI64Max), kI128Min);  // |qty| is positive
  EXPECT_EQ(sat_mul128(kI128Max, -2), kI128Min);
  EXPECT_EQ(sat_mul128(kI128Min, -1), kI128Max);
  EXPECT_EQ(sat_add128(kI128Max, 1), kI128Max);
  EXPECT_EQ(sat_sub128(kI128Min, 1), kI128Min);
  // The quantity counts by its absolute value.
  EXPECT_EQ(lots_value128(-10, 60000, 10000), static_cast<i128>(6'000'000'000));
  EXPECT_EQ(lots_value128(1, 60000, 10000), static_cast<i128>(600'000'000));
}

TEST(WholeUnits, ScaleBySaturating) {
  EXPECT_EQ(units_to_cash(100000), 10'000'000'000'000);
  EXPECT_EQ(units_to_cash(100'000'000'000), kI64Max);
  EXPECT_EQ(units_to_cash(-100'000'000'000), kI64Min);
  EXPECT_EQ(units_to_cash(-1), -CASH_SCALE);
}

TEST(CheckedArithmetic, OverflowIsAnInvariantFailure) {
  EXPECT_THROW(checked_add(kI64Max, 1), InvariantError);
  EXPECT_THROW(checked_mul(kI64Min, -1), InvariantError);
  EXPECT_THROW(checked_add_u(~0ull, 1), InvariantError);
  try {
    checked_sub(kI64Min, 1);
    FAIL();
  } catch (const InvariantError& e) {
    EXPECT_STREQ(e.what(), "arithmetic overflow");
  }
}

TEST(BalancesTest, EmptyAnswersZeroAddingZeroInsertsAndAmountsSaturate) {
  Balances b;
  EXPECT_EQ(b.get(USDT), 0);
  b.add(USDT, 0);
  ASSERT_EQ(b.entries().size(), 1u);
  b.add(USDT, kI64Max);
  b.add(USDT, 1);
  EXPECT_EQ(b.get(USDT), kI64Max);
  Balances low = Balances::of(USDT, kI64Min);
  low.add(USDT, -1);
  EXPECT_EQ(low.get(USDT), kI64Min);
}

TEST(BalancesTest, CurrenciesOrderByUnsignedBytes) {
  Balances b = Balances::of(USDT, 1);
  b.add(Currency::from("EUR"), 2);
  b.add(Currency::from("ZAR"), 3);
  Currency high;  // a byte above 0x7f must sort after ASCII, as unsigned
  high.code[0] = 0xC3;
  b.add(high, 4);
  b.add(Currency::from("USD"), 5);  // a prefix of USDT sorts before it
  ASSERT_EQ(b.entries().size(), 5u);
  EXPECT_EQ(b.entries()[0].first, Currency::from("EUR"));
  EXPECT_EQ(b.entries()[1].first, Currency::from("USD"));
  EXPECT_EQ(b.entries()[2].first, USDT);
  EXPECT_EQ(b.entries()[3].first, Currency::from("ZAR"));
  EXPECT_EQ(b.entries()[4].first, high);
  EXPECT_EQ(b.get(USDT), 1);
  EXPECT_EQ(b.get(high), 4);
  EXPECT_EQ(b.get(Currency::from("GBP")), 0);
}

}  // namespace
}  // namespace tm_types
