// The lines of a text file, plain or gzip-compressed (told apart by the
// content, not the name), read a large block at a time, and the fields of one
// line. Memory is one block plus the longest line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tm_data {

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
  // The 1-based number of the line next() returned last.
  std::uint64_t number() const { return number_; }
  const std::string& error() const { return error_; }
  // Bytes of the file (compressed, for gzip) consumed so far.
  std::uint64_t consumed() const;

 private:
  explicit CsvLines(void* file) : file_(file), buffer_(kBlock) {}
  bool refill();

  static constexpr std::size_t kBlock = 1 << 20;
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
