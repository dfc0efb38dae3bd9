#include "tm_data/csv_import.h"

#include <algorithm>
#include <span>
#include <utility>

#include "tm_data/csv_feed.h"
#include "tm_data/tick_writer.h"

namespace tm_data {
namespace {

constexpr std::size_t kChunkTicks = 1 << 12;
constexpr std::uint64_t kProgressEvents = 1 << 16;

// One input and the event it holds next.
struct Cursor {
  CsvFeed events;
  CsvEvent event;
  bool live = false;
};

using Opened = std::variant<std::vector<CsvFileEvents>, CsvError>;

Opened open_inputs(const std::vector<CsvInput>& inputs, const CsvImportOptions& options,
                   const CsvGrids* grids) {
  std::vector<CsvFileEvents> files;
  bool trades = false, quotes = false;
  for (const CsvInput& input : inputs) {
    CsvFileResult opened = CsvFileEvents::open(input.path, input.layout ? &*input.layout : nullptr,
                                               options.time_unit, grids);
    if (auto* error = std::get_if<CsvError>(&opened)) return std::move(*error);
    CsvFileEvents& file = files.emplace_back(std::get<CsvFileEvents>(std::move(opened)));
    (file.kind() == FileKind::kTrades ? trades : quotes) = true;
  }
  if ((options.emit == Emit::kTrades && !trades) || (options.emit == Emit::kQuotes && !quotes)) {
    return CsvError{"", 0, 0,
                    options.emit == Emit::kTrades
                        ? "emitting a tick per trade needs a trades file"
                        : "emitting a tick per quote needs a quotes file"};
  }
  return files;
}

// Moves `cursor` to its next event; false with the file's error at one.
bool advance(Cursor& cursor, std::optional<CsvError>* error) {
  cursor.live = cursor.events.next(&cursor.event);
  if (!cursor.live && cursor.events.error()) *error = *cursor.events.error();
  return !*error;
}

// Applies every event at `time`, in the order of the inputs; false at an error.
bool fold_instant(std::vector<Cursor>& cursors, tm_types::Nanos time, AsOfState& state,
                  std::optional<CsvError>* error) {
  state.begin(time);
  for (Cursor& c : cursors) {
    while (c.live && c.event.time == time) {
      if (c.events.kind() == FileKind::kQuotes) {
        state.quote(c.event);
      } else if (!state.trade(c.event)) {
        *error = CsvError{c.events.path(), c.event.line, 0,
                          "the cumulative volume passes 2^63 - 1 lots"};
        return false;
      }
      if (!advance(c, error)) return false;
    }
  }
  return true;
}

std::optional<CsvError> write(TickFileWriter& writer, std::vector<tm_types::Tick>& chunk,
                              const std::string& dest) {
  std::optional<AppendError> failed = writer.append(chunk);
  chunk.clear();
  if (!failed) return std::nullopt;
  // The inputs' times never go backwards, so only the system can refuse.
  const auto* text = std::get_if<std::string>(&*failed);
  return CsvError{dest, 0, 0, text ? *text : "times go backwards"};
}

std::uint64_t consumed(const std::vector<Cursor>& cursors) {
  std::uint64_t done = 0;
  for (const Cursor& c : cursors) done += c.events.consumed();
  return done;
}

std::optional<CsvError> merge(std::vector<Cursor>& cursors, const CsvImportOptions& options,
                              TickFileWriter& writer, const std::string& dest) {
  std::optional<CsvError> error;
  for (Cursor& c : cursors) {
    if (!advance(c, &error)) return error;
  }
  AsOfState state(options.emit);
  std::vector<tm_types::Tick> chunk;
  chunk.reserve(kChunkTicks);
  std::uint64_t instants = 0;
  for (;;) {
    const Cursor* first = nullptr;
    for (const Cursor& c : cursors) {
      if (c.live && (first == nullptr || c.event.time < first->event.time)) first = &c;
    }
    if (first == nullptr) break;
    if (!fold_instant(cursors, first->event.time, state, &error)) return error;
    if (std::optional<tm_types::Tick> tick = state.end()) chunk.push_back(*tick);
    if (chunk.size() == kChunkTicks) {
      if ((error = write(writer, chunk, dest))) return error;
    }
    if (++instants % kProgressEvents == 0 && options.progress &&
        !options.progress(consumed(cursors))) {
      return CsvError{"", 0, 0, kImportStopped};
    }
  }
  if (!chunk.empty()) error = write(writer, chunk, dest);
  if (!error && options.progress) (void)options.progress(consumed(cursors));
  return error;
}

std::variant<CsvGrids, CsvError> make_grids(const CsvImportOptions& options) {
  const std::optional<DecimalStep> tick = parse_step(options.tick_size);
  const std::optional<DecimalStep> lot = parse_step(options.lot_size);
  if (!tick || !lot) {
    const bool bad_tick = !tick;
    return CsvError{"", 0, 0,
                    std::string(bad_tick ? "tick_size '" : "lot_size '") +
                        (bad_tick ? options.tick_size : options.lot_size) +
                        "' is not a positive decimal of at most 18 digits"};
  }
  return CsvGrids{DecimalGrid(*tick, options.rounding), DecimalGrid(*lot, options.rounding),
                  options.tick_size, options.lot_size};
}

}  // namespace

std::variant<CsvImportReport, CsvError> import_csv(const std::vector<CsvInput>& inputs,
                                                   const std::string& dest,
                                                   const CsvImportOptions& options) {
  std::variant<CsvGrids, CsvError> grids = make_grids(options);
  if (auto* error = std::get_if<CsvError>(&grids)) return std::move(*error);
  if (inputs.empty()) return CsvError{"", 0, 0, "no input files"};
  Opened opened = open_inputs(inputs, options, &std::get<CsvGrids>(grids));
  if (auto* error = std::get_if<CsvError>(&opened)) return std::move(*error);
  std::vector<Cursor> cursors;
  cursors.reserve(inputs.size());
  for (CsvFileEvents& file : std::get<std::vector<CsvFileEvents>>(opened)) {
    cursors.push_back(Cursor{CsvFeed(std::move(file)), {}});
  }

  WriterResult created = TickFileWriter::open(dest, options.instrument);
  if (auto* text = std::get_if<std::string>(&created)) return CsvError{dest, 0, 0, *text};
  TickFileWriter& writer = std::get<TickFileWriter>(created);
  if (std::optional<CsvError> error = merge(cursors, options, writer, dest)) {
    writer.abort();
    return std::move(*error);
  }
  CsvImportReport report;
  report.ticks = writer.count();
  if (std::optional<std::string> text = writer.finish()) return CsvError{dest, 0, 0, *text};
  for (const Cursor& c : cursors) {
    const CsvFeed& file = c.events;
    report.files.push_back(CsvFileReport{file.layout_name(), file.unit().value_or(TimeUnit::kNanos),
                                         file.unit_detected(), file.rows()});
  }
  return report;
}

}  // namespace tm_data
