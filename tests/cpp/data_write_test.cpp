// Whole-file writes: a failure at any step leaves an existing file as it was
// and no temporary file behind; success leaves exactly the bytes given.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tm_data/ticks.h"
#include "tm_data/write.h"

namespace tm_data {
namespace {

namespace fs = std::filesystem;

class WriteFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "tm_write_XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  static std::vector<std::uint8_t> contents(const std::string& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // Names in the directory, so a leftover temporary file shows.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }

  std::string dir_;
};

const std::vector<std::uint8_t> kOld = {'o', 'l', 'd'};
const std::vector<std::uint8_t> kNew = {'n', 'e', 'w'};

TEST_F(WriteFileTest, CreatesOrReplacesAFileWithExactlyTheBytes) {
  const auto bytes = encode(1, std::vector<tm_types::Tick>(1000));
  EXPECT_EQ(write_file(path("a.tmtk"), bytes), std::nullopt);
  EXPECT_EQ(contents(path("a.tmtk")), bytes);
  EXPECT_EQ(entries(), std::vector<std::string>{"a.tmtk"});
  EXPECT_EQ(write_file(path("a.tmtk"), kOld), std::nullopt);  // shorter: no tail remains
  EXPECT_EQ(contents(path("a.tmtk")), kOld);
  EXPECT_EQ(write_file(path("a.tmtk"), {}), std::nullopt);
  EXPECT_EQ(fs::file_size(path("a.tmtk")), 0u);
}

TEST_F(WriteFileTest, AMissingDirectoryReportsTheSystemText) {
  EXPECT_EQ(write_file(path("no/such/dir/a.tmtk"), kOld), "No such file or directory");
  EXPECT_TRUE(entries().empty());
}

TEST_F(WriteFileTest, ADirectoryInTheWayIsLeftAloneAndNothingRemains) {
  fs::create_directory(path("d"));
  std::ofstream(path("d/inside")) << "keep";
  const auto error = write_file(path("d"), kOld);
  ASSERT_TRUE(error);
  EXPECT_EQ(*error, "Is a directory");
  EXPECT_EQ(entries(), std::vector<std::string>{"d"});
  EXPECT_TRUE(fs::exists(path("d/inside")));
}

TEST_F(WriteFileTest, AFailureMidWriteKeepsTheOldFile) {
  ASSERT_EQ(write_file(path("a"), kOld), std::nullopt);
  // Writes beyond 4 KiB fail with "File too large" while the limit holds.
  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  auto* previous = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto error = write_file(path("a"), std::vector<std::uint8_t>(64 * 1024, 'n'));
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  EXPECT_EQ(error, "File too large");
  EXPECT_EQ(contents(path("a")), kOld);
  EXPECT_EQ(entries(), std::vector<std::string>{"a"});
}

TEST_F(WriteFileTest, AnUnwritableDirectoryOrReadOnlyFileKeepsTheOldFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  ASSERT_EQ(write_file(path("a"), kOld), std::nullopt);
  ::chmod(path("a").c_str(), 0444);
  EXPECT_EQ(write_file(path("a"), kNew), "Permission denied");
  EXPECT_EQ(contents(path("a")), kOld);
  ::chmod(path("a").c_str(), 0644);
  fs::permissions(dir_, fs::perms::owner_read | fs::perms::owner_exec);
  EXPECT_EQ(write_file(path("a"), kNew), "Permission denied");
  EXPECT_EQ(contents(path("a")), kOld);
}

TEST_F(WriteFileTest, AReplacedFileKeepsItsPermissions) {
  ASSERT_EQ(write_file(path("a"), kOld), std::nullopt);
  ::chmod(path("a").c_str(), 0640);
  ASSERT_EQ(write_file(path("a"), kNew), std::nullopt);
  struct stat st;
  ASSERT_EQ(::stat(path("a").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(WriteFileTest, ASymbolicLinkIsWrittenThrough) {
  ASSERT_EQ(write_file(path("real"), kOld), std::nullopt);
  fs::create_symlink(path("real"), path("link"));
  ASSERT_EQ(write_file(path("link"), kNew), std::nullopt);
  EXPECT_TRUE(fs::is_symlink(path("link")));
  EXPECT_EQ(contents(path("real")), kNew);
}

TEST_F(WriteFileTest, ARelativePathLandsInTheWorkingDirectory) {
  const fs::path before = fs::current_path();
  fs::current_path(dir_);
  const auto error = write_file("rel.tmtk", kOld);
  fs::current_path(before);
  EXPECT_EQ(error, std::nullopt);
  EXPECT_EQ(contents(path("rel.tmtk")), kOld);
}

}  // namespace
}  // namespace tm_data
