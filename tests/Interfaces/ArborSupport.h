// What the object-model tests share: the scenario's repository opened with
// the library, and git's answers read as object ids.
#pragma once

#include "Support/Helpers.h"
#include "tavrik/Interfaces/Repo.h"

#include <sstream>

namespace arbor::testing {

using tavrik::testing::GitDir;
using tavrik::testing::ScenarioRepo;

inline Oid oidOf(const std::string& hex) {
  auto oid = Oid::parse(hex.substr(0, 40));
  if (!oid) throw std::runtime_error("not an object id: " + hex);
  return *oid;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

inline std::vector<Oid> oidLines(const std::string& text) {
  std::vector<Oid> out;
  for (const auto& line : lines(text)) out.push_back(oidOf(line));
  return out;
}

inline const GitDir& work() { return ScenarioRepo::shared().work; }
inline Repo openWork() { return Repo::openAtPath(work().path().string()); }

} // namespace arbor::testing
