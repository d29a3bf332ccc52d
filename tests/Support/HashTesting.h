// Checks that a type's std::hash agrees with its operator==: every pair of
// equal values hashes alike. Values that differ should mostly hash apart;
// that is checked loosely (not all distinct values may collide).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

namespace tavrik::testing {

template <class T> void expectHashAgreesWithEquality(const std::vector<T>& values) {
  std::hash<T> hasher;
  std::set<size_t> distinctHashes;
  size_t distinctValues = 0;
  for (size_t i = 0; i < values.size(); ++i) {
    bool seenEqual = false;
    for (size_t j = 0; j < values.size(); ++j) {
      if (values[i] == values[j]) {
        EXPECT_EQ(hasher(values[i]), hasher(values[j])) << "values " << i << " and " << j << " are equal";
        if (j < i) seenEqual = true;
      }
    }
    if (!seenEqual) {
      ++distinctValues;
      distinctHashes.insert(hasher(values[i]));
    }
  }
  EXPECT_GT(distinctHashes.size(), distinctValues / 2) << "hash ignores most fields";
}

} // namespace tavrik::testing
