// The depth book: level order and removal on each side, walking a side, and the
// sequencing of updates against a snapshot (stale, bridging, gaps).
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <variant>

#include "tm_book/book.h"

namespace tm_book {
namespace {

std::vector<Level> levels(const Side& side) {
  return {side.levels().begin(), side.levels().end()};
}

TEST(DepthSide, RandomChangesMatchASortedMapWithoutZeroLevels) {
  std::mt19937_64 rng(7);
  for (const bool descending : {true, false}) {
    Side side(descending);
    std::map<tm_types::Price, tm_types::QtyLots> reference;
    for (int i = 0; i < 5000; ++i) {
      const auto price = static_cast<tm_types::Price>(rng() % 60);
      const auto size = static_cast<tm_types::QtyLots>(rng() % 3 == 0 ? 0 : rng() % 9);
      side.apply(price, size);
      if (size == 0) {
        reference.erase(price);
      } else {
        reference[price] = size;
      }
    }
    std::vector<Level> expected;
    for (const auto& [p, s] : reference) expected.push_back({p, s});
    if (descending) std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(levels(side), expected);
  }
}

TEST(DepthSide, SizeZeroForAnAbsentPriceDoesNothing) {
  Side bids(true);
  bids.apply(100, 3);
  bids.apply(101, 0);
  EXPECT_EQ(levels(bids), (std::vector<Level>{{100, 3}}));
  EXPECT_EQ(bids.size_at(100), 3);
  EXPECT_FALSE(bids.size_at(101).has_value());
}

TEST(DepthSide, TakeWalksBestFirstAndConsumesWhatItTook) {
  Side asks(false);
  asks.apply(103, 10);
  asks.apply(100, 2);
  asks.apply(101, 2);
  const Side::Taken first = asks.take(5);
  EXPECT_EQ(first.notional, 505);
  EXPECT_EQ(first.filled, 5);
  EXPECT_FALSE(first.short_);
  EXPECT_EQ(levels(asks), (std::vector<Level>{{103, 9}}));
  const Side::Taken rest = asks.take(20);
  EXPECT_EQ(rest.filled, 9);
  EXPECT_TRUE(rest.short_);
  EXPECT_TRUE(asks.levels().empty());
  EXPECT_EQ(asks.take(0).filled, 0);
  EXPECT_FALSE(asks.take(-4).short_);
}

class DepthBook : public ::testing::Test {
 protected:
  DepthBook() { book.install(DepthSnapshot{100, {{99, 7}, {98, 3}}, {{101, 4}}}); }

  static DepthUpdate update(std::optional<std::uint64_t> prev, std::uint64_t first,
                            std::uint64_t final, std::vector<Level> bids = {},
                            std::vector<Level> asks = {}) {
    return DepthUpdate{prev, first, final, std::move(bids), std::move(asks), 0};
  }
  static DepthError error(const std::variant<Applied, DepthError>& r) {
    return std::get<DepthError>(r);
  }

  Book book;
};

TEST_F(DepthBook, AnUpdateWithoutASnapshotIsRefused) {
  Book empty;
  EXPECT_EQ(error(empty.apply(update(std::nullopt, 1, 2))).kind, DepthError::Kind::NoSnapshot);
  EXPECT_EQ(depth_error_message(DepthError::Kind::NoSnapshot), "depth book has no snapshot");
}

TEST_F(DepthBook, AnUpdateCoveredByTheSnapshotIsStaleAndChangesNothing) {
  const auto r = book.apply(update(std::nullopt, 90, 100, {{99, 0}}));
  EXPECT_EQ(std::get<Applied>(r), Applied::Stale);
  EXPECT_EQ(book.bids().size_at(99), 7);
  EXPECT_FALSE(book.last_update_id().has_value());
  EXPECT_EQ(book.applied(), 0u);
}

TEST_F(DepthBook, TheFirstUpdateMustBridgeTheSnapshot) {
  const DepthError e = error(book.apply(update(std::nullopt, 105, 110)));
  EXPECT_EQ(e.kind, DepthError::Kind::NotBridging);
  EXPECT_EQ(e.snapshot, 100u);
  EXPECT_EQ(e.first, 105u);
  EXPECT_EQ(e.final, 110u);
  // A claimed previous id at or below the snapshot also bridges.
  EXPECT_EQ(std::get<Applied>(book.apply(update(95, 105, 110, {{99, 8}}))), Applied::Changed);
  EXPECT_EQ(book.last_update_id(), 110u);
  EXPECT_EQ(book.bids().size_at(99), 8);
}

TEST_F(DepthBook, UpdatesMustFollowTheLastOneApplied) {
  ASSERT_EQ(std::get<Applied>(book.apply(update(std::nullopt, 95, 120, {{99, 0}}, {{102, 1}}))),
            Applied::Changed);
  EXPECT_FALSE(book.bids().size_at(99).has_value());
  const DepthError gap = error(book.apply(update(119, 121, 125)));
  EXPECT_EQ(gap.kind, DepthError::Kind::Gap);
  EXPECT_EQ(gap.last, 120u);
  EXPECT_EQ(gap.expected, 119u);
  // Without a previous id, first - 1 is what the update claims.
  EXPECT_EQ(error(book.apply(update(std::nullopt, 122, 125))).expected, 121u);
  EXPECT_EQ(std::get<Applied>(book.apply(update(std::nullopt, 121, 125))), Applied::Changed);
  EXPECT_EQ(book.applied(), 2u);
}

TEST_F(DepthBook, InstallDropsZeroLevelsAndSortsBothSides) {
  book.install(DepthSnapshot{7, {{98, 1}, {99, 0}, {100, 2}}, {{105, 1}, {103, 4}}});
  EXPECT_EQ(levels(book.bids()), (std::vector<Level>{{100, 2}, {98, 1}}));
  EXPECT_EQ(levels(book.asks()), (std::vector<Level>{{103, 4}, {105, 1}}));
  EXPECT_EQ(book.snapshot_id(), 7u);
  EXPECT_FALSE(book.last_update_id().has_value());
}

}  // namespace
}  // namespace tm_book
