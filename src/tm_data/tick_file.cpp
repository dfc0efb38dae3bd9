#include "tm_data/tick_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "tm_data/crc32.h"

namespace tm_data {
namespace {

static_assert(std::endian::native == std::endian::little,
              "records are copied byte for byte between the file and Tick");

using tm_types::Tick;

// Header field offsets.
constexpr std::size_t kMagicAt = 0;
constexpr std::size_t kVersionAt = 4;
constexpr std::size_t kCountAt = 8;
constexpr std::size_t kInstrumentAt = 16;
constexpr std::size_t kChecksumAt = 24;

template <class T>
void store(std::uint8_t* at, T value) {
  std::memcpy(at, &value, sizeof value);
}
template <class T>
T load(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// Waits until `fd` has data, has ended or has failed (the read tells which),
// asking `stop` every 10 ms meanwhile. False when `stop` gave the wait up.
bool wait_readable(int fd, const StopAsked& stop) {
  for (;;) {
    pollfd request{fd, POLLIN, 0};
    const int ready = ::poll(&request, 1, 10);
    if (ready > 0 || (ready < 0 && errno != EINTR)) return true;
    if (stop && stop()) return false;
  }
}

// Reads until `n` bytes, the end of the file or an error, retrying interrupted
// reads. A descriptor that is not a regular file (`waits` set) is waited on
// before each read. Returns the number of bytes read; fewer than `n` means the
// file ended or failed or the wait was given up, which the callers treat alike.
std::size_t read_full(int fd, void* into, std::size_t n, const std::optional<StopAsked>& waits) {
  auto* p = static_cast<std::uint8_t*>(into);
  std::size_t got = 0;
  while (got < n) {
    if (waits && !wait_readable(fd, *waits)) break;
    const ssize_t r = ::read(fd, p + got, n - got);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
    } else if (r < 0 && (errno == EINTR || (waits && errno == EAGAIN))) {
      continue;
    } else {
      break;
    }
  }
  return got;
}

constexpr std::align_val_t kBlockAlignment{64};

// Storage for `records` ticks, left uninitialised: every tick handed out is
// first filled by a read. Tick is an aggregate, so the storage holds Tick
// objects as soon as it is allocated.
Tick* allocate_block(std::uint64_t records) {
  if (records == 0) return nullptr;
  return static_cast<Tick*>(::operator new(records* kRecordBytes, kBlockAlignment));
}

// File offset of the end of record `records`, pinned at the largest value.
std::uint64_t offset_of(std::uint64_t records) {
  std::uint64_t bytes;
  if (__builtin_mul_overflow(records, std::uint64_t{kRecordBytes}, &bytes) ||
      __builtin_add_overflow(bytes, std::uint64_t{kHeaderBytes}, &bytes)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return bytes;
}

}  // namespace

std::vector<std::uint8_t> encode(std::uint64_t instrument, std::span<const Tick> ticks) {
  std::vector<std::uint8_t> bytes(kHeaderBytes + ticks.size_bytes());
  std::uint8_t* records = bytes.data() + kHeaderBytes;
  if (!ticks.empty()) std::memcpy(records, ticks.data(), ticks.size_bytes());
  const auto header =
      encode_header(instrument, ticks.size(), crc32(0, records, ticks.size_bytes()));
  std::memcpy(bytes.data(), header.data(), header.size());
  return bytes;
}

std::array<std::uint8_t, kHeaderBytes> encode_header(std::uint64_t instrument, std::uint64_t count,
                                                     std::uint32_t checksum, std::uint32_t magic) {
  std::array<std::uint8_t, kHeaderBytes> header{};
  store(header.data() + kMagicAt, magic);
  store(header.data() + kVersionAt, kVersion);
  store(header.data() + kCountAt, count);
  store(header.data() + kInstrumentAt, instrument);
  store(header.data() + kChecksumAt, checksum);
  return header;
}

OpenResult TickReader::open(const std::string& path, StopAsked stop, std::uint32_t magic) {
  // Without O_NONBLOCK, opening a FIFO would block until a writer comes.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Error{Truncated{kHeaderBytes, 0}};
  return open_fd(fd, std::move(stop), magic);
}

OpenResult TickReader::open_fd(int fd, StopAsked stop, std::uint32_t expected_magic) {
  std::uint8_t header[kHeaderBytes];
  struct stat st;
  std::optional<StopAsked> waits;
  if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) waits = std::move(stop);
  if (fd < 0 || read_full(fd, header, sizeof header, waits) < sizeof header) {
    if (fd >= 0) ::close(fd);
    return Error{Truncated{kHeaderBytes, 0}};
  }
  const auto magic = load<std::uint32_t>(header + kMagicAt);
  const auto version = load<std::uint16_t>(header + kVersionAt);
  if (magic != expected_magic || version != kVersion) {
    ::close(fd);
    if (magic != expected_magic) return Error{BadMagic{magic}};
    return Error{UnknownVersion{version}};
  }
  // Advisory: the records are read front to back once.
  (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return TickReader(fd, load<std::uint64_t>(header + kCountAt),
                    load<std::uint64_t>(header + kInstrumentAt),
                    load<std::uint32_t>(header + kChecksumAt), std::move(waits));
}

TickReader::TickReader(int fd, std::uint64_t count, std::uint64_t instrument,
                       std::uint32_t checksum, std::optional<StopAsked> waits)
    : fd_(fd),
      waits_(std::move(waits)),
      count_(count),
      instrument_(instrument),
      stored_checksum_(checksum),
      remaining_(count),
      previous_(std::numeric_limits<tm_types::Nanos>::min()),
      block_(allocate_block(std::min<std::uint64_t>(count, kBlockRecords))) {}

void TickReader::BlockDeleter::operator()(Tick* block) const noexcept {
  ::operator delete(block, kBlockAlignment);
}

TickReader::TickReader(TickReader&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      waits_(std::move(other.waits_)),
      count_(other.count_),
      instrument_(other.instrument_),
      stored_checksum_(other.stored_checksum_),
      crc_(other.crc_),
      remaining_(other.remaining_),
      delivered_(other.delivered_),
      previous_(other.previous_),
      block_(std::move(other.block_)),
      cursor_(std::exchange(other.cursor_, nullptr)),
      block_end_(std::exchange(other.block_end_, nullptr)),
      finished_(std::exchange(other.finished_, true)),
      error_reported_(other.error_reported_),
      error_(std::move(other.error_)) {}

TickReader& TickReader::operator=(TickReader&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    waits_ = std::move(other.waits_);
    count_ = other.count_;
    instrument_ = other.instrument_;
    stored_checksum_ = other.stored_checksum_;
    crc_ = other.crc_;
    remaining_ = other.remaining_;
    delivered_ = other.delivered_;
    previous_ = other.previous_;
    block_ = std::move(other.block_);
    cursor_ = std::exchange(other.cursor_, nullptr);
    block_end_ = std::exchange(other.block_end_, nullptr);
    finished_ = std::exchange(other.finished_, true);
    error_reported_ = other.error_reported_;
    error_ = std::move(other.error_);
  }
  return *this;
}

TickReader::~TickReader() {
  if (fd_ >= 0) ::close(fd_);
}

std::optional<TickReader::Item> TickReader::next() {
  if (const Tick* tick = next_tick()) return Item{*tick};
  if (error_ && !error_reported_) {
    error_reported_ = true;
    return Item{*error_};
  }
  return std::nullopt;
}

bool TickReader::refill() {
  if (finished_) return false;
  if (remaining_ == 0) {
    // A file of zero records ends here without its checksum being compared.
    finished_ = true;
    return false;
  }
  const std::size_t n =
      static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, kBlockRecords));
  const std::size_t bytes = n * kRecordBytes;
  if (read_full(fd_, block_.get(), bytes, waits_) < bytes) {
    fail(Truncated{offset_of(count_), offset_of(count_ - remaining_)});
    return false;
  }
  crc_ = crc32(crc_, block_.get(), bytes);
  remaining_ -= n;
  // The checksum is settled before any tick of the last block is handed out.
  if (remaining_ == 0 && crc_ != stored_checksum_) {
    fail(ChecksumMismatch{stored_checksum_, crc_});
    return false;
  }
  cursor_ = block_.get();
  block_end_ = cursor_ + n;
  return true;
}

const Tick* TickReader::fail(Error error) {
  error_ = std::move(error);
  finished_ = true;
  cursor_ = block_end_;  // ticks still buffered are dropped
  ::close(fd_);
  fd_ = -1;
  return nullptr;
}

}  // namespace tm_data
