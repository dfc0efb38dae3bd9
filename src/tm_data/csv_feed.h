// CsvFeed: the events of one CSV file, in file order, read the fastest way the
// file allows. A plain file of a few megabytes or more is parsed a block at a
// time on worker threads (csv_blocks.h) after its first event; anything else
// (gzip, pipes, small files) is read line by line on the calling thread. The
// caller sees the same events and the same first error either way.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tm_data/csv_blocks.h"
#include "tm_data/csv_events.h"

namespace tm_data {

class CsvFeed {
 public:
  explicit CsvFeed(CsvFileEvents events) : head_(std::move(events)) {}
  CsvFeed(CsvFeed&&) noexcept = default;
  CsvFeed& operator=(CsvFeed&&) noexcept = default;

  // The next event; false at the end or at an error, which error() then holds.
  [[nodiscard]] bool next(CsvEvent* event) {
    if (blocks_) return blocks_->next(event);
    if (started_) return head_.next(event);
    return start(event);
  }
  const std::optional<CsvError>& error() const {
    return blocks_ ? blocks_->error() : head_.error();
  }

  const std::string& path() const { return head_.path(); }
  FileKind kind() const { return head_.kind(); }
  const std::string& layout_name() const { return head_.layout_name(); }
  // The time unit; known once the first event is read.
  std::optional<TimeUnit> unit() const { return head_.parser().unit(); }
  bool unit_detected() const { return head_.parser().unit_detected(); }
  std::uint64_t rows() const { return head_.parser().rows() + (blocks_ ? blocks_->rows() : 0); }
  // Bytes of the file (compressed, for gzip) consumed so far.
  std::uint64_t consumed() const { return blocks_ ? blocks_->consumed() : head_.consumed(); }

 private:
  // Reads the first event on this thread, then hands the rest of a large
  // plain file to workers.
  bool start(CsvEvent* event);

  CsvFileEvents head_;
  std::unique_ptr<CsvBlocks> blocks_;
  bool started_ = false;
};

}  // namespace tm_data
