// Worked two-leg (hedge) accounts whose every number is derived by hand here:
// a liquidation after funding is tested at the price the account is closed
// at, and a close larger than its leg pays its fee on the lots it books.
#include <gtest/gtest.h>

#include <vector>

#include "test_util.h"
#include "tm_core/kernel.h"

namespace tm_core {
namespace {

using tm_types::Fill;
using tm_types::Offset;
using tm_types::Side;

// Books an opening fill of qty lots at 100, free of fees, before the kernel exists.
void open(Account& a, Side side, QtyLots qty) {
  a.apply_fill(Fill{0, 0, 100, 0, 100, qty, 1, side, Offset::Open, false});
}

// Contract size 100 and one margin tier of 5 % without deduction. A long of
// 10 and a short of 4, both entered at 100, are together worth
// (10 - 4) x (p - 100) x 100 = 600 x (p - 100) at price p and need
// 5 % of (10 + 4) x p x 100 = 70 x p: at the mark 100 nothing and 7,000.
// Funding at 1 % settles at the event's price: at 90 the long pays
// 10 x 90 x 100 x 1 % = 900 and the short receives 360, net -540; at 110 the
// long pays 1,100 and the short receives 440, net -660.
TEST(HedgeAccount, FundingLiquidationTestsAndClosesAtTheEventsPrice) {
  struct Case {
    Price at;
    Cash balance, paid;
    bool liquidated;
  };
  for (const Case c : {
           // 10,540 - 540 = 10,000 covers 7,000 at the mark, but at 90 the
           // equity 10,000 - 6,000 = 4,000 is below 6,300: closed at 90.
           Case{90, 10'540, -540, true},
           // 7,500 - 660 = 6,840 is below 7,000 at the mark, but at 110 the
           // equity 6,840 + 6,000 = 12,840 covers 7,700: kept.
           Case{110, 7'500, -660, false},
       }) {
    Account a(1, 100, tm_margin::MarginTable({{tm_types::kI64Max, 50'000'000, 0}}), c.balance);
    a.two_leg = true;
    open(a, Side::Buy, 10);
    open(a, Side::Sell, 4);
    Kernel k(std::move(a));
    ASSERT_TRUE(k.apply(TickEvent{tm_test::tick(1, 100, 0, 0, 0, 0), {}}).empty()) << c.at;

    const auto got = k.apply(FundingEvent{{5, 10'000'000, c.at}, {}});
    std::vector<Output> want{Funding{c.paid, 5}};
    // Closing at 90 realises 600 x (90 - 100) = -6,000 and leaves 4,000 to forfeit.
    if (c.liquidated) want.emplace_back(Liquidated{1, 5, 90, 6, 0, 4'000, 10, -4});
    EXPECT_EQ(std::vector<Output>(got.begin(), got.end()), want) << c.at;
    const Summary s = k.summary();
    EXPECT_EQ(s.realised, c.liquidated ? -6'000 : 0) << c.at;
    EXPECT_EQ(s.balance, c.liquidated ? 0 : 6'840) << c.at;
    EXPECT_EQ(s.position, c.liquidated ? 0 : 10) << c.at;
  }
}

// A long of 2 entered at 100 (contract size 100) meets two market sells of 5
// at the bid 110 with a taker fee of 0.1 %. In two-leg mode each is a close:
// the first books the 2 lots, realises 2 x (110 - 100) x 100 = 2,000 and pays
// 0.1 % of 2 x 110 x 100 = 22 (not 55 on all 5 lots); the second meets a flat
// leg, books nothing and pays nothing. In one-leg mode the first sell also
// opens a short of 3 and the second adds 5 to it: each pays 55 on its 5 lots.
TEST(HedgeAccount, CloseLargerThanItsLegPaysOnTheLotsItBooks) {
  struct Case {
    bool two_leg;
    Cash second_fee;
    QtyLots net_after;
  };
  for (const Case c : {Case{true, 0, 0}, Case{false, 55, -8}}) {
    Account a(1, 100, tm_margin::MarginTable::example_btcusdt(), 1'000'000);
    a.two_leg = c.two_leg;
    a.taker_fee = 1'000'000;
    open(a, Side::Buy, 2);
    Kernel k(std::move(a));
    std::vector<Booked> booked;
    for (int i = 1; i <= 2; ++i) {
      k.apply(SubmitEvent{
          {OrderId(i), Side::Sell, Offset::Close, 5, tm_types::OrderKind::market(), {}}});
      const auto got = k.apply(TickEvent{tm_test::tick(i, 110, 0, 0, 110, 111), {}});
      ASSERT_EQ(got.size(), 1u) << c.two_leg;
      EXPECT_EQ(std::get<Fill>(got[0]).qty, 5) << c.two_leg;
      booked.push_back(k.booked()[0]);
    }
    const Cash first_fee = c.two_leg ? 22 : 55;
    EXPECT_EQ(booked[0].fee, first_fee) << c.two_leg;
    EXPECT_EQ(booked[0].realised, 2'000) << c.two_leg;
    EXPECT_EQ(booked[1].fee, c.second_fee) << c.two_leg;
    EXPECT_EQ(booked[1].realised, 0) << c.two_leg;
    const Summary s = k.summary();
    EXPECT_EQ(s.fees, first_fee + c.second_fee) << c.two_leg;
    EXPECT_EQ(s.balance, 1'000'000 + 2'000 - first_fee - c.second_fee) << c.two_leg;
    EXPECT_EQ(s.position + s.short_position, c.net_after) << c.two_leg;
  }
}

}  // namespace
}  // namespace tm_core
