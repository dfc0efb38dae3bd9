// Whole-file writes that never leave a partial file: the bytes go to a
// temporary file beside the target, which replaces the target only once it is
// complete and flushed to the device.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tm_data {

// Makes `bytes` the whole content of `path`, creating the file or replacing it.
// On failure an existing file is left as it was and no temporary file remains;
// the result is the operating system's error text (for example "No such file or
// directory"), which callers report as "{path}: {text}". Nothing on success.
// A symbolic link is written through, and a replaced file keeps its permissions.
[[nodiscard]] std::optional<std::string> write_file(const std::string& path,
                                                    std::span<const std::uint8_t> bytes);

}  // namespace tm_data
