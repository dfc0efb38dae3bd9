#include "tm_data/depth_file.h"

#include <bit>
#include <cstdio>

namespace tm_data {
namespace {

std::string row_error(std::uint64_t index, std::string_view text) {
  return "depth row " + std::to_string(index) + ": " + std::string(text);
}

}  // namespace

std::string depth_error_message(const Error& error) {
  if (const auto* magic = error.get_if<BadMagic>()) {
    char text[48];
    std::snprintf(text, sizeof text, "not a depth file: magic 0x%08x", magic->magic);
    return text;
  }
  if (const auto* back = error.get_if<Backwards>()) {
    return row_error(back->index, "goes backwards: previous exchange time " +
                                      std::to_string(back->previous) + ", found " +
                                      std::to_string(back->found));
  }
  return error.message();
}

DepthWriterResult DepthFileWriter::open(const std::string& path, std::uint64_t instrument) {
  WriterResult opened = TickFileWriter::open(path, instrument, {}, kDepthMagic);
  if (auto* error = std::get_if<std::string>(&opened)) return std::move(*error);
  return DepthFileWriter(std::get<TickFileWriter>(std::move(opened)));
}

std::optional<std::string> DepthFileWriter::append(std::span<const tm_types::DepthRecord> rows) {
  tm_types::Nanos previous = last_;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::uint64_t index = count() + i;
    if (const auto broken = tm_types::check(rows[i])) return row_error(index, message(*broken));
    if (rows[i].exch_ts < previous) {
      return row_error(index, "goes backwards: previous exchange time " + std::to_string(previous) +
                                  ", found " + std::to_string(rows[i].exch_ts));
    }
    previous = rows[i].exch_ts;
  }
  for (std::size_t at = 0; at < rows.size(); at += kBlockRecords) {
    const std::size_t n = std::min(kBlockRecords, rows.size() - at);
    block_.resize(n);
    for (std::size_t i = 0; i < n; ++i) block_[i] = std::bit_cast<tm_types::Tick>(rows[at + i]);
    if (auto error = ticks_.append(block_)) {
      if (const auto* text = std::get_if<std::string>(&*error)) return *text;
      return "depth rows went backwards";  // excluded by the check above
    }
  }
  if (!rows.empty()) last_ = rows.back().exch_ts;
  return std::nullopt;
}

DepthOpenResult DepthReader::open(const std::string& path) {
  OpenResult opened = TickReader::open(path, {}, kDepthMagic);
  if (const auto* error = std::get_if<Error>(&opened)) return depth_error_message(*error);
  return DepthReader(std::get<TickReader>(std::move(opened)));
}

const tm_types::DepthRecord* DepthReader::next() {
  if (error_) return nullptr;
  const std::uint64_t index = reader_.delivered();
  const tm_types::Tick* tick = reader_.next_tick();
  if (tick == nullptr) {
    if (reader_.error()) error_ = depth_error_message(*reader_.error());
    return nullptr;
  }
  row_ = std::bit_cast<tm_types::DepthRecord>(*tick);
  if (const auto broken = tm_types::check(row_)) {
    error_ = row_error(index, message(*broken));
    return nullptr;
  }
  return &row_;
}

}  // namespace tm_data
