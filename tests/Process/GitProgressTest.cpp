#include "tavrik/Process/GitProgress.h"

#include <gtest/gtest.h>

#include <climits>

using tavrik::GitBuffer;
using tavrik::GitProgress;

namespace {
const std::vector<std::string> kFetchPhases = {"remote: Counting objects:", "remote: Compressing objects:",
                                               "Receiving objects:", "Resolving deltas:"};
const std::vector<std::string> kPushPhases = {"Counting objects:", "Compressing objects:", "Writing objects:",
                                              "remote: Resolving deltas:"};
} // namespace

namespace tavrik {
void PrintTo(const GitProgress::Update& update, std::ostream* os) { *os << update.percent << " " << update.line; }
} // namespace tavrik

// Lines in order, against the overall percent after each: phases count a
// quarter each, earlier ones complete, halves round away from zero.
TEST(GitProgress, OverallPercentAfterEachLine) {
  struct Case {
    std::vector<std::string> phases;
    std::vector<std::pair<const char*, int>> lines;
  } cases[] = {
      {kFetchPhases, {{"Receiving objects:  50% (1/2)", 63}, {"Resolving deltas: 100%", 63}}},
      {kPushPhases, {{"Writing objects: 100% (3/3), 262 bytes | 262.00 KiB/s, done.", 75},
                     {"Total 3 (delta 0), reused 0 (delta 0), pack-reused 0", 75},
                     {"remote: Resolving deltas: 100% (2/2), done.", 100}}},
      {{"A:", "B:", "C:", "D:"}, {{"A: 2% x", 1}, {"A: 6% x", 2}, {"A: -2% x", -1}, {"A: 1% x", 0}}},
      // Both prefixes match: the later phase wins and completes the earlier one.
      {{"Counting", "Counting objects:"}, {{"Counting objects: 40% (2/5)", 35}}},
      {{"A:"}, {{"A: 9223372036854775807% x", INT_MAX}}},
  };
  for (const auto& c : cases) {
    GitProgress progress(c.phases);
    for (const auto& [line, percent] : c.lines) EXPECT_EQ(progress.consume(line), percent) << line;
  }
}

TEST(GitProgress, PercentField) {
  const std::pair<const char*, std::optional<long long>> cases[] = {
      {"  50% (1/2)", 50}, {" 100% (3/3), done.", 100}, {"100%", std::nullopt}, {" 7%x", 7}, {"\t 9 \t% y", 9},
      {"%%12% z", 12},     {"abc% (1/2)", std::nullopt}, {"% (1/2)", std::nullopt}, {"", std::nullopt},
      {" 1 2% x", std::nullopt}, {"+5% x", 5}, {"-5% x", -5}, {"+-5% x", std::nullopt},
      {"99999999999999999999% x", std::nullopt}};
  for (const auto& [rest, value] : cases) EXPECT_EQ(GitProgress::percentField(rest), value) << rest;
}

// git rewrites its progress line in place with CR and ends a phase with LF;
// the drain hands over arbitrary chunks and one segment is taken per chunk,
// a partial line as it stands, a segment that is not UTF-8 not at all.
TEST(GitProgress, ConsumesOneSegmentPerChunk) {
  GitBuffer buffer;
  GitProgress progress(kFetchPhases);
  const std::vector<std::string> chunks = {
      "remote: Counting objects:  20% (1/5)\r", "remote: Counting objects: 100% (5/5), done.\n",
      "Receiving objects: \xff 50% (1/2)\r",    "Receiving objects:  25% (1/4)\rReceiving",
      " objects:  75% (3/4)\r",                 "Receiving objects: 1",
      "00% (4/4), done.\n"};
  std::vector<std::optional<GitProgress::Update>> updates;
  for (const auto& chunk : chunks) {
    buffer.append(chunk);
    updates.push_back(progress.consumeNextLine(buffer));
  }
  const std::vector<std::optional<GitProgress::Update>> expected = {
      GitProgress::Update{"remote: Counting objects:  20% (1/5)", 5},
      GitProgress::Update{"remote: Counting objects: 100% (5/5), done.", 25},
      std::nullopt,
      GitProgress::Update{"Receiving objects:  25% (1/4)", 56},
      GitProgress::Update{"Receiving objects:  75% (3/4)", 69},
      GitProgress::Update{"Receiving objects: 1", 69},
      GitProgress::Update{"00% (4/4), done.", 69}};
  EXPECT_EQ(updates, expected);
  EXPECT_EQ(progress.consumeNextLine(buffer), std::nullopt);
}
