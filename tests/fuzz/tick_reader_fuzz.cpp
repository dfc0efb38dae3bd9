// libFuzzer target: the tick reader over arbitrary bytes. Every input is read
// three ways: as given, with its checksum made right, and with its count and
// checksum made right (so the fuzzer reaches the order checks and clean ends
// without having to forge a CRC). Each outcome must be a clean end or one of
// the reader's errors with figures that agree with the bytes, the ticks
// delivered must be the records' bytes, and never more than the records present.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "tm_data/crc32.h"
#include "tm_data/tick_file.h"

namespace {

using tm_data::Error;
using tm_data::TickReader;
using tm_types::Tick;

#define CHECK(condition)                                                                 \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

template <class T>
T field(const std::vector<std::uint8_t>& bytes, std::size_t at) {
  T v;
  std::memcpy(&v, bytes.data() + at, sizeof v);
  return v;
}

int memory_file(const std::vector<std::uint8_t>& bytes) {
  const int fd = ::memfd_create("tick_reader_fuzz", MFD_CLOEXEC);
  CHECK(fd >= 0);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::write(fd, bytes.data() + done, bytes.size() - done);
    CHECK(w > 0);
    done += static_cast<std::size_t>(w);
  }
  CHECK(::lseek(fd, 0, SEEK_SET) == 0);
  return fd;
}

std::uint64_t saturated_size(std::uint64_t records) {
  std::uint64_t bytes;
  if (__builtin_mul_overflow(records, std::uint64_t{64}, &bytes) ||
      __builtin_add_overflow(bytes, std::uint64_t{32}, &bytes)) {
    return std::numeric_limits<std::uint64_t>::max();
  }
  return bytes;
}

void read_and_judge(const std::vector<std::uint8_t>& bytes) {
  auto opened = TickReader::open_fd(memory_file(bytes));
  if (const Error* e = std::get_if<Error>(&opened)) {
    if (const auto* t = e->get_if<tm_data::Truncated>()) {
      CHECK(bytes.size() < 32 && t->needed == 32 && t->available == 0);
    } else if (const auto* m = e->get_if<tm_data::BadMagic>()) {
      CHECK(bytes.size() >= 32 && m->magic == field<std::uint32_t>(bytes, 0) &&
            m->magic != tm_data::kMagic);
    } else if (const auto* v = e->get_if<tm_data::UnknownVersion>()) {
      CHECK(bytes.size() >= 32 && field<std::uint32_t>(bytes, 0) == tm_data::kMagic &&
            v->version == field<std::uint16_t>(bytes, 4) && v->version != tm_data::kVersion);
    } else {
      CHECK(false && "an error only reading records can report");
    }
    CHECK(!e->message().empty());
    return;
  }

  TickReader& reader = std::get<TickReader>(opened);
  const std::uint64_t count = field<std::uint64_t>(bytes, 8);
  const std::uint64_t present = (bytes.size() - 32) / 64;
  CHECK(reader.count() == count);
  CHECK(reader.instrument() == field<std::uint64_t>(bytes, 16));

  std::uint64_t delivered = 0;
  std::optional<Error> error;
  while (auto item = reader.next()) {
    if (const Tick* t = std::get_if<Tick>(&*item)) {
      CHECK(delivered < present && delivered < count);
      CHECK(std::memcmp(t, bytes.data() + 32 + 64 * delivered, 64) == 0);
      ++delivered;
    } else {
      error = std::get<Error>(*item);
      break;
    }
  }
  CHECK(!reader.next());
  CHECK(!reader.next());
  CHECK(reader.delivered() == delivered);

  if (!error) {
    // A clean end: every record claimed was present, in order and checksummed.
    CHECK(delivered == count && count <= present);
    if (count > 0) {
      CHECK(tm_data::crc32_portable(0, bytes.data() + 32, 64 * count) ==
            field<std::uint32_t>(bytes, 24));
    }
    return;
  }
  CHECK(!error->message().empty());
  if (const auto* t = error->get_if<tm_data::Truncated>()) {
    CHECK(count > present);
    CHECK(t->needed == saturated_size(count));
    const std::uint64_t block_start = (t->available - 32) / 64;
    CHECK((t->available - 32) % 64 == 0 && block_start % tm_data::kBlockRecords == 0);
    CHECK(block_start <= present && present < block_start + tm_data::kBlockRecords);
    CHECK(delivered <= block_start);
  } else if (const auto* c = error->get_if<tm_data::ChecksumMismatch>()) {
    CHECK(count <= present && c->expected == field<std::uint32_t>(bytes, 24));
    CHECK(c->computed == tm_data::crc32_portable(0, bytes.data() + 32, 64 * count));
    CHECK(c->computed != c->expected);
    CHECK(delivered <= (count - 1) / tm_data::kBlockRecords * tm_data::kBlockRecords);
  } else if (const auto* b = error->get_if<tm_data::Backwards>()) {
    CHECK(b->index == delivered && b->found < b->previous);
    CHECK(b->found == field<std::int64_t>(bytes, 32 + 64 * delivered));
    CHECK(delivered > 0 && b->previous == field<std::int64_t>(bytes, 32 + 64 * (delivered - 1)));
  } else {
    CHECK(false && "a header error after the header was accepted");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint8_t> bytes(data, data + size);
  read_and_judge(bytes);
  if (size < 32) return 0;

  const std::uint64_t present = (size - 32) / 64;
  const std::uint64_t count = std::min(field<std::uint64_t>(bytes, 8), present);
  const std::uint32_t crc = tm_data::crc32(0, bytes.data() + 32, 64 * count);
  std::memcpy(bytes.data() + 24, &crc, 4);
  read_and_judge(bytes);

  std::memcpy(bytes.data() + 8, &present, 8);
  const std::uint32_t whole = tm_data::crc32(0, bytes.data() + 32, 64 * present);
  std::memcpy(bytes.data() + 24, &whole, 4);
  read_and_judge(bytes);
  return 0;
}
