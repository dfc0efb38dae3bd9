// The line and comma scanner against a literal model over seeded random
// bytes: quotes, CR before LF, empty lines, a missing final line end, bytes of
// every value, lines longer than a scan group and than a read block, plain
// and gzip-compressed.
#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tm_data/csv_lines.h"

namespace tm_data {
namespace {

// The model: a line ends at every "\n" and loses one "\r" before it; what
// follows the last "\n" is a line unless empty. Fields split at every comma
// and lose a pair of wrapping double quotes.
std::vector<std::string> model_lines(const std::string& bytes) {
  std::vector<std::string> lines;
  std::string line;
  for (const char c : bytes) {
    if (c != '\n') {
      line += c;
      continue;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::exchange(line, {}));
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!bytes.empty() && bytes.back() != '\n') lines.push_back(line);
  return lines;
}

std::vector<std::string> model_fields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (const char c : line) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  for (std::string& f : fields) {
    if (f.size() >= 2 && f.front() == '"' && f.back() == '"') f = f.substr(1, f.size() - 2);
  }
  return fields;
}

// Random CSV-like bytes: mostly short lines of short fields, sometimes a run
// of commas, a long field or any byte at all.
std::string random_bytes(std::mt19937_64& gen, std::size_t size) {
  static const std::string kCommon = "0123456789.,,,\n\n\"\r-+e ";
  std::string bytes;
  while (bytes.size() < size) {
    const unsigned pick = gen() % 100;
    if (pick < 90) {
      bytes += kCommon[gen() % kCommon.size()];
    } else if (pick < 94) {
      bytes.append(gen() % 100, ',');
    } else if (pick < 97) {
      bytes.append(gen() % 200, static_cast<char>('a' + gen() % 26));
    } else {
      bytes += static_cast<char>(gen() % 256);
    }
  }
  return bytes;
}

void write_file(const std::string& path, const std::string& bytes, bool compressed) {
  if (compressed) {
    gzFile out = ::gzopen(path.c_str(), "wb");
    ASSERT_NE(out, nullptr);
    if (!bytes.empty()) {
      ASSERT_GT(::gzwrite(out, bytes.data(), static_cast<unsigned>(bytes.size())), 0);
    }
    ASSERT_EQ(::gzclose(out), Z_OK);
    return;
  }
  std::FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), out), bytes.size());
  std::fclose(out);
}

// Reads `bytes` back through the scanner and checks every line and field.
void check_against_model(const std::string& bytes, bool compressed, const std::string& what) {
  const std::string path =
      (std::filesystem::temp_directory_path() / ("csv_lines_test_" + std::to_string(::getpid())))
          .string();
  write_file(path, bytes, compressed);
  CsvLinesResult opened = CsvLines::open(path);
  ASSERT_TRUE(std::holds_alternative<CsvLines>(opened)) << what;
  CsvLines& lines = std::get<CsvLines>(opened);
  const std::vector<std::string> expected = model_lines(bytes);
  CsvRow row, again;
  std::vector<std::string_view> split;
  std::size_t n = 0;
  for (; lines.next(&row); ++n) {
    ASSERT_LT(n, expected.size()) << what;
    ASSERT_EQ(lines.number(), n + 1) << what;
    ASSERT_EQ(row.line, expected[n]) << what << " line " << n + 1;
    const std::vector<std::string> fields = model_fields(expected[n]);
    scan_row(row.line, &again);
    split_fields(row.line, &split);
    ASSERT_EQ(row.fields, fields.size()) << what << " line " << n + 1;
    ASSERT_EQ(again.fields, fields.size()) << what << " line " << n + 1;
    ASSERT_EQ(split.size(), fields.size()) << what << " line " << n + 1;
    for (std::size_t i = 0; i < std::min(fields.size(), CsvRow::kMaxCommas); ++i) {
      ASSERT_EQ(row.field(i), fields[i]) << what << " line " << n + 1 << " field " << i;
      ASSERT_EQ(again.field(i), fields[i]) << what << " line " << n + 1 << " field " << i;
      ASSERT_EQ(split[i], fields[i]) << what << " line " << n + 1 << " field " << i;
    }
  }
  EXPECT_EQ(n, expected.size()) << what;
  EXPECT_TRUE(lines.error().empty()) << what;
  std::filesystem::remove(path);
}

TEST(CsvLines, SmallRandomFilesMatchTheModel) {
  std::mt19937_64 gen(17);
  for (int round = 0; round < 400; ++round) {
    std::string bytes = random_bytes(gen, gen() % 400);
    if (round % 3 == 0 && !bytes.empty()) bytes.back() = 'x';  // no final line end
    check_against_model(bytes, round % 5 == 0, "round " + std::to_string(round));
  }
  check_against_model("", false, "empty file");
  check_against_model("\n\r\n\n", false, "empty lines");
  check_against_model("\"\",\"a,b\",\"\r\n\"", true, "quotes");
}

TEST(CsvLines, LinesAcrossReadBlocksMatchTheModel) {
  std::mt19937_64 gen(18);
  std::string bytes = random_bytes(gen, 2'500'000);
  // A line longer than a read block, whose commas pass a row's count.
  bytes.insert(1'000'000, std::string(1'500'000, ',') + "\r\n");
  check_against_model(bytes, false, "plain");
  check_against_model(bytes + "tail,\r", true, "gzip");
  // An unterminated last line read in a later block than the data before it,
  // with stale line ends of that data behind it in the buffer.
  std::string lines;
  while (lines.size() < 1'500'000) lines += "1,2\n";
  check_against_model(lines + "tail,", false, "stale bytes");
}

}  // namespace
}  // namespace tm_data
