// The one exception type of the engine: a broken internal invariant. Expected
// failures are values; this is thrown only where realistic input cannot reach
// (an overflow of a counter, a fill for an instrument the account does not hold).
#pragma once

#include <exception>
#include <string>
#include <string_view>

namespace tm_types {

class InvariantError : public std::exception {
 public:
  explicit InvariantError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Stops the current call with the fixed message.
[[noreturn]] void invariant_failure(std::string_view message);

// The fixed message of checked arithmetic that overflowed.
inline constexpr std::string_view kArithmeticOverflow = "arithmetic overflow";

}  // namespace tm_types
