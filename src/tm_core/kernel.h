// The kernel: the single entry point through which everything that happens to
// the account passes. It takes one Event at a time, routes it to the account
// Account and to the right holding's engine, books fees and funding, checks
// liquidation, keeps the list of working orders, and answers with Outputs.
// The same events in the same order give the same outputs and the same account.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "tm_book/depth_book.h"
#include "tm_core/account.h"
#include "tm_engine/l0.h"
#include "tm_margin/funding.h"
#include "tm_types/fill.h"
#include "tm_types/order.h"
#include "tm_types/tick.h"

namespace tm_core {

using tm_types::OrderId;

// Events. An absent instrument means the only holding of a one-holding account.
struct TickEvent {
  tm_types::Tick tick;
  std::optional<InstrumentId> instrument;
};
struct SubmitEvent {
  tm_types::Order order;
  Nanos placed_exch_ts = 0;
  Nanos placed_local_ts = 0;
};
struct CancelEvent {
  OrderId id = 0;
};
struct FundingEvent {
  tm_margin::FundingRate rate;
  std::optional<InstrumentId> instrument;
};
struct FundingPaidEvent {
  Nanos at = 0;
  Cash amount = 0;  // positive when received
  std::optional<InstrumentId> instrument;
};
struct FeeEvent {
  Nanos at = 0;
  Cash amount = 0;
  bool unknown = false;
};
struct ClockEvent {
  Nanos at = 0;
};
struct TransferEvent {
  Cash amount = 0;
  Nanos at = 0;
};
// How the fee of an externally reported fill is known.
struct FeeReported {
  Cash amount = 0;
};
struct FeeUnknown {};
struct FeeComputed {};
using FeeReport = std::variant<FeeReported, FeeUnknown, FeeComputed>;
struct ExternalFillEvent {
  tm_types::Fill fill;
  FeeReport fee;
};
// Market depth for a one-holding L2 account: an incremental update, or a
// snapshot that (re)starts the depth book. Other accounts ignore it.
struct DepthEvent {
  std::variant<tm_book::DepthUpdate, tm_book::DepthSnapshot> payload;
};

// The variant index is the event's fixed tag (0..9).
using Event = std::variant<TickEvent, SubmitEvent, CancelEvent, FundingEvent, FundingPaidEvent,
                           FeeEvent, ClockEvent, TransferEvent, ExternalFillEvent, DepthEvent>;

// Codes are pinned: they cross into run records.
enum class RejectReason : std::uint8_t {
  BadQty = 0,             // order quantity below 1
  DuplicateId = 1,        // the id is already working
  NoFunds = 2,            // the settlement balance is below 1
  NotExternal = 3,        // an external fill while the account takes fills from its engines
  UnknownInstrument = 4,  // no holding matches the event
};

struct Cancelled {
  OrderId id = 0;
  friend constexpr bool operator==(const Cancelled&, const Cancelled&) = default;
};
struct Rejected {
  RejectReason reason = RejectReason::BadQty;
  OrderId id = 0;  // 0 when the event carries no id
  friend constexpr bool operator==(const Rejected&, const Rejected&) = default;
};
struct Funding {
  Cash amount = 0;  // as booked, positive when received
  Nanos at = 0;
  friend constexpr bool operator==(const Funding&, const Funding&) = default;
};
// The variant index is the output's fixed tag (0..4); tag 0 is the booked fill.
using Output = std::variant<tm_types::Fill, Cancelled, Rejected, Funding, Liquidated>;

struct Summary {
  QtyLots position = 0;  // of the first holding
  Price entry = 0;
  QtyLots short_position = 0;
  Price short_entry = 0;
  Cash balance = 0;  // settlement currency
  Cash realised = 0;
  Cash funding = 0;
  Cash fees = 0;
  Cash forfeited = 0;
  Cash equity = 0;
  Price mark = 0;  // of the first holding
  Nanos now = 0;
  bool fees_known = false;  // fees_charged and not fee_unknown
};

// What booking one fill moved on the account.
struct Booked {
  Cash fee = 0;       // charged for the fill
  Cash realised = 0;  // the realised profit it booked, negative for a loss
};

class Kernel {
 public:
  explicit Kernel(Account account);
  // Neither copied nor moved: the kernel keeps a pointer into its own state.
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;
  Kernel(Kernel&&) = delete;
  Kernel& operator=(Kernel&&) = delete;

  // Applies one event and returns what happened. The view is valid until the
  // next call that changes the kernel. Refusals are Rejected outputs; apply
  // never fails on input.
  std::span<const Output> apply(const Event& event);
  // apply(TickEvent{tick}) without building the event: the run loop's hot path.
  std::span<const Output> apply_tick(const tm_types::Tick& tick);

