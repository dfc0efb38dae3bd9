#include "tm_data/bounce_writer.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "tm_data/crc32.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tm_data {
namespace {

constexpr std::size_t kPage = 4096;

}  // namespace

// GCC's loop distribution would turn the vector loop below back into a memcpy
// call; clang has no such pass to switch off (and no such attribute).
#if defined(__GNUC__) && !defined(__clang__)
#define TM_KEEP_COPY_LOOP __attribute__((optimize("no-tree-loop-distribute-patterns")))
#else
#define TM_KEEP_COPY_LOOP
#endif

TM_KEEP_COPY_LOOP void copy_vectors(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
#if defined(__SSE2__)
  for (; n >= 64; n -= 64, src += 64, dst += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32), c);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 48), d);
  }
#endif
  if (n > 0) std::memcpy(dst, src, n);
}

bool write_all(int fd, const void* data, std::size_t n, const StopAsked& stop) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno != EINTR) return false;
      if (stop && stop()) {
        errno = ECANCELED;
        return false;
      }
      continue;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

void BounceWriter::Free::operator()(std::uint8_t* p) const noexcept { std::free(p); }

BounceWriter::BounceWriter()
    : buffer_(static_cast<std::uint8_t*>(std::aligned_alloc(kPage, kPieceBytes))) {
  if (!buffer_) throw std::bad_alloc();
}

bool BounceWriter::write(int fd, std::uint64_t offset, const void* data, std::size_t n,
                         std::uint32_t* crc, const StopAsked& stop) {
  const auto* src = static_cast<const std::uint8_t*>(data);
  std::size_t left = n;
  while (left > 0) {
    // The piece sits where the file position sits within its page, and ends
    // at a page boundary of the file when it can, so that later pieces start
    // page-aligned.
    const std::size_t in_page = offset % kPage;
    std::uint8_t* piece = buffer_.get() + in_page;
    const std::size_t size = std::min(left, kPieceBytes - in_page);
    copy_vectors(piece, src, size);
    if (crc != nullptr) *crc = crc32(*crc, piece, size);
    if (!write_all(fd, piece, size, stop)) return false;
    unpolled_ += size;
    if (unpolled_ >= kPollBytes && stop) {
      unpolled_ = 0;
      if (stop()) {
        errno = ECANCELED;
        return false;
      }
    }
    src += size;
    left -= size;
    offset += size;
  }
  return true;
}

}  // namespace tm_data
