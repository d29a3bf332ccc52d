// Who made a commit or a reflog entry, and when.
#pragma once

#include "tavrik/Util/Date.h"

#include <functional>
#include <string>

namespace arbor {

struct Signature {
  std::string name;
  std::string email;
  tavrik::Date date;
  /// The signer's offset east of UTC, in minutes (e.g. +02:00 is 120).
  int offsetMinutes = 0;

  bool operator==(const Signature&) const = default;
};

} // namespace arbor

template <> struct std::hash<arbor::Signature> {
  size_t operator()(const arbor::Signature& s) const noexcept {
    size_t h = std::hash<std::string>{}(s.name);
    h = h * 31 ^ std::hash<std::string>{}(s.email);
    h = h * 31 ^ std::hash<tavrik::Date::rep>{}(s.date.time_since_epoch().count());
    return h * 31 ^ std::hash<int>{}(s.offsetMinutes);
  }
};