  // Books fills of the holding at `index` (an index out of range is an
  // invariant failure): fee, account, working list, one Fill output each. No
  // liquidation check; the callers make it.
  void book_fills(std::size_t index, std::span<const tm_types::Fill> fills);
  void book_fills(std::size_t index, std::span<const tm_engine::L0Fill> fills);
  // Books the fills the engines still hold back. Outputs as for apply.
  std::span<const Output> settle_unreported();
  // Liquidates the account when it no longer covers its maintenance margin at
  // `price` (one holding, tested and closed at that price in either leg mode)
  // or at the marks (several holdings); appends the Liquidated records.
  void check_liquidation(Price price);

  // The booking of each Fill output of the latest call, in their order.
  std::span<const Booked> booked() const { return booked_; }
  [[nodiscard]] Summary summary() const;
  // Ids of accepted orders not yet seen to end, in acceptance order; built on
  // each call, in time linear in the orders accepted since the last cleanup.
  [[nodiscard]] std::vector<OrderId> working() const;
  std::size_t working_count() const { return working_.size(); }
  const Account& account() const { return account_; }

 private:
  // The holding an event names, or the only one when it names none.
  std::optional<std::size_t> lookup(std::optional<InstrumentId> instrument) const;
  void reject(RejectReason reason, OrderId id) { outputs_.emplace_back(Rejected{reason, id}); }
  void charge_fee(Cash fee);
  void book_fill(std::size_t index, const tm_types::Fill& fill);
  void on_tick(std::size_t index, const tm_types::Tick& tick);
  void liquidate_if_uncovered(Price price);
  void start_working(OrderId id);
  void end_working(OrderId id);

  void apply_event(const TickEvent& e);
  void apply_event(const SubmitEvent& e);
  void apply_event(const CancelEvent& e);
  void apply_event(const FundingEvent& e);
  void apply_event(const FundingPaidEvent& e);
  void apply_event(const FeeEvent& e);
  void apply_event(const ClockEvent& e);
  void apply_event(const TransferEvent& e);
  void apply_event(const ExternalFillEvent& e);
  void apply_event(const DepthEvent& e);

  Account account_;
  // The holding of a one-holding account (every run's), else null. Holdings
  // are fixed once the kernel owns the state, so the pointer stays valid.
  Holding* only_ = nullptr;
  std::vector<Output> outputs_;
  std::vector<Booked> booked_;  // one per Fill in outputs_
  // The working ids, each with its place in `accepted_`: the ids in acceptance
  // order, where an order that ended is left as an empty slot until the slots
  // outnumber the working orders, so that ending one order costs O(1).
  std::unordered_map<OrderId, std::size_t> working_;
  std::vector<std::optional<OrderId>> accepted_;
};

// A one-holding account whose book is empty costs a lookup of the engine and a
// flag test here; everything else is out of line.
[[gnu::always_inline]] inline std::span<const Output> Kernel::apply_tick(
    const tm_types::Tick& tick) {
  outputs_.clear();
  booked_.clear();
  if (only_ == nullptr) {
    apply_event(TickEvent{tick, std::nullopt});
    return outputs_;
  }
  on_tick(0, tick);
  return outputs_;
}

[[gnu::always_inline]] inline void Kernel::on_tick(std::size_t index, const tm_types::Tick& tick) {
  Holding& h = account_.holdings[index];
  account_.now = tick.exch_ts;
  h.mark = tick.last;
  if (!account_.external_fills) {
    const auto fills = h.matcher.on_tick(tick);
    if (!fills.empty()) book_fills(index, fills);
  }
  check_liquidation(tick.last);
}

// A flat account, or one that cannot be liquidated, is decided here; the test
// and the liquidation itself are out of line.
[[gnu::always_inline]] inline void Kernel::check_liquidation(Price price) {
  if (!account_.liquidation_enabled) return;
  if (only_ != nullptr) {
    if (!only_->is_flat()) liquidate_if_uncovered(price);
    return;
  }
  for (const Holding& h : account_.holdings) {
    if (!h.is_flat()) {
      liquidate_if_uncovered(price);
      return;
    }
  }
}

[[gnu::always_inline]] inline Summary Kernel::summary() const {
  if (only_ == nullptr && account_.holdings.empty()) {
    tm_types::invariant_failure("index out of range");
  }
  const Holding& h = only_ != nullptr ? *only_ : account_.holdings.front();
  const Cash balance = account_.balance();
  return Summary{h.position,
                 h.entry,
                 h.short_position,
                 h.short_entry,
                 balance,
                 account_.realised,
                 account_.funding,
                 account_.fees,
                 account_.forfeited,
                 only_ != nullptr && only_->is_flat() ? balance : account_.equity(),
                 h.mark,
                 account_.now,
                 account_.fees_charged && !account_.fee_unknown};
}

}  // namespace tm_core
