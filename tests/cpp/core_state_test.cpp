// The account's books: adding to and closing legs with exact cost memos, flips,
// two-leg booking, equity and maintenance, and the liquidation of holdings.
#include <gtest/gtest.h>

#include "tm_core/account.h"

namespace tm_core {
namespace {

using tm_types::Fill;
using tm_types::Offset;
using tm_types::Side;

constexpr InstrumentId kInstrument = 1;
constexpr Cash kBalance = 100'000'000;

Fill fill(Side side, QtyLots qty, Price price, Offset offset = Offset::Open) {
  Fill f;
  f.side = side;
  f.qty = qty;
  f.price = price;
  f.offset = offset;
  f.instrument = kInstrument;
  return f;
}

class AccountTest : public ::testing::Test {
 protected:
  Holding& h() { return state.holdings.front(); }
  Account state{kInstrument, 10000, tm_margin::MarginTable::example_btcusdt(), kBalance};
};

TEST_F(AccountTest, AddingKeepsTheExactCostAndTruncatesTheEntry) {
  // A new account enforces margin, books one leg and charges no fees.
  EXPECT_TRUE(state.liquidation_enabled);
  EXPECT_FALSE(state.two_leg || state.fees_charged || state.fee_unknown || state.external_fills);
  EXPECT_EQ(state.equity(), kBalance);
  EXPECT_EQ(state.maintenance(), 0);
  state.apply_fill(fill(Side::Buy, 2, 100));
  state.apply_fill(fill(Side::Buy, 1, 103));
  EXPECT_EQ(h().position, 3);
  EXPECT_EQ(h().entry, 101);
  EXPECT_EQ(h().leg_cost(Leg::Long), 3'030'000);
}

class ThreeLotsAt100 : public AccountTest {
 protected:
  void SetUp() override {
    state.apply_fill(fill(Side::Buy, 1, 100));
    state.apply_fill(fill(Side::Buy, 2, 101));
  }
};

TEST_F(ThreeLotsAt100, EntryIsTruncatedButTheCostIsExact) {
  EXPECT_EQ(h().entry, 100);  // 100.67 truncated
  EXPECT_EQ(h().leg_cost(Leg::Long), 3'020'000);
}

TEST_F(ThreeLotsAt100, ClosingAllAtOnceRealisesTheExactProfit) {
  state.apply_fill(fill(Side::Sell, 3, 101));
  EXPECT_EQ(state.realised, 10'000);
  EXPECT_EQ(state.balance(), kBalance + 10'000);
  EXPECT_EQ(h().position, 0);
  EXPECT_EQ(h().entry, 0);
  EXPECT_EQ(h().leg_cost(Leg::Long), 0);
}

TEST_F(ThreeLotsAt100, PartialClosesAddUpToTheWholeClose) {
  state.apply_fill(fill(Side::Sell, 1, 101));
  EXPECT_EQ(state.realised, 3'333);
  EXPECT_EQ(h().position, 2);
  EXPECT_EQ(h().entry, 100);  // a partial close never moves the entry
  EXPECT_EQ(h().leg_cost(Leg::Long), 2'013'333);
  state.apply_fill(fill(Side::Sell, 2, 101));
  EXPECT_EQ(state.realised, 10'000);
  EXPECT_EQ(h().leg_cost(Leg::Long), 0);
}

TEST_F(ThreeLotsAt100, SellingMoreThanTheLongFlipsToAShortWithAFreshCost) {
  state.apply_fill(fill(Side::Sell, 5, 101));
  EXPECT_EQ(state.realised, 10'000);
  EXPECT_EQ(h().position, -2);
  EXPECT_EQ(h().entry, 101);
  EXPECT_EQ(h().leg_cost(Leg::Long), 2 * 101 * 10000);
  EXPECT_EQ(h().short_position, 0);
  // Buying the short back at 100 gains 1 tick on each of 2 lots.
  state.apply_fill(fill(Side::Buy, 2, 100));
  EXPECT_EQ(state.realised, 10'000 + 20'000);
  EXPECT_EQ(h().position, 0);
}

TEST_F(ThreeLotsAt100, EquityAndMaintenanceFollowTheMark) {
  h().mark = 102;
  // Value 3,060,000 against the exact cost 3,020,000.
  EXPECT_EQ(state.equity(), kBalance + 40'000);
  EXPECT_EQ(state.maintenance(), 3 * 102 * 10000 * 4 / 1000);
}

TEST_F(ThreeLotsAt100, StaleMemoFallsBackToEntryTimesSize) {
  h().long_basis.qty = 7;  // the memo no longer belongs to the leg
  EXPECT_EQ(h().leg_cost(Leg::Long), 3 * 100 * 10000);
}

TEST_F(AccountTest, TwoLegOpenAndCloseIgnoreTheExcess) {
  state.two_leg = true;
  state.apply_fill(fill(Side::Buy, 2, 100));
  state.apply_fill(fill(Side::Sell, 3, 100));
  EXPECT_EQ(h().position, 2);
  EXPECT_EQ(h().short_position, -3);
  EXPECT_EQ(h().short_entry, 100);
  state.apply_fill(fill(Side::Buy, 5, 99, Offset::Close));  // closes the short leg only
  EXPECT_EQ(h().short_position, 0);
  EXPECT_EQ(h().short_entry, 0);
  EXPECT_EQ(h().position, 2);
  EXPECT_EQ(state.realised, 3 * 10000);
  // A close against a flat leg realises nothing and changes nothing.
  state.apply_fill(fill(Side::Buy, 1, 50, Offset::Close));
  EXPECT_EQ(state.realised, 3 * 10000);
  EXPECT_EQ(h().short_position, 0);
}

TEST_F(AccountTest, TwoLegEquityAndMaintenanceCountBothLegs) {
  state.two_leg = true;
  state.apply_fill(fill(Side::Buy, 2, 100));
  state.apply_fill(fill(Side::Sell, 1, 100));
  h().mark = 110;
  EXPECT_EQ(state.equity(), kBalance + 2 * 10 * 10000 - 1 * 10 * 10000);
  EXPECT_EQ(state.maintenance(), (2 * 110 * 10000 * 4 / 1000) + (110 * 10000 * 4 / 1000));
}

TEST_F(AccountTest, AnotherInstrumentsFillOrMatcherIsAnInvariantFailure) {
  Fill f = fill(Side::Buy, 1, 100);
  f.instrument = 2;
  try {
    state.apply_fill(f);
    FAIL();
  } catch (const tm_types::InvariantError& e) {
    EXPECT_EQ(e.message(), "a fill for an instrument this account does not hold");
  }
  try {
    (void)Account::matching_with(std::move(state), Matcher::l0(2));
    FAIL();
  } catch (const tm_types::InvariantError& e) {
    EXPECT_EQ(e.message(),
              "matcher is for a different instrument than the state it is going into: matcher 2, "
              "state 1");
  }
}

TEST_F(AccountTest, LiquidatingATwoLegHoldingRecordsTheNetQuantity) {
  state.two_leg = true;
  state.now = 77;
  state.apply_fill(fill(Side::Buy, 2, 100));
  state.apply_fill(fill(Side::Sell, 1, 100));
  h().matcher.submit(tm_types::limit_order(9, Side::Buy, 50, 1, 0, 0, Offset::Open), 0);
  const Liquidated r = state.liquidate_holding(0, 90);
  // Long loses 2 x 10 ticks, short gains 1 x 10 ticks.
  EXPECT_EQ(r, (Liquidated{kInstrument, 77, 90, 1, kBalance - 100'000, 0, 2, -1}));
  EXPECT_EQ(state.realised, -100'000);
  EXPECT_TRUE(h().is_flat());
  EXPECT_EQ(h().long_basis, CostBasis{});
  EXPECT_FALSE(h().matcher.cancel(9));  // the resting order was cancelled
}

// Before the first tick there is no mark: a short closes at its entry in either
// booking, not at 0, which would book the whole cost as profit.
TEST_F(AccountTest, CloseAllUsesTheEntryBeforeTheFirstTick) {
  for (bool two_leg : {false, true}) {
    Account s{kInstrument, 10000, tm_margin::MarginTable::example_btcusdt(), kBalance};
    s.two_leg = two_leg;
    s.apply_fill(fill(Side::Sell, 2, 100));
    const auto records = s.close_all();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].price, 100) << two_leg;
    EXPECT_EQ(records[0].qty, -2) << two_leg;
    EXPECT_EQ(s.realised, 0) << two_leg;
  }
}

TEST_F(AccountTest, FillOfNoLotsChangesNothing) {
  state.apply_fill(fill(Side::Buy, 0, 100));
  EXPECT_EQ(h().position, 0);
  EXPECT_EQ(h().entry, 0);  // a flat leg never carries an entry
  state.two_leg = true;
  state.apply_fill(fill(Side::Sell, 0, 100));
  EXPECT_EQ(h().short_entry, 0);
}

}  // namespace
}  // namespace tm_core
