// The placeholder formatter behind every fixed error message: a subsystem
// keeps its messages as patterns in one table, each "{}" standing for one
// figure, and fills them here when a message is asked for.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tm_types {

// `pattern` with each "{}", left to right, replaced by the next of `figures`.
// Placeholders beyond the last figure stay as they are, and figures beyond the
// last placeholder are ignored; no other character is special.
//   format_message("got {}, need {}", {"3", "4"}) == "got 3, need 4"
[[nodiscard]] std::string format_message(std::string_view pattern,
                                         std::initializer_list<std::string_view> figures);

}  // namespace tm_types
