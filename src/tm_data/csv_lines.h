// The lines of a text file, plain or gzip-compressed (told apart by the
// content, not the name), read a large block at a time, and the fields of one
// line. Memory is one block plus the longest line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tm_data {

// One line and where its commas are, found in the same pass that finds the
// line's end. A field wrapped in double quotes loses them; quoted commas are
// not supported.
struct CsvRow {
  static constexpr std::size_t kMaxCommas = 64;

  std::string_view line;   // without its "\n" or "\r\n"
  std::size_t fields = 0;  // commas + 1
  // Offsets in `line` of the first kMaxCommas commas; the last slot takes the
  // rest and means nothing.
  std::array<std::size_t, kMaxCommas + 1> comma;

  // Field i, for i < fields and i < kMaxCommas.
  std::string_view field(std::size_t i) const {
    const std::size_t from = i == 0 ? 0 : comma[i - 1] + 1;
    const std::size_t to = i + 1 == fields ? line.size() : comma[i];
    std::string_view text(line.data() + from, to - from);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
      text = text.substr(1, text.size() - 2);
    }
    return text;
  }
};

// Finds the commas of `line`, which lives elsewhere, into *row.
void scan_row(std::string_view line, CsvRow* row);

// Bytes a line scanner may read past the end of the bytes it is given: text
// handed to scan_line lives in a buffer with this many more bytes behind it.
inline constexpr std::size_t kScanPad = 64;

// Takes the first line of the `length` bytes at `start`, with its commas, into
// *row and returns the bytes it spans, its "\n" included. Returns 0 when there
// is no "\n"; *row then holds the commas of all the bytes, and last_line()
// makes them the final line of a file. REQUIRES: kScanPad readable bytes
// behind the `length`.
std::size_t scan_line(const char* start, std::size_t length, CsvRow* row);
// Makes the `length` bytes at `start`, which hold no "\n", the line of *row.
void last_line(const char* start, std::size_t length, CsvRow* row);

class CsvLines;
// Open lines, or the operating system's error text.
using CsvLinesResult = std::variant<CsvLines, std::string>;

class CsvLines {
 public:
  [[nodiscard]] static CsvLinesResult open(const std::string& path);

  CsvLines(CsvLines&& other) noexcept;
  CsvLines& operator=(CsvLines&& other) noexcept;
  CsvLines(const CsvLines&) = delete;
  CsvLines& operator=(const CsvLines&) = delete;
  ~CsvLines();

  // The next line without its "\n" or "\r\n", valid until the next call;
  // false at the end of the file or at a read error, which error() then holds.
  // A last line without a line end is a line; an empty last line is not.
  [[nodiscard]] bool next(std::string_view* line);
  // The same, with the line's commas; row->line is valid until the next call.
  [[nodiscard]] bool next(CsvRow* row);
  // The 1-based number of the line next() returned last.
  std::uint64_t number() const { return number_; }
  const std::string& error() const { return error_; }
  // Bytes of the file (compressed, for gzip) consumed so far.
  std::uint64_t consumed() const;
  // Whether the file is plain text, not gzip. Known once a line was read.
  bool plain() const;
  // For plain text: the descriptor of the file, which this object owns, and
  // the offset in it of the first byte next() has not returned.
  int fd() const { return fd_; }
  std::uint64_t offset() const { return read_ - (end_ - begin_); }

 private:
  CsvLines(void* file, int fd) : file_(file), fd_(fd), buffer_(kBlock + kPad) {}
  bool refill();
  // Ends the line at begin_ when its "\n" has been read, filling *row.
  bool take_line(CsvRow* row);
  // Bytes of buffer_ that hold file data; kPad more behind them let the
  // scanner load whole 64-byte groups.
  std::size_t capacity() const { return buffer_.size() - kPad; }

  static constexpr std::size_t kBlock = 1 << 20;
  static constexpr std::size_t kPad = kScanPad;
  void* file_ = nullptr;  // the zlib gzFile
  int fd_ = -1;           // the descriptor under file_, closed with it
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // next unread byte
  std::size_t end_ = 0;    // end of the bytes read
  bool eof_ = false;
  std::uint64_t read_ = 0;  // bytes read from the file (uncompressed)
  std::uint64_t number_ = 0;
  std::string error_;
};

// Splits `line` at every comma into `fields` (cleared first). A field wrapped
// in double quotes loses them; quoted commas are not supported.
void split_fields(std::string_view line, std::vector<std::string_view>* fields);

}  // namespace tm_data
