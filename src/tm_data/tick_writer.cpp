#include "tm_data/tick_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <memory>
#include <utility>

#include "tm_data/crc32.h"
#include "tm_data/tick_file.h"

namespace tm_data {
namespace {

// An unnamed file in the temporary directory, removed by the system when closed.
int open_staging() {
  const char* directory = std::getenv("TMPDIR");
  if (directory == nullptr || *directory == '\0') directory = "/tmp";
  int fd = ::open(directory, O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR)) return fd;
  std::string name = std::string(directory) + "/tick-staging-XXXXXX";
  fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(name.c_str());
  return fd;
}

}  // namespace

std::optional<std::string> write_tick_file(const std::string& path, std::uint64_t instrument,
                                           std::span<const tm_types::Tick> ticks,
                                           const StopAsked& stop) {
  DestinationResult opened = Destination::open(path, stop);
  if (std::string* error = std::get_if<std::string>(&opened)) return std::move(*error);
  Destination& destination = std::get<Destination>(opened);
  // A destination that can seek gets its header last, with the checksum taken
  // as the records go out; any other gets the checksum first.
  const bool header_last = destination.seekable();
  std::uint32_t crc = header_last ? 0 : crc32(0, ticks.data(), ticks.size_bytes());
  if (header_last) {
    if (::lseek(destination.fd(), kHeaderBytes, SEEK_SET) < 0) return os_error_text(errno);
  } else if (std::optional<std::string> error =
                 destination.write(encode_header(instrument, ticks.size(), crc))) {
    return error;
  }
  // Without a time to follow the order is not checked, so the only failures
  // are the system's.
  if (const std::optional<PipeFailure> failure =
          PipedWriter().write(destination.fd(), kHeaderBytes, ticks, header_last ? &crc : nullptr,
                              std::nullopt, stop)) {
    return os_error_text(std::get<int>(*failure));
  }
  const std::array<std::uint8_t, kHeaderBytes> header =
      encode_header(instrument, ticks.size(), crc);
  if (header_last && ::pwrite(destination.fd(), header.data(), header.size(), 0) !=
                         static_cast<ssize_t>(header.size())) {
    return os_error_text(errno);
  }
  return destination.commit();
}

WriterResult TickFileWriter::open(const std::string& path, std::uint64_t instrument,
                                  const StopAsked& stop, std::uint32_t magic) {
  DestinationResult opened = Destination::open(path, stop);
  if (std::string* error = std::get_if<std::string>(&opened)) return std::move(*error);
  Destination destination = std::get<Destination>(std::move(opened));
  int staging = -1;
  // The header is written last, at offset 0; a destination that cannot seek
  // there gets its records staged.
  if (destination.seekable()) {
    if (::lseek(destination.fd(), kHeaderBytes, SEEK_SET) < 0) return os_error_text(errno);
  } else {
    staging = open_staging();
    if (staging < 0) return os_error_text(errno);
  }
  TickFileWriter writer(std::move(destination), staging, instrument);
  writer.last_ = std::numeric_limits<tm_types::Nanos>::min();
  writer.magic_ = magic;
  return writer;
}

TickFileWriter::TickFileWriter(TickFileWriter&& other) noexcept
    : destination_(std::move(other.destination_)),
      staging_(std::exchange(other.staging_, -1)),
      records_(std::move(other.records_)),
      instrument_(other.instrument_),
      magic_(other.magic_),
      count_(other.count_),
      crc_(other.crc_),
      last_(other.last_),
      open_(std::exchange(other.open_, false)) {}

TickFileWriter& TickFileWriter::operator=(TickFileWriter&& other) noexcept {
  if (this != &other) {
    abort();
    destination_ = std::move(other.destination_);
    staging_ = std::exchange(other.staging_, -1);
    records_ = std::move(other.records_);
    instrument_ = other.instrument_;
    magic_ = other.magic_;
    count_ = other.count_;
    crc_ = other.crc_;
    last_ = other.last_;
    open_ = std::exchange(other.open_, false);
  }
  return *this;
}

std::optional<AppendError> TickFileWriter::append(std::span<const tm_types::Tick> ticks,
                                                  const StopAsked& stop) {
  // A tick going backwards, or a stop, takes back what the chunk wrote before
  // it, so that a refused chunk leaves no trace.
  const std::uint64_t start = records_end();
  const std::uint32_t start_crc = crc_;
  if (const std::optional<PipeFailure> failure =
          records_.write(records_fd(), start, ticks, &crc_, last_, stop)) {
    if (const auto* backwards = std::get_if<OutOfOrder>(&*failure)) {
      return refuse(ticks, backwards->index, backwards->wrote, start, start_crc);
    }
    return failed_write(std::get<int>(*failure), start, start_crc);
  }
  count_ += ticks.size();
  if (!ticks.empty()) last_ = ticks.back().exch_ts;
  return std::nullopt;
}

std::optional<AppendError> TickFileWriter::refuse(std::span<const tm_types::Tick> ticks,
                                                  std::size_t index, bool wrote,
                                                  std::uint64_t start, std::uint32_t crc) {
  const tm_types::Nanos before = index == 0 ? last_ : ticks[index - 1].exch_ts;
  const Backwards refused{count_ + index, before, ticks[index].exch_ts};
  if (!wrote) return refused;
  if (std::optional<AppendError> error = take_back(start, crc)) return error;
  return refused;
}

std::optional<AppendError> TickFileWriter::failed_write(int error, std::uint64_t start,
                                                        std::uint32_t crc) {
  if (error == ECANCELED) {
    if (std::optional<AppendError> failed = take_back(start, crc)) return failed;
    return os_error_text(error);
  }
  abort();
  return os_error_text(error);
}

std::optional<AppendError> TickFileWriter::take_back(std::uint64_t start, std::uint32_t crc) {
  crc_ = crc;
  if (::ftruncate(records_fd(), static_cast<off_t>(start)) == 0 &&
      ::lseek(records_fd(), static_cast<off_t>(start), SEEK_SET) >= 0) {
    return std::nullopt;
  }
  const int error = errno;
  abort();
  return os_error_text(error);
}

std::optional<std::string> TickFileWriter::finish(const StopAsked& stop) {
  std::optional<std::string> failure = write_header_and_staged(stop);
  if (!failure) failure = destination_.commit();
  abort();
  return failure;
}

std::optional<std::string> TickFileWriter::write_header_and_staged(const StopAsked& stop) {
  const std::array<std::uint8_t, kHeaderBytes> header =
      encode_header(instrument_, count_, crc_, magic_);
  if (staging_ < 0) {
    if (::pwrite(destination_.fd(), header.data(), header.size(), 0) !=
        static_cast<ssize_t>(header.size())) {
      return os_error_text(errno);
    }
    return std::nullopt;
  }
  if (!write_all(destination_.fd(), header.data(), header.size(), stop) ||
      ::lseek(staging_, 0, SEEK_SET) < 0) {
    return os_error_text(errno);
  }
  const auto block = std::make_unique<std::uint8_t[]>(kBlockBytes);
  for (;;) {
    const ssize_t n = ::read(staging_, block.get(), kBlockBytes);
    if (n == 0) return std::nullopt;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || !write_all(destination_.fd(), block.get(), static_cast<std::size_t>(n), stop)) {
      return os_error_text(errno);
    }
  }
}

void TickFileWriter::abort() noexcept {
  if (!open_) return;
  open_ = false;
  if (staging_ >= 0) ::close(std::exchange(staging_, -1));
  destination_.discard();
}

}  // namespace tm_data
