#include "tm_data/atomic_write.h"

#include <string>
#include <utility>
#include <variant>

namespace tm_data {

std::optional<std::string> write_file(const std::string& path, std::span<const std::uint8_t> bytes,
                                      const StopAsked& stop) {
  DestinationResult opened = Destination::open(path, stop);
  if (std::string* error = std::get_if<std::string>(&opened)) return std::move(*error);
  Destination& destination = std::get<Destination>(opened);
  if (std::optional<std::string> error = destination.write(bytes)) return error;
  return destination.commit();
}

}  // namespace tm_data
