// Money arithmetic at the edges of its ranges, and the order of Balances.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "tm_types/currency.h"
#include "tm_types/fixed.h"

namespace tm_types {
namespace {

// Each case is {computed, expected}.
TEST(SaturatingArithmetic, PinsAtTheLimitsWithTheSignOfTheTrueResult) {
  const i128 square = (i128{1} << 126) - (i128{1} << 64) + 1;  // (2^63 - 1)^2, exact
  // clang-format off
  const std::pair<i128, i128> cases[] = {
      {sat_add(kI64Max, 1), kI64Max}, {sat_add(kI64Min, -1), kI64Min},
      {sat_add(kI64Max - 1, 1), kI64Max}, {sat_add(kI64Max, kI64Min), -1},
      {sat_sub(kI64Min, 1), kI64Min}, {sat_sub(kI64Max, -1), kI64Max},
      {sat_sub(-1, kI64Min), kI64Max}, {sat_sub(-2, kI64Max), kI64Min},
      {sat_neg(kI64Min), kI64Max}, {sat_neg(kI64Max), kI64Min + 1},
      {sat_abs(kI64Min), kI64Max}, {sat_abs(-5), 5},
      {sat_add128(kI128Max, 1), kI128Max}, {sat_sub128(kI128Min, 1), kI128Min},
      {sat_sub128(kI128Max, -1), kI128Max}, {sat_neg128(kI128Min), kI128Max},
      {sat_mul128(kI64Max, kI64Max), square}, {sat_mul128(kI128Max, -2), kI128Min},
      {sat_mul128(kI128Min, -1), kI128Max}, {sat_mul128(-kI128Max, -1), kI128Max},
      {clamp64(square), kI64Max}, {clamp64(-square), kI64Min},
      {clamp64(i128{kI64Min}), kI64Min}, {clamp64(i128{kI64Max} + 1), kI64Max},
      {lots_value128(kI64Max, kI64Max, kI64Max), kI128Max},
      {lots_value128(kI64Min, kI64Max, -kI64Max), kI128Min},  // |qty| counts, positive
      {lots_value128(-10, 60000, 10000), 6'000'000'000},
      {units_to_cash(100000), 10'000'000'000'000}, {units_to_cash(-1), -100'000'000},
      {units_to_cash(100'000'000'000), kI64Max}, {units_to_cash(-100'000'000'000), kI64Min}};
  // clang-format on
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_TRUE(cases[i].first == cases[i].second) << "case " << i;
}

// What `call` threw as an invariant failure, or "none".
template <class F>
std::string thrown(F call) {
  try {
    call();
  } catch (const InvariantError& e) {
    return e.what();
  }
  return "none";
}

TEST(CheckedArithmetic, OverflowAndNothingElseIsAnInvariantFailure) {
  const std::uint64_t k = std::uint64_t{1} << 32;
  const std::string overflow = "arithmetic overflow";
  const std::pair<std::string, std::string> cases[] = {
      {thrown([] { return checked_add(kI64Max, 1); }), overflow},
      {thrown([] { return checked_add(kI64Max, 0); }), "none"},
      {thrown([] { return checked_sub(kI64Min, 1); }), overflow},
      {thrown([] { return checked_sub(kI64Min, -1); }), "none"},
      {thrown([] { return checked_mul(kI64Min, -1); }), overflow},
      {thrown([] { return checked_mul(kI64Max, -1); }), "none"},
      {thrown([] { return checked_add_u(~0ull, 1); }), overflow},
      {thrown([&] { return checked_mul_u(k, k); }), overflow},
      {thrown([&] { return checked_mul_u(k, k - 1); }), "none"}};
  for (std::size_t i = 0; i < std::size(cases); ++i)
    EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

TEST(Balances, KeepCurrenciesInUnsignedByteOrderAndSaturate) {
  Balances b;
  EXPECT_EQ(b.get(USDT), 0);
  Currency high;  // a byte above 0x7f sorts after ASCII
  high.code[0] = 0xC3;
  const Currency eur = Currency::from("EUR"), usd = Currency::from("USD"),
                 zar = Currency::from("ZAR");
  for (const Currency c : {USDT, zar, high, eur, usd, USDT}) b.add(c, kI64Max);  // 0 inserts too
  b.add(USDT, 0);
  const std::vector<std::pair<Currency, Cash>> want = {
      {eur, kI64Max}, {usd, kI64Max}, {USDT, kI64Max}, {zar, kI64Max}, {high, kI64Max}};
  EXPECT_EQ(b.entries(), want);
  Balances low = Balances::of(USDT, kI64Min);
  low.add(USDT, -1);
  low.add(eur, 0);
  EXPECT_EQ(low.entries(), (std::vector<std::pair<Currency, Cash>>{{eur, 0}, {USDT, kI64Min}}));
}

}  // namespace
}  // namespace tm_types
