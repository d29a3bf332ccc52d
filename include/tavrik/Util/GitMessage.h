// A commit message with the cleanup git applies before committing it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace tavrik {

struct GitMessage {
  /// Stored without leading and trailing whitespace and newlines.
  std::string string;

  GitMessage() = default;
  explicit GitMessage(std::string_view text);

  /// Every line (split at any newline character, CR LF counting as one)
  /// without trailing whitespace, joined with "\n", ending with "\n" unless
  /// empty.
  std::string prettify() const;

  bool operator==(const GitMessage&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitMessage> {
  size_t operator()(const tavrik::GitMessage& m) const noexcept { return std::hash<std::string>{}(m.string); }
};
