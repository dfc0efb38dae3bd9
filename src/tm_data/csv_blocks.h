// CsvBlocks: the rest of a plain CSV file parsed on worker threads a block at
// a time, the events handed out in file order. The caller sees exactly the
// events and the first error that reading the lines one after another would
// give, line numbers and columns included. Memory is a few blocks, whatever
// the file's size; the workers never outlive the object.
//
// A block owns the lines that start within its byte range, so that workers
// agree on the lines without talking to each other. Each block is parsed with
// a copy of the file's parser, blind to the time its predecessor ended at;
// the hand-out checks that seam by parsing the block's first line again,
// against the time before it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "tm_data/csv_row_parser.h"

namespace tm_data {

class CsvBlocks {
 public:
  // Parses the plain file open as `fd` (which stays the caller's) from byte
  // `offset`, where line `line` + 1 begins, to its end of `size` bytes, with
  // copies of `parser`, whose previous() is the time before that line.
  CsvBlocks(int fd, std::uint64_t offset, std::uint64_t size, std::uint64_t line,
            const CsvRowParser& parser);
  CsvBlocks(const CsvBlocks&) = delete;
  CsvBlocks& operator=(const CsvBlocks&) = delete;
  ~CsvBlocks();

  // The next event; false at the end or at an error, which error() then holds.
  // Rethrows what a worker threw (memory running out).
  [[nodiscard]] bool next(CsvEvent* event) {
    if (at_ != end_) {
      *event = *at_++;
      event->line += base_;
      return true;
    }
    return next_block(event);
  }
  const std::optional<CsvError>& error() const { return error_; }
  // Rows converted, and bytes of the file done, so far.
  std::uint64_t rows() const { return rows_; }
  std::uint64_t consumed() const { return consumed_; }

  // Bytes a block spans; files of fewer than a few blocks are not worth the threads.
  static constexpr std::uint64_t kBlockBytes = std::uint64_t{1} << 20;

 private:
  struct Block;
  struct Workers;
  bool next_block(CsvEvent* event);
  // Takes `block` for handing out; false at its seam's error.
  bool enter(const Block& block);
  // Hands the block taken back to the workers.
  void leave();

  std::unique_ptr<Workers> workers_;
  const CsvRowParser parser_;      // the file's, for the seams
  Block* taken_ = nullptr;         // the block being handed out
  const CsvEvent* at_ = nullptr;   // its next event
  const CsvEvent* end_ = nullptr;  // past its last
  std::uint64_t base_;             // lines before it
  tm_types::Nanos last_;           // the time of the last event handed out
  std::uint64_t rows_ = 0;
  std::uint64_t consumed_;
  std::optional<CsvError> error_;
};

}  // namespace tm_data
