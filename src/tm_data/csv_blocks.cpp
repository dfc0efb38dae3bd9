#include "tm_data/csv_blocks.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "tm_data/destination.h"

namespace tm_data {
namespace {

// Bytes read at a time past a block's end while its last line goes on.
constexpr std::size_t kStretchBytes = 64 * 1024;

}  // namespace

struct CsvBlocks::Block {
  std::uint64_t index = 0;
  bool ready = false;       // parsed and not yet handed out
  std::vector<char> text;   // the bytes read, kScanPad more behind them
  std::size_t first = 0;    // offset in `text` of the block's first line
  std::size_t end = 0;      // offset in `text` past its last line
  std::uint64_t lines = 0;  // lines parsed, the faulty one included
  std::vector<CsvEvent> events;
  std::optional<CsvError> error;  // line numbers counted within the block
  std::exception_ptr thrown;
};

struct CsvBlocks::Workers {
  Workers(int file, std::uint64_t from, std::uint64_t to, const CsvRowParser& p)
      : fd(file), offset(from), size(to), parser(p) {
    count = (size - offset + kBlockBytes - 1) / kBlockBytes;
    // One worker a core but the merging thread's, which parses too (wait_held)
    // and so also does all the work when no thread can be started.
    const unsigned workers = std::clamp(std::thread::hardware_concurrency(), 2u, 5u) - 1;
    blocks.resize(workers + 3);
    for (unsigned i = 0; i < workers; ++i) {
      try {
        threads.emplace_back([this] { work(); });
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  ~Workers() {
    {
      std::lock_guard lock(mutex);
      stop = true;
      changed.notify_all();
    }
    for (std::thread& thread : threads) thread.join();
  }

  void work();
  // Returns once the block to hand out next is parsed. Meanwhile the merging
  // thread parses blocks no worker has taken, so that with one worker fewer
  // than cores the parsing is shared as the threads' speeds have it.
  void wait_held();
  // Parses block `index` into `block` and marks it ready.
  void run(Block& block, std::uint64_t index);
  void parse(Block& block);
  // Reads the bytes of block `index`, its lines found; false at a read error.
  bool read(Block& block);
  std::uint64_t begin(std::uint64_t index) const { return offset + index * kBlockBytes; }
  std::uint64_t finish(std::uint64_t index) const {
    return std::min(size, begin(index) + kBlockBytes);
  }
  Block& slot(std::uint64_t index) { return blocks[index % blocks.size()]; }

  const int fd;
  const std::uint64_t offset;
  const std::uint64_t size;
  const CsvRowParser& parser;
  std::uint64_t count = 0;  // blocks in all

  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Block> blocks;  // block i parsed into blocks[i % size]
  std::uint64_t next = 0;     // the next block to parse
  std::uint64_t held = 0;     // the block handed out (or next to be)
  bool stop = false;
  std::vector<std::thread> threads;
};

void CsvBlocks::Workers::wait_held() {
  std::unique_lock lock(mutex);
  while (!slot(held).ready) {
    if (next < count && next < held + blocks.size()) {
      const std::uint64_t index = next++;
      lock.unlock();
      run(slot(index), index);
      lock.lock();
    } else {
      changed.wait(lock);
    }
  }
}

void CsvBlocks::Workers::run(Block& block, std::uint64_t index) {
  block.index = index;
  try {
    parse(block);
  } catch (...) {
    block.thrown = std::current_exception();
  }
  std::lock_guard lock(mutex);
  block.ready = true;
  changed.notify_all();
}

void CsvBlocks::Workers::work() {
  // Named for tools that list threads (top -H, perf): at most 15 characters.
  ::pthread_setname_np(::pthread_self(), "tm-csv-parse");
  for (;;) {
    std::uint64_t index = 0;
    {
      std::unique_lock lock(mutex);
      changed.wait(lock, [&] { return stop || next >= count || next < held + blocks.size(); });
      if (stop || next >= count) return;
      index = next++;
    }
    run(slot(index), index);
  }
}

bool CsvBlocks::Workers::read(Block& block) {
  const std::uint64_t lo = begin(block.index), hi = finish(block.index);
  // From the byte before the range: a line starts in the range where that
  // byte, or any later one before the range's end, is a line end.
  const std::uint64_t from = block.index == 0 ? lo : lo - 1;
  std::size_t got = 0, want = static_cast<std::size_t>(hi - from);
  std::size_t search = want - 1;  // the last line ends at the first "\n" from here
  for (;;) {
    block.text.resize(want + kScanPad);
    while (got < want) {
      const ssize_t n =
          ::pread(fd, block.text.data() + got, want - got, static_cast<off_t>(from + got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        block.error = CsvError{parser.path(), 0, 0, os_error_text(errno)};
        return false;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    // A file cut short while it is read may give fewer bytes than the search starts at.
    const void* end =
        got > search ? std::memchr(block.text.data() + search, '\n', got - search) : nullptr;
    if (end != nullptr || got < want || from + got >= size) {
      block.end = end != nullptr ? static_cast<const char*>(end) - block.text.data() + 1 : got;
      break;
    }
    search = got;
    want = got + kStretchBytes;
  }
  if (block.index > 0) {
    const void* end = std::memchr(block.text.data(), '\n', block.end);
    block.first =
        end == nullptr ? block.end : static_cast<const char*>(end) - block.text.data() + 1;
    // A line starting past the range is the next block's.
    if (from + block.first >= hi) block.first = block.end;
  }
  return true;
}

void CsvBlocks::Workers::parse(Block& block) {
  block.first = block.end = 0;
  block.lines = 0;
  block.events.clear();
  block.error.reset();
  block.thrown = nullptr;
  if (!read(block)) return;
  CsvRowParser own = parser;
  own.set_previous(std::numeric_limits<tm_types::Nanos>::min());
  CsvRow row;
  const char* const text = block.text.data();
  for (std::size_t at = block.first; at < block.end;) {
    std::size_t used = scan_line(text + at, block.end - at, &row);
    if (used == 0) {
      used = block.end - at;
      last_line(text + at, used, &row);
    }
    CsvEvent& event = block.events.emplace_back();
    if (!own.parse(row, ++block.lines, &event)) {
      block.events.pop_back();
      block.error = own.error();
      return;
    }
    at += used;
  }
}

CsvBlocks::CsvBlocks(int fd, std::uint64_t offset, std::uint64_t size, std::uint64_t line,
                     const CsvRowParser& parser)
    : parser_(parser), base_(line), last_(parser.previous()), consumed_(offset) {
  workers_ = std::make_unique<Workers>(fd, offset, size, parser_);
}

// The workers go first: they read parser_.
CsvBlocks::~CsvBlocks() { workers_.reset(); }

bool CsvBlocks::next_block(CsvEvent* event) {
  Workers& w = *workers_;
  for (;;) {
    if (taken_ != nullptr) {
      if (taken_->error) {
        error_ = std::move(taken_->error);
        if (error_->line > 0) error_->line += base_;
        return false;
      }
      leave();
    }
    if (w.held >= w.count) return false;
    w.wait_held();
    taken_ = &w.slot(w.held);
    if (taken_->thrown) std::rethrow_exception(taken_->thrown);
    if (!enter(*taken_)) return false;
    if (at_ != end_) return next(event);
  }
}

bool CsvBlocks::enter(const Block& block) {
  at_ = block.events.data();
  end_ = at_ + block.events.size();
  if (block.lines == 0) return true;
  // The block's first line, parsed against the time before it: where that
  // time is later, this gives the error reading in order gives there.
  CsvRowParser seam = parser_;
  seam.set_previous(last_);
  CsvRow row;
  const char* const text = block.text.data() + block.first;
  if (scan_line(text, block.end - block.first, &row) == 0) {
    last_line(text, block.end - block.first, &row);
  }
  CsvEvent first;
  if (seam.parse(row, base_ + 1, &first)) return true;
  error_ = seam.error();
  at_ = end_;
  return false;
}

void CsvBlocks::leave() {
  Workers& w = *workers_;
  rows_ += taken_->events.size();
  if (!taken_->events.empty()) last_ = taken_->events.back().time;
  base_ += taken_->lines;
  consumed_ = w.finish(taken_->index);
  taken_ = nullptr;
  at_ = end_ = nullptr;
  std::lock_guard lock(w.mutex);
  w.slot(w.held).ready = false;
  ++w.held;
  w.changed.notify_all();
}

}  // namespace tm_data
