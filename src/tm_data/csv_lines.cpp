#include "tm_data/csv_lines.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include "tm_data/destination.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tm_data {
namespace {

gzFile gz(void* file) { return static_cast<gzFile>(file); }

// The commas and line ends among 64 bytes, bit i for byte i.
struct Masks {
  std::uint64_t comma;
  std::uint64_t newline;
};

#if defined(__SSE2__)
Masks masks64(const char* p) {
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i newline = _mm_set1_epi8('\n');
  Masks m{0, 0};
  for (int i = 0; i < 4; ++i) {
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    const auto c = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, comma)));
    const auto n = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, newline)));
    m.comma |= std::uint64_t{c} << (16 * i);
    m.newline |= std::uint64_t{n} << (16 * i);
  }
  return m;
}
#else
Masks masks64(const char* p) {
  Masks m{0, 0};
  for (int i = 0; i < 64; ++i) {
    m.comma |= std::uint64_t{p[i] == ','} << i;
    m.newline |= std::uint64_t{p[i] == '\n'} << i;
  }
  return m;
}
#endif

}  // namespace

CsvLinesResult CsvLines::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error_text(errno);
  gzFile file = ::gzdopen(fd, "rb");
  if (file == nullptr) {
    ::close(fd);
    return os_error_text(ENOMEM);
  }
  ::gzbuffer(file, 1 << 18);
  return CsvLines(file, fd);
}

CsvLines::CsvLines(CsvLines&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      fd_(std::exchange(other.fd_, -1)),
      buffer_(std::move(other.buffer_)),
      begin_(other.begin_),
      end_(other.end_),
      eof_(other.eof_),
      read_(other.read_),
      number_(other.number_),
      error_(std::move(other.error_)) {}

CsvLines& CsvLines::operator=(CsvLines&& other) noexcept {
  if (this != &other) {
    if (file_ != nullptr) ::gzclose(gz(file_));
    file_ = std::exchange(other.file_, nullptr);
    fd_ = std::exchange(other.fd_, -1);
    buffer_ = std::move(other.buffer_);
    begin_ = other.begin_;
    end_ = other.end_;
    eof_ = other.eof_;
    read_ = other.read_;
    number_ = other.number_;
    error_ = std::move(other.error_);
  }
  return *this;
}

CsvLines::~CsvLines() {
  if (file_ != nullptr) ::gzclose(gz(file_));
}

bool CsvLines::plain() const { return ::gzdirect(gz(file_)) == 1; }

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
  if (end_ == capacity()) buffer_.resize(capacity() * 2 + kPad);
  const unsigned room = static_cast<unsigned>(std::min<std::size_t>(capacity() - end_, 1u << 30));
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
  read_ += static_cast<std::uint64_t>(got);
  return true;
}

std::size_t scan_line(const char* start, std::size_t length, CsvRow* row) {
  std::size_t commas = 0;
  for (std::size_t at = 0; at < length; at += 64) {
    Masks m = masks64(start + at);
    if (length - at < 64) {
      const std::uint64_t valid = (std::uint64_t{1} << (length - at)) - 1;
      m.comma &= valid;
      m.newline &= valid;
    }
    // Comma and line end bits never coincide, so this keeps the commas before
    // the first line end, or all of them without one.
    for (std::uint64_t c = m.comma & (m.newline - 1); c != 0; c &= c - 1) {
      row->comma[std::min(commas, CsvRow::kMaxCommas)] =
          at + static_cast<std::size_t>(std::countr_zero(c));
      ++commas;
    }
    row->fields = commas + 1;
    if (m.newline != 0) {
      std::size_t size = at + static_cast<std::size_t>(std::countr_zero(m.newline));
      const std::size_t used = size + 1;
      if (size > 0 && start[size - 1] == '\r') --size;
      row->line = std::string_view(start, size);
      return used;
    }
  }
  row->fields = commas + 1;
  return 0;
}

void last_line(const char* start, std::size_t length, CsvRow* row) {
  if (length > 0 && start[length - 1] == '\r') --length;
  row->line = std::string_view(start, length);
}

bool CsvLines::take_line(CsvRow* row) {
  const std::size_t used = scan_line(buffer_.data() + begin_, end_ - begin_, row);
  if (used == 0) return false;
  begin_ += used;
  ++number_;
  return true;
}

bool CsvLines::next(CsvRow* row) {
  for (;;) {
    if (take_line(row)) return true;
    if (!refill()) break;
  }
  if (!error_.empty() || begin_ == end_) return false;
  last_line(buffer_.data() + begin_, end_ - begin_, row);
  begin_ = end_;
  ++number_;
  return true;
}

bool CsvLines::next(std::string_view* line) {
  CsvRow row;
  if (!next(&row)) return false;
  *line = row.line;
  return true;
}

void scan_row(std::string_view line, CsvRow* row) {
  std::size_t commas = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (line[i] != ',') continue;
    row->comma[std::min(commas, CsvRow::kMaxCommas)] = i;
    ++commas;
  }
  row->fields = commas + 1;
  row->line = line;
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
