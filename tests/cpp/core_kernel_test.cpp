// The kernel event by event: rejections and their order, cancellation, fees
// at both rates, funding, external fills, and liquidation with its records.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "tm_core/kernel.h"

namespace tm_core {
namespace {

using tm_types::Fill;
using tm_types::Offset;
using tm_types::Side;
using tm_types::Tick;

constexpr InstrumentId kInstrument = 1;

Tick tick_at(Nanos t, Price last) {
  Tick k;
  k.exch_ts = t;
  k.local_ts = t + 1;
  k.last = last;
  return k;
}

SubmitEvent market(OrderId id, Side side, QtyLots qty, Offset offset = Offset::Open) {
  SubmitEvent e;
  e.id = id;
  e.side = side;
  e.qty = qty;
  e.offset = offset;
  return e;
}

SubmitEvent limit(OrderId id, Side side, Price price, QtyLots qty) {
  SubmitEvent e = market(id, side, qty);
  e.limit = true;
  e.price = price;
  return e;
}

std::vector<Output> copy(std::span<const Output> outs) { return {outs.begin(), outs.end()}; }
std::vector<Output> one(Output output) { return {output}; }

class KernelTest : public ::testing::Test {
 protected:
  static Kernel make(Cash balance, bool two_leg = false, bool liquidation = true,
                     bool external = false) {
    Account s(kInstrument, 10000, tm_margin::MarginTable::example_btcusdt(), balance);
    s.two_leg = two_leg;
    s.liquidation_enabled = liquidation;
    s.external_fills = external;
    s.fees_charged = true;
    return Kernel(std::move(s));
  }
  // Opens `qty` lots (signed) at 60000 with a market order filled on one tick.
  static void open_at_60000(Kernel& k, QtyLots qty, Nanos t = 10) {
    ASSERT_TRUE(
        k.apply(market(100, qty > 0 ? Side::Buy : Side::Sell, qty > 0 ? qty : -qty)).empty());
    const auto outs = k.apply(TickEvent{tick_at(t, 60000), std::nullopt});
    ASSERT_EQ(outs.size(), 1u);
    ASSERT_TRUE(std::holds_alternative<Fill>(outs[0]));
  }
  Kernel kernel = make(100'000'000);
};

TEST_F(KernelTest, QuantityIsCheckedBeforeDuplicateId) {
  ASSERT_TRUE(kernel.apply(limit(7, Side::Buy, 100, 1)).empty());
  EXPECT_EQ(copy(kernel.apply(limit(7, Side::Buy, 100, 0))),
            one(Rejected{RejectReason::BadQty, 7}));
  EXPECT_EQ(copy(kernel.apply(limit(7, Side::Buy, 100, 1))),
            one(Rejected{RejectReason::DuplicateId, 7}));
  EXPECT_EQ(kernel.working(), (std::vector<OrderId>{7}));
}

TEST_F(KernelTest, UnknownInstrumentOrNoFundsRejectAndChangeNothing) {
  SubmitEvent e = limit(3, Side::Buy, 100, 1);
  e.instrument = 2;
  EXPECT_EQ(copy(kernel.apply(e)), one(Rejected{RejectReason::UnknownInstrument, 3}));
  Kernel broke = make(0);
  EXPECT_EQ(copy(broke.apply(limit(1, Side::Buy, 100, 1))),
            one(Rejected{RejectReason::NoFunds, 1}));
  EXPECT_TRUE(broke.working().empty());

  ASSERT_TRUE(kernel.apply(market(1, Side::Buy, 1)).empty());
  EXPECT_EQ(copy(kernel.apply(TickEvent{tick_at(50, 60000), 2})),
            one(Rejected{RejectReason::UnknownInstrument, 0}));
  EXPECT_EQ(kernel.summary().now, 0);
  EXPECT_EQ(kernel.summary().mark, 0);
  EXPECT_EQ(kernel.working(), std::vector<OrderId>{1});
}

TEST_F(KernelTest, CancelOfAnUnknownIdDoesNothing) {
  ASSERT_TRUE(kernel.apply(limit(1, Side::Buy, 100, 1)).empty());
  EXPECT_TRUE(kernel.apply(CancelEvent{99}).empty());
  EXPECT_EQ(kernel.working(), std::vector<OrderId>{1});
  EXPECT_EQ(copy(kernel.apply(CancelEvent{1})), one(Cancelled{1}));
  EXPECT_TRUE(kernel.working().empty());
  EXPECT_TRUE(kernel.apply(CancelEvent{1}).empty());
}

TEST_F(KernelTest, OrderIsFilledOnTheNextTickAndLeavesTheWorkingList) {
  ASSERT_TRUE(kernel.apply(market(1, Side::Buy, 2)).empty());
  const auto outs = copy(kernel.apply(TickEvent{tick_at(10, 60000), std::nullopt}));
  ASSERT_EQ(outs.size(), 1u);
  const Fill& f = std::get<Fill>(outs[0]);
  EXPECT_EQ(f.order, 1u);
  EXPECT_EQ(f.price, 60000);
  EXPECT_EQ(f.qty, 2);
  EXPECT_TRUE(kernel.working().empty());
  EXPECT_EQ(kernel.summary().position, 2);
  EXPECT_EQ(kernel.summary().entry, 60000);
}

TEST_F(KernelTest, FillsAreChargedAtTheirOwnRate) {
  open_at_60000(kernel, 2);  // zero rates charge nothing
  EXPECT_EQ(kernel.summary().fees, 0);
  EXPECT_EQ(kernel.summary().balance, 100'000'000);

  Account s(kInstrument, 10000, tm_margin::MarginTable::example_btcusdt(), 100'000'000);
  s.maker_fee = 200'000;
  s.taker_fee = 500'000;
  s.fees_charged = true;
  Kernel k(std::move(s));
  ASSERT_TRUE(k.apply(market(1, Side::Buy, 2)).empty());
  ASSERT_EQ(k.apply(TickEvent{tick_at(10, 60000), std::nullopt}).size(), 1u);
  EXPECT_EQ(k.summary().fees, 600'000);  // taker: 0.05 % of 1,200,000,000
  EXPECT_EQ(k.summary().balance, 100'000'000 - 600'000);
  // A buy limit at the last price fills at its limit as a maker.
  ASSERT_TRUE(k.apply(limit(2, Side::Sell, 60000, 2)).empty());
  ASSERT_EQ(k.apply(TickEvent{tick_at(20, 60000), std::nullopt}).size(), 1u);
  EXPECT_EQ(k.summary().fees, 600'000 + 240'000);
  EXPECT_EQ(k.summary().position, 0);
  EXPECT_EQ(k.summary().balance, 100'000'000 - 840'000);
  EXPECT_TRUE(k.summary().fees_known);
}

TEST_F(KernelTest, FundingMovesOnlyTheClockWhenFlatAndIsBookedForALong) {
  EXPECT_TRUE(kernel.apply(FundingEvent{{5, 100'000, 60000}, std::nullopt}).empty());
  EXPECT_EQ(kernel.summary().now, 5);
  EXPECT_EQ(kernel.summary().funding, 0);
  open_at_60000(kernel, 10);
  EXPECT_EQ(copy(kernel.apply(FundingEvent{{500, 100'000, 60000}, std::nullopt})),
            one(Funding{-600'000, 500}));
  EXPECT_EQ(kernel.summary().funding, -600'000);
  EXPECT_EQ(kernel.summary().balance, 100'000'000 - 600'000);
}

TEST_F(KernelTest, FundingPaidFeeTransferAndClockBookWhatTheySay) {
  EXPECT_EQ(copy(kernel.apply(FundingPaidEvent{5, 1'000, std::nullopt})), one(Funding{1'000, 5}));
  EXPECT_TRUE(kernel.apply(FeeEvent{6, 300, true}).empty());
  EXPECT_TRUE(kernel.apply(TransferEvent{-50, 7}).empty());
  EXPECT_TRUE(kernel.apply(ClockEvent{8}).empty());
  const Summary s = kernel.summary();
  EXPECT_EQ(s.balance, 100'000'000 + 1'000 - 300 - 50);
  EXPECT_EQ(s.funding, 1'000);
  EXPECT_EQ(s.fees, 300);
  EXPECT_EQ(s.now, 8);
  EXPECT_FALSE(s.fees_known);  // the fee event reported an unknown fee
}

class ExternalFills : public KernelTest {
 protected:
  static Fill external(OrderId order, QtyLots qty, Price price, InstrumentId instrument = 1) {
    Fill f;
    f.exch_ts = 40;
    f.order = order;
    f.qty = qty;
    f.price = price;
    f.instrument = instrument;
    return f;
  }
  Kernel ext = make(100'000'000, false, true, true);
};

TEST_F(ExternalFills, AreRejectedFromAnEngineAccountOrForAnInstrumentNotHeld) {
  EXPECT_EQ(copy(kernel.apply(ExternalFillEvent{external(5, 1, 100), FeeComputed{}})),
            one(Rejected{RejectReason::NotExternal, 5}));
  EXPECT_EQ(kernel.summary().position, 0);
  const Summary before = ext.summary();
  EXPECT_EQ(copy(ext.apply(ExternalFillEvent{external(5, 1, 100, 9), FeeReported{70}})),
            one(Rejected{RejectReason::UnknownInstrument, 5}));
  const Summary after = ext.summary();
  EXPECT_EQ(std::tie(after.now, after.balance, after.fees, after.position),
            std::tie(before.now, before.balance, before.fees, before.position));
}

TEST_F(ExternalFills, PartialFillRemovesTheOrderAndBooksTheReportedFee) {
  ASSERT_TRUE(ext.apply(limit(5, Side::Buy, 100, 3)).empty());
  const auto outs = copy(ext.apply(ExternalFillEvent{external(5, 1, 100), FeeReported{70}}));
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(std::get<Fill>(outs[0]).qty, 1);
  EXPECT_TRUE(ext.working().empty());
  EXPECT_EQ(ext.summary().position, 1);
  EXPECT_EQ(ext.summary().fees, 70);
  EXPECT_EQ(ext.summary().now, 40);
  // The engine no longer holds the order either.
  EXPECT_TRUE(ext.apply(CancelEvent{5}).empty());
}

TEST_F(ExternalFills, UnknownFeeIsZeroAndMarksTheFeesUnknown) {
  ASSERT_EQ(ext.apply(ExternalFillEvent{external(5, 1, 100), FeeUnknown{}}).size(), 1u);
  EXPECT_EQ(ext.summary().fees, 0);
  EXPECT_FALSE(ext.summary().fees_known);
}

TEST_F(ExternalFills, TicksOnlyCheckLiquidation) {
  ASSERT_TRUE(ext.apply(market(1, Side::Buy, 1)).empty());
  EXPECT_TRUE(ext.apply(TickEvent{tick_at(10, 60000), std::nullopt}).empty());
  EXPECT_EQ(ext.summary().position, 0);
  EXPECT_EQ(ext.summary().mark, 60000);
}

class Liquidation : public KernelTest {};

TEST_F(Liquidation, TickBelowTheLiquidationPriceClosesAtThatTick) {
  open_at_60000(kernel, 10);
  ASSERT_TRUE(kernel.apply(limit(2, Side::Buy, 50000, 1)).empty());
  EXPECT_TRUE(kernel.apply(TickEvent{tick_at(20, 59237), std::nullopt}).empty());
  const auto outs = copy(kernel.apply(TickEvent{tick_at(30, 59100), std::nullopt}));
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_EQ(std::get<Liquidated>(outs[0]),
            (Liquidated{kInstrument, 30, 59100, 10, 0, 10'000'000, 10, 0}));
  const Summary s = kernel.summary();
  EXPECT_EQ(s.realised, -90'000'000);
  EXPECT_EQ(s.forfeited, 10'000'000);
  EXPECT_EQ(s.balance, 0);
  EXPECT_EQ(s.equity, 0);
  EXPECT_EQ(s.position, 0);
  EXPECT_TRUE(kernel.working().empty());
  // The resting order went with the position, and a new one finds no funds.
  EXPECT_TRUE(kernel.apply(CancelEvent{2}).empty());
  EXPECT_EQ(copy(kernel.apply(limit(3, Side::Buy, 50000, 1))),
            one(Rejected{RejectReason::NoFunds, 3}));
}

TEST_F(Liquidation, GapForfeitsADeficitAndNothingHappensWithEnforcementOff) {
  Kernel loose = make(100'000'000, false, false);
  for (Kernel* k : {&kernel, &loose}) open_at_60000(*k, 10);
  const auto outs = copy(kernel.apply(TickEvent{tick_at(20, 50000), std::nullopt}));
  ASSERT_EQ(outs.size(), 1u);
  const auto& r = std::get<Liquidated>(outs[0]);
  EXPECT_EQ(r.balance, 0);
  EXPECT_EQ(r.forfeited, -900'000'000);  // 100,000,000 - 1,000,000,000
  EXPECT_EQ(kernel.summary().balance, 0);
  EXPECT_EQ(kernel.summary().forfeited, -900'000'000);

  EXPECT_TRUE(loose.apply(TickEvent{tick_at(20, 50000), std::nullopt}).empty());
  EXPECT_EQ(loose.summary().equity, -900'000'000);
  EXPECT_EQ(loose.summary().position, 10);
}

TEST_F(Liquidation, FundingIsCheckedAtTheEventPrice) {
  open_at_60000(kernel, 10);
  const auto outs = copy(kernel.apply(FundingEvent{{25, 0, 59100}, std::nullopt}));
  ASSERT_EQ(outs.size(), 2u);
  EXPECT_EQ(outs[0], Output(Funding{0, 25}));
  EXPECT_EQ(std::get<Liquidated>(outs[1]).price, 59100);
  EXPECT_EQ(kernel.summary().mark, 60000);  // funding does not move the mark
}

TEST_F(Liquidation, TwoLegHoldingGivesOneRecordWithTheNetQuantity) {
  Kernel two = make(10'000'000, true);
  ASSERT_TRUE(two.apply(market(1, Side::Buy, 2)).empty());
  ASSERT_TRUE(two.apply(market(2, Side::Sell, 1)).empty());
  ASSERT_EQ(two.apply(TickEvent{tick_at(10, 60000), std::nullopt}).size(), 2u);
  // Equity 10,000,000 against maintenance 2 x 2,400,000 + 2,400,000 at 60000.
  const auto outs = copy(two.apply(TickEvent{tick_at(20, 59000), std::nullopt}));
  ASSERT_EQ(outs.size(), 1u);
  const auto& r = std::get<Liquidated>(outs[0]);
  EXPECT_EQ(r.qty, 1);
  EXPECT_EQ(r.position, 2);
  EXPECT_EQ(r.short_position, -1);
}

TEST_F(Liquidation, EquityExactlyAtMaintenanceLiquidatesAndOneUnitMoreDoesNot) {
  // 10 lots at 60000 need 24,000,000; a balance of exactly that is at the line.
  Kernel at_line = make(24'000'000);
  ASSERT_TRUE(at_line.apply(market(1, Side::Buy, 10)).empty());
  const auto outs = copy(at_line.apply(TickEvent{tick_at(10, 60000), std::nullopt}));
  ASSERT_EQ(outs.size(), 2u);
  EXPECT_TRUE(std::holds_alternative<Liquidated>(outs[1]));

  Kernel above = make(24'000'001);
  ASSERT_TRUE(above.apply(market(1, Side::Buy, 10)).empty());
  EXPECT_EQ(above.apply(TickEvent{tick_at(10, 60000), std::nullopt}).size(), 1u);
}

TEST_F(KernelTest, SettleUnreportedAtL0BooksNothingAndBadBookingIsAnInvariantFailure) {
  ASSERT_TRUE(kernel.apply(market(1, Side::Buy, 1)).empty());
  EXPECT_TRUE(kernel.settle_unreported().empty());
  EXPECT_EQ(kernel.working(), std::vector<OrderId>{1});
  EXPECT_THROW(kernel.book_fills(1, std::span<const Fill>{}), tm_types::InvariantError);
}

}  // namespace
}  // namespace tm_core
