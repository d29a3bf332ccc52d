// What the libFuzzer targets share: a failed property aborts, so libFuzzer
// records the input, and a scratch folder made once per process.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace tavrik::fuzz {

inline void check(bool condition) {
  if (!condition) std::abort();
}

/// A new folder under /tmp named after `name`; aborts when none can be made.
inline std::filesystem::path makeScratchFolder(const std::string& name) {
  std::string pattern = "/tmp/tavrik-" + name + "-XXXXXX";
  if (!mkdtemp(pattern.data())) std::abort();
  return pattern;
}

} // namespace tavrik::fuzz
