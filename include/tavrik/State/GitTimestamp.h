// A moment as git records it: the instant and the zone offset it was written
// in, and the person-and-moment record of authors and committers. Every date
// git prints in strict ISO 8601 ("%aI", "creatordate:iso8601-strict") goes
// through `GitTimestamp::fromStrictISO8601`.
#pragma once

#include "tavrik/Util/Date.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tavrik {

struct GitTimestamp {
  Date date;
  /// Seconds east of UTC of the zone the moment was written in.
  double offset = 0;

  /// Parses the RFC 3339 form git writes: "YYYY-MM-DDThh:mm:ss", an optional
  /// fraction (".ddd"), then "Z" or "+hh:mm"/"-hh:mm". Anything else (no
  /// zone, values out of range, trailing text, a date the clock cannot hold)
  /// gives nullopt. Never reads beyond `text`.
  static std::optional<GitTimestamp> fromStrictISO8601(std::string_view text);

  /// The inverse: local wall-clock time of the zone with its offset, e.g.
  /// "2024-01-02T10:00:00+02:00" ("+00:00" for UTC, as git writes it). A
  /// sub-second part is written as a fraction without trailing zeros.
  std::string iso8601String() const;

  /// "<GitTimestamp 2024-01-02 08:00:00 +0000, offset=7200>".
  std::string debugDescription() const;

  bool operator==(const GitTimestamp&) const = default;
};

struct GitSignature {
  std::string name;
  std::string email;
  GitTimestamp timestamp;

  /// "name<email>" (no blank before "<").
  std::string string() const { return name + "<" + email + ">"; }

  bool operator==(const GitSignature&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitTimestamp> {
  size_t operator()(const tavrik::GitTimestamp& t) const noexcept;
};

template <> struct std::hash<tavrik::GitSignature> {
  size_t operator()(const tavrik::GitSignature& s) const noexcept;
};
