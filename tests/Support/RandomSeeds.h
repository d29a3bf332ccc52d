// The seeds and lengths of the seeded random tests, which a run by hand
// widens through the environment.
#pragma once

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace tavrik::testing {

/// The seeds of a seeded random test: TAVRIK_RANDOM_SEEDS ("1-200", "7,9")
/// when set, else `defaults`.
inline std::vector<unsigned> randomSeeds(std::vector<unsigned> defaults) {
  const char* text = std::getenv("TAVRIK_RANDOM_SEEDS");
  if (!text || !*text) return defaults;
  std::vector<unsigned> seeds;
  std::stringstream list(text);
  for (std::string part; std::getline(list, part, ',');) {
    auto dash = part.find('-');
    unsigned first = std::stoul(part), last = dash == std::string::npos ? first : std::stoul(part.substr(dash + 1));
    for (unsigned s = first; s <= last; ++s) seeds.push_back(s);
  }
  return seeds;
}

/// The steps of each sequence: TAVRIK_RANDOM_STEPS when set, else `defaults`.
inline int randomSteps(int defaults) {
  const char* text = std::getenv("TAVRIK_RANDOM_STEPS");
  return text && *text ? std::atoi(text) : defaults;
}

} // namespace tavrik::testing
