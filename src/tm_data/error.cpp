#include "tm_data/error.h"

#include <array>
#include <cstdio>
#include <string_view>
#include <type_traits>

#include "tm_types/message.h"

namespace tm_data {
namespace {

// One message per ErrorKind, in its order; each "{}" takes the next figure.
constexpr std::array<std::string_view, 5> kMessages = {
    "truncated: needed {} bytes, {} available",
    "not a tick file: magic {}",
    "unknown tick file version {}",
    "checksum mismatch: expected {}, computed {}",
    "tick {} goes backwards: previous exchange time {}, found {}",
};

static_assert(std::variant_size_v<Error::Case> == kMessages.size());
static_assert(
    std::is_same_v<
        std::variant_alternative_t<static_cast<std::size_t>(ErrorKind::kBackwards), Error::Case>,
        Backwards>);

std::string hex32(std::uint32_t v) {
  char text[11];
  std::snprintf(text, sizeof text, "0x%08x", v);
  return text;
}

struct Figures {
  std::string_view pattern;
  std::string operator()(const Truncated& e) const {
    return tm_types::format_message(pattern,
                                    {std::to_string(e.needed), std::to_string(e.available)});
  }
  std::string operator()(const BadMagic& e) const {
    return tm_types::format_message(pattern, {hex32(e.magic)});
  }
  std::string operator()(const UnknownVersion& e) const {
    return tm_types::format_message(pattern, {std::to_string(e.version)});
  }
  std::string operator()(const ChecksumMismatch& e) const {
    return tm_types::format_message(pattern, {hex32(e.expected), hex32(e.computed)});
  }
  std::string operator()(const Backwards& e) const {
    return tm_types::format_message(
        pattern, {std::to_string(e.index), std::to_string(e.previous), std::to_string(e.found)});
  }
};

}  // namespace

std::string Error::message() const { return std::visit(Figures{kMessages[case_.index()]}, case_); }

}  // namespace tm_data
