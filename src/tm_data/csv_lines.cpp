#include "tm_data/csv_lines.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tm_data {
namespace {

gzFile gz(void* file) { return static_cast<gzFile>(file); }

std::string os_error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, not always in the buffer given.
  return ::strerror_r(error, buffer, sizeof buffer);
}

}  // namespace

CsvLinesResult CsvLines::open(const std::string& path) {
  errno = 0;
  gzFile file = ::gzopen(path.c_str(), "rb");
  if (file == nullptr) return os_error_text(errno != 0 ? errno : ENOMEM);
  ::gzbuffer(file, 1 << 18);
  return CsvLines(file);
}

CsvLines::CsvLines(CsvLines&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      buffer_(std::move(other.buffer_)),
      begin_(other.begin_),
      end_(other.end_),
      eof_(other.eof_),
      number_(other.number_),
      error_(std::move(other.error_)) {}

CsvLines& CsvLines::operator=(CsvLines&& other) noexcept {
  if (this != &other) {
    if (file_ != nullptr) ::gzclose(gz(file_));
    file_ = std::exchange(other.file_, nullptr);
    buffer_ = std::move(other.buffer_);
    begin_ = other.begin_;
    end_ = other.end_;
    eof_ = other.eof_;
    number_ = other.number_;
    error_ = std::move(other.error_);
  }
  return *this;
}

CsvLines::~CsvLines() {
  if (file_ != nullptr) ::gzclose(gz(file_));
}

std::uint64_t CsvLines::consumed() const {
  const z_off_t at = ::gzoffset(gz(file_));
  return at < 0 ? 0 : static_cast<std::uint64_t>(at);
}

// Moves the unread tail to the front, growing the buffer when a line fills it,
// and reads as much as fits behind it.
bool CsvLines::refill() {
  if (eof_) return false;
  std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
  end_ -= begin_;
  begin_ = 0;
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  const unsigned room =
      static_cast<unsigned>(std::min<std::size_t>(buffer_.size() - end_, 1u << 30));
  const int got = ::gzread(gz(file_), buffer_.data() + end_, room);
  if (got < 0) {
    int code = 0;
    const char* text = ::gzerror(gz(file_), &code);
    error_ = code == Z_ERRNO ? os_error_text(errno) : std::string(text);
    eof_ = true;
    return false;
  }
  if (got == 0) {
    eof_ = true;
    return false;
  }
  end_ += static_cast<std::size_t>(got);
  return true;
}

bool CsvLines::next(std::string_view* line) {
  std::size_t scanned = 0;  // bytes after begin_ known to hold no line end
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const auto* nl =
        static_cast<const char*>(std::memchr(start + scanned, '\n', end_ - begin_ - scanned));
    if (nl != nullptr) {
      std::size_t length = static_cast<std::size_t>(nl - start);
      begin_ += length + 1;
      if (length > 0 && start[length - 1] == '\r') --length;
      *line = std::string_view(start, length);
      ++number_;
      return true;
    }
    scanned = end_ - begin_;
    if (!refill()) break;
  }
  if (!error_.empty() || begin_ == end_) return false;
  std::size_t length = end_ - begin_;
  const char* start = buffer_.data() + begin_;
  begin_ = end_;
  if (start[length - 1] == '\r') --length;
  *line = std::string_view(start, length);
  ++number_;
  return true;
}

void split_fields(std::string_view line, std::vector<std::string_view>* fields) {
  fields->clear();
  const char* const begin = line.data();
  const char* const end = begin + line.size();
  const char* field = begin;
  const auto add = [&](const char* stop) {
    std::string_view text(field, static_cast<std::size_t>(stop - field));
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
      text = text.substr(1, text.size() - 2);
    }
    fields->push_back(text);
    field = stop + 1;
  };
  const char* p = begin;
#if defined(__SSE2__)
  // Sixteen bytes at a time, each comma a bit of the mask.
  const __m128i comma = _mm_set1_epi8(',');
  for (; end - p >= 16; p += 16) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    for (auto mask = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, comma)));
         mask != 0; mask &= mask - 1) {
      add(p + std::countr_zero(mask));
    }
  }
#endif
  for (; p != end; ++p) {
    if (*p == ',') add(p);
  }
  add(end);
}

}  // namespace tm_data
