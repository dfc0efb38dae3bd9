#include "tm_data/csv_feed.h"

#include <sys/stat.h>

namespace tm_data {
namespace {

// Below this many bytes left, a file is read on the calling thread alone.
constexpr std::uint64_t kParallelBytes = 4 * CsvBlocks::kBlockBytes;

}  // namespace

bool CsvFeed::start(CsvEvent* event) {
  started_ = true;
  if (!head_.next(event)) return false;
  const CsvLines& lines = head_.lines();
  struct stat status {};
  if (!lines.plain() || ::fstat(lines.fd(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return true;
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size < lines.offset() || size - lines.offset() < kParallelBytes) return true;
  blocks_ =
      std::make_unique<CsvBlocks>(lines.fd(), lines.offset(), size, lines.number(), head_.parser());
  return true;
}

}  // namespace tm_data
