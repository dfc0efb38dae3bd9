#include "tm_core/kernel.h"

#include <utility>

#include "tm_margin/position.h"

namespace tm_core {

using tm_types::sat_add;
using tm_types::sat_neg;
using tm_types::sat_sub;

Kernel::Kernel(Account account) : account_(std::move(account)) {
  if (account_.holdings.size() == 1) only_ = &account_.holdings.front();
  outputs_.reserve(16);
  accepted_.reserve(16);
}

std::vector<OrderId> Kernel::working() const {
  std::vector<OrderId> ids;
  ids.reserve(working_.size());
  for (const std::optional<OrderId>& slot : accepted_) {
    if (slot) ids.push_back(*slot);
  }
  return ids;
}

void Kernel::start_working(OrderId id) {
  working_.emplace(id, accepted_.size());
  accepted_.emplace_back(id);
}

void Kernel::end_working(OrderId id) {
  const auto found = working_.find(id);
  if (found == working_.end()) return;
  accepted_[found->second].reset();
  working_.erase(found);
  // Compacting once the empty slots are the majority keeps each ending O(1)
  // amortised and the list at most twice the working orders (plus a few).
  if (accepted_.size() < 2 * working_.size() + 16) return;
  std::size_t kept = 0;
  for (const std::optional<OrderId>& slot : accepted_) {
    if (!slot) continue;
    working_[*slot] = kept;
    accepted_[kept++] = slot;
  }
  accepted_.resize(kept);
}

std::span<const Output> Kernel::apply(const Event& event) {
  outputs_.clear();
  booked_.clear();
  std::visit([this](const auto& e) { apply_event(e); }, event);
  return outputs_;
}

std::optional<std::size_t> Kernel::lookup(std::optional<InstrumentId> instrument) const {
  if (!instrument) {
    if (account_.holdings.size() == 1) return 0;
    return std::nullopt;
  }
  const std::size_t index = account_.find_holding(*instrument);
  if (index == account_.holdings.size()) return std::nullopt;
  return index;
}

void Kernel::charge_fee(Cash fee) {
  account_.fees = sat_add(account_.fees, fee);
  account_.add_to_balance(sat_neg(fee));
}

void Kernel::book_fill(std::size_t index, const tm_types::Fill& fill) {
  const Cash fee = account_.fill_fee(index, fill);
  charge_fee(fee);
  const Cash realised = account_.realised;
  account_.apply_fill(fill);
  booked_.push_back({fee, sat_sub(account_.realised, realised)});
  end_working(fill.order);
  outputs_.emplace_back(fill);
}

void Kernel::book_fills(std::size_t index, std::span<const tm_types::Fill> fills) {
  if (index >= account_.holdings.size()) tm_types::invariant_failure("index out of range");
  for (const tm_types::Fill& fill : fills) book_fill(index, fill);
}

void Kernel::book_fills(std::size_t index, std::span<const tm_engine::L0Fill> fills) {
  if (index >= account_.holdings.size()) tm_types::invariant_failure("index out of range");
  for (const tm_engine::L0Fill& f : fills) book_fill(index, f.fill);
}

std::span<const Output> Kernel::settle_unreported() {
  outputs_.clear();
  booked_.clear();
  for (std::size_t i = 0; i < account_.holdings.size(); ++i) {
    const std::vector<tm_engine::L0Fill> held_back =
        account_.holdings[i].matcher.drain_unreported();
    book_fills(i, std::span<const tm_engine::L0Fill>(held_back));
  }
  return outputs_;
}

void Kernel::liquidate_if_uncovered(Price price) {
  // A one-holding account is tested at the price it would be closed at, in
  // either leg mode; several holdings are tested and closed at their marks.
  bool uncovered;
  const Holding& h = account_.holdings.front();
  if (account_.holdings.size() > 1) {
    uncovered = account_.equity() <= account_.maintenance();
  } else if (account_.two_leg) {
    uncovered = sat_add(account_.balance(), h.unrealized_at(price)) <= h.maintenance_at(price);
  } else {
    const tm_margin::MarginedPosition position{h.leg_cost(Leg::Long), h.contract, h.entry,
                                               h.position, account_.balance()};
    uncovered = position.is_liquidatable(h.tiers, price);
  }
  if (!uncovered) return;

  const std::size_t first = outputs_.size();
  if (account_.holdings.size() == 1) {
    outputs_.emplace_back(account_.liquidate_holding(0, price));
  } else {
    for (const Liquidated& record : account_.close_all()) outputs_.emplace_back(record);
  }
  // The venue takes what is left, whatever its sign: a deficit is written off
  // and shows as a negative forfeiture.
  const Cash left = account_.balance();
  account_.add_to_balance(sat_neg(left));
  account_.forfeited = sat_add(account_.forfeited, left);
  for (std::size_t i = first; i < outputs_.size(); ++i) {
    std::get<Liquidated>(outputs_[i]).balance = account_.balance();
  }
  if (outputs_.size() > first) std::get<Liquidated>(outputs_.back()).forfeited = left;
  working_.clear();
  accepted_.clear();
}

void Kernel::apply_event(const TickEvent& e) {
  const auto index = lookup(e.instrument);
  if (!index) return reject(RejectReason::UnknownInstrument, 0);
  on_tick(*index, e.tick);
}

void Kernel::apply_event(const SubmitEvent& e) {
  const tm_types::Order& order = e.order;
  if (order.qty < 1) return reject(RejectReason::BadQty, order.id);
  if (working_.contains(order.id)) return reject(RejectReason::DuplicateId, order.id);
  const auto index = lookup(order.instrument);
  if (!index) return reject(RejectReason::UnknownInstrument, order.id);
  if (account_.balance() < 1) return reject(RejectReason::NoFunds, order.id);
  account_.holdings[*index].matcher.submit(
      tm_types::place(order, e.placed_exch_ts, e.placed_local_ts), e.placed_local_ts);
  start_working(order.id);
}

void Kernel::apply_event(const CancelEvent& e) {
  for (Holding& h : account_.holdings) {
    if (h.matcher.cancel(e.id)) {
      end_working(e.id);
      outputs_.emplace_back(Cancelled{e.id});
      return;
    }
  }
}

void Kernel::apply_event(const FundingEvent& e) {
  account_.now = e.rate.at;
  const auto index = lookup(e.instrument);
  if (!index) return reject(RejectReason::UnknownInstrument, 0);
  const Holding& h = account_.holdings[*index];
  if (h.is_flat()) return;
  Cash amount = 0;
  if (h.position != 0) amount = e.rate.settle(h.contract.size, h.position).amount;
  if (h.short_position != 0) {
    amount = sat_add(amount, e.rate.settle(h.contract.size, h.short_position).amount);
  }
  account_.add_to_balance(amount);
  account_.funding = sat_add(account_.funding, amount);
  outputs_.emplace_back(Funding{amount, e.rate.at});
  check_liquidation(e.rate.price);
}

void Kernel::apply_event(const FundingPaidEvent& e) {
  account_.now = e.at;
  if (!lookup(e.instrument)) return reject(RejectReason::UnknownInstrument, 0);
  account_.add_to_balance(e.amount);
  account_.funding = sat_add(account_.funding, e.amount);
  outputs_.emplace_back(Funding{e.amount, e.at});
}

void Kernel::apply_event(const FeeEvent& e) {
  account_.now = e.at;
  charge_fee(e.amount);
  account_.fees_charged = true;
  account_.fee_unknown = e.unknown;
}

void Kernel::apply_event(const ClockEvent& e) { account_.now = e.at; }

void Kernel::apply_event(const TransferEvent& e) {
  account_.now = e.at;
  account_.add_to_balance(e.amount);
}

void Kernel::apply_event(const ExternalFillEvent& e) {
  const tm_types::Fill& fill = e.fill;
  if (!account_.external_fills) return reject(RejectReason::NotExternal, fill.order);
  // A fill for an instrument the account does not hold is refused before it
  // touches anything, rather than stopping the run.
  const std::size_t index = account_.find_holding(fill.instrument);
  if (index == account_.holdings.size()) return reject(RejectReason::UnknownInstrument, fill.order);

  account_.now = fill.exch_ts;
  Holding& h = account_.holdings[index];
  (void)h.matcher.cancel(fill.order);
  end_working(fill.order);
  Cash fee = 0;
  if (const auto* reported = std::get_if<FeeReported>(&e.fee)) {
    fee = reported->amount;
    account_.fees_charged = true;
  } else if (std::holds_alternative<FeeUnknown>(e.fee)) {
    account_.fee_unknown = true;
  } else {
    fee = account_.fill_fee(index, fill);
  }
  charge_fee(fee);
  const Cash realised = account_.realised;
  account_.apply_fill(fill);
  booked_.push_back({fee, sat_sub(account_.realised, realised)});
  outputs_.emplace_back(fill);
  check_liquidation(fill.price);
}

void Kernel::apply_event(const DepthEvent& e) {
  if (account_.holdings.size() != 1) return;
  Matcher& matcher = account_.holdings.front().matcher;
  if (matcher.l2() == nullptr) return;
  if (const auto* update = std::get_if<tm_book::DepthUpdate>(&e.payload)) {
    // A refused update has already emptied the book and made the engine
    // invalid, and the engine counts it (Matcher::rejected_depth_updates);
    // the account has nothing to do about it.
    (void)matcher.on_depth(*update);
  } else {
    matcher.install_snapshot(std::get<tm_book::DepthSnapshot>(e.payload));
  }
}

}  // namespace tm_core
