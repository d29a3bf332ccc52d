// The reflogs that exist in a repository: names relative to the "logs"
// directory, such as "HEAD" or "refs/heads/main".
#pragma once

#include <functional>
#include <set>
#include <string>
#include <string_view>

namespace tavrik {

struct GitReflogList {
  std::set<std::string> names;

  bool hasLog(std::string_view name) const { return names.find(std::string(name)) != names.end(); }

  bool operator==(const GitReflogList&) const = default;
};

} // namespace tavrik

template <> struct std::hash<tavrik::GitReflogList> {
  size_t operator()(const tavrik::GitReflogList& l) const noexcept;
};
