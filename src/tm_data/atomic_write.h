// Whole-file writes that never leave a partial regular file: the bytes go
// through a Destination (destination.h), which replaces a regular file only
// once the new content is complete and writes anything else in place.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "tm_data/destination.h"

namespace tm_data {

// Makes `bytes` the whole content of `path`, creating the file or replacing it
// by Destination's rule. On failure an existing regular file is left as it was
// and no temporary file remains; the result is the operating system's error
// text (for example "No such file or directory"), which callers report as
// "{path}: {text}". Nothing on success.
[[nodiscard]] std::optional<std::string> write_file(const std::string& path,
                                                    std::span<const std::uint8_t> bytes,
                                                    const StopAsked& stop = {});

}  // namespace tm_data
