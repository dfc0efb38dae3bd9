#include "tm_data/piped_writer.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "tm_data/crc32.h"
#include "tm_data/tick_file.h"

namespace tm_data {
namespace {

constexpr std::size_t kPage = 4096;

// One filled buffer: where its bytes start within the ring, and how many.
struct Filled {
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
};

// One run through the ring. The worker, started by the constructor, fills
// buffers in turn; the calling thread takes each with next() and hands it
// back with release(). The destructor stops the worker and joins it, so that
// no return path leaves it running.
class Pipe {
 public:
  Pipe(std::uint8_t* ring, std::uint64_t offset, std::span<const tm_types::Tick> ticks,
       std::uint32_t crc, bool with_crc, std::optional<tm_types::Nanos> previous)
      : ring_(ring),
        offset_(offset),
        ticks_(ticks),
        crc_(crc),
        with_crc_(with_crc),
        previous_(previous),
        worker_([this] { work(); }) {}
  ~Pipe() {
    {
      const std::lock_guard lock(mutex_);
      cancel_ = true;
    }
    freed_cv_.notify_one();
    worker_.join();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // The next buffer in order, once filled; nullopt when the worker has ended.
  std::optional<Filled> next() {
    std::unique_lock lock(mutex_);
    filled_cv_.wait(lock, [&] { return filled_ > taken_ || done_; });
    if (filled_ == taken_) return std::nullopt;
    return slots_[taken_++ % PipedWriter::kSlots];
  }
  // Gives the buffer last taken back to the worker.
  void release() {
    {
      const std::lock_guard lock(mutex_);
      ++freed_;
    }
    freed_cv_.notify_one();
  }
  // After next() gave nullopt: the index of the tick found going backwards,
  // if one was, and the checksum over all the bytes filled.
  std::optional<std::size_t> backwards() const { return backwards_; }
  std::uint32_t crc() const { return crc_; }

 private:
  void work();
  void finish(std::optional<std::size_t> backwards) {
    {
      const std::lock_guard lock(mutex_);
      backwards_ = backwards;
      done_ = true;
    }
    filled_cv_.notify_one();
  }

  std::uint8_t* const ring_;
  const std::uint64_t offset_;
  const std::span<const tm_types::Tick> ticks_;
  std::uint32_t crc_;  // the worker's own until done_
  const bool with_crc_;
  const std::optional<tm_types::Nanos> previous_;

  std::mutex mutex_;
  std::condition_variable filled_cv_;  // the calling thread waits for filled_ or done_
  std::condition_variable freed_cv_;   // the worker waits for freed_ or cancel_
  std::array<Filled, PipedWriter::kSlots> slots_;
  std::size_t filled_ = 0;  // buffers filled, counted from the run's start
  std::size_t taken_ = 0;   // of those, taken by the calling thread
  std::size_t freed_ = 0;   // of those, handed back
  bool done_ = false;
  bool cancel_ = false;
  std::optional<std::size_t> backwards_;
  std::thread worker_;  // last, so that it starts once the rest is in place
};

void Pipe::work() {
  const auto* src = reinterpret_cast<const std::uint8_t*>(ticks_.data());
  const std::size_t n = ticks_.size_bytes();
  std::size_t checked = 0;  // ticks found in order
  for (std::size_t at = 0, slot = 0; at < n; ++slot) {
    {
      std::unique_lock lock(mutex_);
      freed_cv_.wait(lock, [&] { return cancel_ || slot - freed_ < PipedWriter::kSlots; });
      if (cancel_) return;
    }
    // As in BounceWriter: the bytes sit where the file position sits within
    // its page, and the buffer ends at a page boundary of the file.
    const std::uint64_t position = offset_ + at;
    std::uint8_t* buffer =
        ring_ + slot % PipedWriter::kSlots * PipedWriter::kSlotBytes + position % kPage;
    const std::size_t size = std::min(n - at, PipedWriter::kSlotBytes - position % kPage);
    // Every tick with a byte in the buffer is checked before it is copied.
    if (previous_) {
      const std::size_t end = (at + size + kRecordBytes - 1) / kRecordBytes;
      const std::size_t bad =
          first_backwards(ticks_.subspan(checked, end - checked),
                          checked == 0 ? *previous_ : ticks_[checked - 1].exch_ts);
      if (checked + bad < end) return finish(checked + bad);
      checked = end;
    }
    copy_vectors(buffer, src + at, size);
    if (with_crc_) crc_ = crc32(crc_, buffer, size);
    {
      const std::lock_guard lock(mutex_);
      slots_[slot % PipedWriter::kSlots] = {buffer, size};
      ++filled_;
    }
    filled_cv_.notify_one();
    at += size;
  }
  finish(std::nullopt);
}

}  // namespace

std::size_t first_backwards(std::span<const tm_types::Tick> ticks, tm_types::Nanos previous) {
  for (std::size_t i = 0; i < ticks.size(); ++i) {
    if (ticks[i].exch_ts < previous) return i;
    previous = ticks[i].exch_ts;
  }
  return ticks.size();
}

void PipedWriter::Free::operator()(std::uint8_t* p) const noexcept { std::free(p); }

// The order is checked first, so that a refused run writes nothing.
std::optional<PipeFailure> PipedWriter::write_alone(int fd, std::uint64_t offset,
                                                    std::span<const tm_types::Tick> ticks,
                                                    std::uint32_t* crc,
                                                    std::optional<tm_types::Nanos> previous,
                                                    const StopAsked& stop) {
  if (previous) {
    const std::size_t bad = first_backwards(ticks, *previous);
    if (bad < ticks.size()) return OutOfOrder{bad, false};
  }
  std::uint32_t extended = crc != nullptr ? *crc : 0;
  if (!bounce_.write(fd, offset, ticks.data(), ticks.size_bytes(),
                     crc != nullptr ? &extended : nullptr, stop)) {
    return errno;
  }
  if (crc != nullptr) *crc = extended;
  return std::nullopt;
}

std::optional<PipeFailure> PipedWriter::write(int fd, std::uint64_t offset,
                                              std::span<const tm_types::Tick> ticks,
                                              std::uint32_t* crc,
                                              std::optional<tm_types::Nanos> previous,
                                              const StopAsked& stop) {
  if (ticks.size_bytes() < kMinBytes) return write_alone(fd, offset, ticks, crc, previous, stop);
  if (!ring_) {
    ring_.reset(static_cast<std::uint8_t*>(std::aligned_alloc(kPage, kSlots * kSlotBytes)));
    if (!ring_) throw std::bad_alloc();
  }
  std::optional<Pipe> pipe;
  try {
    pipe.emplace(ring_.get(), offset, ticks, crc != nullptr ? *crc : 0, crc != nullptr, previous);
  } catch (const std::system_error&) {
    return write_alone(fd, offset, ticks, crc, previous, stop);
  }
  bool wrote = false;
  while (const std::optional<Filled> buffer = pipe->next()) {
    if (!write_all(fd, buffer->data, buffer->size, stop)) return errno;
    wrote = true;
    pipe->release();
    unpolled_ += buffer->size;
    if (unpolled_ >= BounceWriter::kPollBytes && stop) {
      unpolled_ = 0;
      if (stop()) return ECANCELED;
    }
  }
  if (const std::optional<std::size_t> index = pipe->backwards()) {
    return OutOfOrder{*index, wrote};
  }
  if (crc != nullptr) *crc = pipe->crc();
  return std::nullopt;
}

}  // namespace tm_data
