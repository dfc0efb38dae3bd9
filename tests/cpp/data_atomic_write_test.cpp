// Whole-file writes: success leaves exactly the bytes given, through a link
// and with the replaced file's permissions; a failure at any step leaves an
// existing file as it was and no temporary file behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tm_data/atomic_write.h"

namespace tm_data {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes contents(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(WriteFile, ReplacesWholeOrNotAtAll) {
  const fs::path dir = fs::path(::testing::TempDir()) / "tm_write_test";
  fs::remove_all(dir);
  fs::create_directories(dir / "d");
  const std::string a = dir / "a", link = dir / "link";
  const Bytes old_bytes = {'o', 'l', 'd'}, big(64 * 1024, 'n');
  EXPECT_EQ(write_file(a, big), std::nullopt);
  EXPECT_EQ(write_file(a, old_bytes), std::nullopt);  // shorter: no tail remains
  EXPECT_EQ(contents(a), old_bytes);
  fs::permissions(a, fs::perms(0640));
  fs::create_symlink(a, link);
  EXPECT_EQ(write_file(link, Bytes{'x'}), std::nullopt);
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(contents(a), Bytes{'x'});
  EXPECT_EQ(fs::status(a).permissions(), fs::perms(0640));
  ASSERT_EQ(write_file(a, old_bytes), std::nullopt);

  // Writes beyond 4 KiB fail with "File too large" while the limit holds.
  struct rlimit saved, small;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  small = saved;
  small.rlim_cur = 4096;
  auto* previous = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto too_large = write_file(a, big);
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(too_large, "File too large");
  EXPECT_EQ(write_file((dir / "no/such/a").string(), old_bytes), "No such file or directory");
  EXPECT_EQ(write_file((dir / "d").string(), old_bytes), "Is a directory");
  EXPECT_EQ(contents(a), old_bytes);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir), {}), 3) << "a temporary file remains";
  fs::remove_all(dir);
}

}  // namespace
}  // namespace tm_data
