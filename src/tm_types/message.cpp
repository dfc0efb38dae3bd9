#include "tm_types/message.h"

namespace tm_types {

std::string format_message(std::string_view pattern,
                           std::initializer_list<std::string_view> figures) {
  std::string out;
  out.reserve(pattern.size());
  auto figure = figures.begin();
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '{' && i + 1 < pattern.size() && pattern[i + 1] == '}' &&
        figure != figures.end()) {
      out += *figure++;
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

}  // namespace tm_types
