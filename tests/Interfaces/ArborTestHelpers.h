// Small helpers shared by the object-model layer's tests.
#pragma once

#include "Support/ScratchRepo.h"
#include "tavrik/Interfaces/Oid.h"

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace arbor::testing {

inline std::string chomp(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

inline Oid oidOf(const std::string& hex) {
  auto oid = Oid::parse(chomp(hex));
  if (!oid) throw std::runtime_error("not an object id: " + hex);
  return *oid;
}

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

/// Sets both git dates for the following git commands (the test process's
/// environment is what ScratchRepo hands to git).
inline void setGitDates(const std::string& date) {
  setenv("GIT_AUTHOR_DATE", date.c_str(), 1);
  setenv("GIT_COMMITTER_DATE", date.c_str(), 1);
}

} // namespace arbor::testing
