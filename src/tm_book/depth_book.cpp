#include "tm_book/depth_book.h"

#include <algorithm>

#include "tm_types/invariant.h"

namespace tm_book {

using tm_types::Price;
using tm_types::QtyLots;

std::string_view depth_error_message(DepthError::Kind kind) {
  switch (kind) {
    case DepthError::Kind::NoSnapshot:
      return "depth book has no snapshot";
    case DepthError::Kind::NotBridging:
      return "depth update does not bridge the snapshot";
    case DepthError::Kind::Gap:
      return "depth update does not follow the last update";
  }
  return "unknown depth error";
}

namespace {

// The first level not better than `price`: where it is or would be inserted.
template <class It>
It slot(It begin, It end, Price price, bool descending) {
  if (descending) {
    return std::partition_point(begin, end, [price](const Level& l) { return l.price > price; });
  }
  return std::partition_point(begin, end, [price](const Level& l) { return l.price < price; });
}

}  // namespace

void DepthSide::apply(Price price, QtyLots size) {
  const auto at = slot(levels_.begin(), levels_.end(), price, descending_);
  const bool found = at != levels_.end() && at->price == price;
  if (found) {
    if (size == 0) {
      levels_.erase(at);
    } else {
      at->size = size;
    }
  } else if (size != 0) {
    levels_.insert(at, Level{price, size});
  }
}

std::optional<QtyLots> DepthSide::size_at(Price price) const {
  const auto at = slot(levels_.begin(), levels_.end(), price, descending_);
  if (at != levels_.end() && at->price == price) return at->size;
  return std::nullopt;
}

DepthSide::Taken DepthSide::take(QtyLots quantity) {
  Taken taken;
  QtyLots want = std::max<QtyLots>(quantity, 0);
  std::size_t used = 0;  // levels the walk reached
  for (; used < levels_.size() && want > 0; ++used) {
    const QtyLots a = std::min(std::max<QtyLots>(levels_[used].size, 0), want);
    if (a == 0) continue;
    const tm_types::i128 value = static_cast<tm_types::i128>(levels_[used].price) * a;
    if (__builtin_add_overflow(taken.notional, value, &taken.notional)) {
      tm_types::invariant_failure(tm_types::kArithmeticOverflow);
    }
    taken.filled = tm_types::checked_add(taken.filled, a);
    want -= a;
  }
  taken.short_ = want > 0;
  // Consume front to back what was taken; a level taken whole disappears.
  QtyLots left = taken.filled;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < levels_.size(); ++i) {
    Level level = levels_[i];
    if (left > 0 && level.size > 0) {
      const QtyLots a = std::min(level.size, left);
      level.size -= a;
      left -= a;
      if (level.size == 0) continue;
    }
    levels_[kept++] = level;
  }
  levels_.resize(kept);
  return taken;
}

std::variant<Applied, DepthError> DepthBook::apply(const DepthUpdate& update) {
  if (!snapshot_) return DepthError{DepthError::Kind::NoSnapshot};
  if (last_update_) {
    const std::uint64_t expected =
        update.prev_final ? *update.prev_final : (update.first == 0 ? 0 : update.first - 1);
    if (expected != *last_update_) {
      DepthError gap{DepthError::Kind::Gap};
      gap.last = *last_update_;
      gap.expected = expected;
      return gap;
    }
  } else {
    const std::uint64_t s = *snapshot_;
    if (update.final <= s) return Applied::Stale;
    // s < final, so s + 1 cannot wrap.
    const bool bridges = update.first <= s + 1 || (update.prev_final && *update.prev_final <= s);
    if (!bridges) {
      DepthError error{DepthError::Kind::NotBridging};
      error.snapshot = s;
      error.first = update.first;
      error.final = update.final;
      return error;
    }
  }
  for (const Level& l : update.bids) bids_.apply(l.price, l.size);
  for (const Level& l : update.asks) asks_.apply(l.price, l.size);
  last_update_ = update.final;
  applied_ = tm_types::checked_add_u(applied_, 1);
  return Applied::Changed;
}

void DepthBook::install(const DepthSnapshot& snapshot) {
  clear();
  snapshot_ = snapshot.id;
  for (const Level& l : snapshot.bids) bids_.apply(l.price, l.size);
  for (const Level& l : snapshot.asks) asks_.apply(l.price, l.size);
}

void DepthBook::clear() {
  last_update_.reset();
  snapshot_.reset();
  bids_.clear();
  asks_.clear();
  applied_ = 0;
}

}  // namespace tm_book
