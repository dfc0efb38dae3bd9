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

 private:
  explicit CsvLines(void* file) : file_(file), buffer_(kBlock + kPad) {}
  bool refill();
  // Ends the line at begin_ when its "\n" has been read, filling *row.
  bool take_line(CsvRow* row);
  // Bytes of buffer_ that hold file data; kPad more behind them let the
  // scanner load whole 64-byte groups.
  std::size_t capacity() const { return buffer_.size() - kPad; }

  static constexpr std::size_t kBlock = 1 << 20;
  static constexpr std::size_t kPad = 64;
  void* file_ = nullptr;  // the zlib gzFile
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // next unread byte
  std::size_t end_ = 0;    // end of the bytes read
  bool eof_ = false;
  std::uint64_t number_ = 0;
  std::string error_;
};

// Splits `line` at every comma into `fields` (cleared first). A field wrapped
// in double quotes loses them; quoted commas are not supported.
void split_fields(std::string_view line, std::vector<std::string_view>* fields);

}  // namespace tm_data
