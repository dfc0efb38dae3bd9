// Where a file write lands. Every writer of the module (whole-file saves and
// streaming writers alike) opens its target through Destination, so all of
// them follow one rule:
//   - A regular file, or a name not yet taken, is written as a temporary file
//     beside it that replaces it only once complete and flushed: a failed
//     write leaves the old file as it was. Symbolic links are followed to the
//     file they name, which keeps its mode and owner; a dangling link gets the
//     file it names created.
//   - A regular file with other hard links is written in place, as open() for
//     writing would: replacing it would silently detach its other names. Such
//     a write is not atomic.
//   - Anything that is not a regular file (/dev/null, a FIFO, a terminal, a
//     socket, /dev/stdout and the other descriptor links under /proc) is
//     opened and written in place.
// A symbolic link loop fails as open() fails on it.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "tm_data/stop_asked.h"

namespace tm_data {

class Destination;
// An open destination, or the operating system's error text (for example
// "No such file or directory"), which callers report as "{path}: {text}".
using DestinationResult = std::variant<Destination, std::string>;

class Destination {
 public:
  // Opens `path` for a write that commit() completes. A FIFO without a reader
  // waits for one, as open() does, until `stop` says otherwise (then the
  // result is "Interrupted system call").
  [[nodiscard]] static DestinationResult open(const std::string& path, const StopAsked& stop = {});

  Destination(Destination&& other) noexcept;
  Destination& operator=(Destination&& other) noexcept;
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;
  // Discards an uncommitted write, as discard() does.
  ~Destination();

  // The descriptor to write to, open for writing and owned by this object.
  int fd() const { return fd_; }
  // Whether writes go straight to the target (no temporary file, no rename).
  bool in_place() const { return temporary_.empty(); }
  // Whether the descriptor is a regular file, on which lseek and pwrite work.
  bool seekable() const { return seekable_; }

  // Writes all of `bytes` at the descriptor's position, retrying short writes.
  [[nodiscard]] std::optional<std::string> write(std::span<const std::uint8_t> bytes);
  // Flushes the temporary file and renames it over the target, or closes an
  // in-place target. After a failure the target is as it was (in place: as
  // far as it was written) and no temporary file remains.
  [[nodiscard]] std::optional<std::string> commit();
  // Closes the descriptor and removes the temporary file; nothing is renamed.
  // No effect after commit() or discard().
  void discard() noexcept;

 private:
  Destination(int fd, bool seekable, std::string target, std::string temporary);

  int fd_ = -1;
  bool seekable_ = false;
  std::string target_;     // the name a replacement renames onto
  std::string temporary_;  // empty when writing in place
};

// The operating system's text for `error`, e.g. "Permission denied".
std::string os_error_text(int error);

}  // namespace tm_data
